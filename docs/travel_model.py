"""The classes of the pickling page. Pickles refer to classes by module and
name, so a class that travels lives in a module the receiver can import."""

from __future__ import annotations

from quendle import QuendleBase, quendled


class Curve(QuendleBase):
    def __init__(self) -> None:
        self.bodies = 0

    @quendled()
    def level(self) -> float:
        self.bodies += 1
        return 0.03

    @quendled(track_runtime_dependencies=True)
    def discount(self, year: int) -> float:
        self.bodies += 1
        return (1 + self.level()) ** -year


class Scratch(Curve):
    """A curve that travels with an empty cache."""

    __quendle_pickle_cache__ = False


class Bond(QuendleBase):
    def __init__(self, name: str) -> None:
        self.name = name

    @quendled()
    def price(self) -> float:
        return 100.0


class Book(QuendleBase, cross_instance=True):
    def __init__(self, bonds: list[Bond]) -> None:
        self.bonds = bonds

    @quendled(track_runtime_dependencies=True)
    def value(self) -> float:
        return sum(b.price() for b in self.bonds)


def discount_where_it_lands(curve: Curve, year: int) -> tuple[bool, float, int]:
    """Run in another process: whether ``curve`` arrived with
    ``discount(year)`` cached, its value, and the bodies run so far."""
    return curve.is_cached("discount", year=year), curve.discount(year), curve.bodies
