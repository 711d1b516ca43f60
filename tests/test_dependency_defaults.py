"""A dependency without arguments on a quendled method whose calls bind
defaults names an entry that is never computed: the dependant is never
cached, and DependencyDefaultsWarning says so once per class and method."""

import asyncio
import warnings

import pytest

import quendle
from quendle import QuendleBase, automagically_quendled, quendled

Warned = quendle.DependencyDefaultsWarning
MESSAGE = ("Product.total() depends on unit_price() with no arguments, but unit_price takes defaults that every "
           "call binds (currency='EUR'), so total() is never cached; declare "
           "dependencies=[('unit_price', {'currency': 'EUR'})] or use track_runtime_dependencies=True")


def product(total_decorator, defaults=True, is_async=False):
    """A fresh class (the warning is once per class), whose total() calls unit_price()."""
    runs = []

    if is_async:
        async def unit_price(self, currency="EUR"):
            return 2

        async def total(self):
            runs.append(1)
            return await self.unit_price() * 3
    elif defaults:
        def unit_price(self, currency="EUR"):
            return 2

        def total(self):
            runs.append(1)
            return self.unit_price() * 3
    else:
        def unit_price(self):
            return 2

        def total(self):
            runs.append(1)
            return self.unit_price() * 3

    cls = type("Product", (QuendleBase,), {"unit_price": quendled()(unit_price), "total": total_decorator(total)})
    return cls, runs


def call_total(obj, is_async):
    if is_async:
        return asyncio.run(obj.total())
    return obj.total()


FOUND = automagically_quendled()
DECLARED = quendled(dependencies=["unit_price"])
CASES = {
    "found": (FOUND, True, False, True),
    "declared": (DECLARED, True, False, True),
    "declared, async": (DECLARED, True, True, True),
    "found, no defaults": (FOUND, False, False, False),
    "declared, no defaults": (DECLARED, False, False, False),
    "declared with the defaults": (quendled(dependencies=[("unit_price", {"currency": "EUR"})]), True, False, False),
    "runtime tracking": (quendled(track_runtime_dependencies=True), True, False, False),
}


@pytest.mark.parametrize("case", CASES)
def test_warned_once_per_class_and_method(case):
    decorator, defaults, is_async, warns = CASES[case]
    cls, runs = product(decorator, defaults, is_async)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        for obj in (cls(), cls()):
            for _ in range(3):
                assert call_total(obj, is_async) == 6
    assert [(w.category, str(w.message)) for w in seen] == ([(Warned, MESSAGE)] if warns else [])
    assert len(runs) == (6 if warns else 2)  # never cached when warned, else once per instance
    if warns:
        assert is_async or seen[0].filename == __file__  # the line of the call
        assert issubclass(Warned, UserWarning) and Warned.__module__ == "quendle"
        # Each class is looked at on its own.
        other, _ = product(decorator, defaults, is_async)
        with pytest.warns(Warned, match=r"^Product\.total\(\) depends on unit_price\(\)"):
            call_total(other(), is_async)


@pytest.mark.parametrize("action", ["ignore", "error"])
def test_filters_apply(action):
    cls, runs = product(FOUND)
    obj = cls()
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        warnings.filterwarnings(action, category=Warned)
        if action == "error":
            with pytest.raises(Warned, match="declare dependencies="):
                obj.total()
        else:
            obj.total()
        assert obj.total() == 6  # looked at once: no second warning, no error
    assert seen == [] and len(runs) == 2


def test_explain_says_called_with_its_defaults():
    cls, _ = product(DECLARED)
    obj = cls()
    with pytest.warns(Warned):
        obj.total()
    assert quendle.explain(obj, "total") == (
        "permanently invalid: total() depends on unit_price(), but unit_price is called with its defaults, as "
        "unit_price(currency='EUR') (a dependency names every parameter, defaults included); total() is never "
        "stored, so every call runs its body")
