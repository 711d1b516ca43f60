"""Asynchronous methods: the awaited value is cached, concurrent awaiters share
one run, a run whose inputs changed while it was suspended stores nothing,
runtime dependencies follow the task, and scenarios, dump and load, threads
and the collector see values, never awaitables."""

import asyncio
import gc
import inspect
import sys
import threading
import weakref

import pytest

import quendle
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

from models import Boom, Counted

check_invariants = getattr(quendle, "_check_invariants", None)


class Feed(Counted):
    """Async methods whose bodies wait on ``gate`` (an asyncio.Event) when set."""

    def __init__(self):
        super().__init__()
        self.gate = None
        self.cancelled = 0
        self.fail = False

    async def pause(self):
        if self.gate is None:
            await asyncio.sleep(0)
        else:
            await self.gate.wait()

    @quendled()
    def base(self):
        return self.ran("base", 10)

    @quendled(track_runtime_dependencies=True)
    async def price(self, n=1):
        b = self.base()
        try:
            await self.pause()
        except asyncio.CancelledError:
            self.cancelled += 1
            raise
        if self.fail:
            raise Boom("price")
        return self.ran("price", [b * n])

    @quendled(dependencies=["base"])
    async def declared(self):
        b = self.base()
        await self.pause()
        return self.ran("declared", [b])

    @quendled(track_runtime_dependencies=True)
    async def total(self):
        return self.ran("total", [(await self.price())[0] + 1])

    @quendled(use_cache=False)
    async def uncached(self):
        await asyncio.sleep(0)
        return self.ran("uncached", object())


def run(coro):
    return asyncio.run(coro)


async def settle_tasks():
    for _ in range(5):
        await asyncio.sleep(0)


def idle(obj):
    if check_invariants is not None:
        check_invariants(obj)


# ------------------------------------------------------------ cached value


def test_awaited_value_is_cached_and_served_identically():
    async def main():
        f = Feed()
        first = await f.price()
        second = await f.price()
        assert first is second and first == [10]
        assert f.calls["price"] == 1
        assert f.is_cached("price", n=1)
        assert f.get_cached_value("price", n=1) is first
        assert f.cached_values[("price", (("n", 1),))] is first
        assert f.validation_state[("price", (("n", 1),))] == "valid"
        idle(f)

    run(main())


def test_calling_without_awaiting_runs_nothing_and_caches_nothing():
    async def main():
        f = Feed()
        pending = f.price()
        assert inspect.isawaitable(pending)
        assert f.calls["price"] == 0 and not f.is_cached("price", n=1)
        del pending
        assert await f.price() == [10] and f.calls["price"] == 1

    run(main())


@pytest.mark.parametrize(
    "value",
    [(1, 2), (), ValueError("as a value"), StopIteration(5), None, [1]],
    ids=["tuple", "empty tuple", "exception", "StopIteration", "None", "list"],
)
def test_values_that_a_return_could_mangle_arrive_intact(value):
    class Odd(QuendleBase):
        @quendled()
        async def get(self):
            await asyncio.sleep(0)
            return value

    async def main():
        o = Odd()
        assert await o.get() is value
        assert await o.get() is value  # the hit

    run(main())
    # Driven by hand, a hit finishes at its first step with StopIteration
    # carrying the value itself.
    o = Odd()
    run(o.get())
    hit = o.get()
    with pytest.raises(StopIteration) as stop:
        hit.send(None)
    assert stop.value.value is value


def test_an_awaitable_awaited_again_gives_its_value_again():
    async def main():
        f = Feed()
        aw = f.price()
        assert await aw == [10]
        assert await aw == [10] and f.calls["price"] == 1

    run(main())


def test_awaitable_runs_as_a_task_and_without_any_event_loop():
    async def main():
        f = Feed()
        assert await asyncio.create_task(f.price(3)) == [30]
        assert await asyncio.ensure_future(f.price(3)) == [30]
        assert f.calls["price"] == 1

    run(main())
    # No loop: the awaiter drives the body itself (here the body yields
    # once, at asyncio.sleep(0)).
    f = Feed()
    aw = f.price(2)
    assert aw.send(None) is None
    with pytest.raises(StopIteration) as stop:
        aw.send(None)
    assert stop.value.value == [20] and f.is_cached("price", n=2)


