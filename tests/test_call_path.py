"""Calls of decorated methods: keys, hits, dependencies, failures, re-entry."""

from collections import Counter

import pytest

from models import Boom, Counted
from quendle import QuendleBase, quendled


def label(name, **kwargs):
    return (name, tuple(sorted(kwargs.items()))) if kwargs else name


G0 = label("g", n=0)


class Model(Counted):
    def __init__(self):
        super().__init__()
        self.error = Boom("body failed")

    @quendled(dependencies=["rate"])
    def price(self):
        return self.ran("price", ["price"])
    @quendled()
    def scaled(self, x=1):
        return self.ran("scaled", [x])
    @quendled()
    def g(self, n=0):
        return self.ran("g", [n])
    @quendled(track_runtime_dependencies=True)
    def f(self):
        return self.ran("f", [self.g()])
    @quendled()
    def middle(self):
        return self.ran("middle", [self.g()])
    @quendled(track_runtime_dependencies=True)
    def outer(self):
        return self.ran("outer", [self.middle()])
    @quendled(use_cache=False)
    def volatile(self):
        return self.ran("volatile", object())
    @quendled(track_runtime_dependencies=True)
    def uses_volatile(self):
        return self.ran("uses_volatile", [self.volatile()])
    @quendled()
    def nothing(self):
        return self.ran("nothing", None)
    @quendled(track_runtime_dependencies=True)
    def fails(self):
        self.ran("fails", self.g())
        raise self.error
    @quendled(track_runtime_dependencies=True)
    def fib(self, n):
        return self.ran("fib", n if n < 2 else self.fib(n - 1) + self.fib(n - 2))
    @quendled(track_runtime_dependencies=True)
    def forever(self):
        self.ran("forever", None)
        return self.forever()
    @quendled(track_runtime_dependencies=True)
    def chain(self, n):
        return self.ran("chain", 0 if n == 0 else self.chain(n - 1) + 1)
    @quendled(track_runtime_dependencies=True)
    def introspect(self):
        self.g()
        return self.is_cached("g", n=0), self.validation_state, self.get_cached_value("g", n=0)


@pytest.mark.parametrize("name", ["rate", "nothing"])
def test_hit_returns_the_identical_object_without_running_the_body(name):
    m = Model()
    first = getattr(m, name)()
    assert getattr(m, name)() is first and m.calls[name] == 1
    assert m.is_cached(name) is True
    assert m.cached_values == {name: first} and m.validation_state == {name: "valid"}


@pytest.mark.parametrize(
    "first, second",
    [(((1,), {}), ((), {"x": 1})), (((), {}), ((1,), {})), (((), {"x": 1}), ((), {}))],
    ids=["positional-keyword", "default-positional", "keyword-default"],
)
def test_positional_keyword_and_default_share_one_key(first, second):
    m = Model()
    a = m.scaled(*first[0], **first[1])
    assert m.scaled(*second[0], **second[1]) is a and m.calls["scaled"] == 1
    assert m.validation_state == {label("scaled", x=1): "valid"}
    assert m.scaled(2) == [2] and m.calls["scaled"] == 2


def test_declared_dependency_update_makes_dependant_recompute():
    m = Model()
    m.rate()
    first = m.price()
    assert m.dependency_graph == {"rate": {"price"}, "price": set()}
    assert m.price() is first
    m.update_cached_value("rate", [0.07])
    assert m.validation_state == {"rate": "valid", "price": "invalid"}
    assert m.price() is not first
    assert m.calls == Counter(rate=1, price=2) and m.validation_state["price"] == "valid"


def test_declared_dependency_never_computed_leaves_key_permanently_invalid():
    m = Model()
    assert m.price() == ["price"]
    assert m.validation_state == {"price": "permanently invalid"}
    assert m.dependency_graph == {"rate": {"price"}, "price": set()}
    m.rate()
    m.price()
    m.price()
    assert m.calls["price"] == 3 and m.cached_values == {"rate": [0.05]}
    assert m.validation_state["price"] == "permanently invalid"


def test_result_computed_from_a_still_invalid_dependency_is_not_stored():
    m = Model()
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
    m = Model()
    if warm_g:
        m.g()
    first = m.f()
    assert m.dependency_graph == {G0: {"f"}, "f": set()} and m.calls == Counter(f=1, g=1)
    change(m)
    assert m.validation_state["f"] == "invalid"
    second = m.f()
    assert second is not first and second[0] is m.get_cached_value("g", n=0)
    assert m.calls == Counter(f=2, g=g_runs)


def test_non_tracking_method_in_the_middle_records_only_the_outer_edge():
    m = Model()
    m.outer()
    assert m.dependency_graph["middle"] == {"outer"} and m.dependency_graph[G0] == set()
    m.update_cached_value("g", [99], n=0)
    assert m.validation_state == {"outer": "valid", "middle": "valid", G0: "valid"}
    m.outer()
    assert m.calls == Counter(outer=1, middle=1, g=1)


def test_uncached_method_runs_every_time_and_poisons_tracking_callers():
    m = Model()
    results = [m.volatile() for _ in range(3)]
    assert m.calls["volatile"] == 3 and len({id(r) for r in results}) == 3
    assert m.validation_state == {"volatile": "permanently invalid"} and m.cached_values == {}
    m.uses_volatile()
    m.uses_volatile()
    assert m.calls["uses_volatile"] == 2
    assert m.validation_state["uses_volatile"] == "permanently invalid"
    assert m.dependency_graph["volatile"] == {"uses_volatile"}


