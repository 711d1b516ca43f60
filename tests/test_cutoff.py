"""Early cut-off: a recomputed value its method's cut-off finds unchanged keeps
the previous object, and what depends on it becomes valid again without
running.  The differential test at the end runs random operations on the same
graph with and without cut-offs: the values must never differ."""

import asyncio
import copy
import itertools
import operator
import pickle
import sys
import threading

import pytest
from conftest import derandomized, examples
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quendle
from models import Counted

try:
    import numpy
except ImportError:  # an optional test dependency
    numpy = None
needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")
from quendle import custom_scenario, quendled


def make_graph(policy, *, runtime=False):
    """root -> rounded (the cut-off) -> a -> top, and root -> side -> top: a
    diamond at `top`.  `rounded` returns a list, so identity is observable."""

    deps = {} if runtime else None

    class Graph(Counted):
        __quendle_pickle_cache__ = True

        @quendled()
        def root(self):
            return self.ran("root", 1.2)

        @quendled(dependencies=None if runtime else ["root"], track_runtime_dependencies=runtime, cutoff=policy)
        def rounded(self):
            return self.ran("rounded", [round(self.root())])

        @quendled(dependencies=None if runtime else ["rounded"], track_runtime_dependencies=runtime)
        def a(self):
            return self.ran("a", self.rounded() + ["a"])

        @quendled(dependencies=None if runtime else ["rounded"], track_runtime_dependencies=runtime)
        def side(self):
            return self.ran("side", self.rounded() + ["side"])

        @quendled(dependencies=None if runtime else ["a", "side"], track_runtime_dependencies=runtime)
        def top(self):
            return self.ran("top", self.a() + self.side())

    del deps
    return Graph


POLICIES = [True, operator.eq, lambda old, new: old == new]
CutGraph = make_graph(True)  # at module level, so that pickle finds it
CutGraph.__qualname__ = "CutGraph"


def runs(g):
    return dict(g.calls)


@pytest.mark.parametrize("runtime", [False, True], ids=["declared", "runtime"])
@pytest.mark.parametrize("policy", POLICIES, ids=["true", "operator.eq", "lambda"])
def test_unchanged_recomputation_keeps_the_object_and_settles_the_diamond(policy, runtime):
    g = make_graph(policy, runtime=runtime)()
    first_top, first_rounded = g.top(), g.rounded()
    g.calls.clear()
    g.update_cached_value("root", 1.4)  # rounds the same
    # Invalidation stays eager: the reports read as without a cut-off.
    assert g.validation_state == dict.fromkeys(["rounded", "a", "side", "top"], "invalid") | {"root": "valid"}
    assert g.top() is first_top
    assert g.rounded() is first_rounded
    assert runs(g) == {"rounded": 1}
    info = quendle.cache_info(g)
    assert (info["rounded"].unchanged, info["a"].revalidated, info["side"].revalidated, info["top"].revalidated) == (
        1, 1, 1, 1)
    assert info["top"].runs == 1 and info["top"].hits == 0
    g.calls.clear()
    g.update_cached_value("root", 2.6)  # a real change: each dependant runs once, diamond included
    assert g.top() == [3, "a", 3, "side"]
    assert runs(g) == dict.fromkeys(["rounded", "a", "side", "top"], 1)


def test_without_cutoff_nothing_settles():
    g = make_graph(None)()
    g.top()
    g.calls.clear()
    g.update_cached_value("root", 1.4)
    g.top()
    assert runs(g) == dict.fromkeys(["rounded", "a", "side", "top"], 1)
    assert all(i.unchanged == i.revalidated == 0 for i in quendle.cache_info(g).values())


class Weird:
    """Comparisons that must all count as a change, silently."""

    def __init__(self, eq):
        self.eq = eq

    def __eq__(self, other):
        return self.eq()


def _raise():
    raise ValueError("no comparison")


@pytest.mark.parametrize("value, policy", [
    pytest.param(lambda: numpy.array([1.0, 2.0]), True, marks=needs_numpy),  # == gives an array
    (lambda: Weird(lambda: NotImplemented), True),
    (lambda: Weird(lambda: 1), True),                           # truthy but not True
    (lambda: Weird(_raise), True),
    (lambda: 5, lambda old, new: _raise()),
    pytest.param(lambda: 5, lambda old, new: numpy.bool_(True), marks=needs_numpy),  # not exactly True
], ids=["array", "notimplemented", "truthy", "eq-raises", "policy-raises", "numpy-bool"])
def test_other_answers_are_changes(value, policy):
    class M(Counted):
        @quendled(dependencies=["rate"], cutoff=policy)
        def v(self):
            self.rate()
            return self.ran("v", value())

        @quendled(dependencies=["v"])
        def dep(self):
            return self.ran("dep", self.v())

    m = M()
    m.dep()
    m.update_cached_value("rate", [0.06])
    m.dep()
    assert m.calls == {"rate": 1, "v": 2, "dep": 2}
    assert quendle.cache_info(m)["v"].unchanged == 0


