"""Call-path benchmarks for quendle, each beside a plain-Python anchor.

Run against a build, e.g.

    PYTHONPATH=build/dev python3 bench/bench_calls.py [--quick] [--rounds N]

Everything runs in this one process.  Each timed figure is the median over
interleaved rounds: every round runs every contender of a benchmark once, in
an order rotated from round to round, so drift (frequency scaling, other
load) hits all contenders alike.  Each measurement times a loop of many calls
with ``time.perf_counter_ns``.  Before anything is timed, every contender's
results are checked (a hit returns the identical object and does not run the
body; a miss runs it; the chain really recomputes every level), so a wrong
result cannot look fast.

Memory per entry is read from the resident set size, because the module's
own tables live outside the Python allocator where tracemalloc cannot see
them.  It is measured first, while the process has little freed memory that
could be reused and flatter the figure.

Targets are printed beside the figures with PASS/MISS; the exit status is 0
regardless.
"""

from __future__ import annotations

import argparse
import functools
import sys
import time

import quendle
from harness import Row, check, collect, header, interleaved, print_table, rss_bytes, settle_gc
from quendle import QuendleBase, quendled

UNROLL = 10


def make_loop(call_src: str | list[str], env: dict):
    """A function ``run(o, n)`` timing ``n`` rounds of ``UNROLL`` calls.

    ``call_src`` is the Python expression of one call on ``o`` (or a list of
    them, used in turn), so every contender pays the same loop overhead.
    """
    calls = call_src if isinstance(call_src, list) else [call_src]
    body = "\n".join(f"        {calls[i % len(calls)]}" for i in range(UNROLL))
    src = (
        "def run(o, n):\n"
        "    t0 = _ns()\n"
        "    for _ in _range(n):\n"
        f"{body}\n"
        "    return _ns() - t0\n"
    )
    ns = dict(env, _ns=time.perf_counter_ns, _range=range)
    exec(src, ns)
    return ns["run"]


# --------------------------------------------------------------------------
# the classes measured


class Counter:
    def __init__(self):
        self.n = 0


def hit_classes():
    """Classes with the same method shapes, cached in three ways."""
    counts = {"q": Counter(), "lru": Counter(), "cp": Counter()}

    class Q(QuendleBase):
        @quendled()
        def f(self):
            counts["q"].n += 1
            return object()

        @quendled()
        def g(self, x):
            counts["q"].n += 1
            return [x]

        @quendled()
        def h(self, a, b, c=3):
            counts["q"].n += 1
            return [a, b, c]

    class L:
        @functools.lru_cache(maxsize=None)
        def f(self):
            counts["lru"].n += 1
            return object()

        @functools.lru_cache(maxsize=None)
        def g(self, x):
            counts["lru"].n += 1
            return [x]

        @functools.lru_cache(maxsize=None)
        def h(self, a, b, c=3):
            counts["lru"].n += 1
            return [a, b, c]

    class CP:
        @functools.cached_property
        def f(self):
            counts["cp"].n += 1
            return object()

    return Q, L, CP, counts


# --------------------------------------------------------------------------
# benchmarks; each returns rows for the table


# Hit targets as ratios to lru_cache: vectorcall (the 3.12 stable-ABI build)
# removes the argument tuple and keyword dict of every call.
VECTORCALL = sys.version_info >= (3, 12)
HIT_TARGET = 1.1 if VECTORCALL else 1.6
KEYWORD_HIT_TARGET = 1.0 if VECTORCALL else 1.2
MISS_TARGET = 1.3


def ratio_row(bench, label, figure, anchor, target):
    ratio = figure / anchor
    return Row(bench, label, anchor, "ns/call", ratio=ratio, target=f"<= {target}x lru_cache", ok=ratio <= target)


