"""What every benchmark script shares: the machine line, the timing loop, the
checks made before timing, memory readings and the table of figures.

Each figure has one owner script: bench_calls (hits, misses, cross-instance
calls, memory per entry, the chain recompute, the fan-out invalidation),
bench_invalidation (the scenario over a large instance, the whole-cache
walks), bench_dump_load (dump_cache/load_cache of 50 methods), bench_async
(awaited hits), bench_cross_instance (memory and invalidation across
instances), bench_recursion (C stack per level). Figures are printed; none of
them is a test.
"""

from __future__ import annotations

import gc
import os
import platform
import resource
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import quendle

PAGE = os.sysconf("SC_PAGE_SIZE")
ns = time.perf_counter_ns


def machine() -> str:
    """One line on what produced the figures: interpreter, module, processor and load."""
    try:
        load = "load %.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        load = "load unknown"
    return (f"Python {platform.python_version()} ({platform.python_implementation()}, {platform.machine()}, "
            f"{os.cpu_count()} cpus, {load}); quendle {quendle.__version__} from {quendle.__file__}")


def rss_bytes() -> int:
    """Current resident set size of this process (the module's tables live outside
    the Python allocator, where tracemalloc cannot see them)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * PAGE
    except OSError:
        # ru_maxrss is a peak (KiB on Linux), good enough while only growing.
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def settle_gc() -> None:
    gc.collect()
    gc.collect()


class Check(AssertionError):
    """A result checked before timing was wrong: its figure would mean nothing."""


def check(cond: bool, what: str) -> None:
    if not cond:
        raise Check(what)


def interleaved(contenders: dict[str, Callable[[], float]], rounds: int) -> dict[str, float]:
    """Median per contender over `rounds` rounds. Each contender is a zero-argument
    callable that makes one measurement and returns it; every round runs each
    contender once, in an order rotated from round to round, so drift (frequency
    scaling, other load) hits all contenders alike."""
    labels = list(contenders)
    samples: dict[str, list[float]] = {label: [] for label in labels}
    for r in range(rounds):
        k = r % len(labels)
        for label in labels[k:] + labels[:k]:
            samples[label].append(contenders[label]())
    return {label: statistics.median(v) for label, v in samples.items()}


def elapsed(fn: Callable[[], object]) -> tuple[object, float]:
    """fn's result and the nanoseconds it took."""
    t0 = ns()
    out = fn()
    return out, ns() - t0


def median_of(fn: Callable[[], float], repeats: int) -> float:
    return statistics.median(fn() for _ in range(repeats))


@dataclass
class Row:
    """One printed figure: the job (bench), who did it (contender), the value and its unit;
    ratio to an anchor, a target with PASS/MISS (ok None: not judged at this size), a note."""
    bench: str
    contender: str
    value: float
    unit: str
    ratio: float | None = None
    target: str | None = None
    ok: bool | None = None
    note: str | None = None


def fmt(v: float) -> str:
    if v != v:  # NaN: no figure
        return "-"
    if v >= 100:
        return f"{v:,.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def print_table(rows: list[Row]) -> None:
    w_cont = max(len(r.contender) for r in rows)
    header = f"  {'contender':<{w_cont}}  {'figure':>10} {'unit':<9} {'ratio':>6}  target"
    print(header)
    print("-" * max(len(header) + 24, max(len(r.bench) for r in rows)))
    last = None
    for r in rows:
        if r.bench != last:
            print(r.bench)
            last = r.bench
        ratio = f"{r.ratio:.2f}x" if r.ratio is not None else ""
        target = ""
        if r.target:
            mark = "" if r.ok is None else (" PASS" if r.ok else " MISS")
            target = f"{r.target}{mark}"
        note = f"  ({r.note})" if r.note else ""
        print(f"  {r.contender:<{w_cont}}  {fmt(r.value):>10} {r.unit:<9} {ratio:>6}  {target}{note}".rstrip())


def collect(benches: list[Callable[..., list[Row]]], *args: object) -> list[Row]:
    """Each bench's rows; one whose checks fail gives a CHECK FAILED row instead."""
    rows: list[Row] = []
    for bench in benches:
        try:
            rows.extend(bench(*args))
        except Check as e:
            rows.append(Row(bench.__name__, "CHECK FAILED", float("nan"), "", note=str(e)))
        settle_gc()
    return rows


def header(rounds: int | None = None, quick: bool = False) -> None:
    print(machine())
    if rounds is not None:
        print(f"{rounds} interleaved rounds, medians{', quick run (sizes reduced)' if quick else ''}; "
              "ratio = quendle's figure / the anchor's for the same job (lower is better for quendle)")
    print()
    sys.stdout.flush()
