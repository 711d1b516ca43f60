"""Calls of decorated methods: hits, dependencies, failures, recursion, and
what a call leaves behind."""

import sysconfig
from collections import Counter

import pytest

from models import Boom, Calls, Finaliser
from quendle import QuendleBase, quendled


def label(name, **kwargs):
    return (name, tuple(sorted(kwargs.items()))) if kwargs else name


G0 = label("g", n=0)


@pytest.mark.parametrize("name", ["rate", "nothing"])
def test_hit_returns_the_identical_object_without_running_the_body(name):
    m = Calls()
    first = getattr(m, name)()
    assert getattr(m, name)() is first and m.calls[name] == 1
    assert m.is_cached(name) is True
    assert m.cached_values == {name: first} and m.validation_state == {name: "valid"}


def test_declared_dependency_update_makes_dependant_recompute():
    m = Calls()
    m.rate()
    first = m.price()
    assert m.dependency_graph == {"rate": {"price"}, "price": set()}
    assert m.price() is first
    m.update_cached_value("rate", [0.07])
    assert m.validation_state == {"rate": "valid", "price": "invalid"}
    assert m.price() is not first
    assert m.calls == Counter(rate=1, price=2) and m.validation_state["price"] == "valid"


def test_declared_dependency_never_computed_leaves_key_permanently_invalid():
    m = Calls()
    assert m.price() == ["price"]
    assert m.validation_state == {"price": "permanently invalid"}
    assert m.dependency_graph == {"rate": {"price"}, "price": set()}
    m.rate()
    m.price()
    m.price()
    assert m.calls["price"] == 3 and m.cached_values == {"rate": [0.05]}
    assert m.validation_state["price"] == "permanently invalid"


def test_result_computed_from_a_still_invalid_dependency_is_not_stored():
    m = Calls()
    m.rate()
    m.price()
    m.clear_cached_value("rate")  # price's body never calls rate, so rate stays invalid
    m.price()
    m.price()
    assert m.calls["price"] == 3
    assert m.validation_state == {"rate": "invalid", "price": "invalid"}
    m.rate()
    m.price()
    m.price()
    assert m.calls["price"] == 4 and m.validation_state["price"] == "valid"


@pytest.mark.parametrize("warm_g", [False, True], ids=["g-missed", "g-served"])
@pytest.mark.parametrize(
    "change, g_runs",
    [(lambda m: m.clear_cached_value("g", n=0), 2), (lambda m: m.update_cached_value("g", [7], n=0), 1)],
    ids=["clear", "update"],
)
def test_tracking_method_depends_on_what_its_body_called(warm_g, change, g_runs):
    m = Calls()
    if warm_g:
        m.g()
    first = m.f()
    assert m.dependency_graph == {G0: {"f"}, "f": set()} and m.calls == Counter(f=1, g=1)
    change(m)
    assert m.validation_state["f"] == "invalid"
    second = m.f()
    assert second is not first and second[0] is m.get_cached_value("g", n=0)
    assert m.calls == Counter(f=2, g=g_runs)


@pytest.mark.parametrize("value", [7, "seven", 7.5, b"7", None, True, 10**30])
def test_a_hit_inside_a_tracking_body_records_its_edge(value):
    m = Calls()
    m.g(value)  # cached first, so the body's call below is a hit
    assert m.via_g(value) == value and m.calls == Counter(g=1, via_g=1)
    assert m.dependency_graph[label("g", n=value)] == {label("via_g", n=value)}
    m.update_cached_value("g", ["changed"], n=value)
    assert m.validation_state[label("via_g", n=value)] == "invalid"
    assert m.via_g(value) == "changed" and m.calls == Counter(g=1, via_g=2)


def test_non_tracking_method_in_the_middle_records_only_the_outer_edge():
    m = Calls()
    m.outer()
    assert m.dependency_graph["middle"] == {"outer"} and m.dependency_graph[G0] == set()
    m.update_cached_value("g", [99], n=0)
    assert m.validation_state == {"outer": "valid", "middle": "valid", G0: "valid"}
    m.outer()
    assert m.calls == Counter(outer=1, middle=1, g=1)


