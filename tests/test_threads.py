"""Decorated calls in progress are tracked separately for every thread."""

import threading
from collections import Counter

import pytest

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
