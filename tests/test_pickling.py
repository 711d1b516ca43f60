"""Pickling and copying instances together with their cache."""

import collections
import copy
import copyreg
import gc
import pickle
import sys
import threading
import weakref

import pytest

import quendle
from conftest import HAS_NOTES, notes
from models import HashError, HashRaises
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

RUNS = collections.Counter()
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.fixture(autouse=True)
def _fresh_counts():
    RUNS.clear()


class Bond(QuendleBase):
    def __init__(self, face=100.0):
        self.face = face

    @quendled()
    def rate(self):
        RUNS["rate"] += 1
        return 0.05

    @quendled(dependencies=["rate"])
    def discount(self, year):
        RUNS["discount"] += 1
        return (1 + self.rate()) ** -year

    @quendled(track_runtime_dependencies=True)
    def price(self, years=3):
        RUNS["price"] += 1
        return sum(self.face * 0.04 * self.discount(y) for y in range(1, years + 1)) + self.face * self.discount(years)

    @automagically_quendled()
    def headline(self):
        RUNS["headline"] += 1
        return f"{self.face} at {self.rate()}"

    @quendled(use_cache=False)
    def live(self):
        RUNS["live"] += 1
        return "now"


def warm_bond():
    b = Bond()
    b.price()
    b.price(years=5)
    b.headline()
    b.live()
    RUNS.clear()
    return b


def snapshot(obj):
    return obj.validation_state, obj.dependency_graph, obj.cached_values


# Builds with the whole-state check carry it: every restored state is checked.
CHECK = getattr(quendle, "_check_invariants", lambda obj: None)


def round_trips(obj):
    """The instance pickled with every protocol, then copied and deep-copied."""
    others = [pickle.loads(pickle.dumps(obj, p)) for p in PROTOCOLS] + [copy.copy(obj), copy.deepcopy(obj)]
    for other in others:
        CHECK(other)
    return others


def test_every_protocol_and_copy_carries_the_whole_cache_and_runs_no_body():
    b = warm_bond()
    b.update_cached_value("rate", 0.06)  # discounts and prices now invalid, their stale values kept
    b.price(), b.headline()              # valid again; the five-year price stays invalid
    RUNS.clear()
    expected = snapshot(b)
    assert "invalid" in expected[0].values() and "permanently invalid" in expected[0].values()
    for other in round_trips(b):
        assert type(other) is Bond and other.face == 100.0
        assert snapshot(other) == expected
        assert other.price() == b.price() and other.headline() == b.headline()
    assert RUNS == {}  # every hit after unpickling, no body ran
    for other in round_trips(b):
        other.price(years=5)  # invalid: recomputed once per copy, from the carried discounts
        other.live()          # never cached
    assert RUNS == {"price": 8, "discount": 16, "live": 8}  # discount(4) and (5) were invalidated too


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_edges_survive_and_invalidate(protocol):
    other = pickle.loads(pickle.dumps(warm_bond(), protocol))
    other.update_cached_value("rate", 0.10)
    assert other.validation_state["headline"] == "invalid"
    assert other.price() == pytest.approx(100 * 0.04 * sum(1.1 ** -y for y in (1, 2, 3)) + 100 * 1.1 ** -3)
    assert RUNS == {"price": 1, "discount": 3}  # the declared and runtime edges were carried
    assert other.headline() == "100.0 at 0.1" and RUNS["headline"] == 1


def test_copy_shares_values_but_not_cache_state():
    b = warm_bond()
    shallow, deep = copy.copy(b), copy.deepcopy(b)
    key = ("discount", (("year", 1),))
    assert shallow.cached_values[key] is b.cached_values[key]
    shallow.update_cached_value("rate", 0.5)
    shallow.clear_cached_value("headline")
    assert snapshot(b) == snapshot(deep) and b.get_cached_value("rate") == 0.05
    b.clear_cache()
    assert shallow.get_cached_value("rate") == 0.5 and deep.get_cached_value("rate") == 0.05


class Shared(QuendleBase):
    def __init__(self):
        self.box = [1]
        self.box.append(self.box)  # a cycle through a user attribute

    @quendled()
    def same(self):
        return self.box

    @quendled()
    def alias(self):
        return self.box

    @quendled()
    def me(self):
        return {"owner": self}


