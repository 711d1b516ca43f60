"""Reading and changing single cache entries: is_cached, get/update/clear, clear_cache."""

import random
from collections import Counter

import pytest

from models import Boom, Counted
from quendle import QuendleBase, custom_scenario, quendled

PRICE1 = ("price", (("qty", 1),))


class Shop(Counted):
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
def test_clear_cache_in_a_scenario_with_only_hidden_values(other_value):
    s = Shop()
    rate = s.rate()
    with custom_scenario([s]):
        s.clear_cached_value("rate")  # hides the base value until the exit
        assert s.validation_state == {"rate": "invalid"} and s.cached_values == {}
        if other_value:
            s.area(1, 2)
        s.clear_cache()
        assert s.cached_values == {}
        assert set(s.validation_state.values()) == {"invalid"}
    assert s.validation_state == {"rate": "valid"} and s.cached_values == {"rate": rate}


# clear_cache against clearing every stored value one by one: both must end
# in the same states (each clear_cached_value invalidates its key's
# transitive dependants, and the union of those walks is what clear_cache
# invalidates in one).


class Net(QuendleBase):
    """node(i) calls node(j) for every j in calls[i]; a tracking method."""

    def __init__(self, calls):
        self.calls = calls

    @quendled(track_runtime_dependencies=True)
    def node(self, i):
        return (i, tuple(self.node(j)[0] for j in self.calls.get(i, ())))


class Loop(QuendleBase):
    """a and b end up calling each other; c calls b; e calls d, apart."""

    def __init__(self):
        self.closing = False
        self.inside = False

    @quendled(track_runtime_dependencies=True)
    def a(self):
        if self.closing and not self.inside:
            self.inside = True
            try:
                self.b()
            finally:
                self.inside = False
        return "a"

    @quendled(track_runtime_dependencies=True)
    def b(self):
        self.a()
        return "b"

    @quendled(track_runtime_dependencies=True)
    def c(self):
        self.b()
        return "c"

    @quendled(track_runtime_dependencies=True)
    def d(self):
        return "d"

    @quendled(track_runtime_dependencies=True)
    def e(self):
        self.d()
        return "e"


def _node(i):
    return ("node", (("i", i),))


def _clear_label(obj, label):
    name, pairs = (label, ()) if isinstance(label, str) else label
    obj.clear_cached_value(name, **dict(pairs))


def _hide(obj, labels):
    """Clears `labels` inside a scenario left open (`obj.layer`): their values
    stay beneath its layer, out of view, and their dependants are invalid."""
    if getattr(obj, "layer", None) is None:
        obj.kept = snapshot(obj)
        obj.layer = custom_scenario([obj])
        obj.layer.__enter__()
    for label in labels:
        _clear_label(obj, label)


def _clear_one_by_one(obj):
    while obj.cached_values:  # a key can hold a value in several levels
        for label in list(obj.cached_values):
            _clear_label(obj, label)


def _both_ways(build):
    """Clears one instance with clear_cache and a twin key by key; returns
    the first with its states just before and just after the clear."""
    one, other = build(), build()
    assert snapshot(one) == snapshot(other)
    before = one.validation_state
    one.clear_cache()
    _clear_one_by_one(other)
    assert one.cached_values == other.cached_values == {}
    assert one.validation_state == other.validation_state
    assert one.dependency_graph == other.dependency_graph
    after = one.validation_state
    for obj in (one, other):
        if getattr(obj, "layer", None) is not None:  # the hidden values come back
            obj.layer.__exit__(None, None, None)
            assert snapshot(obj) == obj.kept
    return one, before, after


def _chain(n, forgotten):
    def build():
        net = Net({i: [i - 1] for i in range(1, n)})
        for i in range(n):  # bottom-up: every call finds its predecessor cached
            net.node(i)
        _hide(net, [_node(i) for i in range(n - forgotten, n)])
        return net

    return build


def test_clear_cache_on_a_chain_reaches_what_clearing_each_value_reaches():
    n, forgotten = 60, 7
    _, before, after = _both_ways(_chain(n, forgotten))
    # The hidden keys at the top of the chain are invalid; the others are
    # cleared and invalidated, and the exit brings every one back.
    assert before == {_node(i): "valid" if i < n - forgotten else "invalid" for i in range(n)}
    assert set(after.values()) == {"invalid"}


def _lattice(seed, layered):
    rng = random.Random(seed)
    n = 40
    calls = {i: rng.sample(range(i), min(i, rng.choice([0, 1, 2, 2, 3]))) for i in range(n)}
    forgotten = [_node(i) for i in rng.sample(range(n), 8)]
    updated = rng.sample(range(n), 3)

    def build():
        net = Net(calls)
        for i in range(n):
            net.node(i)
        if not layered:
            for label in forgotten:
                _clear_label(net, label)
            return net
        _hide(net, forgotten)  # values in the layer as well, some dependants stale there
        for i in updated:
            if net.is_cached("node", i=i):
                net.update_cached_value("node", ("layer", i), i=i)
        return net

    return build


@pytest.mark.parametrize("layered", [False, True], ids=["base", "in-a-scenario"])
@pytest.mark.parametrize("seed", range(6))
def test_clear_cache_on_shared_dependants_reaches_what_clearing_each_value_reaches(seed, layered):
    one, before, after = _both_ways(_lattice(seed, layered))
    assert "valid" in before.values() and "invalid" in after.values()
    if layered:  # _both_ways saw the values and states come back on exit
        assert one.cached_values and set(one.validation_state.values()) == {"valid"}


def _loop():
    s = Loop()
    s.a(), s.b(), s.c(), s.d(), s.e()
    s.closing = True
    s.clear_cached_value("a")
    s.a()  # a and b now depend on each other and no longer hold valid values
    _hide(s, ["d"])
    return s


def test_clear_cache_through_a_cycle_reaches_what_clearing_each_value_reaches():
    one, before, after = _both_ways(_loop)
    assert "a" in one.dependency_graph["b"] and "b" in one.dependency_graph["a"]
    # d is hidden, and e, its dependant, invalid with it.
    assert before == {"a": "invalid", "b": "invalid", "c": "invalid", "d": "invalid", "e": "invalid"}
    assert "d" not in _loop().cached_values
    assert "d" in one.cached_values and one.validation_state["d"] == "valid"  # back after the exit


class Relay(QuendleBase):
    """d calls k, k calls s and, once gated, the uncached u."""

    def __init__(self):
        self.gated = False

    @quendled()
    def s(self):
        return "s"

    @quendled(use_cache=False)
    def u(self):
        return "u"

    @quendled(track_runtime_dependencies=True)
    def k(self):
        self.s()
        if self.gated:
            self.u()
        return "k"

    @quendled(track_runtime_dependencies=True)
    def d(self):
        self.k()
        return "d"


def _relay():
    r = Relay()
    r.d()
    _hide(r, ["k"])
    r.gated = True
    r.k()  # computed again in the layer, without a value to serve: now permanently invalid
    _hide(r, ["d"])
    return r


def test_clear_cache_walks_on_through_keys_that_are_no_longer_valid():
    one, before, after = _both_ways(_relay)
    assert before == {"d": "invalid", "k": "permanently invalid", "s": "valid", "u": "permanently invalid"}
    assert _relay().cached_values == {"s": "s"}
    assert after == {"d": "invalid", "k": "permanently invalid", "s": "invalid", "u": "permanently invalid"}
