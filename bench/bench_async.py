"""Cost of ``await obj.method()`` on a hit, beside its anchors.

Run against a build, e.g.

    PYTHONPATH=build/dev python3 bench/bench_async.py [--quick] [--rounds N]

Contenders, each awaited in a loop inside one coroutine on one asyncio loop:

- quendle: a ``quendled()`` coroutine method whose value is cached;
- alru_cache: the same method under ``async_lru.alru_cache`` (the
  ``async-lru`` package; printed as "not installed" without it);
- plain ``async def``: a coroutine method returning a constant (no cache:
  the floor of any awaited call).

Figures are medians over interleaved rounds (the contenders' order rotates
from round to round). Every contender's result is checked first: the hit
returns the identical object and does not run the body again. The exit status
is 0 regardless.
"""

from __future__ import annotations

import argparse
import asyncio
import time

from harness import Row, header, interleaved, print_table
from quendle import QuendleBase, quendled

try:
    from async_lru import alru_cache
except ImportError:  # optional anchor
    alru_cache = None

VALUE = ("cached", 1)


class Model(QuendleBase):
    def __init__(self):
        self.runs = 0

    @quendled()
    async def get(self):
        self.runs += 1
        return VALUE


class Plain:
    async def get(self):
        return VALUE


def lru_model():
    class Lru:
        def __init__(self):
            self.runs = 0

        @alru_cache(maxsize=None)
        async def get(self):
            self.runs += 1
            return VALUE

    return Lru()


async def timed(obj, n):
    get = obj.get
    start = time.perf_counter_ns()
    for _ in range(n):
        await get()
    return (time.perf_counter_ns() - start) / n


async def check(obj, caches):
    first = await obj.get()
    second = await obj.get()
    assert first is VALUE and second is VALUE
    if caches:
        assert obj.runs == 1, f"{type(obj).__name__}: the hit ran the body"


def main(rounds, n):
    contenders = {"quendle": Model(), "plain async def": Plain()}
    if alru_cache is not None:
        contenders["alru_cache"] = lru_model()
    loop = asyncio.new_event_loop()  # one loop for every await, checks included
    try:
        for name, obj in contenders.items():
            loop.run_until_complete(check(obj, name != "plain async def"))
        return interleaved({name: lambda obj=obj: loop.run_until_complete(timed(obj, n))
                            for name, obj in contenders.items()}, rounds)
    finally:
        loop.close()


def report(medians, rounds):
    header(rounds)
    q = medians["quendle"]
    bench = "hit, await o.get() (0 arguments)"
    rows = [Row(bench, "quendle", q, "ns/await")]
    for name in ("alru_cache", "plain async def"):
        if name in medians:
            rows.append(Row(bench, "  / " + name, medians[name], "ns/await", ratio=q / medians[name]))
        else:
            rows.append(Row(bench, "  / " + name, float("nan"), "", note="not installed"))
    print_table(rows)


def cli():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="3 rounds of few awaits: a fast smoke run")
    p.add_argument("--rounds", type=int, default=None, help="number of interleaved rounds (default 9)")
    args = p.parse_args()
    rounds = args.rounds or (3 if args.quick else 9)
    n = 2_000 if args.quick else 100_000
    report(main(rounds, n), rounds)


if __name__ == "__main__":
    cli()
