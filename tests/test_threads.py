"""Decorated calls in progress are tracked separately for every thread."""

import threading
from collections import Counter

import pytest

import quendle
from models import Key
from quendle import QuendleBase, quendled

TIMEOUT = 30


class Shared(QuendleBase):
    def __init__(self):
        self.calls = Counter()
        self.entered = threading.Event()
        self.resume = threading.Event()

    @quendled(track_runtime_dependencies=True)
    def f(self):
        self.calls["f"] += 1
        self.entered.set()
        if not self.resume.wait(TIMEOUT):
            raise TimeoutError("never resumed")
        return [self.g()]

    @quendled()
    def g(self):
        self.calls["g"] += 1
        return ["g", self.calls["g"]]

    @quendled()
    def h(self):
        self.calls["h"] += 1
        return ["h"]

    @quendled(track_runtime_dependencies=True)
    def t(self):
        self.calls["t"] += 1
        return [self.h()]

    @quendled()
    def k(self, n):
        return [n]


def k(n):
    return ("k", (("n", n),))


def run_interleaved(obj):
    """A runs f, which blocks; meanwhile B calls g, h and t; then A goes on."""
    results, errors = {}, []

    def thread_a():
        try:
            results["f"] = obj.f()
            obj.k(1)
        except BaseException as e:  # noqa: BLE001 - reported by the test
            errors.append(e)

    def thread_b():
        try:
            if not obj.entered.wait(TIMEOUT):
                raise TimeoutError("f never started")
            results["g"] = obj.g()
            obj.h()
            obj.t()
            obj.k(2)
        except BaseException as e:  # noqa: BLE001 - reported by the test
            errors.append(e)
        finally:
            obj.resume.set()

    threads = [threading.Thread(target=thread_a), threading.Thread(target=thread_b)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(TIMEOUT)
    assert not any(th.is_alive() for th in threads)
    assert errors == []
    return results


@pytest.mark.parametrize(
    "change, g_runs",
    [(lambda o: o.update_cached_value("g", ["g", "new"]), 1), (lambda o: o.clear_cached_value("g"), 2)],
    ids=["update", "clear"],
)
def test_each_thread_records_edges_only_from_its_own_callers(change, g_runs):
    obj = Shared()
    results = run_interleaved(obj)
    assert obj.dependency_graph == {"f": set(), "g": {"f"}, "h": {"t"}, "t": set(), k(1): set(), k(2): set()}
    assert results["f"] == [results["g"]] and results["f"][0] is results["g"]
    assert obj.calls == Counter(f=1, g=1, h=1, t=1)
    assert set(obj.validation_state.values()) == {"valid"}
    change(obj)  # the edge recorded by the waiting thread must invalidate f
    assert obj.validation_state["f"] == "invalid" and obj.validation_state["t"] == "valid"
    second = obj.f()
    assert second is not results["f"] and second == [obj.get_cached_value("g")]
    assert obj.calls == Counter(f=2, g=g_runs, h=1, t=1)
    obj.k(3)  # the main thread's stack is empty again
    assert obj.dependency_graph[k(3)] == set() and obj.dependency_graph["g"] == {"f"}


# ---------------------------------------------------------------------------
# threads that meet inside an operation on the same instance

import gc
import sys


class Knot(QuendleBase):
    @quendled()
    def m(self, arg):
        return arg.tag


class Crossing:
    """Hashes alike; its __eq__ waits for the other thread, then calls into the other instance."""

    def __init__(self, tag, mine, theirs, other):
        self.tag, self.mine, self.theirs, self.other = tag, mine, theirs, other

    def __hash__(self):
        return 7

    def __eq__(self, other):
        # The stored key's value is compared first, so either side may act.
        actor = self if self.other is not None else other
        if isinstance(actor, Crossing) and actor.other is not None:
            target, actor.other = actor.other, None
            actor.mine.set()
            if not actor.theirs.wait(TIMEOUT):
                raise TimeoutError("the other thread never arrived")
            target.m(Crossing("inner", None, None, None))
        return self is other


def test_two_threads_each_waiting_for_the_instance_the_other_holds_end_in_a_clear_error():
    x, y = Knot(), Knot()
    x.m(Crossing("stored", None, None, None))
    y.m(Crossing("stored", None, None, None))
    in_x, in_y = threading.Event(), threading.Event()
    outcomes = {}

    def run(name, obj, arg):
        try:
            outcomes[name] = obj.m(arg)
        except RuntimeError as e:
            outcomes[name] = e

    a = threading.Thread(target=run, args=("a", x, Crossing("a", in_x, in_y, y)))
    b = threading.Thread(target=run, args=("b", y, Crossing("b", in_y, in_x, x)))
    for th in (a, b):
        th.start()
    for th in (a, b):
        th.join(TIMEOUT)
    assert not a.is_alive() and not b.is_alive()
    errors = [v for v in outcomes.values() if isinstance(v, RuntimeError)]
    assert len(errors) == 1 and str(errors[0]).startswith("Deadlock:"), outcomes
    assert sorted(v for v in outcomes.values() if not isinstance(v, RuntimeError)) in (["a"], ["b"])


def test_the_users_collector_setting_is_left_exactly_as_the_user_left_it():
    seen = []

    def compare():
        seen.append(gc.isenabled())
        gc.disable()  # the user's own choice, made while the lookup runs

    knot = Knot()
    was = gc.isenabled()
    gc.enable()
    try:
        knot.m(Key("probe", hash=3, on_eq=compare))
        knot.m(Key("probe", hash=3, on_eq=compare))  # compared with the stored key
        assert seen == [True] and gc.isenabled() is False
    finally:
        gc.enable() if was else gc.disable()


# A daemon thread still inside the module when the interpreter exits: CPython
# 3.10 to 3.13 end such a thread, when it takes the interpreter lock back, by
# unwinding its stack; the process must still exit normally, not abort.
EXIT_SCRIPT = """
import sys, threading, time
from quendle import QuendleBase, custom_scenario, quendled

never = threading.Event()

class C(QuendleBase):
    @quendled()
    def sleeping(self):
        while True:
            time.sleep(0.005)

    @quendled()
    def blocked(self):
        never.wait()

c = C()
what = sys.argv[1]
if what == "body":
    threading.Thread(target=c.sleeping, daemon=True).start()
elif what == "waiting for the computation":
    threading.Thread(target=c.blocked, daemon=True).start()
    time.sleep(0.05)
    threading.Thread(target=c.blocked, daemon=True).start()
elif what == "waiting for the instance":
    def hold():
        with custom_scenario([c]):
            never.wait()
    threading.Thread(target=hold, daemon=True).start()
    time.sleep(0.05)
    threading.Thread(target=c.sleeping, daemon=True).start()
time.sleep(0.1)
print("exiting", flush=True)
"""


@pytest.mark.parametrize("what", ["body", "waiting for the computation", "waiting for the instance"])
def test_daemon_thread_inside_the_module_at_exit(what):
    import subprocess

    done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, what], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")