def bench_hits(cfg):
    Q, L, CP, counts = hit_classes()
    q, lo, cp = Q(), L(), CP()

    # Checks: a hit returns the identical object and does not run the body.
    for obj, key in ((q, "q"), (lo, "lru")):
        before = counts[key].n
        r = obj.f()
        check(obj.f() is r and counts[key].n == before + 1, f"{key}: 0-arg hit")
        r = obj.g(7)
        check(obj.g(7) is r and counts[key].n == before + 2, f"{key}: 1-arg hit")
        r1 = obj.h(a=1, b=2)
        r2 = obj.h(b=2, a=1)
        check(obj.h(a=1, b=2) is r1 and obj.h(b=2, a=1) is r2, f"{key}: keyword hit")
    check(q.h(a=1, b=2) is q.h(b=2, a=1), "quendle: keyword order shares one key")
    check(counts["q"].n == 3, "quendle: every body ran once")
    check(counts["lru"].n == 4, "lru_cache: keyword orders are two entries")
    r = cp.f
    check(cp.f is r and counts["cp"].n == 1, "cached_property hit")

    n = cfg.hit_calls // UNROLL
    rows = []

    def loops(src):
        return make_loop(src, {})

    f_loop = loops("o.f()")
    cp_loop = loops("o.f")
    g_loop = make_loop("o.g(7)", {})
    h_loop = make_loop(["o.h(a=1, b=2)", "o.h(b=2, a=1)"], {})
    total = n * UNROLL

    med = interleaved(
        {
            "quendle": lambda: f_loop(q, n),
            "lru_cache": lambda: f_loop(lo, n),
            "cached_property": lambda: cp_loop(cp, n),
        },
        cfg.rounds,
    )
    bench = "hit, 0 args: o.f()"
    rows.append(Row(bench, "quendle", med["quendle"] / total, "ns/call"))
    rows.append(ratio_row(bench, "  / lru_cache", med["quendle"] / total, med["lru_cache"] / total, HIT_TARGET))
    rows.append(Row(bench, "  / cached_property (o.f)", med["cached_property"] / total, "ns/call",
                    ratio=med["quendle"] / med["cached_property"]))

    med = interleaved({"quendle": lambda: g_loop(q, n), "lru_cache": lambda: g_loop(lo, n)}, cfg.rounds)
    bench = "hit, 1 arg positional: o.g(7)"
    rows.append(Row(bench, "quendle", med["quendle"] / total, "ns/call"))
    rows.append(ratio_row(bench, "  / lru_cache", med["quendle"] / total, med["lru_cache"] / total, HIT_TARGET))

    med = interleaved({"quendle": lambda: h_loop(q, n), "lru_cache": lambda: h_loop(lo, n)}, cfg.rounds)
    bench = "hit, h(self, a, b, c=3): a=,b= both orders"
    rows.append(Row(bench, "quendle", med["quendle"] / total, "ns/call"))
    rows.append(ratio_row(bench, "  / lru_cache", med["quendle"] / total, med["lru_cache"] / total,
                          KEYWORD_HIT_TARGET))

    # What binding alone costs: every access makes a new types.MethodType,
    # where lru_cache's wrapper is called without a bound method.
    bind_loop = loops("o.f")
    med = interleaved({"quendle": lambda: bind_loop(q, n), "lru_cache": lambda: bind_loop(lo, n)}, cfg.rounds)
    bench = "of which binding: o.f (no call)"
    rows.append(Row(bench, "quendle (a new MethodType)", med["quendle"] / total, "ns/call"))
    rows.append(Row(bench, "  lru_cache (a new MethodType)", med["lru_cache"] / total, "ns/call"))

    check(counts["q"].n == 3 and counts["lru"].n == 4 and counts["cp"].n == 1,
          "no body ran during the hit loops")
    return rows


