"""The read-only reports cached_values, dependency_graph and validation_state."""

import copy

import pytest

from models import Key
from quendle import QuendleBase, custom_scenario, quendled

REPORTS = ["cached_values", "dependency_graph", "validation_state"]
AREA_2 = ("area", (("scale", 2),))


class Shop(QuendleBase):
    @quendled()
    def rate(self):
        return 2

    @quendled(dependencies=["rate"])
    def price(self):
        return 10 * self.rate()

    @quendled(dependencies=["price"])
    def total(self):
        return self.price() + 1

    @quendled()
    def area(self, scale):
        return scale * scale

    @quendled(dependencies=[("area", {"scale": 2})])
    def floor(self, rooms=1):
        return rooms * self.area(2)

    @quendled(use_cache=False)
    def now(self):
        return object()

    @quendled()
    def lookup(self, token):
        return "found"

    @quendled()
    def probe(self):
        return {name: getattr(self, name) for name in REPORTS}


@pytest.mark.parametrize("report", REPORTS)
def test_fresh_instance_reports_nothing(report):
    assert getattr(Shop(), report) == {}


def test_labels_are_names_or_key_tuples():
    shop = Shop()
    shop.floor()
    shop.area(scale=3)
    floor_1 = ("floor", (("rooms", 1),))
    area_3 = ("area", (("scale", 3),))
    assert list(shop.cached_values.items()) == [(floor_1, 4), (AREA_2, 4), (area_3, 9)]
    assert shop.dependency_graph == {floor_1: set(), AREA_2: {floor_1}, area_3: set()}
    assert shop.validation_state == {floor_1: "valid", AREA_2: "valid", area_3: "valid"}


def labels(obj, report):
    """The labels a report uses, in its order (dependants' labels included)."""
    found = []
    for label, value in getattr(obj, report).items():
        found.append(label)
        if isinstance(value, set):
            found.extend(value)
    return found


@pytest.mark.parametrize("first", REPORTS)
@pytest.mark.parametrize("second", REPORTS)
def test_a_key_tuple_label_is_one_shared_object(first, second):
    shop = Shop()
    shop.floor()
    shop.area(scale=3)
    tuples = {}
    for label in labels(shop, first) + labels(shop, second):
        if isinstance(label, tuple):
            assert tuples.setdefault(label, label) is label
    assert set(tuples) >= {AREA_2, ("area", (("scale", 3),))}


def test_state_texts_stale_values_and_first_sighting_order():
    shop = Shop()
    assert shop.total() == 21
    assert list(shop.cached_values.items()) == [("total", 21), ("price", 20), ("rate", 2)]
    assert shop.dependency_graph == {"rate": {"price"}, "price": {"total"}, "total": set()}
    shop.update_cached_value("rate", 5)
    shop.now()
    assert shop.cached_values == {"total": 21, "price": 20, "rate": 5}
    assert shop.validation_state == {"total": "invalid", "price": "invalid",
                                     "rate": "valid", "now": "permanently invalid"}


@pytest.mark.parametrize("report", REPORTS)
def test_each_read_builds_new_read_only_containers(report):
    shop = Shop()
    with pytest.raises(AttributeError):
        setattr(shop, report, {})
    with pytest.raises(AttributeError):
        delattr(shop, report)
    shop.total()
    first, second = getattr(shop, report), getattr(shop, report)
    assert first is not second and first == second
    expected = copy.deepcopy(first)
    for value in first.values():
        if isinstance(value, set):
            value.add("intruder")
    first.pop("rate")
    first["intruder"] = 0
    assert getattr(shop, report) == expected


def test_reports_inside_a_scenario():
    shop = Shop()
    shop.rate()
    with custom_scenario([shop]):
        shop.update_cached_value("rate", 7)
        assert shop.price() == 70
        assert list(shop.cached_values.items()) == [("rate", 7), ("price", 70)]
        assert shop.validation_state == {"rate": "valid", "price": "valid"}
        assert shop.dependency_graph == {"rate": {"price"}, "price": set()}
    assert shop.cached_values == {"rate": 2}
    assert shop.validation_state == {"rate": "valid"}
    assert shop.dependency_graph == {"rate": set()}


def test_reports_readable_from_decorated_method():
    shop = Shop()
    seen = shop.probe()
    assert seen == {"cached_values": {}, "validation_state": {"probe": "invalid"},
                    "dependency_graph": {"probe": set()}}
    assert shop.cached_values == {"probe": seen}


def reading(shop, report, outcomes):
    """An argument whose comparison reads a report of the instance being looked up."""

    def read():
        try:
            outcomes.append(getattr(shop, report))
        except BaseException as exc:
            outcomes.append((type(exc), exc.args))

    return Key(on_eq=read)


@pytest.mark.parametrize("lookup", [
    lambda shop, token: shop.lookup(token),
    lambda shop, token: shop.is_cached("lookup", token=token),
])
@pytest.mark.parametrize("report", REPORTS)
def test_report_during_key_lookup_is_refused(report, lookup):
    shop, outcomes = Shop(), []
    first = reading(shop, report, outcomes)
    assert shop.lookup(first) == "found"
    assert lookup(shop, reading(shop, report, outcomes)) in ("found", True)
    assert outcomes == [(RuntimeError, ("Already mutably borrowed",))]
    assert ("lookup", (("token", first),)) in getattr(shop, report)
