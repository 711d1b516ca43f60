"""Observing a model: the counters of cache_info() and the events of trace()."""

import asyncio
import copy
import pickle
import threading

import pytest

import quendle
from quendle import QuendleBase, custom_scenario, quendled

from models import Boom


class Chain(QuendleBase):
    """rate -> level1 -> top(n), tracked at run time; an uncached method and an awaited one."""

    @quendled()
    def rate(self):
        return 1

    @quendled(track_runtime_dependencies=True)
    def level1(self):
        return self.rate() + 1

    @quendled(track_runtime_dependencies=True)
    def top(self, n=1):
        return self.level1() * n

    @quendled(use_cache=False)
    def volatile(self):
        return object()

    @quendled(track_runtime_dependencies=True)
    async def awaited(self):
        return self.rate() + 10

    @quendled(track_runtime_dependencies=True)
    def fails(self):
        self.rate()
        raise Boom("body failed")


class Leaf(QuendleBase):
    @quendled()
    def rate(self):
        return 2


class Holder(QuendleBase, cross_instance=True):
    def __init__(self, leaf):
        self.leaf = leaf

    @quendled(track_runtime_dependencies=True)
    def value(self):
        return self.leaf.rate() * 10


def counts(m, method):
    info = quendle.cache_info(m)[method]
    return info.hits, info.runs, info.invalidations, info.entries


def in_scenario(m):
    with custom_scenario([m]):
        m.update_cached_value("rate", 5)
        m.top()


# Each case: what to do after warming top() once, and the (hits, runs,
# invalidations, entries) of rate, level1 and top afterwards.
COUNT_CASES = {
    "hit": (lambda m: m.top(), [(0, 1, 0, 1), (0, 1, 0, 1), (1, 1, 0, 1)]),
    "update then call": (lambda m: (m.update_cached_value("rate", 5), m.top()),
                         [(1, 1, 0, 1), (0, 2, 1, 1), (0, 2, 1, 1)]),
    "update of a middle value": (lambda m: m.update_cached_value("level1", 7),
                                 [(0, 1, 0, 1), (0, 1, 0, 1), (0, 1, 1, 0)]),
    "clear then call": (lambda m: (m.clear_cached_value("rate"), m.top()), [(0, 2, 1, 1), (0, 2, 1, 1), (0, 2, 1, 1)]),
    "clear_cache": (lambda m: m.clear_cache(), [(0, 1, 1, 0), (0, 1, 1, 0), (0, 1, 1, 0)]),
    "clear_cache twice": (lambda m: (m.clear_cache(), m.clear_cache()), [(0, 1, 1, 0), (0, 1, 1, 0), (0, 1, 1, 0)]),
    # Counters count events: a scenario's exit does not take them back.
    "scenario": (in_scenario, [(1, 1, 0, 1), (0, 2, 1, 1), (0, 2, 1, 1)]),
    "another argument": (lambda m: m.top(n=2), [(0, 1, 0, 1), (1, 1, 0, 1), (0, 2, 0, 2)]),
}


@pytest.mark.parametrize("action, expected", COUNT_CASES.values(), ids=COUNT_CASES.keys())
def test_counts(action, expected):
    m = Chain()
    m.top()
    action(m)
    assert [counts(m, name) for name in ("rate", "level1", "top")] == expected


def test_cache_info_shape_and_order():
    m = Chain()
    info = quendle.cache_info(m)
    assert list(info) == ["rate", "level1", "top", "volatile", "awaited", "fails"]
    assert all(type(v) is quendle.CacheInfo for v in info.values())
    assert quendle.CacheInfo._fields == ("hits", "runs", "unchanged", "revalidated", "invalidations", "entries")
    assert set(info.values()) == {quendle.CacheInfo(0, 0, 0, 0, 0, 0)}
    with pytest.raises(TypeError, match="cache_info\\(\\) expects a QuendleBase instance"):
        quendle.cache_info(object())


@pytest.mark.parametrize("method, calls, expected", [
    ("volatile", 3, (0, 3, 0, 0)),  # not cached: every call runs
    ("fails", 2, (0, 2, 0, 0)),  # a body that raises ran all the same
])
def test_runs_that_store_nothing(method, calls, expected):
    m = Chain()
    for _ in range(calls):
        try:
            getattr(m, method)()
        except Boom:
            pass
    assert counts(m, method) == expected


def test_async_counts_awaited_runs():
    m = Chain()

    async def main():
        pending = m.awaited()
        assert counts(m, "awaited")[:2] == (0, 0)  # nothing ran before the await
        assert await pending == 11
        assert await m.awaited() == 11

    asyncio.run(main())
    assert counts(m, "awaited") == (1, 1, 0, 1)


def test_cross_instance_invalidation_counted_on_the_far_instance():
    leaf = Leaf()
    holder = Holder(leaf)
    holder.value()
    leaf.update_cached_value("rate", 3)
    assert counts(holder, "value") == (0, 1, 1, 0)
    assert holder.value() == 30 and counts(holder, "value") == (0, 2, 1, 1)


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m))])
def test_copies_start_counting_at_zero(how):
    m = Chain()
    m.top()
    m.top()
    twin = how(m)
    assert counts(twin, "top") == (0, 0, 0, 1)
    twin.top()
    assert counts(twin, "top") == (1, 0, 0, 1) and counts(m, "top") == (1, 1, 0, 1)


