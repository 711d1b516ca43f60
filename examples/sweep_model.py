"""The model and the what-if sweep shared by sweep_processes.py and sweep_dask.py.

A small book of fixed-coupon bonds priced off a flat curve plus a spread. A
sweep runs many scenarios over the warm book: each one shifts the curve and
the spread inside ``custom_scenario``, collects the book's value and the
bonds' durations, and leaves the book as it found it. The classes live in a
module of their own, so that worker processes can import them when a
pickled book reaches them.
"""

from __future__ import annotations

import itertools
from collections import Counter
from typing import Any

from quendle import QuendleBase, custom_scenario, quendled

# Bodies run in this process, by method name.
RUNS: Counter[str] = Counter()

CURVE = 0.03
SPREAD = 0.01
# (curve shift, spread shift) pairs, in basis points.
SCENARIOS = list(itertools.product(range(-100, 101, 50), range(0, 61, 20)))


class Bond(QuendleBase):
    def __init__(self, name: str, face: float, coupon: float, years: int) -> None:
        self.name, self.face, self.coupon, self.years = name, face, coupon, years

    @quendled()
    def curve(self) -> float:
        RUNS["curve"] += 1
        return CURVE

    @quendled()
    def spread(self) -> float:
        RUNS["spread"] += 1
        return SPREAD

    @quendled(dependencies=["curve", "spread"])
    def discount(self, year: int) -> float:
        RUNS["discount"] += 1
        return float((1 + self.curve() + self.spread()) ** -year)

    @quendled(track_runtime_dependencies=True)
    def cash_flows(self) -> list[tuple[int, float]]:
        RUNS["cash_flows"] += 1
        flows = [(year, self.face * self.coupon) for year in range(1, self.years + 1)]
        flows[-1] = (self.years, flows[-1][1] + self.face)
        return flows

    @quendled(track_runtime_dependencies=True)
    def price(self) -> float:
        RUNS["price"] += 1
        return sum(amount * self.discount(year) for year, amount in self.cash_flows())

    @quendled(track_runtime_dependencies=True)
    def duration(self) -> float:
        RUNS["duration"] += 1
        weighted = sum(year * amount * self.discount(year) for year, amount in self.cash_flows())
        return float(weighted / self.price())


def make_book() -> list[Bond]:
    """The book, warm: every price and duration computed and cached."""
    book = [Bond(f"B{i}", 100.0 * (i + 1), 0.02 + 0.005 * i, 3 + 2 * i) for i in range(6)]
    for bond in book:
        bond.duration()
    return book


def run_scenario(book: list[Bond], shifts: tuple[int, int]) -> dict[str, Any]:
    """One what-if: the book's value and durations with the curve and the
    spread shifted by ``shifts`` basis points, and the bodies that ran."""
    before = RUNS.copy()
    curve_bp, spread_bp = shifts
    with custom_scenario(book):
        for bond in book:
            bond.update_cached_value("curve", bond.get_cached_value("curve") + curve_bp / 10_000)
            bond.update_cached_value("spread", bond.get_cached_value("spread") + spread_bp / 10_000)
        value = sum(bond.price() for bond in book)
        durations = [round(bond.duration(), 12) for bond in book]
    ran = RUNS - before
    return {"shifts": shifts, "value": round(value, 9), "durations": durations, "bodies": dict(sorted(ran.items()))}


def serial_sweep(book: list[Bond]) -> list[dict[str, Any]]:
    return [run_scenario(book, shifts) for shifts in SCENARIOS]


def compare(name: str, expected: list[dict[str, Any]], got: list[dict[str, Any]]) -> int:
    """Prints the outcome; 0 when every result matches the serial run, else 1."""
    wrong = [g["shifts"] for e, g in zip(expected, got) if e != g]
    if len(got) != len(expected) or wrong:
        print(f"{name}: MISMATCH with the serial run for {wrong or 'the number of results'}")
        return 1
    worst = min(expected, key=lambda r: r["value"])
    print(f"{name}: {len(got)} scenarios match the serial run; lowest book value "
          f"{worst['value']:.2f} at shifts {worst['shifts']} bp; each scenario ran {got[0]['bodies']}")
    return 0
