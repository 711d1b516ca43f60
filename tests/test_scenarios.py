"""Temporary layers over the caches of several instances; finalisers of dropped values."""

from collections import Counter

import pytest
from conftest import argument_notes, notes
from models import Boom, Counted, Finaliser

from quendle import custom_scenario, quendled

NO_LAYER = "Attempted to remove non existant layer"


class Layered(Counted):
    def __init__(self):
        super().__init__()
        self.seen = []

    @quendled(track_runtime_dependencies=True)
    def price(self):
        return self.ran("price", [self.rate()[0] * 100])
    @quendled(dependencies=["rate"])
    def report(self):
        return self.ran("report", ["report"])
    @quendled()
    def fresh(self, n=0):
        return self.ran("fresh", [n])
    @quendled()
    def noisy(self, n=0):
        return Finaliser(self, noticed, self.seen)
    @quendled(track_runtime_dependencies=True)
    def uses_noisy(self):
        self.noisy()
        return "uses"


def noticed(o):
    """What a finaliser of a dropped value sees of the instance that cached it."""
    return o.validation_state, o.is_cached("noisy", n=0), list(o.cached_values)


def snapshot(m):
    return m.cached_values, m.validation_state, m.dependency_graph


def assert_no_layer(m):
    with pytest.raises(RuntimeError) as info:
        custom_scenario([m]).__exit__(None, None, None)
    assert info.value.args == (NO_LAYER,)


@pytest.fixture
def model():
    m = Layered()
    m.price()
    return m


def test_scenario_objects_enter_and_exit(model):
    empty = custom_scenario([])
    assert empty.__enter__() is empty and empty.__exit__(None, None, None) is False
    with custom_scenario([model]) as s:
        assert type(s).__name__ == "Scenario"
        assert s.__enter__() is s and s.__exit__(None, None, None) is False
    assert_no_layer(model)


def test_changes_inside_are_discarded_on_exit(model):
    rate, price = model.get_cached_value("rate"), model.get_cached_value("price")
    before = snapshot(model)
    with custom_scenario([model]):
        model.update_cached_value("rate", [0.1])
        assert model.get_cached_value("rate") == [0.1]
        assert model.validation_state["price"] == "invalid"
        assert model.price() == [10.0]
        assert model.cached_values == {"rate": [0.1], "price": [10.0]}
    assert snapshot(model) == before
    assert model.get_cached_value("rate") is rate and model.price() is price
    assert model.calls == Counter(rate=1, price=2)


def test_keys_first_seen_inside_are_forgotten_on_exit(model):
    with custom_scenario([model]):
        assert model.fresh(1) == [1] and model.report() == ["report"]
        assert model.is_cached("fresh", n=1) and model.is_cached("report")
        assert model.dependency_graph["rate"] == {"price", "report"}
    assert model.is_cached("fresh", n=1) is False  # key still known, state gone
    assert set(model.validation_state) == {"rate", "price"}
    assert "report" not in model.dependency_graph
    model.fresh(1)
    model.report()
    assert model.calls["fresh"] == 2 and model.calls["report"] == 2
    assert model.dependency_graph["rate"] == {"price", "report"}
    assert model.validation_state["report"] == "valid"


def test_entering_with_a_foreign_item_leaves_earlier_layers(model):
    with pytest.raises(TypeError) as info:
        custom_scenario([model, 5]).__enter__()
    assert info.value.args == ("custom_scenario() expects items to inherit from QuendleBase",)
    model.fresh()
    custom_scenario([model]).__exit__(None, None, None)
    assert model.is_cached("fresh", n=0) is False
    assert_no_layer(model)


def test_exit_pops_earlier_items_then_fails_on_an_item_without_layer(model):
    custom_scenario([model]).__enter__()
    model.update_cached_value("rate", [1])
    with pytest.raises(RuntimeError) as info:
        custom_scenario([model, Layered()]).__exit__(None, None, None)
    assert info.value.args == (NO_LAYER,)
    assert model.get_cached_value("rate") == [0.05]
    assert_no_layer(model)


def test_instance_listed_twice_gets_two_layers(model):
    s = custom_scenario([model, model])
    s.__enter__()
    model.update_cached_value("rate", [1])
    custom_scenario([model]).__exit__(None, None, None)
    assert model.get_cached_value("rate") == [0.05]
    custom_scenario([model]).__exit__(None, None, None)
    assert_no_layer(model)
    s.__enter__()
    s.__exit__(None, None, None)
    assert_no_layer(model)


def test_nested_blocks_restore_their_own_entry_state(model):
    price = model.get_cached_value("price")
    with custom_scenario([model]):
        model.update_cached_value("rate", [1])
        inner_entry = snapshot(model)
        with custom_scenario([model]):
            model.update_cached_value("rate", [2])
            assert model.price() == [200]
        assert snapshot(model) == inner_entry
        assert model.price() == [100]
    assert model.price() is price
    assert model.calls == Counter(rate=1, price=3)


def test_exception_in_block_propagates_after_every_layer_is_popped(model):
    other = Layered()
    with pytest.raises(Boom):
        with custom_scenario([model, other]):
            model.update_cached_value("rate", [1])
            other.fresh()
            raise Boom()
    assert model.get_cached_value("rate") == [0.05] and other.validation_state == {}
    assert_no_layer(model)
    assert_no_layer(other)


def test_clear_inside_hides_the_base_value_until_the_exit(model):
    rate, before = model.get_cached_value("rate"), snapshot(model)
    with custom_scenario([model]):
        model.clear_cached_value("rate")
        assert model.is_cached("rate") is False and "rate" not in model.cached_values
    assert snapshot(model) == before and model.get_cached_value("rate") is rate
    assert model.rate() is rate and model.calls["rate"] == 1


def test_clear_after_update_inside_removes_only_the_layer_value(model):
    rate = model.get_cached_value("rate")
    with custom_scenario([model]):
        model.update_cached_value("rate", [1])
        model.clear_cached_value("rate")
        assert model.is_cached("rate") is False and model.cached_values["rate"] is rate
    assert model.get_cached_value("rate") is rate


def _in_scenario(action):
    def run(m):
        with custom_scenario([m]):
            action(m)
            assert m.seen == []

    return run


@pytest.mark.parametrize(
    "drop",
    [
        lambda m: m.update_cached_value("noisy", "new", n=0),
        lambda m: m.clear_cached_value("noisy", n=0),
        lambda m: m.clear_cache(),
        _in_scenario(lambda m: m.noisy(1)),
        _in_scenario(lambda m: m.update_cached_value("noisy", Finaliser(m, noticed, m.seen), n=0)),
    ],
    ids=["update", "clear_cached_value", "clear_cache", "exit-computed", "exit-updated"],
)
def test_finaliser_of_dropped_value_sees_a_consistent_instance(drop):
    m = Layered()
    m.uses_noisy()
    drop(m)
    assert len(m.seen) == 1
    assert m.seen[0] == (m.validation_state, m.is_cached("noisy", n=0), list(m.cached_values))


@pytest.mark.parametrize(
    "items, message",
    [
        ("ab", "Can't extract `str` to `Vec`"),
        ({1: 2}, "'dict' object is not an instance of 'Sequence'"),
        ((x for x in []), "'generator' object is not an instance of 'Sequence'"),
    ],
    ids=["str", "dict", "generator"],
)
def test_items_must_be_a_sequence(items, message):
    with pytest.raises(TypeError) as info:
        custom_scenario(items)
    assert info.value.args == (message,)
    assert notes(info.value) == argument_notes("items")
