# A model as an application writes it, for the type checkers only (never
# run): each checker in its strict mode must accept the whole file. It
# returns from inside scenarios, passes dumped caches around and reads the
# reports, so every public signature of the stub is used as code uses it.
from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any

from typing_extensions import assert_type

import quendle
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

if TYPE_CHECKING:
    from quendle import Scenario


class Portfolio(QuendleBase, cross_instance=True):
    def __init__(self, notional: float) -> None:
        self.notional = notional

    @quendled(serialisable=True)
    def rate(self) -> float:
        return 0.03

    @quendled(dependencies=[("discount", {"years": 1})])
    def one_year(self) -> float:
        return self.discount(1)

    @quendled()
    def discount(self, years: int) -> float:
        return (1 + self.rate()) ** -years

    @automagically_quendled()
    def value(self) -> float:
        return self.notional * self.rate()

    @quendled(track_runtime_dependencies=True)
    async def remote_value(self) -> float:
        return self.value()


def stressed_value(p: Portfolio, shocked_rate: float) -> float:
    with custom_scenario([p]):
        p.update_cached_value("rate", shocked_rate)
        return p.value()  # returning inside the scenario needs no return after it


def stressed_twice(p: Portfolio) -> tuple[float, float]:
    with custom_scenario([p]) as scenario:
        assert_type(scenario, Scenario)
        first = p.value()
    return first, p.value()


def warm_copy(p: Portfolio) -> Portfolio:
    saved = p.dump_cache()
    assert_type(saved, dict[str, Any])
    names: list[str] = sorted(saved)
    fresh = Portfolio(p.notional)
    fresh.load_cache(saved, order=names)
    return fresh


def report(p: Portfolio) -> dict[str, str]:
    states = p.validation_state
    graph = p.dependency_graph
    values = p.cached_values
    lines = {str(key): state for key, state in states.items()}
    for key, dependants in graph.items():
        lines[str(key)] += f" -> {len(dependants)} dependants, value {values.get(key)!r}"
    lines["why"] = quendle.explain(p, "discount", years=1)
    edges = quendle.cross_instance_edges(p)
    lines["edges"] = str(len(edges))
    return lines


def cached_rate(p: Portfolio) -> float | None:
    if p.is_cached("rate"):
        rate: float = p.get_cached_value("rate")
        return rate
    p.clear_cached_value("discount", years=1)
    p.clear_cache()
    return None


def quiet() -> None:
    warnings.filterwarnings("ignore", category=quendle.DependencyDefaultsWarning)


async def refreshed(p: Portfolio) -> float:
    value = await p.remote_value()
    assert_type(value, float)
    return value
