"""Scenario and invalidation costs on large instances.

Prints, as medians over interleaved rounds (each the best of a few repeats,
so an interrupt does not decide a round), one scenario enter+exit over an
instance with 100,000 valid keys, alone and around one update_cached_value.
(The update and recompute of a long chain is bench_calls.py's figure.)

Then, once each, every operation that walks the whole cache of an instance,
on two graphs of --walk-keys keys (default 100,000; --walk-keys 1000000 for
the large size, or QUENDLE_BENCH_WALK_KEYS=1000000): a dependency chain
(root <- link(0) <- link(1) <- ...) and a fan-out (root with every other key
as a direct dependant).  Each graph is built once; the walks run in an order
that keeps it whole until the last three, which only change states and
remove values (a walk's cost does not depend on the states it meets).

    python bench/bench_invalidation.py [--keys N] [--rounds N] [--repeats N]
                                       [--walk-keys N] [--no-walks]
"""

from __future__ import annotations

import argparse
import os

import quendle
from harness import Row, check, collect, elapsed, header, interleaved, ns, print_table
from quendle import QuendleBase, quendled


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


def bench_scenario(keys: int, rounds: int, repeats: int) -> list[Row]:
    class Q(QuendleBase):
        @quendled()
        def v(self, i):
            return i

    obj = Q()
    for i in range(keys):
        obj.v(i)
    vs = obj.validation_state
    check(len(vs) == keys and set(vs.values()) == {"valid"}, "scenario: all keys valid before")
    del vs
    # A change inside the scenario is thrown away on exit.
    with quendle.custom_scenario([obj]):
        obj.update_cached_value("v", "inside", i=0)
        check(obj.v(0) == "inside", "scenario: update seen inside")
    check(obj.v(0) == 0, "scenario: update dropped on exit")

    def enter_exit(update):
        s = quendle.custom_scenario([obj])
        t0 = ns()
        s.__enter__()
        if update:
            obj.update_cached_value("v", "inside", i=1)
        s.__exit__(None, None, None)
        return ns() - t0

    med = interleaved({"plain": lambda: min(enter_exit(False) for _ in range(repeats)),
                       "update": lambda: min(enter_exit(True) for _ in range(repeats))}, rounds)
    check(obj.v(keys - 1) == keys - 1 and obj.is_cached("v", i=keys - 1), "scenario: state intact after exits")
    check(obj.v(1) == 1 and obj.validation_state[("v", (("i", 1),))] == "valid", "scenario: update undone")
    us = med["plain"] / 1e3
    bench = f"scenario over {keys:,} valid keys"
    return [
        Row(bench, "enter+exit", us, "us", target="<= 1000 us" if keys >= 100_000 else "<= 1000 us (at 100,000)",
            ok=us <= 1000.0 if keys >= 100_000 else None),
        Row(bench, "enter+1 update_cached_value+exit", med["update"] / 1e3, "us"),
    ]


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
    out, took = elapsed(fn)
    results.append((what, took / 1e6))
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
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--walk-keys", type=int, default=int(os.environ.get("QUENDLE_BENCH_WALK_KEYS", 100_000)))
    parser.add_argument("--no-walks", action="store_true", help="skip the whole-cache walks")
    args = parser.parse_args()
    header(args.rounds)
    print_table(collect([bench_scenario], args.keys, args.rounds, args.repeats))
    if args.no_walks:
        return
    for shape, title in [("chain", "chain"), ("fan", "fan-out")]:
        print(f"\nwhole-cache walks on a {args.walk_keys}-key {title}, once each:")
        print_table([Row(f"{title} of {args.walk_keys:,} keys", what, ms, "ms")
                     for what, ms in walk_costs(shape, args.walk_keys)])


if __name__ == "__main__":
    main()