def test_raising_body_propagates_the_same_exception_and_unwinds():
    m = Model()
    for attempt in (1, 2):
        with pytest.raises(Boom) as info:
            m.fails()
        assert info.value is m.error and m.calls["fails"] == attempt
    assert m.validation_state["fails"] == "invalid" and m.is_cached("fails") is False
    assert m.dependency_graph[G0] == {"fails"}
    m.rate()  # a frame left behind by the failed call would turn this into an edge
    assert m.dependency_graph["rate"] == set()


def test_recursion_caches_every_level_and_recomputes_from_an_updated_base():
    m = Model()
    assert m.fib(20) == 6765 and m.calls["fib"] == 21
    assert m.dependency_graph[label("fib", n=18)] == {label("fib", n=19), label("fib", n=20)}
    m.update_cached_value("fib", 2, n=1)
    assert m.validation_state[label("fib", n=0)] == "valid"
    assert m.fib(20) == 2 * 6765 and m.calls["fib"] == 21 + 19


def test_unbounded_self_recursion_ends_in_recursion_error_and_unwinds():
    m = Model()
    with pytest.raises(RecursionError):
        m.forever()
    assert m.calls["forever"] > 10
    assert m.validation_state == {"forever": "invalid"}
    assert m.dependency_graph == {"forever": {"forever"}}
    m.rate()
    assert m.dependency_graph["rate"] == set()


def test_body_may_query_and_inspect_its_own_instance():
    m = Model()
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
        Model.rate(*args)
    assert info.value.args == (message,)


class Same:
    """Hashes always collide; equal exactly when the tags are equal."""

    hook = None

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return 42

    def __eq__(self, other):
        if Same.hook is not None:
            Same.hook()
        return isinstance(other, Same) and self.tag == other.tag


@pytest.fixture
def eq_hook():
    yield
    Same.hook = None


def test_colliding_hashes_with_unequal_values_get_distinct_keys():
    m = Model()
    a, b = Same(1), Same(2)
    ra, rb = m.g(a), m.g(b)
    assert ra == [a] and rb == [b] and m.calls["g"] == 2
    assert m.g(Same(1)) is ra and m.g(Same(2)) is rb and m.calls["g"] == 2
    assert list(m.cached_values) == [label("g", n=a), label("g", n=b)]


def test_raising_equality_propagates_and_registers_nothing(eq_hook):
    m = Model()
    m.g(Same(1))
    before = m.validation_state
    error = Boom("eq")

    def hook():
        raise error

    Same.hook = hook
    with pytest.raises(Boom) as info:
        m.g(Same(2))
    Same.hook = None
    assert info.value is error
    assert m.validation_state == before and m.calls["g"] == 1


@pytest.mark.parametrize(
    "reenter, message",
    [
        (lambda m: m.rate(), "Already borrowed"),
        (lambda m: m.is_cached("rate"), "Already borrowed"),
        (lambda m: m.clear_cache(), "Already borrowed"),
        (lambda m: m.cached_values, "Already mutably borrowed"),
    ],
    ids=["call", "query", "clear_cache", "report"],
)
@pytest.mark.parametrize("outer", ["call", "query"])
def test_equality_reentering_the_instance_is_refused(eq_hook, reenter, message, outer):
    m = Model()
    m.g(Same(1))
    seen = []

    def hook():
        try:
            reenter(m)
        except RuntimeError as e:
            seen.append(e.args)
        else:
            seen.append("no error")

    Same.hook = hook
    if outer == "call":
        m.g(Same(2))
    else:
        with pytest.raises(KeyError):
            m.is_cached("g", n=Same(2))
    Same.hook = None
    assert seen == [(message,)] and m.calls["rate"] == 0
    assert m.is_cached("g", n=Same(1)) is True


def test_long_invalidation_chain_is_walked_without_deep_recursion():
    n = 200_000
    m = Model()
    for i in range(n):  # bottom-up: every call finds its predecessor cached
        m.chain(i)
    assert m.calls["chain"] == n
    m.update_cached_value("chain", -1, n=0)
    states = m.validation_state
    assert states[label("chain", n=0)] == "valid" and states[label("chain", n=n - 1)] == "invalid"
    assert sum(s == "invalid" for s in states.values()) == n - 1
    assert m.chain(1) == 0 and m.calls["chain"] == n + 1


# ---------------------------------------------------------------------------
# the method cannot be hidden; finalisers and deep recursion


class Priced(QuendleBase):
    def __init__(self):
        self.runs = 0

    @quendled()
    def price(self, x):
        self.runs += 1
        return ["price", x]


@pytest.mark.parametrize("call", [
    lambda o: o.price(2),
    lambda o: getattr(o, "price")(2),
    lambda o: o.price(x=2),
    lambda o: type(o).price(o, 2),
], ids=["method call", "getattr", "keyword", "through the class"])
def test_instance_dict_entry_never_hides_the_decorated_method(call):
    obj = Priced()
    first = obj.price(2)
    obj.__dict__["price"] = lambda x: "from the instance dict"
    assert call(obj) is first and obj.runs == 1
    assert obj.price is not obj.__dict__["price"]


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
        return Mourner(self)


class Mourner:
    def __init__(self, owner):
        self.owner = owner
        self.called = []

    def __del__(self):
        self.called.append(self.owner.g())


def test_finaliser_of_a_displaced_value_is_not_taken_for_the_body():
    obj = Mourned()
    old = obj.value()
    called = old.called
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