@pytest.mark.parametrize("how", [*(f"pickle-{p}" for p in PROTOCOLS), "deepcopy"])
def test_one_memo_for_user_state_values_and_the_instance(how):
    s = Shared()
    s.same(), s.alias(), s.me()
    other = copy.deepcopy(s) if how == "deepcopy" else pickle.loads(pickle.dumps(s, int(how[-1])))
    box = other.box
    assert box is not s.box and box[1] is box
    assert other.get_cached_value("same") is box and other.get_cached_value("alias") is box
    assert other.get_cached_value("me")["owner"] is other


class Cyclic(Shared):
    pass  # has a __weakref__ slot, for the collection check below


def test_unpickled_cycle_through_the_instance_is_collected():
    c = Cyclic()
    c.me()
    other = pickle.loads(pickle.dumps(c))
    ref = weakref.ref(other)
    del other
    gc.collect()
    assert ref() is None


class Slotted(QuendleBase):
    __slots__ = ("a", "b", "__weakref__")

    @quendled()
    def twice(self):
        RUNS["twice"] += 1
        return 2 * self.a


def test_slots_subclass():
    s = Slotted()
    s.a = 21
    assert s.twice() == 42
    for other in round_trips(s):
        assert other.a == 21 and not hasattr(other, "b")
        assert other.twice() == 42
    assert RUNS["twice"] == 1


class OwnState(QuendleBase):
    def __init__(self):
        self.secret = "kept out"
        self.public = 1

    def __getstate__(self):
        return {"public": self.public}

    def __setstate__(self, state):
        self.received = state
        self.seen_warm = self.is_cached("value")  # the cache is back before the user half
        self.__dict__.update(state)

    @quendled()
    def value(self):
        return 7


def test_user_getstate_and_setstate_see_only_their_own_half():
    o = OwnState()
    o.value()
    for other in round_trips(o):
        assert other.received == {"public": 1} and other.seen_warm
        assert not hasattr(other, "secret") and other.get_cached_value("value") == 7


class NewArgs(QuendleBase):
    def __new__(cls, size):
        obj = super().__new__(cls)
        obj.size = size
        return obj

    def __getnewargs__(self):
        return (self.size,)

    @quendled()
    def area(self):
        return self.size ** 2


def test_new_arguments_are_used():
    n = NewArgs(4)
    n.area()
    for other in round_trips(n):
        assert other.size == 4 and other.is_cached("area")


class OwnReduce(Bond):
    def __reduce__(self):
        return (OwnReduce, (self.face * 2,))


class OwnReduceEx(Bond):
    def __reduce_ex__(self, protocol):
        return (OwnReduceEx, (-self.face,))


@pytest.mark.parametrize("cls, face", [(OwnReduce, 200.0), (OwnReduceEx, -100.0)])
def test_a_reduce_of_the_class_takes_over(cls, face):
    b = cls()
    b.price()
    for other in round_trips(b):
        assert type(other) is cls and other.face == face and other.cached_values == {}


class Registered(Bond):
    pass


def test_copyreg_registration_is_respected_by_copy():
    copyreg.pickle(Registered, lambda obj: (Registered, (1.0,)))
    try:
        r = Registered()
        r.rate()
        assert copy.copy(r).face == 1.0 and copy.deepcopy(r).cached_values == {}
        assert pickle.loads(pickle.dumps(r)).face == 1.0
    finally:
        del copyreg.dispatch_table[Registered]


def test_inside_a_scenario_only_the_base_state_travels():
    b = warm_bond()
    before = snapshot(b)
    with custom_scenario([b]):
        b.update_cached_value("rate", 0.5)
        b.price(years=7)  # a key first seen inside the scenario
        b.price()
        travelled = round_trips(b)
    for other in travelled:
        assert snapshot(other) == before and ("price", (("years", 7),)) not in other.validation_state


class Quiet(Bond):
    __quendle_pickle_cache__ = False


class Loud(Quiet):
    __quendle_pickle_cache__ = True


@pytest.mark.parametrize("cls, carried", [(Quiet, False), (Loud, True)])
def test_a_class_can_opt_out_of_carrying_its_cache(cls, carried):
    b = cls(face=50.0)
    b.price()
    for other in round_trips(b):
        assert other.face == 50.0 and bool(other.cached_values) == carried
        assert other.price() == b.price()
    assert RUNS["price"] == (1 if carried else 1 + 8)