def bench_misses(cfg):
    counts = {"q": Counter(), "lru": Counter()}

    class Q(QuendleBase):
        @quendled()
        def g(self, x):
            counts["q"].n += 1
            return x

    class L:
        @functools.lru_cache(maxsize=None)
        def g(self, x):
            counts["lru"].n += 1
            return x

    n = cfg.miss_calls
    args = list(range(10**9, 10**9 + n))  # fresh ints, shared by both
    run = make_loop_over_args()

    def q_once():
        obj = Q()
        counts["q"].n = 0
        t = run(obj, args)
        check(counts["q"].n == n, "quendle: every miss ran the body")
        del obj
        return t

    def lru_once():
        obj = L()
        L.g.cache_clear()
        counts["lru"].n = 0
        t = run(obj, args)
        check(counts["lru"].n == n, "lru_cache: every miss ran the body")
        L.g.cache_clear()
        return t

    # Checks: a second pass over the same arguments is all hits.
    obj = Q()
    run(obj, args[:100])
    counts["q"].n = 0
    run(obj, args[:100])
    check(counts["q"].n == 0, "quendle: second pass hits")
    check(obj.g(args[5]) is args[5], "quendle: hit returns the identical object")

    med = interleaved({"quendle": q_once, "lru_cache": lru_once}, cfg.rounds)
    bench = f"miss, new arg each call: o.g(x), {n} calls from empty"
    rows = [
        Row(bench, "quendle", med["quendle"] / n, "ns/call"),
        ratio_row(bench, "  / lru_cache", med["quendle"] / n, med["lru_cache"] / n, MISS_TARGET),
    ]

    # The cost of one more miss once the cache is already large: it should
    # not grow with the number of entries held.
    tail = 1000
    full_q, full_l = Q(), L()
    L.g.cache_clear()
    run(full_q, args)
    run(full_l, args)
    fresh = iter(range(2 * 10**9, 2 * 10**9 + (cfg.rounds * 2 + 2) * tail, tail))

    def q_tail():
        start = next(fresh)
        return run(full_q, range(start, start + tail))

    def lru_tail():
        start = next(fresh)
        return run(full_l, range(start, start + tail))

    med = interleaved({"quendle": q_tail, "lru_cache": lru_tail}, cfg.rounds)
    bench = f"miss, {tail} new args on a cache already holding {n} entries"
    rows += [
        Row(bench, "quendle", med["quendle"] / tail, "ns/call"),
        Row(bench, "  / lru_cache", med["lru_cache"] / tail, "ns/call", ratio=med["quendle"] / med["lru_cache"]),
    ]
    del full_q, full_l
    L.g.cache_clear()
    return rows


def cross_classes(calls):
    """Callers whose tracking body makes `calls` hits on a callee: on another
    instance from a plain class (nothing recorded), on another instance from
    an opted-in class (a cross-instance edge per call), on the same instance
    (a runtime edge per call)."""

    class Callee(QuendleBase):
        @quendled()
        def g(self):
            return 1

    def body(self, tag):
        target = self.target
        total = 0
        for _ in range(calls):
            total += target.g()
        return total

    class PlainCaller(QuendleBase):
        def __init__(self, target):
            self.target = target

        loop = quendled(track_runtime_dependencies=True)(body)

    try:
        class OptedCaller(PlainCaller, cross_instance=True):  # type: ignore[call-arg]
            loop = quendled(track_runtime_dependencies=True)(body)
    except TypeError:  # a build without dependencies across instances
        OptedCaller = None

    class SameCaller(Callee):
        def __init__(self):
            self.target = self

        loop = quendled(track_runtime_dependencies=True)(body)

    return Callee, PlainCaller, OptedCaller, SameCaller


