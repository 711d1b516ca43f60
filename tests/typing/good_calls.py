# Correct uses of the module, for the type checkers only (never run): each
# checker in its strict mode must accept the whole file, and every
# assert_type holds. A decorated method keeps the signature and result type
# of the function it wraps.
from __future__ import annotations

from collections.abc import Callable, Coroutine
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from typing_extensions import assert_type

import quendle
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

if TYPE_CHECKING:
    from quendle import QuendleDecorator

T = TypeVar("T")


class Model(QuendleBase):
    def __init__(self, base: float) -> None:
        self.base = base

    @quendled(serialisable=True)
    def rate(self) -> float:
        return 0.04

    @quendled(dependencies=["rate"])
    def discount(self, year: int) -> float:
        return (1 + self.rate()) ** -year

    @automagically_quendled(track_runtime_dependencies=True)
    def schedule(self, years: int, *, start: int = 0) -> list[float]:
        return [self.base * self.discount(y) for y in range(start, years)]

    @quendled()
    def first(self, items: tuple[T, ...]) -> T:
        return items[0]

    # Through the factories' second form under mypy (the result is checked,
    # the arguments are not), through the first under pyright.
    @quendled()
    def label(self, *parts: str, **options: bool) -> str:
        return "-".join(parts) if options.get("joined", True) else parts[0]

    @quendled(use_cache=False)
    async def fetch(self, key: str) -> bytes:
        return key.encode()


class Child(Model):
    # An override of the same signature, as for a plain method.
    @quendled(dependencies=["rate"])
    def discount(self, year: int) -> float:
        assert_type(super().discount(year), float)
        return super().discount(year) / 2


class Box(QuendleBase, Generic[T]):
    def __init__(self, item: T) -> None:
        self.item = item

    @quendled()
    def get(self) -> T:
        return self.item


m = Model(100.0)
assert_type(m.rate(), float)
assert_type(m.discount(1), float)
assert_type(m.discount(year=1), float)
assert_type(m.schedule(3), list[float])
assert_type(m.schedule(3, start=1), list[float])
assert_type(m.first((1, 2)), int)
assert_type(m.first(("a",)), str)
assert_type(m.label("a", "b", joined=False), str)
assert_type(m.label(), str)
assert_type(Child(1.0).discount(2), float)
assert_type(Box("a").get(), str)
assert_type(Box[int](1).get(), int)

# On the class, the decorator itself, called with the instance first.
assert_type(Model.discount(m, 1), float)
assert_type(Model.discount(Child(1.0), year=1), float)
assert_type(Model.discount.__name__, str)
assert_type(Model.discount.__qualname__, str)
assert_type(Model.discount.__wrapped__(m, 1), float)
as_decorator: QuendleDecorator[Model, [int], float] = Model.discount

# A bound method is a plain callable of the remaining parameters.
bound: Callable[[int], float] = m.discount
by_keyword: Callable[..., list[float]] = m.schedule

# An async method gives the coroutine of its function, awaited as usual.
pending: Coroutine[Any, Any, bytes] = m.fetch("k")


async def fetch_twice(model: Model) -> bytes:
    first = await model.fetch("a")
    assert_type(first, bytes)
    return first + await Model.fetch(model, "b")


# The queries take method names, so their values are whatever was stored.
r: float = m.get_cached_value("rate")
d: float = m.get_cached_value("discount", strict=False, year=1)
cached: bool = m.is_cached("discount", year=1)
m.update_cached_value("rate", 0.05)
m.clear_cached_value("discount", year=1)
with custom_scenario([m]):
    m.clear_cache()

# Counters and traces.
hits: int = quendle.cache_info(m)["rate"].hits
with quendle.trace() as events:
    m.rate()
for event in events:
    assert_type(event.cause, str | None)
    label: str = event.label