def test_uncached_method_runs_every_time_and_poisons_tracking_callers():
    m = Calls()
    results = [m.volatile() for _ in range(3)]
    assert m.calls["volatile"] == 3 and len({id(r) for r in results}) == 3
    assert m.validation_state == {"volatile": "permanently invalid"} and m.cached_values == {}
    m.uses_volatile()
    m.uses_volatile()
    assert m.calls["uses_volatile"] == 2
    assert m.validation_state["uses_volatile"] == "permanently invalid"
    assert m.dependency_graph["volatile"] == {"uses_volatile"}


def test_raising_body_propagates_the_same_exception_and_unwinds():
    m = Calls()
    for attempt in (1, 2):
        with pytest.raises(Boom) as info:
            m.fails()
        assert info.value is m.error and m.calls["fails"] == attempt
    assert m.validation_state["fails"] == "invalid" and m.is_cached("fails") is False
    assert m.dependency_graph[G0] == {"fails"}
    m.rate()  # a frame left behind by the failed call would turn this into an edge
    assert m.dependency_graph["rate"] == set()


def test_recursion_caches_every_level_and_recomputes_from_an_updated_base():
    m = Calls()
    assert m.fib(20) == 6765 and m.calls["fib"] == 21
    assert m.dependency_graph[label("fib", n=18)] == {label("fib", n=19), label("fib", n=20)}
    m.update_cached_value("fib", 2, n=1)
    assert m.validation_state[label("fib", n=0)] == "valid"
    assert m.fib(20) == 2 * 6765 and m.calls["fib"] == 21 + 19


def test_unbounded_self_recursion_ends_in_recursion_error_and_unwinds():
    m = Calls()
    with pytest.raises(RecursionError):
        m.forever()
    assert m.calls["forever"] > 10
    assert m.validation_state == {"forever": "invalid"}
    assert m.dependency_graph == {"forever": {"forever"}}
    m.rate()
    assert m.dependency_graph["rate"] == set()


def test_body_may_query_and_inspect_its_own_instance():
    m = Calls()
    cached, states, value = m.introspect()
    assert cached is True and value is m.g()
    assert states == {G0: "valid", "introspect": "invalid"}
    assert m.validation_state["introspect"] == "valid"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((), ValueError, "quendled can only be used as an instance method decorator"),
        ((object(),), TypeError, "The decorated method's class must inherit from QuendleBase"),
        ((5,), TypeError, "The decorated method's class must inherit from QuendleBase"),
    ],
)
def test_call_through_the_class_needs_an_instance(args, exc, message):
    with pytest.raises(exc) as info:
        Calls.rate(*args)
    assert info.value.args == (message,)


@pytest.mark.slow
def test_long_invalidation_chain_is_walked_without_deep_recursion():
    n = 200_000
    m = Calls()
    for i in range(n):  # bottom-up: every call finds its predecessor cached
        m.chain(i)
    assert m.calls["chain"] == n
    m.update_cached_value("chain", -1, n=0)
    states = m.validation_state
    assert states[label("chain", n=0)] == "valid" and states[label("chain", n=n - 1)] == "invalid"
    assert sum(s == "invalid" for s in states.values()) == n - 1
    assert m.chain(1) == 0 and m.calls["chain"] == n + 1


def test_a_changed_function_is_bound_afresh():
    class Changing(QuendleBase):
        @quendled()
        def f(self, x):
            return ("old", x)

    m = Changing()
    assert m.f(1) == ("old", 1)

    def replacement(self, y):
        return ("new", y)

    Changing.__dict__["f"].__wrapped__.__code__ = replacement.__code__
    assert m.f(1) == ("new", 1) and m.is_cached("f", y=1)
    assert m.f(y=1) is m.f(1)
    Changing.__dict__["f"].__wrapped__.note = "an attribute of the function"
    assert m.f(1) == ("new", 1)


