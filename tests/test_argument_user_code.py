"""Argument values whose hashing or comparison runs user code: such code may
not re-enter the instance being looked up, its errors pass through unchanged,
it runs no more often than a lookup needs, and what it changes is not seen by
the call already being bound."""

import contextlib
import threading
from collections import Counter

import pytest

from conftest import notes
from models import Boom, Calls, Key, once, recorder
from quendle import QuendleBase, quendled


@pytest.fixture
def obj():
    model = Calls()
    model.rate()
    return model


def conflicts(seen, message):
    return bool(seen) and all(type(e) is RuntimeError and e.args == (message,) for e in seen)


@pytest.mark.parametrize("outer", [lambda o, p: o.is_cached("g", n=p), lambda o, p: o.get_cached_value("g", n=p),
                                   lambda o, p: o.g(p)])
@pytest.mark.parametrize("inner, message", [
    (lambda o: o.is_cached("rate"), "Already borrowed"),
    (lambda o: o.is_cached(5), "Already borrowed"),  # the borrow is taken before any conversion
    (lambda o: o.clear_cache(), "Already borrowed"),
    (lambda o: o.rate(), "Already borrowed"),
    (lambda o: o.g(1), "Already borrowed"),  # the very method being looked up
    (lambda o: o.validation_state, "Already mutably borrowed"),
])
def test_reentry_from_key_comparison(obj, outer, inner, message):
    stored = Key()
    obj.g(stored)
    before, seen = obj.validation_state, []
    stored.on_eq = recorder(lambda: inner(obj), seen)
    assert outer(obj, Key()) is not None  # the comparison said "equal"
    stored.on_eq = None
    assert conflicts(seen, message)
    assert obj.validation_state == before and obj.is_cached("rate") is True


def test_a_hit_on_a_borrowed_instance_still_refuses(obj):
    # The stored value is a plain int: the argument's own (reflected) equality runs.
    obj.g(1)
    seen = []
    obj.g(Key(1, hash=hash(1), on_eq=recorder(lambda: obj.g(1), seen)))
    assert conflicts(seen, "Already borrowed")


@pytest.mark.parametrize(
    "reenter, message",
    [
        (lambda m: m.rate(), "Already borrowed"),
        (lambda m: m.is_cached("rate"), "Already borrowed"),
        (lambda m: m.clear_cache(), "Already borrowed"),
        (lambda m: m.cached_values, "Already mutably borrowed"),
    ],
    ids=["call", "query", "clear_cache", "report"],
)
@pytest.mark.parametrize("outer", ["call", "query"])
def test_reentry_from_comparing_unequal_keys(reenter, message, outer):
    m = Calls()
    stored = Key(1)
    m.g(stored)
    seen = []
    stored.on_eq = recorder(lambda: reenter(m), seen)
    if outer == "call":
        m.g(Key(2))
    else:
        with pytest.raises(KeyError):
            m.is_cached("g", n=Key(2))
    stored.on_eq = None
    assert conflicts(seen, message) and len(seen) == 1 and m.calls["rate"] == 0
    assert m.is_cached("g", n=Key(1)) is True


@pytest.mark.parametrize("outer, conflict", [
    (lambda o, p: o.is_cached("g", n=p), True),
    (lambda o, p: o.clear_cached_value("g", n=p), True),
    (lambda o, p: o.g(p), False),  # a decorated call hashes its arguments before it borrows the instance
])
def test_reentry_from_hashing(obj, outer, conflict):
    seen = []
    with contextlib.suppress(KeyError):
        outer(obj, Key(on_hash=recorder(lambda: obj.is_cached("rate"), seen)))
    assert conflicts(seen, "Already borrowed") if conflict else (seen and not any(seen))
    assert obj.is_cached("rate") is True


@pytest.mark.parametrize("call", [lambda o, p: o.is_cached("g", n=p), lambda o, p: o.update_cached_value("g", 1, n=p),
                                  lambda o, p: o.g(p)])
def test_user_comparison_errors_pass_through(obj, call):
    stored, error = Key(), Boom("eq failed")
    obj.g(stored)

    def fail():
        raise error

    stored.on_eq = fail
    with pytest.raises(Boom) as ei:
        call(obj, Key())
    stored.on_eq = None
    assert ei.value is error and notes(error) == []
    assert obj.get_cached_value("g", n=stored)[0] is stored


def test_raising_equality_propagates_and_registers_nothing():
    m = Calls()
    stored = Key(1)
    m.g(stored)
    before = m.validation_state
    error = Boom("eq")

    def hook():
        raise error

    stored.on_eq = hook
    with pytest.raises(Boom) as info:
        m.g(Key(2))
    stored.on_eq = None
    assert info.value is error
    assert m.validation_state == before and m.calls["g"] == 1


def test_user_equality_runs_once_per_call_on_a_hit():
    m = Calls()
    seen = []
    first = m.g(5)
    assert m.g(Key(5, hash=hash(5), on_hash=lambda: seen.append("hash"), on_eq=lambda: seen.append("eq"))) is first
    assert seen == ["hash", "eq"]  # hashed once and compared once, by the lookup itself
    assert m.calls == Counter(g=1)


def _ten(self, a, b, c, d, e, f, g, h, i, j=10):
    return ("ten", a, j)


def _zero(self):
    return ("zero",)


def _ten_kw(self, a, b, c, d, e, f, g, h, i, *, j=10):
    return ("kw", a, j)


SWAPS = {
    "code": lambda fn: setattr(fn, "__code__", _zero.__code__),
    "defaults": lambda fn: setattr(fn, "__defaults__", None),
    "kwdefaults": lambda fn: setattr(fn, "__kwdefaults__", {"j": 99}),
}


def _outcome(call):
    try:
        return call()
    except TypeError:
        return TypeError


# swap: (the outer call's outcome, the outcome of the call made from __hash__)
SWAP_OUTCOMES = {
    "code": (TypeError, ("zero",)),  # the body now takes no arguments
    "defaults": (TypeError, TypeError),  # `j` has no default any more
    "kwdefaults": (("kw", "arg", 99), ("kw", 0, 99)),  # keyed with j=10, run with the new default
}


@pytest.mark.parametrize("swap", sorted(SWAPS))
@pytest.mark.parametrize("where", ["same thread", "other thread"])
def test_function_changed_by_an_arguments_hash_during_the_bind(swap, where):
    """A bind keeps what it read from the function alive while user code changes it."""
    body = _ten_kw if swap == "kwdefaults" else _ten
    func = type(_ten)(body.__code__, globals(), "m", body.__defaults__)
    func.__kwdefaults__ = body.__kwdefaults__
    cls = type("Swapped", (QuendleBase,), {"m": quendled()(func)})
    obj = cls()
    seen = []

    def swap_and_call_again():
        SWAPS[swap](func)
        args = () if swap == "code" else tuple(range(9))

        def again():
            seen.append(_outcome(lambda: obj.m(*args)))

        if where == "same thread":
            again()
        else:
            t = threading.Thread(target=again)
            t.start()
            t.join(30)

    arg = Key("arg", hash=1, on_hash=once(swap_and_call_again))
    outer, inner = SWAP_OUTCOMES[swap]
    got = _outcome(lambda: obj.m(arg, 1, 2, 3, 4, 5, 6, 7, 8))
    assert (got if got is TypeError else (got[0], got[1].tag) + got[2:]) == outer
    assert seen == [inner]
    if swap == "kwdefaults":
        # Stored under the key bound from the layout the call started with.
        assert obj.get_cached_value("m", a=arg, b=1, c=2, d=3, e=4, f=5, g=6, h=7, i=8, j=10) is got