# -------------------------------------------------------------------- trace

def summary(events):
    return [(e.kind, e.label, e.cause) for e in events]


def test_trace_of_an_update_through_a_chain():
    m = Chain()
    m.top()
    with quendle.trace() as events:
        m.update_cached_value("rate", 5)
        m.top()
        m.top()
    assert all(type(e) is quendle.TraceEvent and e.instance is m for e in events)
    assert summary(events) == [
        ("invalidated", "level1()", "update of rate()"),
        ("invalidated", "top(n=1)", "update of rate() through level1()"),
        ("run", "top(n=1)", "update of rate() through level1()"),
        ("run", "level1()", "update of rate()"),
        ("hit", "rate()", None),
        ("hit", "top(n=1)", None),
    ]


@pytest.mark.parametrize("action, expected", [
    (lambda m: m.top(n=2), [("run", "top(n=2)", "first call"), ("hit", "level1()", None)]),
    (lambda m: (m.volatile(), m.volatile()), [("run", "volatile()", "first call"), ("run", "volatile()", "not cached")]),
    (lambda m: (m.clear_cached_value("level1"), m.level1()),
     [("invalidated", "level1()", "clear of level1()"), ("invalidated", "top(n=1)", "clear of level1()"),
      ("run", "level1()", "clear of level1()"), ("hit", "rate()", None)]),
    (lambda m: (m.clear_cache(), m.rate()),
     [("invalidated", "rate()", "clear_cache()"), ("invalidated", "level1()", "clear_cache() through rate()"),
      ("invalidated", "top(n=1)", "clear_cache() through level1()"), ("run", "rate()", "clear_cache()")]),
], ids=["first call", "not cached", "clear", "clear_cache"])
def test_trace_causes(action, expected):
    m = Chain()
    m.top()
    with quendle.trace() as events:
        action(m)
    assert summary(events) == expected


def test_trace_across_instances():
    leaf = Leaf()
    holder = Holder(leaf)
    holder.value()
    with quendle.trace() as events:
        leaf.update_cached_value("rate", 3)
        holder.value()
    assert [(e.kind, e.instance, e.label, e.cause) for e in events] == [
        ("invalidated", holder, "value()", "a change on another instance"),
        ("run", holder, "value()", "an unrecorded change"),
        ("hit", leaf, "rate()", None),
    ]


def test_trace_sees_only_its_own_thread():
    m = Chain()
    m.top()
    other_events = []
    started, release = threading.Event(), threading.Event()

    def other():
        try:
            with quendle.trace() as mine:
                started.set()
                release.wait()
                m.level1()
            other_events.extend(mine)
        finally:
            started.set()

    t = threading.Thread(target=other)
    t.start()
    started.wait()
    with quendle.trace() as events:
        m.rate()
        release.set()
        t.join()
    assert summary(events) == [("hit", "rate()", None)]
    assert summary(other_events) == [("hit", "level1()", None)]


def test_nested_traces_each_receive_the_events():
    m = Chain()
    with quendle.trace() as outer:
        m.rate()
        with quendle.trace() as inner:
            m.rate()
        m.rate()
    assert summary(outer) == [("run", "rate()", "first call")] + [("hit", "rate()", None)] * 2
    assert summary(inner) == [("hit", "rate()", None)]


def test_trace_closes_on_exception():
    m = Chain()
    with pytest.raises(Boom):
        with quendle.trace() as events:
            m.fails()
    seen = summary(events)
    assert seen == [("run", "fails()", "first call"), ("run", "rate()", "first call")]
    m.rate()
    assert summary(events) == seen


def test_trace_is_entered_once():
    t = quendle.trace()
    with t:
        with pytest.raises(RuntimeError, match="A trace is entered once"):
            t.__enter__()
    assert t.__exit__(None, None, None) is False


def test_events_visible_inside_the_block():
    m = Chain()
    with quendle.trace() as events:
        m.rate()
        assert summary(events) == [("run", "rate()", "first call")]
        m.update_cached_value("rate", 3)
        assert len(events) == 1  # an update of an entry without dependants invalidates nothing


def test_opentelemetry_example_makes_a_span_per_run():
    pytest.importorskip("opentelemetry.sdk")
    import runpy
    from pathlib import Path

    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    example = runpy.run_path(str(Path(__file__).parent.parent / "examples" / "trace_opentelemetry.py"))
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    quote = example["Quote"]()
    quote.price(1)
    with example["spans"](provider.get_tracer("test"), "rate update"):
        quote.update_cached_value("rate", 0.07)
        quote.price(1)
    finished = {span.name: span for span in exporter.get_finished_spans()}
    assert list(finished) == ["run price(currency='EUR', qty=1)", "run rounded()", "rate update"]
    run = finished["run price(currency='EUR', qty=1)"]
    assert dict(run.attributes) == {"quendle.entry": "price(currency='EUR', qty=1)", "quendle.class": "Quote",
                                    "quendle.cause": "update of rate() through rounded()"}
    assert run.parent.span_id == finished["rate update"].context.span_id
    assert [(e.name, e.attributes["quendle.entry"]) for e in finished["rate update"].events] == [
        ("invalidated", "rounded()"), ("invalidated", "price(currency='EUR', qty=1)"), ("hit", "rate()")]
