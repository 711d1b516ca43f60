"""Early cut-off on a 100-level chain.

    PYTHONPATH=build/dev python3 bench/bench_cutoff.py [--rounds N] [--levels L]

Level 1 reads the root and rounds it; level k reads level k-1. The root is
updated so that level 1 recomputes to an equal value, and the top is called.
With a cut-off on level 1 only level 1 runs and the other levels become valid
again without running; without one every level runs. Prints both times, the
time of one plain hit, and the cost per level of settling without running
(the cut-off chain's time less one run of level 1, over the levels settled),
with the target: at most the cost of a hit.
"""

from __future__ import annotations

import argparse
import itertools

from harness import Row, check, header, interleaved, ns, print_table

from quendle import QuendleBase, quendled


def chain_class(levels: int, cutoff: bool) -> type:
    body: dict = {}

    @quendled()
    def root(self):
        return 1.2

    body["root"] = root

    @quendled(dependencies=["root"], cutoff=True if cutoff else None)
    def level1(self):
        return round(self.root())

    body["level1"] = level1
    for k in range(2, levels + 1):
        def make(prev):
            def level(self):
                return getattr(self, prev)() + 1
            return level
        f = make(f"level{k - 1}")
        f.__name__ = f"level{k}"
        body[f"level{k}"] = quendled(dependencies=[f"level{k - 1}"])(f)
    return type(f"Chain{levels}{'Cut' if cutoff else ''}", (QuendleBase,), body)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--levels", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=200)
    args = parser.parse_args()
    levels, repeats = args.levels, args.repeats
    top = f"level{levels}"
    header(args.rounds)

    def workload(cls):
        objs = [cls() for _ in range(repeats)]
        for o in objs:
            getattr(o, top)()
        values = itertools.cycle([1.3, 1.1])

        def one_round() -> float:
            total = 0
            for o in objs:
                o.update_cached_value("root", next(values))
                call = getattr(o, top)
                t0 = ns()
                call()
                total += ns() - t0
            return total / len(objs)
        return objs, one_round

    cut_objs, cut = workload(chain_class(levels, True))
    plain_objs, plain = workload(chain_class(levels, False))
    check(getattr(cut_objs[0], top)() == getattr(plain_objs[0], top)() == levels, "both chains give the same top")
    hit_obj = cut_objs[0]
    hit_call = getattr(hit_obj, top)

    def hit() -> float:
        t0 = ns()
        for _ in range(1000):
            hit_call()
        return (ns() - t0) / 1000

    single = chain_class(1, False)

    def level1_run() -> float:
        o = single()
        o.level1()
        o.update_cached_value("root", 1.3)
        t0 = ns()
        o.level1()
        return ns() - t0

    med = interleaved({"cut": cut, "plain": plain, "hit": hit, "level1": level1_run}, args.rounds)
    per_level = max(med["cut"] - med["level1"], 0) / (levels - 1)
    rows = [
        Row(f"{levels}-level chain, root updated so that level 1 recomputes equal; call the top",
            "without cut-off", med["plain"] / 1000, "us"),
        Row(f"{levels}-level chain, root updated so that level 1 recomputes equal; call the top",
            "cutoff=True on level 1", med["cut"] / 1000, "us", ratio=med["cut"] / med["plain"]),
        Row("settling one level without running (cut-off time less level 1's run, per level)",
            "per level", per_level, "ns", ratio=per_level / med["hit"], target="<= 1 hit",
            ok=per_level <= med["hit"]),
        Row("settling one level without running (cut-off time less level 1's run, per level)",
            "one hit (anchor)", med["hit"], "ns"),
    ]
    print_table(rows)


if __name__ == "__main__":
    main()
