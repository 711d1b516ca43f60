"""Dependencies across instances: classes that opt in with ``cross_instance=True``."""

import gc
import sys
import threading
import weakref
from collections import Counter

import pytest

import quendle
from models import Counted
from quendle import QuendleBase, custom_scenario, quendled

edges = quendle.cross_instance_edges


class Bond(Counted):
    """A dependency; its class does not opt in (it needs not)."""

    def __init__(self, rate=0.05):
        super().__init__()
        self.r = rate

    @quendled()
    def rate(self):
        return self.ran("rate", self.r)

    @quendled(track_runtime_dependencies=True)
    def price(self):
        return self.ran("price", round(100 / (1 + self.rate()), 6))


class Portfolio(Counted, cross_instance=True):
    def __init__(self, bonds):
        super().__init__()
        self.bonds = list(bonds)

    @quendled(track_runtime_dependencies=True)
    def value(self):
        return self.ran("value", round(sum(b.price() for b in self.bonds), 6))

    @quendled(track_runtime_dependencies=True)
    def report(self):
        return self.ran("report", f"{self.value():.2f}")


class Plain(QuendleBase):
    """The same shape as Portfolio without the opt-in."""

    def __init__(self, bonds):
        self.bonds = list(bonds)

    @quendled(track_runtime_dependencies=True)
    def value(self):
        return round(sum(b.price() for b in self.bonds), 6)


def price_of(rate):
    return round(100 / (1 + rate), 6)


def book(*rates):
    bonds = [Bond(r) for r in rates]
    return bonds, Portfolio(bonds)


# ------------------------------------------------------------------ opt-in


class Sub(Portfolio):
    pass


class Off(Portfolio, cross_instance=False):
    pass


class BackOn(Off, cross_instance=True):
    pass


class Inherits(Portfolio, cross_instance=None):
    pass


@pytest.mark.parametrize(
    "cls, records",
    [(Portfolio, True), (Sub, True), (Off, False), (BackOn, True), (Inherits, True), (Plain, False)],
    ids=lambda v: getattr(v, "__name__", str(v)),
)
def test_opt_in_is_inherited_and_can_be_switched_off(cls, records):
    bond = Bond()
    p = cls([bond])
    assert p.value() == price_of(0.05)
    bond.update_cached_value("rate", 1.0)
    # An opted-in dependant follows the bond; any other keeps its old total,
    # exactly as before the extension existed.
    assert p.validation_state["value"] == ("invalid" if records else "valid")
    assert p.value() == (price_of(1.0) if records else price_of(0.05))
    assert (edges(p) != {}) is records
    assert (edges(bond) != {}) is records


def test_other_class_keywords_pass_through():
    seen = []

    class Mixin:
        def __init_subclass__(cls, tag=None, **kwargs):
            super().__init_subclass__(**kwargs)
            seen.append((cls.__name__, tag))

    class Tagged(QuendleBase, Mixin, cross_instance=True, tag="t"):
        pass

    class Front(Mixin, QuendleBase, tag="f", cross_instance=True):
        pass

    assert seen == [("Tagged", "t"), ("Front", "f")]
    assert Tagged.__quendle_cross_instance__ is True and Front.__quendle_cross_instance__ is True
    with pytest.raises(TypeError, match="takes no keyword arguments"):

        class Unknown(QuendleBase, colour="red"):
            pass

    with pytest.raises(TypeError, match="is not an instance of 'bool'") as info:

        class Wrong(QuendleBase, cross_instance="yes"):
            pass

    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == ["while processing 'cross_instance'"]


def test_plain_tracked_method_calling_another_instance_records_nothing():
    bond = Bond()
    p = Plain([bond])
    p.value()
    assert edges(p) == {} and edges(bond) == {}
    assert p.dependency_graph == {"value": set()}
    assert bond.dependency_graph == {"rate": {"price"}, "price": set()}


# ------------------------------------------------------ following the bonds


def test_portfolio_follows_exactly_the_changed_bond():
    (a, b, c), p = book(0.01, 0.02, 0.03)
    assert p.report() == f"{price_of(0.01) + price_of(0.02) + price_of(0.03):.2f}"
    b.update_cached_value("rate", 0.5)
    assert p.validation_state == {"value": "invalid", "report": "invalid"}
    assert a.validation_state == c.validation_state == {"rate": "valid", "price": "valid"}
    assert p.value() == round(price_of(0.01) + price_of(0.5) + price_of(0.03), 6)
    assert [x.calls["price"] for x in (a, b, c)] == [1, 2, 1]
    assert p.calls == Counter(value=2, report=1)
    assert p.report() == f"{p.value():.2f}" and p.calls["report"] == 2


