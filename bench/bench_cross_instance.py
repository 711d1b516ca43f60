"""Memory left behind by short-lived dependants of one long-lived instance.

Run against a build, e.g.

    PYTHONPATH=build/dev python3 bench/bench_cross_instance.py [--quick]

A long-lived ``Bond`` is read by a million short-lived ``Portfolio``
instances of an opted-in class, each recording a cross-instance edge and then
dying.  The edges must go with their dependants: the resident set size
(read from /proc, since the module's tables live outside the Python
allocator) is printed after a warm-up and after the run, with the growth per
dependant.  The exit status is 0 regardless.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time

import quendle
from quendle import QuendleBase, quendled

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


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


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="100,000 dependants instead of 1,000,000")
    n = 100_000 if ap.parse_args(argv).quick else 1_000_000
    print(f"quendle from {quendle.__file__}, Python {sys.version.split()[0]}")
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