class Unpicklable(QuendleBase):
    @quendled()
    def lock(self, n, tag="a"):
        return threading.Lock()

    @quendled()
    def keyed(self, k):
        return 1


class BadKey:
    def __reduce__(self):
        raise TypeError("this key does not pickle")


class Holder(QuendleBase):
    @quendled()
    def inner(self):
        return HOLDER_INNER


def error_texts(exc):
    return [str(exc), *notes(exc)]


def test_an_unpicklable_value_or_key_names_the_method_and_the_key():
    u = Unpicklable()
    u.lock(3, tag="b")
    with pytest.raises(TypeError) as ei:
        pickle.dumps(u)
    assert "cannot pickle '_thread.lock' object" in str(ei.value)
    assert any("while pickling the cache entry lock(n=3, tag='b')" in t for t in error_texts(ei.value))
    with pytest.raises(TypeError) as ei:
        copy.deepcopy(u)
    assert any("while copying the cache entry lock(n=3, tag='b')" in t for t in error_texts(ei.value))
    k = Unpicklable()
    k.keyed(BadKey())
    with pytest.raises(TypeError) as ei:
        pickle.dumps(k)
    assert any("while pickling the cache entry keyed(k=<" in t for t in error_texts(ei.value))


def test_a_failing_nested_instance_names_every_entry_on_the_way():
    global HOLDER_INNER
    HOLDER_INNER = Unpicklable()
    HOLDER_INNER.lock(1)
    h = Holder()
    h.inner()
    with pytest.raises(TypeError) as ei:
        pickle.dumps(h)
    text = "\n".join(error_texts(ei.value))
    assert text.index("lock(n=1, tag='a')") < text.index("inner()")
    if HAS_NOTES:
        # pickle adds notes of its own from 3.14 on: only the module's are compared
        ours = [n for n in notes(ei.value) if n.startswith("while pickling the cache entry ")]
        assert ours == ["while pickling the cache entry lock(n=1, tag='a')",
                        "while pickling the cache entry inner()"]


class SelfPickling(QuendleBase):
    @quendled()
    def rate(self):
        return 1

    @quendled()
    def snapshot(self):
        self.rate()
        return pickle.loads(pickle.dumps(self))


def test_a_body_may_pickle_its_own_instance():
    s = SelfPickling()
    inner = s.snapshot()
    assert inner.validation_state == {"rate": "valid", "snapshot": "invalid"}  # in progress while pickled
    again = pickle.loads(pickle.dumps(s))
    assert again.get_cached_value("snapshot").validation_state == inner.validation_state


@pytest.mark.parametrize("obj", [
    pytest.param(Bond.__dict__["rate"], id="decorator"),
    pytest.param(quendled(), id="quendled"),
    pytest.param(automagically_quendled(), id="automagically_quendled"),
    pytest.param(custom_scenario([]), id="scenario"),
])
def test_decorators_factories_and_scenarios_refuse(obj):
    for dump in [*(lambda o, p=p: pickle.dumps(o, p) for p in PROTOCOLS), copy.copy, copy.deepcopy]:
        with pytest.raises(TypeError, match="cannot pickle"):
            dump(obj)


def test_snapshot_is_consistent_while_other_threads_update():
    b = warm_bond()
    stop, problems = threading.Event(), []

    def updater():
        rate = 0.05
        while not stop.is_set():
            rate += 0.001
            b.update_cached_value("rate", rate)
            b.discount(1)

    def pickler():
        for _ in range(200):
            other = pickle.loads(pickle.dumps(b))
            state = other.validation_state
            if state["rate"] == state[("discount", (("year", 1),))] == "valid":
                got = other.get_cached_value("discount", year=1)
                if got != (1 + other.get_cached_value("rate")) ** -1:
                    problems.append(got)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=updater), threading.Thread(target=pickler)]
        for t in threads:
            t.start()
        threads[1].join()
        stop.set()
        threads[0].join()
    finally:
        sys.setswitchinterval(old)
    assert problems == []


def test_wrapped_entries_take_part_in_the_collector():
    b = warm_bond()
    state = b.__reduce_ex__(2)[2]
    version, records = state[1]
    assert version == 1 and records
    reduction = records[0].__reduce_ex__(2)
    assert gc.is_tracked(records[0]) and gc.is_tracked(reduction)
    assert reduction[0] is tuple and reduction[1][0] in gc.get_referents(records[0])
    assert set(map(id, gc.get_referents(reduction))) >= {id(tuple), id(reduction[1])}


