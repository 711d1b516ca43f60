"""Scenario and invalidation costs on large instances.

Prints, as medians over repeats:
- one scenario enter+exit over an instance with 100,000 valid keys;
- update_cached_value of the root of a 10,000-level dependency chain (which
  invalidates every level) followed by recomputing every level bottom-up,
  so that no call nests deeper than two levels.

    python bench/bench_invalidation.py [--keys N] [--levels N] [--repeats N]
"""

from __future__ import annotations

import argparse
import statistics
import time

import quendle
from quendle import QuendleBase, quendled


class Wide(QuendleBase):
    @quendled()
    def cell(self, i):
        return i


class Chain(QuendleBase):
    def __init__(self):
        self.runs = 0

    @quendled()
    def root(self):
        return 0

    @quendled(track_runtime_dependencies=True)
    def level(self, i):
        self.runs += 1
        return (self.root() if i == 0 else self.level(i - 1)) + 1


def scenario_cost(keys: int, repeats: int) -> float:
    wide = Wide()
    for i in range(keys):
        wide.cell(i)
    assert len(wide.validation_state) == keys
    times = []
    for _ in range(repeats):
        scenario = quendle.custom_scenario([wide])
        t0 = time.perf_counter_ns()
        scenario.__enter__()
        scenario.__exit__(None, None, None)
        times.append(time.perf_counter_ns() - t0)
    assert all(v == "valid" for v in wide.validation_state.values())
    return statistics.median(times) / 1e3


def chain_cost(levels: int, repeats: int) -> tuple[float, float]:
    chain = Chain()
    for i in range(levels):  # bottom-up: each call finds its predecessor cached
        chain.level(i)
    update, recompute = [], []
    for r in range(repeats):
        chain.runs = 0
        t0 = time.perf_counter_ns()
        chain.update_cached_value("root", r + 1)
        t1 = time.perf_counter_ns()
        for i in range(levels):
            chain.level(i)
        t2 = time.perf_counter_ns()
        # The result is only trusted if every level really ran again.
        assert chain.runs == levels and chain.level(levels - 1) == r + 1 + levels
        update.append(t1 - t0)
        recompute.append(t2 - t1)
    return statistics.median(update) / 1e3, statistics.median(recompute) / 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--levels", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    enter_exit = scenario_cost(args.keys, args.repeats)
    update, recompute = chain_cost(args.levels, args.repeats)
    print(f"scenario enter+exit, {args.keys} valid keys: {enter_exit:10.1f} us")
    print(f"update invalidating a {args.levels}-level chain: {update:10.1f} us")
    print(f"recompute every level bottom-up:           {recompute:10.1f} us "
          f"({recompute * 1e3 / args.levels:.0f} ns per level, body included)")


if __name__ == "__main__":
    main()
