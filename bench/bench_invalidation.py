"""Scenario and invalidation costs on large instances.

Prints, as medians over repeats:
- one scenario enter+exit over an instance with 100,000 valid keys;
- update_cached_value of the root of a 10,000-level dependency chain (which
  invalidates every level) followed by recomputing every level bottom-up,
  so that no call nests deeper than two levels.

Then, once each, every operation that walks the whole cache of an instance,
on two graphs of --walk-keys keys (default 100,000; --walk-keys 1000000 for
the large size, or QUENDLE_BENCH_WALK_KEYS=1000000): a dependency chain
(root <- link(0) <- link(1) <- ...) and a fan-out (root with every other key
as a direct dependant).  Each graph is built once; the walks run in an order
that keeps it whole until the last three, which only change states and
remove values (a walk's cost does not depend on the states it meets).

    python bench/bench_invalidation.py [--keys N] [--levels N] [--repeats N]
                                       [--walk-keys N] [--no-walks]
"""

from __future__ import annotations

import argparse
import os
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


class Graph(QuendleBase):
    @quendled(serialisable=True)
    def root(self):
        return 0

    @quendled(track_runtime_dependencies=True)
    def link(self, i):
        return (self.root() if i == 0 else self.link(i - 1)) + 1

    @quendled(track_runtime_dependencies=True)
    def leaf(self, i):
        return self.root() + i


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


def build_graph(shape: str, keys: int) -> Graph:
    g = Graph()
    g.root()
    if shape == "chain":
        for i in range(keys - 1):  # bottom-up: each call finds its predecessor cached
            g.link(i)
    else:
        for i in range(keys - 1):
            g.leaf(i)
    return g


def timed(results: list, what: str, fn) -> object:
    t0 = time.perf_counter_ns()
    out = fn()
    results.append((what, (time.perf_counter_ns() - t0) / 1e6))
    return out


def walk_costs(shape: str, keys: int) -> list[tuple[str, float]]:
    results: list[tuple[str, float]] = []
    g = timed(results, "build (decorated calls)", lambda: build_graph(shape, keys))
    last = ("link", (("i", keys - 2),)) if shape == "chain" else ("leaf", (("i", keys - 2),))
    values = timed(results, "cached_values", lambda: g.cached_values)
    assert len(values) == keys
    graph = timed(results, "dependency_graph", lambda: g.dependency_graph)
    assert len(graph["root"]) == (1 if shape == "chain" else keys - 1)
    states = timed(results, "validation_state", lambda: g.validation_state)
    assert len(states) == keys and states[last] == "valid"
    del values, graph, states
    scenario = quendle.custom_scenario([g])
    timed(results, "scenario enter", scenario.__enter__)
    timed(results, "scenario exit", lambda: scenario.__exit__(None, None, None))
    data = timed(results, "dump_cache", g.dump_cache)
    assert data == {"root": 0}
    timed(results, "load_cache", lambda: g.load_cache(data))
    timed(results, "update_cached_value (invalidate)", lambda: g.update_cached_value("root", 0))
    assert not g.is_cached(*last[:1], **dict(last[1]))
    timed(results, "clear_cached_value", lambda: g.clear_cached_value("root"))
    timed(results, "clear_cache", g.clear_cache)
    assert g.cached_values == {}
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--levels", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--walk-keys", type=int, default=int(os.environ.get("QUENDLE_BENCH_WALK_KEYS", 100_000)))
    parser.add_argument("--no-walks", action="store_true", help="skip the whole-cache walks")
    args = parser.parse_args()
    enter_exit = scenario_cost(args.keys, args.repeats)
    update, recompute = chain_cost(args.levels, args.repeats)
    print(f"scenario enter+exit, {args.keys} valid keys: {enter_exit:10.1f} us")
    print(f"update invalidating a {args.levels}-level chain: {update:10.1f} us")
    print(f"recompute every level bottom-up:           {recompute:10.1f} us "
          f"({recompute * 1e3 / args.levels:.0f} ns per level, body included)")
    if args.no_walks:
        return
    for shape, title in [("chain", "chain"), ("fan", "fan-out")]:
        print(f"\nwhole-cache walks on a {args.walk_keys}-key {title}:")
        for what, ms in walk_costs(shape, args.walk_keys):
            print(f"  {what:34s} {ms:10.1f} ms")


if __name__ == "__main__":
    main()