class Owner:
    """An argument that refers back to the instance it was passed to."""

    def __init__(self):
        self.model = None


@pytest.mark.parametrize("cycle", [False, True])
def test_keys_release_their_arguments_with_the_instance(cycle):
    import gc
    import weakref

    class Keeper(QuendleBase):
        @quendled()
        def f(self, x, tag="t"):
            return 1

    m = Keeper()
    arg = Owner()
    if cycle:
        arg.model = m  # instance -> key -> argument -> instance: only the collector frees it
    m.f(arg)
    assert m.is_cached("f", x=arg, tag="t") and list(m.validation_state) == [("f", (("tag", "t"), ("x", arg)))]
    gone = weakref.ref(arg)
    del arg, m
    gc.collect()
    assert gone() is None


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="a threshold of 1 does not start the free-threaded collector on the next allocations")
def test_binding_made_while_another_binding_is_being_made():
    # A collection started by the allocation of a bound method runs user code
    # (a gc callback here; on older interpreters it runs right inside the
    # allocation) that binds methods of other instances; each binding must
    # carry its own instance and keep nothing alive afterwards.
    import gc
    import weakref

    others = [Calls() for _ in range(3)]
    seen = []

    def callback(phase, info):
        if phase == "start":
            for o in others:
                seen.append(o.g.__self__ is o)

    old = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        mine = Calls()
        bound = [mine.g for _ in range(50)]
    finally:
        gc.set_threshold(*old)
        gc.callbacks.remove(callback)
    assert seen and all(seen)
    assert all(b.__self__ is mine and b.__func__ is Calls.g for b in bound)
    assert len({id(b) for b in bound}) == len(bound)  # a new object on every access
    probe = weakref.ref(mine)
    del mine, bound
    assert probe() is None  # no binding kept the instance alive


class Mourned(QuendleBase):
    """`value`'s old result calls `g` from its finaliser when it is displaced."""

    @quendled()
    def inp(self):
        return 1

    @quendled()
    def g(self):
        return ["g"]

    @quendled(track_runtime_dependencies=True)
    def value(self):
        self.inp()
        return Finaliser(self, lambda o: o.g())


def test_finaliser_of_a_displaced_value_is_not_taken_for_the_body():
    obj = Mourned()
    old = obj.value()
    called = old.seen
    del old
    obj.update_cached_value("inp", 2)
    new = obj.value()  # the store displaces the old value, whose finaliser calls g
    assert called == [["g"]]
    assert obj.dependency_graph["g"] == set()
    obj.update_cached_value("g", ["new g"])
    assert obj.validation_state["value"] == "valid" and obj.value() is new


DEEP = """
import sys, threading
from quendle import QuendleBase, quendled
sys.setrecursionlimit(10**7)
class M(QuendleBase):
    @quendled()
    def f(self, n):
        return 0 if n == 0 else self.f(n - 1) + 1
out = []
def run():
    try:
        out.append(M().f({depth}))
    except RecursionError:
        out.append("RecursionError")
threading.stack_size(16 << 20)
t = threading.Thread(target=run)
t.start()
t.join()
print(out[0])
"""


# From 3.12 the interpreter itself limits nested C calls (to few
# memoised levels on 3.12.1: under 500, as for functools.lru_cache).
import sys as _sys

REACHABLE = 10_000 if _sys.version_info < (3, 12) else 300


@pytest.mark.parametrize("depth, expected", [(REACHABLE, str(REACHABLE)), (2_000_000, "RecursionError")])
def test_deep_recursion_completes_or_raises_recursion_error_never_crashes(depth, expected):
    import os
    import subprocess
    import sys

    if depth == REACHABLE and os.environ.get("QUENDLE_SANITIZED"):
        pytest.skip("instrumented frames are several times larger")
    run = subprocess.run([sys.executable, "-c", DEEP.format(depth=depth)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == expected