def test_use_cache_false_runs_on_every_await_and_never_shares():
    async def main():
        f = Feed()
        a, b = await asyncio.gather(f.uncached(), f.uncached())
        c = await f.uncached()
        assert len({id(a), id(b), id(c)}) == 3 and f.calls["uncached"] == 3
        assert f.validation_state["uncached"] == "permanently invalid"

    run(main())


# ---------------------------------------------------------------- sharing


def test_concurrent_awaiters_share_one_run():
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        waiting = [asyncio.ensure_future(f.price()) for _ in range(4)]
        await settle_tasks()
        assert not f.is_cached("price", n=1)  # pending: no value yet
        f.gate.set()
        results = await asyncio.gather(*waiting)
        assert f.calls["price"] == 1
        assert all(r is results[0] for r in results)
        assert f.get_cached_value("price", n=1) is results[0]
        idle(f)

    run(main())


def test_an_exception_reaches_every_awaiter_and_is_not_cached():
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        f.fail = True
        waiting = [asyncio.ensure_future(f.price()) for _ in range(3)]
        await settle_tasks()
        f.gate.set()
        results = await asyncio.gather(*waiting, return_exceptions=True)
        assert all(isinstance(r, Boom) and r.args == ("price",) for r in results)
        assert not f.is_cached("price", n=1)
        f.fail = False
        assert await f.price() == [10] and f.calls["price"] == 1
        idle(f)

    run(main())


@pytest.mark.parametrize("which", ["first", "second"])
def test_cancelling_one_awaiter_leaves_the_run_for_the_others(which):
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        a = asyncio.ensure_future(f.price())
        b = asyncio.ensure_future(f.price())
        await settle_tasks()
        (a if which == "first" else b).cancel()
        await settle_tasks()
        f.gate.set()
        survivor = await (b if which == "first" else a)
        assert survivor == [10] and f.cancelled == 0 and f.calls["price"] == 1
        assert (a if which == "first" else b).cancelled()
        assert f.get_cached_value("price", n=1) is survivor

    run(main())


def test_cancelling_every_awaiter_cancels_the_run():
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        waiting = [asyncio.ensure_future(f.price()) for _ in range(2)]
        await settle_tasks()
        for w in waiting:
            w.cancel()
        await settle_tasks()
        assert f.cancelled == 1 and all(w.cancelled() for w in waiting)
        assert not f.is_cached("price", n=1)
        # A new awaiter starts afresh (it does not join the cancelled run).
        f.gate.set()
        assert await f.price() == [10] and f.calls["price"] == 1
        idle(f)

    run(main())


def test_awaiters_on_the_same_key_inside_an_awaited_body_share_too():
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        outer = asyncio.ensure_future(f.total())
        inner = asyncio.ensure_future(f.price())
        await settle_tasks()
        f.gate.set()
        assert await outer == [11] and await inner == [10]
        assert f.calls["price"] == 1 and f.calls["total"] == 1
        assert f.dependency_graph[("price", (("n", 1),))] == {"total"}

    run(main())


# ------------------------------------------------- changes while suspended


def clear_stale_price(f):
    f.clear_cached_value("price", n=1)


CHANGES = {
    "update a dependency": lambda f: f.update_cached_value("base", 20),
    "clear a dependency": lambda f: f.clear_cached_value("base"),
    "clear the cache": lambda f: f.clear_cache(),
}


@pytest.mark.parametrize("method", ["price", "declared"])
@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_a_change_during_suspension_delivers_but_stores_nothing(method, change):
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        f.base()
        waiting = asyncio.ensure_future(getattr(f, method)())
        await settle_tasks()
        change(f)
        f.gate.set()
        assert await waiting == [10]  # computed from the old input
        assert f.validation_state[method if method == "declared" else ("price", (("n", 1),))] != "valid"
        assert f.get_cached_value(method, strict=False, **({"n": 1} if method == "price" else {})) is None
        f.gate = None
        f.update_cached_value("base", 30) if f.is_cached("base") else None
        fresh = await getattr(f, method)()
        assert fresh == [f.base()] and f.calls[method] == 2
        assert await getattr(f, method)() is fresh  # the recomputed value is stored

    run(main())


