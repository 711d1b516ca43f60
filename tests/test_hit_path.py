"""Hits served on the quick path (arguments of built-in types, no user code)
answer exactly as the general path: the same keys, the same edges, the same
refusals."""

from __future__ import annotations

import functools

import pytest

from quendle import QuendleBase, quendled


class Shapes(QuendleBase):
    def __init__(self):
        self.runs = 0

    @quendled()
    def one(self, x):
        self.runs += 1
        return [x]

    @quendled()
    def three(self, a, b, c=3):
        self.runs += 1
        return [a, b, c]

    @quendled(track_runtime_dependencies=True)
    def total(self, x):
        self.runs += 1
        return self.one(x)[0]


@pytest.mark.parametrize("value", [7, "seven", 7.5, b"7", None, True, 10**30])
def test_a_hit_inside_a_tracking_body_records_its_edge(value):
    s = Shapes()
    s.one(value)  # cached first, so the body's call below is a hit
    assert s.total(value) == value and s.runs == 2
    assert s.dependency_graph[("one", (("x", value),))] == {("total", (("x", value),))}
    s.update_cached_value("one", ["changed"], x=value)
    assert s.validation_state[("total", (("x", value),))] == "invalid"
    assert s.total(value) == "changed" and s.runs == 3


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.three(1, 2),
        lambda s: s.three(a=1, b=2),
        lambda s: s.three(b=2, a=1),
        lambda s: s.three(1, b=2, c=3),
        lambda s: s.three(*(1, 2), **{"c": 3}),
        lambda s: Shapes.three(s, 1, 2),
        lambda s: Shapes.__dict__["three"](s, 1, c=3, b=2),
        lambda s: functools.partial(s.three, 1)(2),
        lambda s: s.three(1.0, 2),  # equal numbers are one key, as in a tuple
        lambda s: s.three(True, 2),
    ],
)
def test_every_way_of_calling_finds_the_one_key(call):
    s = Shapes()
    first = s.three(1, 2)
    assert call(s) is first and s.runs == 1


class Tagged:
    """Equal to the int it wraps, with the same hash: comparing it runs user code."""

    def __init__(self, value, seen):
        self.value, self.seen = value, seen

    def __hash__(self):
        self.seen.append("hash")
        return hash(self.value)

    def __eq__(self, other):
        self.seen.append("eq")
        return other == self.value


def test_user_equality_runs_once_per_call_on_a_hit():
    s = Shapes()
    seen = []
    first = s.one(5)
    assert s.one(Tagged(5, seen)) is first
    assert seen == ["hash", "eq"]  # the quick path gave up before running either


def test_a_changed_function_is_bound_afresh():
    class Model(QuendleBase):
        @quendled()
        def f(self, x):
            return ("old", x)

    m = Model()
    assert m.f(1) == ("old", 1)

    def replacement(self, y):
        return ("new", y)

    Model.__dict__["f"].__wrapped__.__code__ = replacement.__code__
    assert m.f(1) == ("new", 1) and m.is_cached("f", y=1)
    assert m.f(y=1) is m.f(1)
    Model.__dict__["f"].__wrapped__.note = "an attribute of the function"
    assert m.f(1) == ("new", 1)


def test_a_hit_on_a_borrowed_instance_still_refuses():
    class Model(QuendleBase):
        @quendled()
        def f(self, x):
            return x

    m = Model()
    m.f(1)
    errors = []

    class Reentrant:
        def __hash__(self):
            return hash(1)

        def __eq__(self, other):
            try:
                m.f(1)  # during the lookup of the outer call, which holds m
            except Exception as e:  # noqa: BLE001 - the refusal is the point
                errors.append(e)
            return other == 1

    m.f(Reentrant())
    assert len(errors) == 1 and isinstance(errors[0], RuntimeError)


class Owner:
    """An argument that refers back to the instance it was passed to."""

    def __init__(self):
        self.model = None


@pytest.mark.parametrize("cycle", [False, True])
def test_keys_release_their_arguments_with_the_instance(cycle):
    import gc
    import weakref

    class Model(QuendleBase):
        @quendled()
        def f(self, x, tag="t"):
            return 1

    m = Model()
    arg = Owner()
    if cycle:
        arg.model = m  # instance -> key -> argument -> instance: only the collector frees it
    m.f(arg)
    assert m.is_cached("f", x=arg, tag="t") and list(m.validation_state) == [("f", (("tag", "t"), ("x", arg)))]
    gone = weakref.ref(arg)
    del arg, m
    gc.collect()
    assert gone() is None


def test_binding_made_while_another_binding_is_being_made():
    # A collection started by the allocation of a bound method runs user code
    # (a gc callback here; on older interpreters it runs right inside the
    # allocation) that binds methods of other instances; each binding must
    # carry its own instance and keep nothing alive afterwards.
    import gc
    import weakref

    others = [Shapes() for _ in range(3)]
    seen = []

    def callback(phase, info):
        if phase == "start":
            for o in others:
                seen.append(o.one.__self__ is o)

    old = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        mine = Shapes()
        bound = [mine.one for _ in range(50)]
    finally:
        gc.set_threshold(*old)
        gc.callbacks.remove(callback)
    assert seen and all(seen)
    assert all(b.__self__ is mine and b.__func__ is Shapes.one for b in bound)
    assert len({id(b) for b in bound}) == len(bound)  # a new object on every access
    probe = weakref.ref(mine)
    del mine, bound
    assert probe() is None  # no binding kept the instance alive
