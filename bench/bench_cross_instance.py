"""Memory left behind by short-lived dependants of one long-lived instance.

Run against a build, e.g.

    PYTHONPATH=build/dev python3 bench/bench_cross_instance.py [--quick]

A long-lived ``Bond`` is read by a million short-lived ``Portfolio``
instances of an opted-in class, each recording a cross-instance edge and then
dying.  The edges must go with their dependants: the resident set size
(read from /proc, since the module's tables live outside the Python
allocator) is printed after a warm-up and after the run, with the growth per
dependant.

Then one invalidation of a wide graph: keys of one instance that each depend
on another instance and share their downstream keys (a chain, each step
reading the other instance and the step before it).  Invalidating them from
the other instance is one walk, as it is within one instance: the two times
are printed side by side, for two sizes, and grow with the size of the graph,
not with its square.  The exit status is 0 regardless.
"""

from __future__ import annotations

import argparse
import gc
import sys
import time

import quendle
from harness import header, rss_bytes
from quendle import QuendleBase, quendled


class Bond(QuendleBase):
    @quendled()
    def price(self):
        return 99.5


class Portfolio(QuendleBase, cross_instance=True):
    def __init__(self, bond):
        self.bond = bond

    @quendled(track_runtime_dependencies=True)
    def value(self):
        return self.bond.price()


def churn(bond: Bond, n: int) -> None:
    for _ in range(n):
        p = Portfolio(bond)
        assert p.value() == 99.5
        del p


class Source(QuendleBase):
    @quendled()
    def x(self):
        return 1


class Chain(QuendleBase, cross_instance=True):
    """``across(i)`` reads the source and ``across(i - 1)``; ``within(i)`` the same of ``own``."""

    def __init__(self, source):
        self.source = source

    @quendled()
    def own(self):
        return 1

    @quendled(track_runtime_dependencies=True)
    def across(self, i):
        return self.source.x() + (self.across(i - 1) if i else 0)

    @quendled(track_runtime_dependencies=True)
    def within(self, i):
        return self.own() + (self.within(i - 1) if i else 0)


def wide_invalidation(n: int) -> tuple[float, float]:
    source = Source()
    chain = Chain(source)
    for i in range(n):  # bottom up: no deep recursion
        chain.across(i)
        chain.within(i)
    t0 = time.perf_counter()
    source.update_cached_value("x", 2)
    across = time.perf_counter() - t0
    t0 = time.perf_counter()
    chain.update_cached_value("own", 2)
    within = time.perf_counter() - t0
    assert chain.validation_state[("across", (("i", n - 1),))] == "invalid"
    assert chain.validation_state[("within", (("i", n - 1),))] == "invalid"
    return across, within


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="100,000 dependants instead of 1,000,000")
    n = 100_000 if ap.parse_args(argv).quick else 1_000_000
    header()
    bond = Bond()
    churn(bond, 10_000)  # warm-up: allocator pools, the side table's buckets
    gc.collect()
    before = rss_bytes()
    t0 = time.perf_counter()
    churn(bond, n)
    elapsed = time.perf_counter() - t0
    gc.collect()
    after = rss_bytes()
    edges_left = sum(len(e["dependants"]) for e in quendle.cross_instance_edges(bond).values())
    growth = after - before
    print(f"{n:,} short-lived dependants of one instance in {elapsed:.2f} s "
          f"({elapsed / n * 1e9:,.0f} ns per create + call + death)")
    print(f"RSS before {before / 2**20:.1f} MiB, after {after / 2**20:.1f} MiB: "
          f"growth {growth / 2**10:,.0f} KiB, {growth / n:.2f} bytes per dependant")
    print(f"edges still reported on the long-lived instance: {edges_left}")
    for keys in (3_000, 12_000):
        across, within = wide_invalidation(keys)
        print(f"{keys:,} keys depending on another instance, sharing downstream keys: invalidated in "
              f"{across * 1e3:.1f} ms across instances, {within * 1e3:.1f} ms within one")
    return 0


if __name__ == "__main__":
    sys.exit(main())