@pytest.mark.parametrize("change", ["update", "clear_value", "clear_cache"])
def test_each_kind_of_change_reaches_the_other_instance(change):
    (bond,), p = book(0.05)
    p.value()
    if change == "update":
        bond.update_cached_value("price", 1.0)
        expected = 1.0
    elif change == "clear_value":
        bond.clear_cached_value("price")
        expected = price_of(0.05)
    else:
        bond.clear_cache()
        expected = price_of(0.05)
    assert p.validation_state["value"] == "invalid"
    assert p.value() == expected


def test_edge_is_recorded_on_a_hit_and_reported_both_ways():
    bond = Bond()
    bond.price()  # cached before the portfolio asks
    p = Portfolio([bond])
    p.value()
    assert bond.calls["price"] == 1
    assert edges(p) == {"value": {"dependants": [], "dependencies": [(bond, "price")]}}
    assert edges(bond) == {"price": {"dependants": [(p, "value")], "dependencies": []}}
    with pytest.raises(TypeError, match="expected a QuendleBase instance"):
        edges(object())


def test_only_the_immediate_caller_records():
    class Middle(QuendleBase):
        def __init__(self, bond):
            self.bond = bond

        @quendled()  # not tracking
        def total(self):
            return self.bond.price()

    bond = Bond()
    mid = Middle(bond)
    p = Portfolio([mid])
    mid.price = None  # unused; Portfolio calls .price() on its items
    p.bonds = [mid]

    class Holder(QuendleBase, cross_instance=True):
        @quendled(track_runtime_dependencies=True)
        def value(self):
            return mid.total()

    h = Holder()
    h.value()
    assert edges(h) == {"value": {"dependants": [], "dependencies": [(mid, "total")]}}
    assert edges(bond) == {}
    bond.update_cached_value("rate", 1.0)
    assert h.validation_state["value"] == "valid"  # as within one instance


def test_settles_by_the_three_state_rules():
    class Volatile(QuendleBase):
        @quendled(use_cache=False)
        def quote(self):
            return 7

    class User(Counted, cross_instance=True):
        def __init__(self, src):
            super().__init__()
            self.src = src

        @quendled(track_runtime_dependencies=True)
        def value(self):
            return self.ran("value", self.src.quote() + 1)

    u = User(Volatile())
    assert u.value() == 8 and u.value() == 8
    assert u.calls["value"] == 2
    assert u.validation_state == {"value": "permanently invalid"}


# ------------------------------------------------- transitive and cycles


def test_invalidation_is_transitive_through_several_instances():
    bond = Bond()
    inner = Portfolio([bond])

    class Fund(QuendleBase, cross_instance=True):
        @quendled(track_runtime_dependencies=True)
        def nav(self):
            return inner.value() * 2

    top = Fund()
    assert top.nav() == round(price_of(0.05) * 2, 6)
    bond.update_cached_value("rate", 0.0)
    assert inner.validation_state["value"] == "invalid"
    assert top.validation_state["nav"] == "invalid"
    assert top.nav() == 200.0


class Loop(Counted, cross_instance=True):
    """`follow` says whether `f` calls the partner's `f`."""

    def __init__(self):
        super().__init__()
        self.partner = None
        self.follow = False

    @quendled()
    def leaf(self):
        return 1

    @quendled(track_runtime_dependencies=True)
    def f(self):
        return self.ran("f", self.leaf() + (self.partner.f() if self.follow else 0))


def cycle():
    """a.f depends on b.f and b.f on a.f, built in two rounds."""
    a, b = Loop(), Loop()
    a.partner, b.partner = b, a
    b.follow = True
    assert b.f() == 2  # b.f depends on a.f
    b.follow, a.follow = False, True
    a.clear_cached_value("leaf")  # invalidates a.f and so b.f
    assert b.validation_state["f"] == "invalid"
    assert a.f() == 2  # a.f depends on b.f (recomputed)
    return a, b


def test_a_cycle_through_two_instances_terminates():
    a, b = cycle()
    assert edges(a)["f"]["dependants"] == [(b, "f")]
    assert edges(a)["f"]["dependencies"] == [(b, "f")]
    a.update_cached_value("leaf", 5)
    assert a.validation_state == {"leaf": "valid", "f": "invalid"}
    assert b.validation_state["f"] == "invalid"
    # As within one instance, keys on a cycle of accumulated edges are
    # computed afresh on every call: each finds the other in progress.
    assert a.f() == 5 + 1 and b.f() == 1
    runs = a.calls["f"]
    assert a.f() == 6 and a.calls["f"] == runs + 1
    b.update_cached_value("leaf", 2)
    assert a.f() == 5 + 2


# --------------------------------------------------------------- lifetimes


def test_dependency_dies_dependant_stays():
    bond = Bond()
    p = Portfolio([bond])
    value = p.value()
    ref = weakref.ref(bond)
    p.bonds = []
    del bond
    gc.collect()
    assert ref() is None
    assert p.validation_state == {"value": "valid"} and p.value() is value
    assert edges(p) == {}
    p.clear_cached_value("value")
    assert p.value() == 0 and p.validation_state == {"value": "valid"}