def test_clearing_the_stale_value_of_the_key_itself_during_suspension():
    async def main():
        f = Feed()
        old = await f.price()
        f.update_cached_value("base", 20)  # price: invalid, its old value stays
        f.gate = asyncio.Event()
        waiting = asyncio.ensure_future(f.price())
        await settle_tasks()
        f.clear_cached_value("price", n=1)
        f.gate.set()
        assert await waiting == [20] and old == [10]
        assert not f.is_cached("price", n=1)
        f.gate = None
        assert await f.price() == [20] and f.calls["price"] == 3

    run(main())


def test_a_call_after_a_change_does_not_join_the_stale_run():
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        stale = asyncio.ensure_future(f.price())
        await settle_tasks()
        f.update_cached_value("base", 20)
        fresh = asyncio.ensure_future(f.price())
        await settle_tasks()
        f.gate.set()
        assert await stale == [10] and await fresh == [20]
        assert f.calls["price"] == 2 and f.get_cached_value("price", n=1) == [20]
        idle(f)

    run(main())


# ------------------------------------------------- dependencies per task


class Pair(QuendleBase):
    def __init__(self):
        self.order = []

    @quendled()
    def left_leaf(self):
        return 1

    @quendled()
    def right_leaf(self):
        return 2

    @quendled()
    async def awaited_leaf(self):
        await asyncio.sleep(0)
        return 3

    @quendled(track_runtime_dependencies=True)
    async def left(self):
        for _ in range(3):
            await asyncio.sleep(0)
            self.order.append("left")
        return self.left_leaf() + await self.awaited_leaf()

    @quendled(track_runtime_dependencies=True)
    async def right(self):
        for _ in range(3):
            await asyncio.sleep(0)
            self.order.append("right")
        return self.right_leaf()


def test_interleaved_tracked_tasks_record_only_their_own_edges():
    async def main():
        p = Pair()
        assert await asyncio.gather(p.left(), p.right()) == [4, 2]
        assert p.order[:2] == ["left", "right"]  # they did interleave
        graph = p.dependency_graph
        assert graph["left_leaf"] == {"left"}
        assert graph["awaited_leaf"] == {"left"}
        assert graph["right_leaf"] == {"right"}
        idle(p)
        p.clear_cached_value("right_leaf")
        assert p.validation_state["right"] == "invalid" and p.validation_state["left"] == "valid"

    run(main())


def test_awaited_self_calls_are_discovered_from_the_source():
    class Auto(QuendleBase):
        @quendled()
        async def rate(self):
            return 2

        @automagically_quendled()
        async def doubled(self):
            return 2 * await self.rate()

    async def main():
        a = Auto()
        assert await a.doubled() == 4
        assert a.dependency_graph["rate"] == {"doubled"}

    run(main())


# -------------------------------------------------------------- scenarios


def test_a_run_started_before_a_scenario_never_writes_into_it():
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        before = asyncio.ensure_future(f.price())
        await settle_tasks()
        with custom_scenario([f]):
            inside = asyncio.ensure_future(f.price())  # does not join the run from outside
            await settle_tasks()
            f.gate.set()
            assert await before == [10] and await inside == [10]
            assert f.calls["price"] == 2
            assert f.is_cached("price", n=1)  # the value of the run started inside, in the layer
        assert not f.is_cached("price", n=1)  # the run started before stored nothing
        idle(f)

    run(main())


@pytest.mark.parametrize("started", ["inside", "before"])
def test_a_run_pending_when_a_scenario_exits_stores_nothing(started):
    async def main():
        f = Feed()
        f.gate = asyncio.Event()
        f.base()
        scenario = custom_scenario([f])
        if started == "before":
            waiting = asyncio.ensure_future(f.price())
            await settle_tasks()
        with scenario:
            if started == "inside":
                waiting = asyncio.ensure_future(f.price())
            await settle_tasks()
        f.gate.set()
        assert await waiting == [10]
        assert not f.is_cached("price", n=1) and f.cached_values == {"base": 10}
        f.gate = None
        assert await f.price() == [10] and f.calls["price"] == 2
        idle(f)

    run(main())


# --------------------------------------------------------- dump and load


class Stored(Counted):
    @quendled(serialisable=True)
    async def setting(self):
        await asyncio.sleep(0)
        return self.ran("setting", {"limit": 7})

    @quendled(serialisable=True)
    def plain(self):
        return 1


def test_dump_holds_awaited_values_and_refuses_an_uncached_async_method():
    s = Stored()
    with pytest.raises(TypeError) as err:
        s.dump_cache()
    assert str(err.value) == "Method 'setting' is asynchronous and has no cached value to dump; await it first"
    value = run(s.setting())
    assert s.dump_cache(order=["setting", "plain"]) == {"setting": value, "plain": 1}
    assert s.dump_cache()["setting"] is value