@needs_numpy
@pytest.mark.parametrize("policy", ["array_equal", operator.is_], ids=["array_equal", "is"])
def test_callable_policies(policy):
    policy = numpy.array_equal if policy == "array_equal" else policy
    shared = numpy.array([1.0, 2.0])

    class M(Counted):
        @quendled()
        def root(self):
            return 0

        @quendled(dependencies=["root"], cutoff=policy)
        def v(self):
            self.root()
            return self.ran("v", shared if policy is operator.is_ else numpy.array([1.0, 2.0]))

        @quendled(dependencies=["v"])
        def dep(self):
            return self.ran("dep", self.v().sum())

    m = M()
    kept = m.v()
    m.dep()
    m.update_cached_value("root", 1)
    assert m.dep() == 3.0 and m.v() is kept
    assert m.calls == {"v": 2, "dep": 1}


def test_a_keyboard_interrupt_in_the_comparison_is_raised():
    def policy(old, new):
        raise KeyboardInterrupt

    class M(Counted):
        @quendled(dependencies=["rate"], cutoff=policy)
        def v(self):
            return self.ran("v", self.rate())

    m = M()
    m.v()
    m.update_cached_value("rate", [0.06])
    with pytest.raises(KeyboardInterrupt):
        m.v()


@pytest.mark.parametrize("new, invalidates", [([1], False), ([2], True)])
def test_update_with_an_unchanged_value_invalidates_nothing(new, invalidates):
    g = make_graph(True)()
    g.top()
    before = g.rounded()
    g.update_cached_value("rounded", new)
    assert (g.validation_state["top"] == "invalid") is invalidates
    assert (g.rounded() is before) is not invalidates


def test_runtime_dependencies_with_a_changed_branch_run_and_record_afresh():
    class M(Counted):
        @quendled()
        def x(self):
            return self.ran("x", 1)

        @quendled()
        def y(self):
            return self.ran("y", 10)

        @quendled(dependencies=["x"], cutoff=True)
        def use_x(self):
            return self.ran("use_x", self.x() > 0)

        @quendled(track_runtime_dependencies=True)
        def pick(self):
            return self.ran("pick", self.x() if self.use_x() else self.y())

    m = M()
    assert m.pick() == 1
    m.calls.clear()
    m.update_cached_value("x", -1)  # use_x changes: pick runs and now reads y
    assert m.pick() == 10
    assert m.calls == {"use_x": 1, "pick": 1, "y": 1}
    assert {"x", "use_x", "y"} == {k for k, v in m.dependency_graph.items() if "pick" in v}


def test_a_dependency_that_raises_while_settling_leaves_the_body_to_run():
    class M(Counted):
        fail = False

        @quendled()
        def root(self):
            return 1

        @quendled(dependencies=["root"], cutoff=True)
        def mid(self):
            self.ran("mid")
            if self.fail:
                raise ValueError("mid failed")
            return self.root() > 0

        @quendled(dependencies=["mid"])
        def leaf(self):
            return self.ran("leaf", self.mid())

        @quendled(dependencies=["leaf"])
        def top(self):
            return self.ran("top", self.leaf())

    m = M()
    m.top()
    m.update_cached_value("root", 2)
    M.fail = True
    with pytest.raises(ValueError, match="mid failed"):
        m.top()  # the error a run of the bodies gives
    M.fail = False
    assert m.top() is True and m.validation_state["top"] == "valid"


def test_explain_tells_kept_settleable_and_revalidated():
    g = make_graph(True)()
    g.top()
    g.update_cached_value("root", 1.4)
    assert "unless it settles" in quendle.explain(g, "top")
    g.top()
    assert "kept its previous value" in quendle.explain(g, "rounded")
    assert "valid again without running" in quendle.explain(g, "top")


def test_trace_shows_unchanged_and_revalidated_in_order():
    g = make_graph(True)()
    g.top()
    g.update_cached_value("root", 1.4)
    with quendle.trace() as events:
        g.top()
    kinds = [(e.kind, e.label) for e in events]
    assert ("unchanged", "rounded()") in kinds
    assert kinds.index(("unchanged", "rounded()")) < kinds.index(("revalidated", "top()"))
    assert [k for k, _ in kinds if k == "revalidated"] == ["revalidated"] * 3
    assert not any(k == "run" and label != "rounded()" for k, label in kinds)


def test_a_scenario_exit_restores_what_was_beneath():
    g = make_graph(True)()
    top = g.top()
    with custom_scenario([g]):
        g.update_cached_value("root", 1.4)
        assert g.top() is top
        g.update_cached_value("root", 3.0)
        assert g.top() == [3, "a", 3, "side"]
    assert g.validation_state == dict.fromkeys(["root", "rounded", "a", "side", "top"], "valid")
    assert g.top() is top and g.root() == 1.2


@pytest.mark.parametrize("how", ["pickle", "deepcopy"])
def test_cutoff_holds_through_copies(how):
    g = CutGraph()
    g.top()
    twin = pickle.loads(pickle.dumps(g)) if how == "pickle" else copy.deepcopy(g)
    twin.calls.clear()
    kept = twin.rounded()
    twin.update_cached_value("root", 1.4)
    assert twin.top() == [1, "a", 1, "side"] and twin.rounded() is kept
    assert runs(twin) == {"rounded": 1}


