"""What counting and tracing cost on the call path.

    PYTHONPATH=build/dev python3 bench/bench_observe.py [--rounds N] [--compare OTHER_BUILD] [--callgrind]

Prints, for the build on PYTHONPATH, the time per hit and per miss with no
trace open and with one open, and of one ``cache_info`` call.  With
``--compare DIR`` it also prints the hit and miss figures (no trace open) of
this build beside those of the build in DIR (a build without the counters,
say), each measured in child processes that alternate round by round, so both
builds share the machine's state; the medians are compared.  With
``--callgrind`` (valgrind installed) it adds the instructions per hit and per
miss of each build: a loop of ``CALLGRIND_CALLS`` calls minus the same loop
without calls, run under ``valgrind --tool=callgrind``.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

CALLGRIND_CALLS = 30_000
HIT_CALLS = 200_000
MISS_CALLS = 50_000

SETUP = """
import quendle
from quendle import QuendleBase, quendled

class M(QuendleBase):
    @quendled()
    def g(self, x):
        return x
"""


def measure(kind: str, n: int, traced: bool = False) -> float:
    """Nanoseconds per call of `kind` ("hit", "miss" or "none": the loop alone)."""
    env: dict = {}
    exec(SETUP, env)
    o = env["M"]()
    o.g(1)
    quendle = env["quendle"]
    args = range(2, n + 2)
    if kind == "hit":
        src = "def run(o, n):\n    for _ in range(n):\n        o.g(1)\n"
    elif kind == "miss":
        src = "def run(o, args):\n    for x in args:\n        o.g(x)\n"
    else:
        src = "def run(o, n):\n    for _ in range(n):\n        pass\n"
    exec(src, env)
    run = env["run"]
    arg = args if kind == "miss" else n
    if traced:
        with quendle.trace() as events:
            t0 = time.perf_counter_ns()
            run(o, arg)
            elapsed = time.perf_counter_ns() - t0
        assert len(events) >= n
    else:
        t0 = time.perf_counter_ns()
        run(o, arg)
        elapsed = time.perf_counter_ns() - t0
    return elapsed / n


def cache_info_ns(reps: int = 2000) -> float:
    env: dict = {}
    exec(SETUP, env)
    o = env["M"]()
    for x in range(100):
        o.g(x)
    info = env["quendle"].cache_info
    t0 = time.perf_counter_ns()
    for _ in range(reps):
        info(o)
    return (time.perf_counter_ns() - t0) / reps


def child(build: str, args: list[str], valgrind: bool = False) -> str:
    env = dict(os.environ, PYTHONPATH=build)
    command = [sys.executable, __file__, *args]
    if valgrind:
        env["PYTHONHASHSEED"] = "0"  # the same dict layouts in every run, so counts compare
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command]
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return done.stdout if not valgrind else done.stderr


def instructions(build: str, kind: str) -> int:
    text = child(build, ["--child-loop", kind], valgrind=True)
    found = re.search(r"Collected : (\d+)", text)
    if found is None:
        raise RuntimeError(text)
    return int(found.group(1))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--compare", metavar="OTHER_BUILD")
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--child-loop", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child:
        print(json.dumps({"hit": measure("hit", HIT_CALLS), "miss": measure("miss", MISS_CALLS)}))
        return
    if opts.child_loop:
        measure(opts.child_loop, CALLGRIND_CALLS)
        return

    this = os.environ.get("PYTHONPATH", "")
    rows = {"hit": [], "miss": [], "hit traced": [], "miss traced": []}
    for _ in range(opts.rounds):
        rows["hit"].append(measure("hit", HIT_CALLS))
        rows["miss"].append(measure("miss", MISS_CALLS))
        rows["hit traced"].append(measure("hit", HIT_CALLS // 10, traced=True))
        rows["miss traced"].append(measure("miss", MISS_CALLS // 10, traced=True))
    print(f"this build ({this or 'installed'}), median of {opts.rounds} rounds:")
    for name, samples in rows.items():
        print(f"  {name:<12} {statistics.median(samples):8.1f} ns/call")
    print(f"  cache_info   {cache_info_ns() / 1000:8.1f} us (one method, 100 entries)")

    if opts.compare:
        builds = {"before": opts.compare, "after": this}
        samples = {b: {"hit": [], "miss": []} for b in builds}
        for r in range(opts.rounds):
            order = list(builds) if r % 2 == 0 else list(reversed(builds))
            for b in order:
                got = json.loads(child(builds[b], ["--child"]))
                for k in ("hit", "miss"):
                    samples[b][k].append(got[k])
        print(f"no trace open, child processes alternating, median of {opts.rounds} rounds:")
        for k in ("hit", "miss"):
            before = statistics.median(samples["before"][k])
            after = statistics.median(samples["after"][k])
            print(f"  {k:<5} before {before:7.1f} ns  after {after:7.1f} ns  ({(after / before - 1) * 100:+.1f}%)")
    if opts.callgrind:
        if shutil.which("valgrind") is None:
            print("callgrind: valgrind is not installed")
            return
        builds = {"after": this}
        if opts.compare:
            builds = {"before": opts.compare, "after": this}
        print(f"instructions per call under callgrind ({CALLGRIND_CALLS} calls minus the empty loop):")
        for b, path in builds.items():
            base = instructions(path, "none")
            per = {k: (instructions(path, k) - base) / CALLGRIND_CALLS for k in ("hit", "miss")}
            print(f"  {b:<6} hit {per['hit']:8.1f}  miss {per['miss']:8.1f}")


if __name__ == "__main__":
    main()