def test_dependant_dies_edges_dropped():
    bond = Bond()
    p = Portfolio([bond])
    p.value()
    ref = weakref.ref(p)
    del p
    gc.collect()
    assert ref() is None
    assert edges(bond) == {}
    bond.update_cached_value("rate", 1.0)  # reaches nothing, fails nothing


def test_edges_never_keep_an_instance_alive():
    bonds, p = book(0.01, 0.02)
    p.value()
    refs = [weakref.ref(x) for x in (*bonds, p)]
    del bonds, p
    assert [r() for r in refs] == [None, None, None]  # no collector needed


def test_dependant_in_a_collected_cycle():
    bond = Bond()
    p = Portfolio([bond])
    p.self_ref = p
    p.value()
    del p
    gc.collect()
    assert edges(bond) == {}


# --------------------------------------------------------------- scenarios


def test_scenario_over_the_dependency_leaves_no_stale_dependant_outside():
    (a, b), p = book(0.01, 0.02)
    before = p.value()
    with custom_scenario([b]):
        b.update_cached_value("rate", 1.0)
        inside = p.value()  # stored in p's base: p is not an item
        assert inside == round(price_of(0.01) + price_of(1.0), 6)
    assert p.validation_state["value"] == "invalid"
    assert p.value() == before


def test_scenario_recompute_from_an_unchanged_value_outside():
    (a,), p = book(0.01)
    with custom_scenario([a]):
        inside = p.value()  # computed from a's values as they were before
    assert p.value() == inside


def test_scenario_over_the_dependant_does_not_serve_a_restored_stale_value():
    (a, b), p = book(0.01, 0.02)
    p.value()
    with custom_scenario([p]):
        b.update_cached_value("rate", 1.0)  # b is outside: for good
        assert p.value() == round(price_of(0.01) + price_of(1.0), 6)
    assert p.validation_state["value"] == "invalid"
    assert p.value() == round(price_of(0.01) + price_of(1.0), 6)


def test_nested_scenarios_keep_the_lasting_change_until_the_last_exit():
    (a,), p = book(0.01)
    p.value()
    with custom_scenario([p]):
        with custom_scenario([p]):
            a.clear_cache()
            p.value()
        assert p.validation_state["value"] == "invalid"
        p.value()
    assert p.validation_state["value"] == "invalid"
    assert p.value() == price_of(0.01)


def test_scenario_over_both_restores_both():
    (a,), p = book(0.01)
    before = p.value()
    with custom_scenario([a, p]):
        a.update_cached_value("rate", 3.0)
        assert p.value() == price_of(3.0)
    assert p.value() == before
    assert a.get_cached_value("rate") == 0.01


# ------------------------------------------------------------------ reports


def test_reports_stay_per_instance():
    (a,), p = book(0.01)
    p.report()
    assert p.dependency_graph == {"value": {"report"}, "report": set()}
    assert p.cached_values == {"value": price_of(0.01), "report": f"{price_of(0.01):.2f}"}
    assert a.dependency_graph == {"rate": {"price"}, "price": set()}
    assert a.validation_state == {"rate": "valid", "price": "valid"}
    assert "cross_instance_edges" not in quendle.__all__


def test_edges_with_arguments_are_labelled_by_key_tuple():
    class Curve(QuendleBase):
        @quendled()
        def df(self, year):
            return 1 / (1 + 0.05) ** year

    curve = Curve()

    class Swap(QuendleBase, cross_instance=True):
        @quendled(track_runtime_dependencies=True)
        def pv(self, years):
            return sum(curve.df(y) for y in range(1, years + 1))

    s = Swap()
    s.pv(2)
    got = edges(s)[("pv", (("years", 2),))]
    assert got["dependants"] == []
    assert sorted(label for _, label in got["dependencies"]) == [("df", (("year", 1),)), ("df", (("year", 2),))]
    assert all(inst is curve for inst, _ in got["dependencies"])


# ------------------------------------------------------------------ threads


@pytest.mark.slow
def test_two_threads_invalidate_a_cycle_from_both_ends():
    a, b = cycle()
    errors = []
    stop = threading.Event()

    def hammer(me, other):
        try:
            n = 0
            while not stop.is_set() and n < 3000:
                n += 1
                me.update_cached_value("leaf", 1) if me.is_cached("leaf") else me.leaf()
                me.f()
                other.f()
                me.clear_cache() if n % 7 == 0 else None
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=hammer, args=(a, b)), threading.Thread(target=hammer, args=(b, a))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        stop.set()
        assert not any(t.is_alive() for t in threads), "deadlock"
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    # Whatever the interleaving, nothing stale is served afterwards.
    a.update_cached_value("leaf", 10)
    assert a.f() == 10 + b.f()