def test_async_cutoff_keeps_the_awaited_value():
    class M(Counted):
        @quendled()
        def root(self):
            return 1.2

        @quendled(dependencies=["root"], cutoff=True)
        async def rate(self):
            await asyncio.sleep(0)
            return self.ran("rate", [round(self.root())])

    async def main():
        m = M()
        first = await m.rate()
        m.update_cached_value("root", 1.3)
        again = await m.rate()
        return first, again, m

    first, again, m = asyncio.run(main())
    assert again is first and m.calls["rate"] == 2
    assert quendle.cache_info(m)["rate"].unchanged == 1


class Across(Counted, cross_instance=True):
    def __init__(self, source):
        super().__init__()
        self.source = source

    @quendled(track_runtime_dependencies=True)
    def total(self):
        return self.ran("total", self.source.rounded() + ["total"])


class AcrossTop(Across):
    @quendled(dependencies=["total"])
    def top(self):
        return self.ran("top", self.total() + ["top"])


def test_dependants_on_other_instances_settle():
    g = make_graph(True)()
    other = AcrossTop(g)
    assert other.top() == [1, "total", "top"]
    g.update_cached_value("root", 1.4)  # rounded recomputes equal: total and top settle
    assert other.validation_state == {"total": "invalid", "top": "invalid"}
    assert other.top() == [1, "total", "top"]
    assert dict(other.calls) == {"total": 1, "top": 1} and g.calls["rounded"] == 2
    assert quendle.cache_info(other)["total"].revalidated == 1
    g.update_cached_value("root", 2.6)
    assert other.top() == [3, "total", "top"]
    assert dict(other.calls) == {"total": 2, "top": 2}
    g.update_cached_value("rounded", [7])  # an update is a change wherever its dependants live
    assert other.top() == [7, "total", "top"]


def test_a_thread_changing_the_input_while_others_settle():
    g = make_graph(True)()
    g.top()
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    errors, stop = [], threading.Event()

    def reader():
        try:
            while not stop.is_set():
                before = g.root()
                top = g.top()
                after = g.root()
                # The input only grows: never a value from before an input that
                # was already in place, nor from one not yet written.
                assert round(before) <= top[0] <= round(after), (before, top, after)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=reader) for _ in range(4)]
    try:
        for t in threads:
            t.start()
        for step in range(13, 400):
            g.update_cached_value("root", step / 10)
    finally:
        stop.set()
        for t in threads:
            t.join(timeout=30)
        sys.setswitchinterval(old)
    assert not errors
    assert g.top() == [40, "a", 40, "side"]


# ------------------------------------------------------------- differential

ops = st.lists(st.one_of(
    st.tuples(st.just("call"), st.sampled_from(["root", "rounded", "a", "side", "top"])),
    st.tuples(st.just("update"), st.sampled_from(["root", "rounded", "a"]),
              st.sampled_from([0.2, 0.4, 1.4, 1.6, 2.2])),
    st.tuples(st.just("clear"), st.sampled_from(["root", "rounded", "top"])),
    st.tuples(st.just("enter"), st.just(None)),
    st.tuples(st.just("exit"), st.just(None)),
), max_size=40)


@pytest.mark.slow
@settings(max_examples=examples(150), deadline=None, database=None, derandomize=derandomized())
@example(ops=[("call", "a"), ("update", "a", 0.2), ("clear", "root")], runtime=False)  # an update is no run
@given(ops=ops, runtime=st.booleans())
def test_cutoff_never_changes_what_a_call_returns(ops, runtime):
    plain, cut = make_graph(None, runtime=runtime)(), make_graph(True, runtime=runtime)()
    scenarios = []
    # An update of `rounded` with an equal value changes nothing under its
    # cut-off (and invalidates without one): updates there never repeat a value.
    fresh = itertools.count(100)

    def both(f):
        results = []
        for g in (plain, cut):
            try:
                results.append(("ok", f(g)))
            except KeyError as e:
                results.append(("raised", e.args))
        return results

    try:
        for op, *args in ops:
            if op == "call":
                got, want = both(lambda g: getattr(g, args[0])())
            elif op == "update":
                value = [next(fresh)] if args[0] == "rounded" else [args[1]] if args[0] == "a" else args[1]
                got, want = both(lambda g: g.update_cached_value(args[0], value))
            elif op == "clear":
                got, want = both(lambda g: g.clear_cached_value(args[0]))
            elif op == "enter":
                scenarios.append(custom_scenario([plain, cut]))
                scenarios[-1].__enter__()
                continue
            else:
                if scenarios:
                    scenarios.pop().__exit__(None, None, None)
                continue
            assert got == want, (op, args)
            assert sum(cut.calls.values()) <= sum(plain.calls.values())
        for name in ["top", "a", "side", "rounded", "root"]:
            assert getattr(cut, name)() == getattr(plain, name)()
        assert cut.cached_values == plain.cached_values
    finally:
        while scenarios:
            scenarios.pop().__exit__(None, None, None)
