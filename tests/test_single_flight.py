"""Threads calling a key another thread is computing wait for that computation and share its result."""

import _thread
import sys
import threading
import time
from dataclasses import dataclass

import pytest

import quendle
from models import Boom
from operation_support import once_inside
from quendle import QuendleBase, custom_scenario, quendled

TIMEOUT = 30
DEADLOCK = "Deadlock: the object is borrowed by another thread that is waiting for an object this thread has borrowed"


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@dataclass(frozen=True)
class Arg:
    name: str
    n: int


class Slow(QuendleBase):
    """The first run of a body blocks until released; `fail` names the runs that raise."""

    def __init__(self, fail=(), block=True):
        self.runs = 0
        self.log = []  # the starts and ends of runs, in order
        self.block = block
        self.fail = fail
        self.started = threading.Event()
        self.release = threading.Event()

    def body(self, arg):
        self.runs += 1
        run = self.runs
        self.log.append(("start", run))
        if run == 1 and self.block:
            self.started.set()
            assert self.release.wait(TIMEOUT)
        self.log.append(("end", run))
        if run in self.fail:
            raise Boom(run)
        return [arg, run]

    @quendled()
    def f(self, arg):
        return self.body(arg)

    @quendled(use_cache=False)
    def uncached(self, arg):
        return self.body(arg)

    @quendled(track_runtime_dependencies=True)
    def outer(self, arg):
        return self.f(arg)


def start(target, *args, name=None):
    """A thread running `target(*args)`; `outcome` is its result or exception."""

    def run():
        try:
            th.outcome = target(*args)
        except BaseException as e:  # noqa: BLE001 - checked by the test
            th.outcome = e

    th = threading.Thread(target=run, name=name, daemon=True)
    th.start()
    return th


def joined(*threads):
    """Joins the threads and returns their outcomes."""
    for th in threads:
        th.join(TIMEOUT)
    assert not any(th.is_alive() for th in threads), "a thread hangs"
    return [th.outcome for th in threads]


def stampede(obj, call, during=None, n=8):
    """The first thread starts the body; the others call while it runs; `during()` runs once they all wait,
    then the body goes on."""
    first = start(call)
    assert obj.started.wait(TIMEOUT)
    others = [start(call) for _ in range(1, n)]
    once_inside(others, call)
    if during is not None:
        during()
    obj.release.set()
    outcomes = joined(first, *others)
    results = {i: r for i, r in enumerate(outcomes) if not isinstance(r, BaseException)}
    return results, {i: e for i, e in enumerate(outcomes) if i not in results}


@pytest.mark.parametrize(
    "fail, during, runs, stored",
    [((), None, 1, True), ((1,), None, 2, True), ((), lambda o: (o.clear_cache(), time.sleep(0.1)), 1, False)],
    # All waiters share even a result not stored; the pause outlasts the waiters' polls of the owner's frame.
    ids=["returns", "raises once", "result not stored"],
)
def test_one_run_per_key_across_threads(fail, during, runs, stored):
    obj = Slow(fail)
    arg = Arg("a", 1)
    results, errors = stampede(obj, lambda: obj.f(Arg("a", 1)), during and (lambda: during(obj)))
    assert obj.log == [(edge, run) for run in range(1, runs + 1) for edge in ("start", "end")]
    assert [type(e) for e in errors.values()] == [Boom] * (runs - 1)
    assert 0 in errors or not fail  # the raising run is the first thread's own
    values = list(results.values())
    assert len(values) == 8 - len(errors) and all(v is values[0] for v in values)
    assert values[0] == [arg, runs] and obj.is_cached("f", arg=arg) == stored
    info = quendle.cache_info(obj)["f"]
    assert (info.runs, info.hits) == (runs, 8 - runs)


def test_the_waiting_call_is_a_dependency_of_its_caller():
    obj = Slow()
    first = start(obj.f, 1)
    assert obj.started.wait(TIMEOUT)
    second = start(obj.outer, 1)
    once_inside([second], Slow.__dict__["outer"].__wrapped__)
    obj.release.set()
    assert joined(first, second) == [[1, 1], [1, 1]]
    assert obj.runs == 1
    assert obj.dependency_graph[("f", (("arg", 1),))] == {("outer", (("arg", 1),))}


