"""Scaling of cache hits across threads: throughput of N threads against one.

Run against a build, e.g.

    PYTHONPATH=build/dev python3 bench/bench_threads.py [--quick] [--threads 1 2 4]
    PYTHON_GIL=0 build/cpython-3.13t/bin/python3.13t bench/bench_threads.py   # the cp313t wheel installed

Two workloads, each a loop of ``obj.get(1)`` hits (the value cached before the
clock starts):

- own instances: every thread calls a method of an instance of its own;
- one shared instance: every thread calls the same method of one instance.

For each thread count the threads start together (a barrier) and run the same
number of calls each; the figure is the best of the rounds' total calls per
second, and the ratio is against one thread. With the interpreter lock held
the ratio stays at or below 1; on a free-threaded interpreter with the GIL off
the own-instance hits scale with the cores, and the shared-instance hits contend
for one borrow. The nanoseconds of one hit on one thread are printed too, to
compare the builds on one interpreter. The exit status is 0 regardless.
"""

from __future__ import annotations

import argparse
import os
import sys
import sysconfig
import threading
import time

from quendle import QuendleBase, quendled


class Model(QuendleBase):
    def __init__(self):
        self.runs = 0

    @quendled()
    def get(self, x):
        self.runs += 1
        return x * 2


def run(threads: int, calls: int, shared: bool) -> float:
    """Calls per second of `threads` threads making `calls` hits each."""
    one = Model()
    targets = [one if shared else Model() for _ in range(threads)]
    for t in targets:
        t.get(1)
    barrier = threading.Barrier(threads + 1)
    done = []

    def work(obj: Model) -> None:
        get = obj.get
        barrier.wait()
        for _ in range(calls):
            get(1)
        done.append(obj.runs)

    pool = [threading.Thread(target=work, args=(t,)) for t in targets]
    for p in pool:
        p.start()
    barrier.wait()
    start = time.perf_counter()
    for p in pool:
        p.join()
    seconds = time.perf_counter() - start
    # Every call was a hit: no body ran again.
    assert all(r == 1 for r in done), done
    return threads * calls / seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls and rounds")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--rounds", type=int, default=None)
    args = parser.parse_args()
    calls = 50_000 if args.quick else 300_000
    rounds = args.rounds or (2 if args.quick else 5)
    counts = sorted(set([1, *args.threads]))

    import quendle

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"Python {sys.version.split()[0]}{'t' if free_threaded else ''}, GIL {'on' if gil else 'off'}, "
          f"module {os.path.basename(quendle.__file__)}, {os.cpu_count()} CPUs, "
          f"{calls} hits per thread, best of {rounds} rounds")
    for shared in (False, True):
        title = "one shared instance" if shared else "own instances"
        best = {n: max(run(n, calls, shared) for _ in range(rounds)) for n in counts}
        base = best[1]
        print(f"\n{title}:")
        print(f"  {'threads':>7}  {'hits/s':>12}  {'vs 1 thread':>11}")
        for n in counts:
            print(f"  {n:>7}  {best[n]:>12,.0f}  {best[n] / base:>10.2f}x")
        if not shared:
            print(f"  one hit on one thread: {1e9 / base:.0f} ns")


if __name__ == "__main__":
    main()