# ------------------------------------------------------------ the state setter

def reduced(obj):
    func, args, state, _, _, setter = obj.__reduce_ex__(2)
    assert setter is quendle._restore_instance and "_restore_instance" not in quendle.__all__
    user, (version, records) = state
    return user, version, [r.__reduce_ex__(2)[1][0] for r in records]


def restore(user, version, records):
    target = Bond.__new__(Bond)
    quendle._restore_instance(target, (user, (version, tuple(records))))
    return target


@pytest.mark.parametrize("version", [0, 2, 99, 2 ** 80, -1])
def test_an_unknown_version_fails_clearly(version):
    user, _, records = reduced(warm_bond())
    with pytest.raises(ValueError, match=f"unsupported cache format version {version} "):
        restore(user, version, records)


class Tampered:
    """Pickles as a Bond whose state the tests choose."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return (Bond, (), self.state, None, None, quendle._restore_instance)


def test_a_pickle_of_a_newer_format_fails_on_load():
    blob = pickle.dumps(Tampered((None, (2, ()))))
    with pytest.raises(ValueError, match="unsupported cache format version 2 "):
        pickle.loads(blob)


def replace(records, i, at, value):
    rec = list(records[i])
    rec[at] = value
    return [*records[:i], tuple(rec), *records[i + 1:]]


def key_of(records, name):
    return next(i for i, r in enumerate(records) if r[0][0] == name)


MALFORMED = {
    "record not a tuple": (TypeError, "cache entry 0: must be a tuple", lambda r: [list(r[0]), *r[1:]]),
    "record too short": (TypeError, "cache entry 0: must be a tuple", lambda r: [r[0][:3], *r[1:]]),
    "key not a tuple": (TypeError, "the key must be a tuple", lambda r: replace(r, 0, 0, ["rate", ()])),
    "method name not str": (TypeError, "method name of the key must be a str", lambda r: replace(r, 0, 0, (1, ()))),
    "arguments not pairs": (TypeError, "(name, value) pairs", lambda r: replace(r, 0, 0, ("rate", (("x",),)))),
    "arguments unsorted": (ValueError, "not sorted strictly",
                           lambda r: replace(r, 0, 0, ("discount", (("year", 1), ("a", 2))))),
    "state out of range": (TypeError, "validation state must be None, 0, 1 or 2", lambda r: replace(r, 0, 1, 3)),
    "state a str": (TypeError, "validation state must be None, 0, 1 or 2", lambda r: replace(r, 0, 1, "valid")),
    "node not a bool": (TypeError, "graph node flag must be a bool", lambda r: replace(r, 0, 2, 1)),
    "dependants not a tuple": (TypeError, "tuple of entry indices", lambda r: replace(r, 0, 3, [0])),
    "dependant negative": (TypeError, "tuple of entry indices", lambda r: replace(r, 0, 3, (-1,))),
    "dependant huge": (TypeError, "tuple of entry indices", lambda r: replace(r, 0, 3, (2 ** 80,))),
    "dependant out of range": (ValueError, "beyond the last of", lambda r: replace(r, 0, 3, (len(r),))),
    "edge at a non-node": (ValueError, "only graph nodes have edges",
                           lambda r: replace(replace(r, 1, 3, (0,)), 0, 2, False)),
    "duplicate key": (ValueError, "has the same key as cache entry 0", lambda r: [*r, r[0]]),
    "unhashable key": (HashError, "no hash", lambda r: replace(r, 0, 0, ("discount", (("year", HashRaises()),)))),
}


@pytest.mark.parametrize("name", MALFORMED)
def test_malformed_entries_raise_and_leave_the_instance_empty(name):
    exc_type, text, tamper = MALFORMED[name]
    user, version, records = reduced(warm_bond())
    target = Bond.__new__(Bond)
    with pytest.raises(exc_type, match=text.replace("(", r"\(").replace(")", r"\)")):
        quendle._restore_instance(target, (user, (version, tuple(tamper(records)))))
    assert target.validation_state == {} and target.dependency_graph == {}
    assert target.rate() == 0.05 and target.validation_state == {"rate": "valid"}


@pytest.mark.parametrize("args, exc_type, text", [
    ((object(), (None, (1, ()))), TypeError, "expected a QuendleBase instance"),
    ((Bond(), [None, (1, ())]), TypeError, "must be a tuple (user state, cache state)"),
    ((Bond(), (None, [1, ()])), TypeError, "cache state must be a tuple (version, entries)"),
    ((Bond(), (None, (True, ()))), TypeError, "cache format version must be an int"),
    ((Bond(), (None, (1, []))), TypeError, "cache entries must be a tuple"),
    ((Bond(),), TypeError, "takes exactly 2 arguments"),
])
def test_malformed_states_raise(args, exc_type, text):
    with pytest.raises(exc_type) as ei:
        quendle._restore_instance(*args)
    assert text in str(ei.value)


def test_restoring_into_a_used_instance_or_one_inside_a_scenario_is_refused():
    user, version, records = reduced(warm_bond())
    used, target = Bond(), Bond.__new__(Bond)
    used.rate()
    for obj, layered in [(used, []), (target, [target])]:
        with custom_scenario(layered):
            with pytest.raises(ValueError, match="can be restored only while it is empty"):
                quendle._restore_instance(obj, (user, (version, tuple(records))))
    assert list(used.validation_state) == ["rate"] and target.validation_state == {}


# ------------------------------------------- a restore applies the class's methods

def clock_class(variant):
    """Clock as a variant defines now() and tick(): cached, uncached, plain or gone."""

    def now(self):
        RUNS["now"] += 1
        return RUNS["now"]

    def tick(self):
        RUNS["tick"] += 1
        return RUNS["tick"]

    def stamp(self):
        RUNS["stamp"] += 1
        return ("stamp", getattr(self, "now", lambda: 0)())

    def later(self):
        RUNS["later"] += 1
        return ("later", getattr(self, "tick", lambda: 0)())

    wrap = {"cached": quendled(), "uncached": quendled(use_cache=False), "plain": lambda f: f}.get(variant)
    ns = {"__module__": __name__, "__qualname__": "Clock",
          "stamp": quendled(dependencies=["now"])(stamp), "later": quendled(track_runtime_dependencies=True)(later)}
    if wrap is not None:
        ns.update(now=wrap(now), tick=wrap(tick))
    return type("Clock", (QuendleBase,), ns)


Clock = clock_class("cached")

KINDS = {"cached": "valid", "uncached": "permanently invalid"}


@pytest.mark.parametrize("variant", ["cached", "uncached", "plain", "gone"])
@pytest.mark.parametrize("how", ["pickle", "restore"])
def test_a_restore_applies_the_current_methods(monkeypatch, variant, how):
    c = Clock()
    c.stamp(), c.later()
    blob = pickle.dumps(c)
    user, version, records = reduced(c)
    new = clock_class(variant)
    monkeypatch.setattr(sys.modules[__name__], "Clock", new)
    if how == "pickle":
        other = pickle.loads(blob)
    else:
        other = new.__new__(new)
        quendle._restore_instance(other, (user, (version, tuple(records))))
    CHECK(other)
    assert type(other) is new
    same = variant == "cached"
    expected = {"stamp": "valid" if same else "invalid", "later": "valid" if same else "invalid"}
    if variant in KINDS:
        expected.update(now=KINDS[variant], tick=KINDS[variant])
    assert other.validation_state == expected
    # now() stays a graph node while stamp() declares it; tick() is dropped
    assert ("now" in other.dependency_graph) and (("tick" in other.dependency_graph) is (variant in KINDS))
    assert set(other.cached_values) == ({"now", "tick", "stamp", "later"} if same else {"stamp", "later"})
    RUNS.clear()
    if variant in KINDS:
        first, second = other.now(), other.now()
        assert (first == second) is same
        assert ("every call runs its body" in quendle.explain(other, "now")) is not same
    other.stamp(), other.later()
    assert RUNS["stamp"] == RUNS["later"] == (0 if same else 1)


# ------------------------------------------------ dependencies on other instances

class Curve(QuendleBase, cross_instance=True):
    def __init__(self, level=0.05):
        self.level = level

    @quendled()
    def rate(self):
        return self.level


class Loan(QuendleBase, cross_instance=True):
    def __init__(self, curve):
        self.curve, self.carry = curve, True

    def __getstate__(self):  # the curve stays behind unless carried
        return {"curve": self.curve, "carry": True} if self.carry else {"carry": False}

    @quendled(track_runtime_dependencies=True)
    def price(self):
        return 100 * (1 - self.curve.rate())


def left_behind(loan):
    loan.carry = False
    return loan


# how -> (the copied loan, the curve it should depend on or None, the state of its entry)
CROSS_COPIES = {
    "pickle": lambda l: (lambda c: (c, c.curve, "valid"))(pickle.loads(pickle.dumps(l))),
    "deepcopy": lambda l: (lambda c: (c, c.curve, "valid"))(copy.deepcopy(l)),
    # a shallow copy is tied to no far end, not even the curve it shares
    "copy, curve shared": lambda l: (copy.copy(l), None, "invalid"),
    "pickle, curve left behind": lambda l: (pickle.loads(pickle.dumps(left_behind(l))), None, "invalid"),
    "deepcopy, curve left behind": lambda l: (copy.deepcopy(left_behind(l)), None, "invalid"),
    "pickle, curve first": lambda l: (lambda c, o: (o, c, "valid"))(*pickle.loads(pickle.dumps([l.curve, left_behind(l)]))),
    "deepcopy, curve first": lambda l: (lambda c, o: (o, c, "valid"))(*copy.deepcopy([l.curve, left_behind(l)])),
    # restored before the curve it depends on: invalid, linked once the curve is in place
    "pickle, curve later": lambda l: (lambda o, c: (o, c, "invalid"))(*pickle.loads(pickle.dumps([left_behind(l), l.curve]))),
}


@pytest.mark.parametrize("how", CROSS_COPIES)
def test_dependencies_on_other_instances_travel_with_both_ends(how):
    loan = Loan(Curve())
    loan.price()
    other, curve, state = CROSS_COPIES[how](loan)
    CHECK(other)
    assert other.validation_state == {"price": state}
    edges = quendle.cross_instance_edges(other)
    assert [end for end, label in edges.get("price", {}).get("dependencies", [])] == ([curve] if curve else [])
    if curve is None:
        return
    if not hasattr(other, "curve"):  # travelled beside it, not in its state
        other.curve = curve
    other.price()
    if curve is not loan.curve:
        loan.curve.update_cached_value("rate", 0.2)  # the original changes: the copy rests on its own curve
        assert other.validation_state == {"price": "valid"}
    curve.update_cached_value("rate", 0.5)
    assert other.validation_state == {"price": "invalid"} and other.price() == 50


# index of the entry, far end, key -> what a restore of a Bond says
MALFORMED_CROSS = {
    "not a pair": ((None,), TypeError, "cross-instance part must be a tuple (token or None, dependencies)"),
    "dependencies a list": ((None, []), TypeError, "cross-instance part must be a tuple"),
    "token of another type": ((object(), ()), TypeError, "must be an instance token or None"),
    "dependency not a triple": ((None, ((0, None),)), TypeError, "dependency 0 must be a tuple"),
    "index out of range": ((None, ((99, Curve(), ("rate", ())),)), ValueError, "dependency 0 names no cache entry"),
    "index negative": ((None, ((-1, Curve(), ("rate", ())),)), ValueError, "names no cache entry"),
    "end of another type": ((None, ((0, object(), ("rate", ())),)), TypeError, "QuendleBase instance, an instance token or None"),
}


@pytest.mark.parametrize("name", MALFORMED_CROSS)
def test_malformed_cross_instance_parts_raise_and_leave_the_instance_empty(name):
    cross, exc_type, text = MALFORMED_CROSS[name]
    user, version, records = reduced(warm_bond())
    target = Bond.__new__(Bond)
    with pytest.raises(exc_type, match=text.replace("(", r"\(").replace(")", r"\)")):
        quendle._restore_instance(target, (user, (version, tuple(records), cross)))
    assert target.validation_state == {}


def test_a_hand_made_dependency_on_a_live_instance_is_linked_or_invalid():
    curve = Curve()
    curve.rate()
    user, version, records = reduced(warm_bond())
    price = next(i for i, r in enumerate(records) if r[0] == ("price", (("years", 3),)))
    for key, state in [(("rate", ()), "valid"), (("rate", (("x", 1),)), "invalid")]:
        target = Bond.__new__(Bond)
        quendle._restore_instance(target, (user, (version, tuple(records), (None, ((price, curve, key),)))))
        CHECK(target)
        assert target.validation_state[("price", (("years", 3),))] == state
        assert len(quendle.cross_instance_edges(curve).get("rate", {}).get("dependants", [])) == (state == "valid")

