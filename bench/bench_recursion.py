"""C stack used per level of a memoised recursion, beside functools and plain Python.

Run against a build, e.g.

    PYTHONPATH=$PWD/build/dev python3 bench/bench_recursion.py [--quick]

Three variants of ``f(n) = 0 if n == 0 else f(n - 1) + 1`` are measured:

* quendled: ``@quendled()`` on a method of a ``QuendleBase`` subclass;
* lru_cache: ``functools.lru_cache(maxsize=None)`` on a plain function;
* plain: the undecorated function.

For each variant and each thread stack size S, the greatest depth that
completes is found by search: a depth is probed in a fresh
``threading.Thread`` started after ``threading.stack_size(S)``, with
``sys.setrecursionlimit(10**7)``, and passes only if the recursion returns
the right value.  Probes run in child processes of this script (``--child``):
a depth that overflows the stack kills its child with a signal, and anything
else that is not a correct return (RecursionError, MemoryError, any other
exception) fails the depth too.  The search doubles from 1024 levels until a
depth fails, then bisects down to a single level; a child goes on probing
until it dies, and the next child resumes from what the dead one reported.
Each recursion starts from an empty cache.

Figures per variant and stack size:

* raw: S / depth, the whole stack shared out over the levels;
* guarded: (S - reserve) / depth, for quendled only.  The module raises
  RecursionError once a decorated call finds less than a reserve of stack
  left (a sixteenth of the stack, clamped to [32 KiB, 256 KiB], as in
  src/base/runtime.cpp), so its search stops at the guard, not at the overflow;
* marginal: (S2 - S1) / (depth2 - depth1) between the two stack sizes.  It
  cancels every fixed cost (the reserve, thread start-up, thread-local
  storage, the frames below the recursion), so it is the cost of one level
  itself and does not depend on the reserve's formula.

The last column names how the first failing depth failed.  An interpreter
whose Python-to-Python calls use no C stack lets plain recursion reach the
search's ceiling; the table then shows that ceiling as a lower bound.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time

KIB = 1 << 10
MIB = 1 << 20
START = 1024
VARIANTS = ("quendled", "lru_cache", "plain")


def guard_reserve(stack_size: int) -> int:
    """The stack the module's C stack guard keeps free (see src/base/runtime.cpp)."""
    return min(max(stack_size // 16, 32 * KIB), 256 * KIB)


# --------------------------------------------------------------------------
# the search, shared by the parent and its children


class Search:
    """Greatest passing depth in [0, ceiling]: ``lo`` passes, ``hi`` fails."""

    def __init__(self, ceiling: int, lo: int = 0, hi: int | None = None,
                 ceiling_tried: bool = False, bracketed: bool = False):
        self.ceiling = ceiling
        self.lo = lo
        self.hi = hi
        self.ceiling_tried = ceiling_tried
        self.bracketed = bracketed
        self.failure = ""  # how the lowest failing depth failed

    def next_depth(self) -> int | None:
        if not self.ceiling_tried:
            return self.ceiling
        if self.hi is None or self.hi - self.lo <= 1:
            return None
        if not self.bracketed:
            d = max(START, 2 * self.lo)
            if d < self.hi:
                return d
            self.bracketed = True
        return (self.lo + self.hi) // 2

    def record(self, depth: int, passed: bool, failure: str = "") -> None:
        if depth == self.ceiling:
            self.ceiling_tried = True
        if passed:
            self.lo = max(self.lo, depth)
        else:
            if self.hi is None or depth <= self.hi:
                self.hi = depth
                self.failure = failure
            if depth != self.ceiling:
                self.bracketed = True

    def args(self) -> list[str]:
        return [str(self.ceiling), str(self.lo), str(-1 if self.hi is None else self.hi),
                str(int(self.ceiling_tried)), str(int(self.bracketed))]

    @classmethod
    def from_args(cls, argv: list[str]) -> Search:
        ceiling, lo, hi, tried, bracketed = (int(a) for a in argv)
        return cls(ceiling, lo, None if hi < 0 else hi, bool(tried), bool(bracketed))


# --------------------------------------------------------------------------
# child: probe depths until the search ends or the stack overflows


def make_recursion(variant: str):
    """A fresh callable computing f(n) for one probe (its cache empty)."""
    if variant == "quendled":
        from quendle import QuendleBase, quendled

        class Counter(QuendleBase):
            @quendled()
            def f(self, n):
                return 0 if n == 0 else self.f(n - 1) + 1
        return Counter().f
    if variant == "lru_cache":
        import functools

        @functools.lru_cache(maxsize=None)
        def f(n):
            return 0 if n == 0 else f(n - 1) + 1
        return f
    if variant == "plain":
        def f(n):
            return 0 if n == 0 else f(n - 1) + 1
        return f
    raise SystemExit(f"unknown variant {variant!r}")


def probe(variant: str, depth: int) -> str:
    """'' when f(depth) returns depth in a fresh thread, else how it failed."""
    import threading

    outcome = ["thread ended without a result"]

    def run():
        try:
            f = make_recursion(variant)
            value = f(depth)
            outcome[0] = "" if value == depth else f"wrong value {value!r}"
        except BaseException as exc:  # every non-success fails the depth
            outcome[0] = type(exc).__name__

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return outcome[0]


def child(argv: list[str]) -> None:
    import resource
    import threading

    variant, stack_size = argv[0], int(argv[1])
    search = Search.from_args(argv[2:])
    try:
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    except (ValueError, OSError):
        pass
    sys.setrecursionlimit(10**7)
    threading.stack_size(stack_size)
    make_recursion(variant)  # imports happen before any probe
    while (depth := search.next_depth()) is not None:
        print(f"try {depth}", flush=True)
        failure = probe(variant, depth)
        print(f"ok {depth}" if not failure else f"fail {depth} {failure}", flush=True)
        search.record(depth, not failure, failure)


# --------------------------------------------------------------------------
# parent


def how_it_died(returncode: int) -> str:
    if returncode < 0:
        try:
            return signal.Signals(-returncode).name
        except ValueError:
            return f"signal {-returncode}"
    return f"exit status {returncode}"


def max_depth(variant: str, stack_size: int, ceiling: int) -> tuple[Search, int]:
    """The finished search and the number of child processes it took."""
    search = Search(ceiling)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONFAULTHANDLER"}
    children = 0
    while search.next_depth() is not None:
        children += 1
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--child", variant, str(stack_size),
             *search.args()],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, timeout=300)
        pending = None
        for line in proc.stdout.splitlines():
            word, depth, *rest = line.split(" ", 2)
            if word == "try":
                pending = int(depth)
            else:
                search.record(int(depth), word == "ok", rest[0] if rest else "")
                pending = None
        if pending is not None:
            search.record(pending, False, how_it_died(proc.returncode))
        elif proc.returncode != 0:
            sys.exit(f"{variant}: the child failed outside a probe "
                     f"({how_it_died(proc.returncode)}):\n{proc.stderr}")
    return search, children


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--quick", action="store_true", help="one stack size, a lower ceiling")
    parser.add_argument("--child", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child is not None:
        child(opts.child)
        return

    from harness import machine

    sizes = [4 * MIB] if opts.quick else [4 * MIB, 8 * MIB]
    ceiling = 200_000 if opts.quick else 1_000_000
    print(machine())
    print(f"stack sizes {', '.join(f'{s // MIB} MiB' for s in sizes)}; "
          f"depth ceiling {ceiling:,}; recursion limit 10**7")
    print()
    header = (f"{'variant':<10} {'stack':>6} {'max depth':>11} {'raw B/lvl':>10} "
              f"{'guarded B/lvl':>14} {'marginal B/lvl':>15}  first failure")
    print(header)
    print("-" * len(header))
    started = time.monotonic()
    spawned = 0
    for variant in VARIANTS:
        found = []
        for size in sizes:
            search, children = max_depth(variant, size, ceiling)
            spawned += children
            found.append((size, search))
        marginal = "-"
        if len(found) == 2:
            (s1, a), (s2, b) = found
            if a.hi is not None and b.hi is not None and b.lo > a.lo:
                marginal = f"{(s2 - s1) / (b.lo - a.lo):.0f}"
        for i, (size, search) in enumerate(found):
            capped = search.hi is None
            depth = f">={search.lo:,}" if capped else f"{search.lo:,}"
            raw = f"<{size / search.lo:.1f}" if capped else f"{size / search.lo:.0f}"
            guarded = "-"
            if variant == "quendled" and not capped:
                guarded = f"{(size - guard_reserve(size)) / search.lo:.0f}"
            failure = "none up to the ceiling" if capped else search.failure
            print(f"{variant if i == 0 else '':<10} {size // MIB:>4}Mi {depth:>11} {raw:>10} "
                  f"{guarded:>14} {marginal if i == 0 else '':>15}  {failure}")
    print()
    print(f"{spawned} child processes, {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    main()
