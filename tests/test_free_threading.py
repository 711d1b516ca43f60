"""The build for free-threaded interpreters: the module runs with the interpreter lock off,
and what the lock used to keep apart holds with threads really running at once."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
import threading

import pytest

from quendle import QuendleBase, custom_scenario, quendled

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
@pytest.mark.parametrize("gil", [None, "0"], ids=["default", "PYTHON_GIL=0"])
def test_import_leaves_the_interpreter_lock_off(gil: str | None) -> None:
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    if gil is not None:
        env["PYTHON_GIL"] = gil
    out = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c",
                          "import sys, quendle; print(sys._is_gil_enabled())"],
                         capture_output=True, text=True, env=env, timeout=120)
    assert (out.returncode, out.stdout.strip(), out.stderr) == (0, "False", "")


class Shared(QuendleBase):
    def __init__(self) -> None:
        self.base = 1

    @quendled()
    def source(self) -> int:
        return self.base

    @quendled(track_runtime_dependencies=True)
    def value(self, x: int) -> int:
        return self.source() + x


def hammer(threads: int, work) -> list[BaseException]:
    """Runs `work(i)` on `threads` threads started together; the exceptions they raised."""
    start = threading.Barrier(threads)
    errors: list[BaseException] = []

    def run(i: int) -> None:
        start.wait()
        try:
            work(i)
        except BaseException as e:  # noqa: BLE001 - reported by the test
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    finally:
        sys.setswitchinterval(old)
    return errors


@pytest.mark.parametrize("what", ["hits", "hits and updates", "hits and scenarios", "bindings"])
def test_threads_on_one_instance_at_once(what: str) -> None:
    """Eight threads on one instance: hits served while other threads update the source,
    open scenarios or bind the method; every answer is one the instance could give."""
    obj = Shared()
    for x in range(4):
        obj.value(x)
    seen: set[tuple[int, int]] = set()

    def work(i: int) -> None:
        for n in range(300):
            x = n % 4
            if what == "hits and updates" and i == 0:
                obj.update_cached_value("source", n % 3 + 1)
            elif what == "hits and scenarios" and i == 0:
                with custom_scenario([obj]):
                    obj.update_cached_value("source", 100)
                    assert obj.value(x) == 100 + x
            elif what == "bindings":
                assert obj.value.__self__ is obj
            else:
                seen.add((x, obj.value(x)))

    assert hammer(8, work) == []
    sources = {1} if what != "hits and updates" else {1, 2, 3}
    assert seen <= {(x, s + x) for x in range(4) for s in sources}
    assert obj.value(1) == obj.source() + 1


class Reader(QuendleBase, cross_instance=True):
    def __init__(self, source: Shared) -> None:
        self.source = source

    @quendled(track_runtime_dependencies=True)
    def total(self, x: int) -> int:
        return self.source.value(x) + 1000


def test_threads_recording_edges_across_instances_at_once() -> None:
    """Eight threads, each with readers of its own, record edges to one shared instance
    while one thread updates it: every reader computed from the old value is invalidated."""
    source = Shared()
    for x in range(4):
        source.value(x)  # the entry updated below exists from the start

    def work(i: int) -> None:
        readers = [Reader(source) for _ in range(20)]
        for n in range(20):
            if i == 0:
                source.update_cached_value("source", n % 3 + 1)
            for r in readers:
                assert r.total(n % 4) in {s + n % 4 + 1000 for s in (1, 2, 3)}

    assert hammer(8, work) == []
    reader = Reader(source)
    before = reader.total(2)
    source.update_cached_value("source", 7)
    assert (before != 1009, reader.total(2)) == (True, 1009)