def bench_cross(cfg):
    calls = 1000
    Callee, PlainCaller, OptedCaller, SameCaller = cross_classes(calls)
    callee = Callee()
    callers = {"plain caller, other instance": PlainCaller(callee), "same instance": SameCaller()}
    if OptedCaller is not None:
        callers["opted-in caller, other instance"] = OptedCaller(callee)
    for obj in callers.values():
        check(obj.loop(-1) == calls, "every call answered")
    if OptedCaller is not None:
        edges = quendle.cross_instance_edges(callers["opted-in caller, other instance"])
        check(edges[("body", (("tag", -1),))]["dependencies"] == [(callee, "g")], "the edge is recorded")
        check(quendle.cross_instance_edges(callers["plain caller, other instance"]) == {}, "plain records nothing")
    tags = iter(range(10**9))
    reps = max(1, cfg.hit_calls // calls // 10)

    def measure(obj):
        def once():
            t0 = time.perf_counter_ns()
            for _ in range(reps):
                obj.loop(next(tags))  # a miss each time: the body runs
            return time.perf_counter_ns() - t0
        return once

    med = interleaved({label: measure(obj) for label, obj in callers.items()}, cfg.rounds)
    total = reps * calls
    bench = f"hits made by a tracking body, {calls} per call"
    plain = med["plain caller, other instance"]
    rows = []
    for label, t in med.items():
        extra = "" if label.startswith("plain") else f"{(t - plain) / total:+.1f} ns vs plain caller"
        rows.append(Row(bench, label, t / total, "ns/call", note=extra))
    return rows


def make_loop_over_args():
    src = (
        "def run(o, xs):\n"
        "    t0 = _ns()\n"
        "    for x in xs:\n"
        "        o.g(x)\n"
        "    return _ns() - t0\n"
    )
    ns = {"_ns": time.perf_counter_ns}
    exec(src, ns)
    return ns["run"]


def bench_chain(cfg):
    depth = cfg.chain_depth
    body_runs = Counter()

    # Runtime-tracked: level(i) calls level(i - 1), served from the cache.
    class Tracked(QuendleBase):
        @quendled(track_runtime_dependencies=True)
        def level(self, i):
            body_runs.n += 1
            if i == 0:
                return 0
            return self.level(i - 1) + 1

    # Declared: method level_i declares level_(i-1); the body does not call.
    def make_level(i):
        def body(self):
            body_runs.n += 1
            return i

        body.__name__ = f"level_{i}"
        deps = [f"level_{i - 1}"] if i else None
        return quendled(dependencies=deps)(body)

    Declared = type("Declared", (QuendleBase,), {f"level_{i}": make_level(i) for i in range(depth)})

    # The same work in plain Python: the body's arithmetic with the previous
    # level read from a dict instead of a decorated call.
    class Plain:
        def __init__(self):
            self.memo = {i: i for i in range(depth)}

        def level(self, i):
            body_runs.n += 1
            if i == 0:
                return 0
            return self.memo[i - 1] + 1

    class PlainDeclared:
        pass

    for i in range(depth):
        setattr(PlainDeclared, f"level_{i}", make_plain_declared(i, body_runs))

    ns = {"_ns": time.perf_counter_ns, "_range": range}
    exec(
        "def recompute_tracked(o, depth):\n"
        "    t0 = _ns()\n"
        "    o.update_cached_value('level', -1000, i=0)\n"
        "    for i in _range(1, depth):\n"
        "        o.level(i)\n"
        "    return _ns() - t0\n"
        "def plain_tracked(o, depth):\n"
        "    t0 = _ns()\n"
        "    o.memo[0] = -1000\n"
        "    for i in _range(1, depth):\n"
        "        o.level(i)\n"
        "    return _ns() - t0\n",
        ns,
    )
    recompute_tracked, plain_tracked = ns["recompute_tracked"], ns["plain_tracked"]
    names = [f"level_{i}" for i in range(depth)]

    def recompute_declared(o):
        t0 = time.perf_counter_ns()
        o.update_cached_value("level_0", -1000)
        for name in names[1:]:
            getattr(o, name)()
        return time.perf_counter_ns() - t0

    def plain_declared(o):
        t0 = time.perf_counter_ns()
        for name in names[1:]:
            getattr(o, name)()
        return time.perf_counter_ns() - t0

    tracked, declared = Tracked(), Declared()
    for i in range(depth):  # bottom-up, so no call nests deeper than one level
        tracked.level(i)
        getattr(declared, names[i])()
    plain, plain_decl = Plain(), PlainDeclared()

    # Checks: an update of the root invalidates every level, and the next
    # bottom-up pass runs every body once more and stores the new values.
    body_runs.n = 0
    recompute_tracked(tracked, depth)
    check(body_runs.n == depth - 1, f"tracked chain: {body_runs.n} bodies ran, expected {depth - 1}")
    check(tracked.level(depth - 1) == -1000 + depth - 1, "tracked chain: top level has the new value")
    vs = tracked.validation_state
    check(len(vs) == depth and set(vs.values()) == {"valid"}, "tracked chain: all levels valid again")
    body_runs.n = 0
    tracked.level(depth - 1)
    check(body_runs.n == 0, "tracked chain: top level served from the cache")
    body_runs.n = 0
    recompute_declared(declared)
    check(body_runs.n == depth - 1, f"declared chain: {body_runs.n} bodies ran, expected {depth - 1}")
    vs = declared.validation_state
    check(len(vs) == depth and set(vs.values()) == {"valid"}, "declared chain: all levels valid again")
    check(declared.get_cached_value("level_0") == -1000, "declared chain: root holds the update")

    med = interleaved(
        {
            "tracked": lambda: recompute_tracked(tracked, depth),
            "plain_tracked": lambda: plain_tracked(plain, depth),
            "declared": lambda: recompute_declared(declared),
            "plain_declared": lambda: plain_declared(plain_decl),
        },
        cfg.rounds,
    )
    levels = depth - 1
    target = 150.0  # ns of the module's own time per level
    rows = []
    for label, plain_label, desc in (
        ("tracked", "plain_tracked", "runtime-tracked level(i) -> level(i-1)"),
        ("declared", "plain_declared", "declared level_i -> level_(i-1)"),
    ):
        bench = f"update root + recompute {depth}-level chain, {desc}"
        own = (med[label] - med[plain_label]) / levels
        rows.append(Row(bench, "quendle total", med[label] / 1e6, "ms"))
        rows.append(Row(bench, "  plain body, same work", med[plain_label] / levels, "ns/level"))
        rows.append(Row(bench, "  module's own time", own, "ns/level",
                        target="<= 150 ns/level", ok=own <= target))
    return rows


def bench_fanout(cfg):
    """One update invalidating every dependant of a root: cfg.fanout keys
    computed from it (runtime-tracked), invalidated by one update."""
    n = cfg.fanout

    class Fan(QuendleBase):
        @quendled()
        def root(self):
            return 0

        @quendled(track_runtime_dependencies=True)
        def leaf(self, i):
            return self.root() + i

    obj = Fan()
    for i in range(n):
        obj.leaf(i)
    check(obj.validation_state[("leaf", (("i", n - 1),))] == "valid", "fan-out: built")
    t0 = time.perf_counter_ns()
    obj.update_cached_value("root", 1)
    elapsed = time.perf_counter_ns() - t0
    vs = obj.validation_state
    check(sum(1 for v in vs.values() if v == "invalid") == n, "fan-out: every dependant invalidated")
    check(obj.leaf(3) == 4, "fan-out: recomputes from the update")
    del vs, obj
    ms = elapsed / 1e6
    bench = f"update invalidating {n:,} dependants"
    return [Row(bench, "quendle", ms, "ms", target="<= 50 ms" if n >= 1_000_000 else "<= 50 ms (at 1,000,000)",
                ok=ms <= 50.0 if n >= 1_000_000 else None)]


def make_plain_declared(i, body_runs):
    def body(self):
        body_runs.n += 1
        return i

    return body


def bench_memory(cfg):
    n = cfg.memory_entries
    # The argument objects exist before either measurement starts and are
    # shared by both, so neither figure includes them.
    args = list(range(10**12, 10**12 + n))

    class Q(QuendleBase):
        @quendled()
        def m(self, x):
            return None

    class L:
        @functools.lru_cache(maxsize=None)
        def m(self, x):
            return None

    def fill(obj):
        m = obj.m
        for x in args:
            m(x)

    # Warm both paths so one-time allocations are not counted.
    warm_q, warm_l = Q(), L()
    for x in range(10):
        warm_q.m(x)
        warm_l.m(x)

    results = {}
    keep = []
    for label, make in (("quendle", Q), ("lru_cache", L)):
        obj = make()
        settle_gc()
        before = rss_bytes()
        fill(obj)
        settle_gc()
        after = rss_bytes()
        keep.append(obj)  # kept alive so the next figure cannot reuse its pages
        results[label] = (after - before) / n

    q = keep[0]
    check(q.is_cached("m", x=args[-1]) and len(q.validation_state) == n, "memory: quendle holds every entry")
    check(L.m.cache_info().currsize == n + 10, "memory: lru_cache holds every entry")
    target = 120.0
    rows = [
        Row(f"memory per entry, {n} entries of m(self, x)", "quendle", results["quendle"], "B/entry",
            target="<= 120 B/entry", ok=results["quendle"] <= target),
        Row(f"memory per entry, {n} entries of m(self, x)", "  / lru_cache", results["lru_cache"], "B/entry",
            ratio=results["quendle"] / results["lru_cache"] if results["lru_cache"] > 0 else None),
    ]
    del keep
    L.m.cache_clear()
    return rows


# --------------------------------------------------------------------------


class Config:
    def __init__(self, quick: bool, rounds: int | None):
        self.quick = quick
        self.rounds = rounds or (3 if quick else 7)
        self.hit_calls = 20_000 if quick else 300_000
        self.miss_calls = 5_000 if quick else 50_000
        self.chain_depth = 1000 if quick else 10_000
        self.fanout = 100_000 if quick else 1_000_000
        self.memory_entries = 20_000 if quick else 100_000


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="small sizes and 3 rounds: a fast smoke run")
    p.add_argument("--rounds", type=int, default=None, help="interleaved rounds per benchmark (default 7)")
    ns = p.parse_args(argv)
    cfg = Config(ns.quick, ns.rounds)

    header(cfg.rounds, cfg.quick)
    t_start = time.perf_counter()
    # Memory first: later benchmarks leave freed memory behind that would be
    # reused and make the figure look smaller than it is.
    print_table(collect([bench_memory, bench_hits, bench_misses, bench_cross, bench_chain, bench_fanout], cfg))
    print()
    print(f"total {time.perf_counter() - t_start:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
