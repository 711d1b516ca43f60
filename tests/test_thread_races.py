"""Threads that meet a computation, a scenario or a borrow of another thread.

A result whose inputs another thread changed while it ran is returned but not
stored as valid; a scenario belongs to the thread that entered it; a thread
waiting for a borrow answers Ctrl-C; a child forked while another thread held
a borrow or had a scenario open finds them released.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable

import pytest

from quendle import QuendleBase, custom_scenario, quendled

TIMEOUT = 30


@pytest.fixture
def switch_often():
    was = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(was)


def run_threads(*targets):
    """Runs each target on a thread of its own; returns what each returned or raised."""
    outcomes: list[Any] = [None] * len(targets)

    def run(i, target):
        try:
            outcomes[i] = target()
        except BaseException as e:  # noqa: BLE001 - reported by the test
            outcomes[i] = e

    threads = [threading.Thread(target=run, args=(i, t)) for i, t in enumerate(targets)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(TIMEOUT)
    assert not any(th.is_alive() for th in threads)
    return outcomes


# ---------------------------------------------------------------------------
# a result whose inputs changed while it ran


class Book(QuendleBase, cross_instance=True):
    """value() reads the rate of `source` (this instance or another), then
    waits while the first run is paused."""

    def __init__(self, source=None):
        self.source = source if source is not None else self
        self.r = 1
        self.runs = 0
        self.entered, self.resume = threading.Event(), threading.Event()
        self.pause = False

    @quendled()
    def rate(self):
        return self.r

    @quendled()
    def other(self):
        return "other"

    def read_rate_and_wait(self):
        self.runs += 1
        read = self.source.rate()
        if self.pause:
            self.pause = False
            self.entered.set()
            if not self.resume.wait(TIMEOUT):
                raise TimeoutError("never resumed")
        return read * 10

    @quendled(track_runtime_dependencies=True)
    def value(self):
        return self.read_rate_and_wait()

    @quendled(track_runtime_dependencies=True)
    async def value_async(self):
        return self.read_rate_and_wait()


def update_rate(src):
    src.r = 2
    src.update_cached_value("rate", 2)


def clear_and_recompute_rate(src):
    src.r = 2
    src.clear_cached_value("rate")
    src.rate()


def update_other(src):
    src.update_cached_value("other", "changed")


@dataclass(frozen=True)
class Meanwhile:
    change: Callable[[Book], None]  # made on the rate's instance while value() runs
    cross: bool  # the rate lives on another instance
    reaches: bool  # the change reaches what value() read
    method: str = "value"


def run_value(obj, method):
    result = getattr(obj, method)()
    if method == "value_async":
        import asyncio

        result = asyncio.run(result)
    return result


@pytest.mark.parametrize(
    "case",
    [
        Meanwhile(update_rate, cross=False, reaches=True),
        Meanwhile(clear_and_recompute_rate, cross=False, reaches=True),
        Meanwhile(update_other, cross=False, reaches=False),
        Meanwhile(update_rate, cross=True, reaches=True),
        Meanwhile(clear_and_recompute_rate, cross=True, reaches=True),
        Meanwhile(update_rate, cross=False, reaches=True, method="value_async"),
    ],
    ids=["update", "clear-recompute", "unrelated", "cross-update", "cross-clear-recompute", "async-update"],
)
def test_a_result_whose_inputs_another_thread_changed_while_it_ran_is_not_stored(case):
    obj = Book(Book() if case.cross else None)
    src = obj.source
    src.rate(), src.other()
    obj.pause = True

    def changer():
        if not obj.entered.wait(TIMEOUT):
            raise TimeoutError("value() never started")
        try:
            case.change(src)
        finally:
            obj.resume.set()

    computed, changed = run_threads(lambda: run_value(obj, case.method), changer)
    assert changed is None
    assert computed == 10  # its caller gets what the body returned
    assert obj.runs == 1
    if case.reaches:
        assert obj.validation_state[case.method] == "invalid"
        assert run_value(obj, case.method) == 20 and obj.runs == 2
    else:
        assert obj.validation_state[case.method] == "valid"
        assert run_value(obj, case.method) == 10 and obj.runs == 1


# ---------------------------------------------------------------------------
# a scenario belongs to the thread that entered it


class Curve(QuendleBase):
    def __init__(self, base=2):
        self.base = base

    @quendled()
    def x(self):
        return self.base

    @quendled(dependencies=["x"])
    def sq(self):
        return self.x() ** 2


def in_own_scenario(obj):
    with custom_scenario([obj]):
        obj.update_cached_value("x", obj.x() + 1)
        return obj.sq()


@dataclass(frozen=True)
class Outsider:
    op: Callable[[Curve], Any]  # run by another thread while the scenario is open
    expected: Any
    after: int = 4  # sq() once both are done


@pytest.mark.parametrize(
    "case",
    [
        Outsider(lambda o: o.sq(), 4),
        Outsider(lambda o: o.get_cached_value("x"), 2),
        Outsider(lambda o: o.cached_values["x"], 2),
        Outsider(lambda o: o.update_cached_value("x", 5), None, after=25),
        Outsider(in_own_scenario, 9),
    ],
    ids=["call", "query", "report", "update", "scenario"],
)
def test_another_threads_operation_waits_until_the_scenario_exits(case):
    obj = Curve()
    obj.sq()
    inside, outsider_done = threading.Event(), threading.Event()
    seen = {}

    def owner():
        with custom_scenario([obj]):
            obj.update_cached_value("x", 99)
            seen["inside"] = obj.sq()
            inside.set()
            # Gives the outsider every chance to act inside the scenario.
            outsider_done.wait(0.5)
            seen["still"] = obj.sq()

    def outsider():
        if not inside.wait(TIMEOUT):
            raise TimeoutError("the scenario never opened")
        try:
            return case.op(obj)
        finally:
            outsider_done.set()

    assert run_threads(owner, outsider) == [None, case.expected]
    assert seen == {"inside": 9801, "still": 9801}
    assert obj.sq() == case.after


def test_two_threads_sweeping_scenarios_over_one_shared_object_get_their_own_results(switch_often):
    obj = Curve()
    obj.sq()

    def sweep(start):
        wrong = []
        for v in range(start, start + 200):
            with custom_scenario([obj]):
                obj.update_cached_value("x", v)
                time.sleep(0)  # other work, which gives up the interpreter lock
                got = obj.sq()
            if got != v * v:
                wrong.append(v)
        return wrong

    assert run_threads(lambda: sweep(10), lambda: sweep(1000)) == [[], []]
    assert obj.sq() == 4 and obj.validation_state == {"x": "valid", "sq": "valid"}


def test_two_threads_each_in_a_scenario_calling_into_the_others_end_in_a_clear_error():
    a, b = Curve(), Curve()
    opened = [threading.Event(), threading.Event()]

    def run(mine, theirs, me):
        with custom_scenario([mine]):
            opened[me].set()
            if not opened[1 - me].wait(TIMEOUT):
                raise TimeoutError("the other scenario never opened")
            return theirs.sq()

    outcomes = run_threads(lambda: run(a, b, 0), lambda: run(b, a, 1))
    errors = [o for o in outcomes if isinstance(o, RuntimeError)]
    assert len(errors) == 1 and str(errors[0]).startswith("Deadlock:"), outcomes
    assert [o for o in outcomes if not isinstance(o, BaseException)] == [4]


def test_a_scenario_is_exited_on_the_thread_that_entered_it():
    obj = Curve()
    scenario = custom_scenario([obj])
    scenario.__enter__()
    [outcome] = run_threads(lambda: scenario.__exit__(None, None, None))
    assert isinstance(outcome, RuntimeError)
    assert str(outcome) == "A scenario is exited on the thread that entered it"
    assert scenario.__exit__(None, None, None) is False
    assert obj.sq() == 4


# ---------------------------------------------------------------------------
# Ctrl-C while waiting for a borrow; a fork while another thread holds one

PRELUDE = """
import os, signal, sys, threading
from quendle import QuendleBase, custom_scenario, quendled

