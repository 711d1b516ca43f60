"""A short tour of quendle on a small pricing model.

Run it with ``bash scripts/demo.sh``. Each step prints what happened and the
body counters show which method bodies actually ran.
"""

from __future__ import annotations

import pickle
import sys
import tempfile
from collections import Counter
from pathlib import Path

import quendle
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph_dot  # noqa: E402

runs: Counter[str] = Counter()


class Bond(QuendleBase):
    """A fixed-coupon bond priced off a flat rate."""

    def __init__(self, face: float, coupon: float, years: int) -> None:
        self.face, self.coupon, self.years = face, coupon, years

    @quendled(serialisable=True)
    def rate(self) -> float:
        runs["rate"] += 1
        return 0.05

    @quendled(dependencies=["rate"])
    def discount(self, year: int) -> float:
        runs["discount"] += 1
        return (1 + self.rate()) ** -year

    @quendled(track_runtime_dependencies=True, serialisable=True)
    def price(self) -> float:
        runs["price"] += 1
        flows = sum(self.face * self.coupon * self.discount(year) for year in range(1, self.years + 1))
        return flows + self.face * self.discount(self.years)

    @automagically_quendled(serialisable=True)
    def headline(self) -> str:
        runs["headline"] += 1
        return f"{self.years}y {self.coupon:.1%} bond at {self.price():.2f} (rate {self.rate():.2%})"


class Portfolio(QuendleBase, cross_instance=True):
    """Bonds held; opting in lets its value depend on the bonds' prices."""

    def __init__(self, bonds: list[Bond]) -> None:
        self.bonds = bonds

    @quendled(track_runtime_dependencies=True)
    def value(self) -> float:
        runs["value"] += 1
        return sum(b.price() for b in self.bonds)


def step(title: str) -> None:
    print(f"\n== {title}")


def counters() -> str:
    return ", ".join(f"{name}={count}" for name, count in sorted(runs.items())) or "nothing ran"


def main() -> None:
    bond = Bond(100.0, 0.04, 3)

    step("First computation: every body runs once")
    print(f"price = {bond.price():.4f}   [{counters()}]")

    step("Cache hit: the same object comes back, no body runs")
    before = runs.copy()
    again = bond.price()
    ran = sum(runs.values()) - sum(before.values())
    print(f"price = {again:.4f}, identical object: {again is bond.price()}, bodies run: {ran}")

    step("Arguments are bound by name: positional, keyword and repeated calls share one entry")
    before = runs["discount"]
    bond.discount(7)
    first = runs["discount"] - before
    bond.discount(year=7)
    print(f"discount(7) ran {first} body; discount(year=7) then ran {runs['discount'] - before - first}")
    print(f"entry label {('discount', (('year', 7),))!r} is cached: {bond.is_cached('discount', year=7)}")

    step("Runtime-tracked dependency: price recorded every discount it called")
    graph = bond.dependency_graph
    print("dependants of discount(year=1):", graph[("discount", (("year", 1),))])

    step("Discovered dependencies: headline's source calls self.price() and self.rate()")
    print("headline:", bond.headline())
    print("dependants of 'price':", bond.dependency_graph["price"])

    step("Update an input: exactly its dependants recompute on their next call")
    runs.clear()
    bond.update_cached_value("rate", 0.06)
    print("states after the update:", {k: v for k, v in bond.validation_state.items() if v != "valid"})
    print(f"price = {bond.price():.4f}   [{counters()}]  (rate itself did not run)")

    step("What-if scenario over two bonds: changes vanish on exit")
    other = Bond(100.0, 0.02, 5)
    base_prices = (bond.price(), other.price())
    with custom_scenario([bond, other]):
        bond.update_cached_value("rate", 0.10)
        other.update_cached_value("rate", 0.01)
        print(f"inside:  {bond.price():.4f} and {other.price():.4f}")
    print(f"outside: {bond.price():.4f} and {other.price():.4f}; restored: "
          f"{(bond.price(), other.price()) == base_prices}")

    step("The three reports")
    print("cached_values:   ", {k: (round(v, 4) if isinstance(v, float) else v) for k, v in bond.cached_values.items()})
    print("validation_state:", bond.validation_state)
    print("dependency_graph:", bond.dependency_graph)

    # Drawn from the same state the reports above show: dump_cache below
    # computes the serialisable values it has not got yet.
    step("A picture of the dependency graph, as the reports show it")
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("build/demo-graph")
    for written in graph_dot.write_picture(bond, out, "bond"):
        print(f"wrote {written}")
    print("colours:", ", ".join(f"{state} = {colour}" for state, colour in graph_dot.legend()))

    step("Dump, pickle to a file, load into a fresh instance")
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "bond-cache.pickle"
        path.write_bytes(pickle.dumps(bond.dump_cache(order=["rate"])))
        fresh = Bond(100.0, 0.04, 3)
        fresh.load_cache(pickle.loads(path.read_bytes()))
    print(f"loaded keys: {sorted(k for k in fresh.cached_values if isinstance(k, str))}")
    print(f"fresh rate = {fresh.get_cached_value('rate')}, fresh price = {fresh.get_cached_value('price'):.4f}")

    step("A portfolio of three bonds: dependencies across instances")
    bonds = [Bond(100.0, 0.03, 2), Bond(100.0, 0.04, 3), Bond(100.0, 0.05, 4)]
    book = Portfolio(bonds)
    named = {f"bond{i + 1}": b for i, b in enumerate(bonds)} | {"portfolio": book}
    print(f"portfolio value = {book.value():.4f}")
    print("portfolio depends on:", graph_dot.cross_dependencies(book, "value", named))
    runs.clear()
    bonds[1].update_cached_value("rate", 0.07)
    stale = {f"bond{i + 1}": [k for k, v in b.validation_state.items() if v != "valid"] for i, b in enumerate(bonds)}
    print("invalid after bond2's rate update:", stale, "portfolio:", book.validation_state["value"])
    print(f"portfolio value = {book.value():.4f}   [{counters()}]")

    step("A scenario over one bond moves the portfolio; leaving it restores the value")
    before = book.value()
    with custom_scenario([bonds[0]]):
        bonds[0].update_cached_value("rate", 0.20)
        inside = book.value()
    after = book.value()
    print(f"before {before:.4f}, inside {inside:.4f}, after {after:.4f}; "
          f"changed inside: {inside != before}, after equals before: {after == before}")
    for written in graph_dot.write_many_picture(named, out.with_name(out.name + "-portfolio"), "portfolio"):
        print(f"wrote {written}")
    print("edges:", ", ".join(f"{style} = {meaning}" for style, meaning in graph_dot.edge_legend()))

    print(f"\nquendle exports: {quendle.__all__}")


if __name__ == "__main__":
    main()