def test_load_stores_the_value_of_an_async_method_without_running_it():
    source = Stored()
    run(source.setting())
    target = Stored()
    target.load_cache(source.dump_cache())
    assert target.calls["setting"] == 0 and target.is_cached("setting")
    assert run(target.setting()) == {"limit": 7} and target.calls["setting"] == 0


def test_load_during_a_pending_run_wins_over_the_run():
    async def main():
        s = Stored()
        waiting = asyncio.ensure_future(s.setting())
        await asyncio.sleep(0)  # the body is suspended in asyncio.sleep(0)
        s.load_cache({"setting": "loaded"})
        assert await waiting == {"limit": 7}
        assert s.get_cached_value("setting") == "loaded"

    run(main())


# ------------------------------------------------------ loops and threads


def test_two_event_loops_on_two_threads_share_one_instance():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    f = Feed()
    results, errors = [], []

    async def work():
        got = await asyncio.gather(*(f.price(n) for n in range(1, 20) for _ in range(3)))
        return got

    def thread():
        try:
            results.append(asyncio.run(work()))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    try:
        threads = [threading.Thread(target=thread) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors
    expected = [[10 * n] for n in range(1, 20) for _ in range(3)]
    assert results == [expected, expected]
    # one run per key and loop at most, and every key ends up cached
    assert all(f.is_cached("price", n=n) for n in range(1, 20))
    assert f.calls["price"] <= 2 * 19
    idle(f)


# ---------------------------------------------------------- introspection


# asyncio's own check is deprecated from 3.14 on (inspect's is the one to use) and
# goes in 3.16: checked while it is there, its deprecation warning expected.
ASYNCIO_CHECK = getattr(asyncio, "iscoroutinefunction", None)


def asyncio_check(obj):
    if sys.version_info < (3, 14):
        return ASYNCIO_CHECK(obj)
    with pytest.warns(DeprecationWarning, match="iscoroutinefunction"):
        return ASYNCIO_CHECK(obj)


@pytest.mark.parametrize("check, expected", [
    pytest.param(asyncio_check, True, id="asyncio.iscoroutinefunction", marks=pytest.mark.skipif(
        ASYNCIO_CHECK is None, reason="asyncio.iscoroutinefunction is gone (3.16)")),
    (inspect.iscoroutinefunction, True), (inspect.isgeneratorfunction, False), (inspect.isasyncgenfunction, False),
])
def test_coroutine_functions_are_reported_as_such(check, expected):
    # inspect reads the code flags of anything function-like on every
    # version, and honours the marker from 3.12 on.
    f = Feed()
    for obj in (Feed.price, f.price):
        assert check(obj) is expected
    for obj in (Feed.base, f.base):
        assert check(obj) is False
        assert getattr(obj, "_is_coroutine", None) is None


@pytest.mark.skipif(not hasattr(inspect, "markcoroutinefunction"), reason="3.12+")
def test_a_function_marked_as_coroutine_function_is_cached_as_one():
    class Marked(Counted):
        @quendled()
        @inspect.markcoroutinefunction
        def get(self):
            return self.ran("get", asyncio.sleep(0, result=("marked",)))

    m = Marked()
    assert run(m.get()) == ("marked",) and run(m.get()) == ("marked",)
    assert m.calls["get"] == 1 and inspect.iscoroutinefunction(m.get)


# ------------------------------------------------------------- collector


def test_pending_awaitables_in_cycles_are_collected():
    f = Feed()
    ref = weakref.ref(f)
    f.unawaited = f.price(5)  # a cycle through an awaitable never awaited
    f.suspended = f.price(6)  # one suspended in its body, with no loop
    f.suspended.send(None)
    del f
    gc.collect()
    assert ref() is None


def test_a_run_abandoned_with_its_loop_is_collected():
    f = Feed()
    ref = weakref.ref(f)
    loop = asyncio.new_event_loop()
    f.gate = asyncio.Event()

    async def start():
        asyncio.ensure_future(f.price())
        await asyncio.sleep(0)
        await asyncio.sleep(0)

    loop.run_until_complete(start())
    loop.close()
    del f, loop, start
    gc.collect()
    gc.collect()
    assert ref() is None