class Knot(QuendleBase):
    @quendled()
    def m(self, arg):
        return getattr(arg, "tag", arg)

class Blocker:
    # Hashes like the stored key; while armed, its __eq__ (run with the
    # instance borrowed) and __hash__ (run by a report) block.
    tag = "blocker"
    def __init__(self):
        self.armed, self.inside, self.release = False, threading.Event(), threading.Event()
    def __hash__(self):
        self.block()
        return 7
    def __eq__(self, other):
        self.block()
        return self is other
    def block(self):
        if self.armed:
            self.inside.set()
            self.release.wait(60)

knot = Knot()
stored = Blocker()
knot.m(stored)
stored.armed = True

def hold_exclusive():
    knot.m(Blocker())  # compared with the stored key, under the exclusive borrow

def hold_shared():
    knot.cached_values  # hashes the stored key's argument, under a shared borrow

def hold_scenario():
    with custom_scenario([knot]):
        stored.inside.set()
        stored.release.wait(60)

holder = threading.Thread(target={hold}, daemon=True)
holder.start()
assert stored.inside.wait(30)
"""

INTERRUPT = """
def interrupt():
    while not done.wait(0.2):
        os.kill(os.getpid(), signal.SIGINT)

done = threading.Event()
threading.Thread(target=interrupt, daemon=True).start()
try:
    knot.m(1)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
done.set()
held = not stored.release.is_set()
stored.release.set()
holder.join(30)
print(outcome, held, knot.m(2))
"""

FORK = """
pid = os.fork()
if pid == 0:
    signal.alarm(20)  # a hang ends the child
    stored.armed = False
    try:
        ok = knot.m(1) == 1 and knot.validation_state[("m", (("arg", 1),))] == "valid"
        with custom_scenario([knot]):
            knot.update_cached_value("m", 5, arg=1)
            ok = ok and knot.m(1) == 5
        ok = ok and knot.m(1) == 1
    except BaseException as e:
        print("child:", type(e).__name__, e, flush=True)
        ok = False
    os._exit(0 if ok else 3)
_, status = os.waitpid(pid, 0)
stored.release.set()
holder.join(30)
print("child", os.waitstatus_to_exitcode(status), knot.m(2))
"""


def run_script(source):
    try:
        run = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60,
                             stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pytest.fail("the script hung")
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


@pytest.mark.parametrize("hold", ["hold_exclusive", "hold_shared", "hold_scenario"])
def test_ctrl_c_ends_a_wait_for_another_threads_borrow(hold):
    assert run_script(PRELUDE.format(hold=hold) + INTERRUPT) == "interrupted True 2"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.parametrize("hold", ["hold_exclusive", "hold_shared", "hold_scenario"])
def test_a_forked_child_finds_the_borrows_of_threads_left_behind_released(hold):
    assert run_script(PRELUDE.format(hold=hold) + FORK).splitlines()[-1] == "child 0 2"