def in_scenario(obj):
    with custom_scenario([obj]):
        return obj.f(1)


@pytest.mark.parametrize(
    "lead, call, runs",
    [
        (lambda o: o.f(1), lambda o: o.f(2), 2),
        (lambda o: o.f(1), lambda o: Slow(block=False).f(1), 1),
        (lambda o: o.f(1), in_scenario, 2),
        (lambda o: o.uncached(1), lambda o: o.uncached(1), 2),
    ],
    ids=["other key", "other instance", "other layer", "use_cache=False"],
)
def test_other_computations_are_not_waited_for(lead, call, runs):
    obj = Slow()
    first = start(lead, obj)
    assert obj.started.wait(TIMEOUT)
    second = start(call, obj)
    [value] = joined(second)  # while the first body still runs
    assert obj.runs == runs and isinstance(value, list)
    obj.release.set()
    assert joined(first) == [[1, 1]]


def test_ctrl_c_ends_a_wait():
    obj = Slow()
    first = start(obj.f, 1)
    assert obj.started.wait(TIMEOUT)

    def call():
        return obj.f(1)

    def interrupt():
        once_inside([threading.main_thread()], call)
        _thread.interrupt_main()

    start(interrupt)
    with pytest.raises(KeyboardInterrupt):
        call()
    obj.release.set()
    joined(first)
    assert obj.runs == 1 and obj.f(1) == [1, 1]


class Pair(QuendleBase):
    """k1 computed by thread A calls k2, which B computes and which calls k1 on B."""

    def __init__(self):
        self.started = {"k1": threading.Event(), "k2": threading.Event()}

    def body(self, name, other, thread):
        self.started[name].set()
        assert self.started[other].wait(TIMEOUT)
        if threading.current_thread().name == thread:
            return [name, getattr(self, other)()]
        return [name]

    @quendled()
    def k1(self):
        return self.body("k1", "k2", "A")

    @quendled()
    def k2(self):
        return self.body("k2", "k1", "B")


def test_a_cycle_of_waits_across_threads_is_a_deadlock():
    obj = Pair()
    a, b = start(obj.k1, name="A"), start(obj.k2, name="B")
    outcomes = [o if isinstance(o, list) else (type(o), str(o)) for o in joined(a, b)]
    assert outcomes in ([["k1", ["k2"]], (RuntimeError, DEADLOCK)], [(RuntimeError, DEADLOCK), ["k2", ["k1"]]])


class Deep(QuendleBase):
    def __init__(self):
        self.runs = 0

    @quendled()
    def f(self, arg):
        self.runs += 1
        return self.f(arg) if self.runs < 4 else [self.runs]


def test_a_body_calling_its_own_key_on_its_thread_runs_it_again():
    obj = Deep()
    assert obj.f(Arg("a", 1)) == [4] and obj.runs == 4


class Leaf(QuendleBase):
    @quendled()
    def v(self):
        return 1


class Reader(QuendleBase):
    """k's first run waits until thread A is inside its scenario on `leaf`, then reads the leaf."""

    def __init__(self, leaf):
        self.leaf = leaf
        self.started = threading.Event()
        self.scenario = threading.Event()

    @quendled()
    def k(self):
        self.started.set()
        assert self.scenario.wait(TIMEOUT)
        return ["k", threading.current_thread().name, self.leaf.v()]


def test_a_cycle_through_a_scenario_and_a_computation_is_a_deadlock():
    reader = Reader(Leaf())

    def in_scenario():
        assert reader.started.wait(TIMEOUT)
        with custom_scenario([reader.leaf]):
            reader.scenario.set()
            return reader.k()

    a, b = start(in_scenario, name="A"), start(reader.k, name="B")
    outcomes = [o if isinstance(o, list) else (type(o), str(o)) for o in joined(a, b)]
    assert outcomes in ([["k", "A", 1], (RuntimeError, DEADLOCK)], [(RuntimeError, DEADLOCK), ["k", "B", 1]])
