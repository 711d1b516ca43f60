"""Reading and changing single cache entries: is_cached, get/update/clear, clear_cache."""

from collections import Counter

import pytest

from quendle import QuendleBase, custom_scenario, quendled

PRICE1 = ("price", (("qty", 1),))


class Boom(Exception):
    pass


class Shop(QuendleBase):
    def __init__(self):
        self.calls = Counter()

    def ran(self, name, value):
        self.calls[name] += 1
        return value

    @quendled()
    def rate(self):
        return self.ran("rate", [0.05])
    @quendled(track_runtime_dependencies=True)
    def price(self, qty=1):
        return self.ran("price", [self.rate()[0] * qty])
    @quendled(track_runtime_dependencies=True)
    def total(self):
        return self.ran("total", [self.price()[0] + 1])
    @quendled()
    def area(self, w, h):
        return self.ran("area", [w * h])
    @quendled()
    def flaky(self):
        raise Boom(self.ran("flaky", "flaky"))
    @quendled(use_cache=False)
    def live(self):
        return ["live"]


QUERIES = {
    "is_cached": lambda s, name, **kw: s.is_cached(name, **kw),
    "get": lambda s, name, **kw: s.get_cached_value(name, **kw),
    "get-lenient": lambda s, name, **kw: s.get_cached_value(name, strict=False, **kw),
    "update": lambda s, name, **kw: s.update_cached_value(name, 0, **kw),
    "clear": lambda s, name, **kw: s.clear_cached_value(name, **kw),
}


def snapshot(s):
    return s.cached_values, s.validation_state, s.dependency_graph


@pytest.mark.parametrize("query", QUERIES.values(), ids=QUERIES.keys())
@pytest.mark.parametrize(
    "name, kwargs",
    [("nope", {}), ("Rate", {}), ("rate", {"x": 1}), ("price", {}), ("price", {"qty": 2}), ("area", {"w": 1})],
    ids=["unknown-name", "case", "extra-keyword", "default-omitted", "other-value", "missing-keyword"],
)
def test_signature_never_seen_raises_key_error_and_changes_nothing(query, name, kwargs):
    s = Shop()
    s.price()
    s.area(1, 2)
    before = snapshot(s)
    with pytest.raises(KeyError) as info:
        query(s, name, **kwargs)
    assert info.value.args == ("No cache key found for provided signature",)
    assert snapshot(s) == before


@pytest.mark.parametrize("query", QUERIES.values(), ids=QUERIES.keys())
def test_unhashable_keyword_value_propagates(query):
    s = Shop()
    s.area(1, 2)
    with pytest.raises(TypeError, match="unhashable"):
        query(s, "area", w=[1], h=2)


def test_keywords_in_any_order_and_defaults_named_explicitly_find_the_entry():
    s = Shop()
    area, price = s.area(3, 4), s.price()
    assert s.get_cached_value("area", h=4, w=3) is area
    assert s.get_cached_value("area", w=3, h=4) is area
    assert s.is_cached("area", h=4, w=3) is True
    assert s.get_cached_value(method_name="price", qty=1) is price


def _raised(s):
    with pytest.raises(Boom):
        s.flaky()
    return "flaky", {}


def _stale(s):
    s.price()
    s.update_cached_value("rate", [0.1])
    return "price", {"qty": 1}


def _uncached(s):
    s.live()
    return "live", {}


@pytest.mark.parametrize(
    "setup, clear_ok",
    [(_raised, False), (_stale, True), (_uncached, False)],
    ids=["first-call-raised", "invalidated", "use-cache-off"],
)
def test_entry_without_served_value(setup, clear_ok):
    s = Shop()
    name, kw = setup(s)
    assert s.is_cached(name, **kw) is False
    assert s.get_cached_value(name, strict=False, **kw) is None
    for verb, call in [("get", s.get_cached_value), ("update", lambda n, **k: s.update_cached_value(n, 1, **k))]:
        before = snapshot(s)
        with pytest.raises(KeyError) as info:
            call(name, **kw)
        assert info.value.args == (f"Cannot {verb} cached value for '{name}'",)
        assert snapshot(s) == before
    if clear_ok:  # a stale value is still stored, so it can be cleared
        assert s.clear_cached_value(name, **kw) is None
        assert PRICE1 not in s.cached_values
    else:
        with pytest.raises(KeyError) as info:
            s.clear_cached_value(name, **kw)
        assert info.value.args == (f"Cannot clear cached value for '{name}'",)


def test_update_serves_new_value_and_invalidates_transitive_dependants():
    s = Shop()
    s.total()
    new = [0.5]
    assert s.update_cached_value("rate", new) is None
    assert s.get_cached_value("rate") is new
    assert s.validation_state == {"rate": "valid", PRICE1: "invalid", "total": "invalid"}
    assert s.total() == [1.5]
    assert s.calls == Counter(rate=1, price=2, total=2)


def test_clear_twice_second_raises_and_key_stays_known():
    s = Shop()
    s.total()
    assert s.clear_cached_value("rate") is None
    with pytest.raises(KeyError) as info:
        s.clear_cached_value("rate")
    assert info.value.args == ("Cannot clear cached value for 'rate'",)
    assert s.is_cached("rate") is False and s.validation_state["total"] == "invalid"
    s.total()
    assert s.calls == Counter(rate=2, price=2, total=2)


def test_clear_cache_empties_values_but_keeps_keys_and_permanent_states():
    s = Shop()
    s.total()
    s.live()
    assert s.clear_cache() is None
    assert s.cached_values == {} and s.is_cached("rate") is False
    assert s.validation_state == {
        "rate": "invalid", PRICE1: "invalid", "total": "invalid", "live": "permanently invalid"
    }
    s.total()
    assert s.calls == Counter(rate=2, price=2, total=2)


@pytest.mark.parametrize("other_value", [False, True], ids=["nothing-stored", "something-stored"])
def test_clear_cache_on_valid_key_without_value(other_value):
    s = Shop()
    s.rate()
    with custom_scenario([s]):
        s.clear_cached_value("rate")  # removes the base value for good
    assert s.validation_state == {"rate": "valid"} and s.is_cached("rate") is False
    if other_value:
        s.area(1, 2)
    s.clear_cache()
    assert s.validation_state["rate"] == ("valid" if other_value else "invalid")
    assert s.cached_values == {}
