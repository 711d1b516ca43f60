import contextlib

import pytest

from conftest import argument_notes, notes
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled


class Model(QuendleBase):
    @quendled()
    def f(self):
        return "F"

    @quendled()
    def g(self, x):
        return x

    @quendled()
    def boom(self):
        raise ZeroDivisionError("boom")


class Holder:
    class Inner:
        pass


class MyStr(str):
    pass


@pytest.fixture
def obj():
    model = Model()
    model.f()
    return model


SCENARIO = custom_scenario([])

BINDING_ERRORS = [
    (lambda o: o.is_cached(), "QuendleBase.is_cached() missing 1 required positional argument: 'method_name'"),
    (
        lambda o: o.update_cached_value(),
        "QuendleBase.update_cached_value() missing 2 required positional arguments: 'method_name' and 'value'",
    ),
    (
        lambda o: SCENARIO.__exit__(),
        "Scenario.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_value', and '_traceback'",
    ),
    (
        lambda o: SCENARIO.__exit__(None),
        "Scenario.__exit__() missing 2 required positional arguments: '_exc_value' and '_traceback'",
    ),
    (
        lambda o: SCENARIO.__exit__(_exc_value=None),
        "Scenario.__exit__() missing 2 required positional arguments: '_exc_type' and '_traceback'",
    ),
    (
        lambda o: o.get_cached_value("f", True, 3),
        "QuendleBase.get_cached_value() takes from 1 to 2 positional arguments but 3 were given",
    ),
    (lambda o: o.is_cached("f", 1), "QuendleBase.is_cached() takes 1 positional arguments but 2 were given"),
    (lambda o: o.dump_cache(None, None), "QuendleBase.dump_cache() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda o: custom_scenario([], []), "custom_scenario() takes 1 positional arguments but 2 were given"),
    (
        lambda o: quendled(True, None, False, False, True),
        "quendled.__new__() takes from 0 to 4 positional arguments but 5 were given",
    ),
    (lambda o: quendled()(), "quendled.__call__() missing 1 required positional argument: 'func'"),
    (
        lambda o: automagically_quendled(dependencies=[])(len, len),
        "automagically_quendled.__call__() takes 1 positional arguments but 2 were given",
    ),
    (lambda o: o.is_cached("f", method_name="g"), "QuendleBase.is_cached() got multiple values for argument 'method_name'"),
    (
        lambda o: o.get_cached_value("f", True, strict=False),
        "QuendleBase.get_cached_value() got multiple values for argument 'strict'",
    ),
    (lambda o: custom_scenario([], extra=1), "custom_scenario() got an unexpected keyword argument 'extra'"),
    (lambda o: o.dump_cache(x=1), "QuendleBase.dump_cache() got an unexpected keyword argument 'x'"),
    (lambda o: quendled(foo=1), "quendled.__new__() got an unexpected keyword argument 'foo'"),
    # the positional count is checked first, then keywords, then missing arguments
    (lambda o: o.is_cached("f", 1, method_name="g"), "QuendleBase.is_cached() takes 1 positional arguments but 2 were given"),
    (lambda o: o.load_cache(order=None, bogus=1), "QuendleBase.load_cache() got an unexpected keyword argument 'bogus'"),
    # binding comes before any conversion
    (lambda o: o.is_cached(5, 1), "QuendleBase.is_cached() takes 1 positional arguments but 2 were given"),
    (lambda o: quendled(use_cache=1, bad=2), "quendled.__new__() got an unexpected keyword argument 'bad'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(obj, call, message):
    with pytest.raises(TypeError) as ei:
        call(obj)
    assert ei.value.args == (message,)
    assert notes(ei.value) == []
    assert obj.is_cached("f") is True  # the receiver was left free


class BadIterSeq:
    def __init__(self):
        self.error = LookupError("iteration failed")

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError

    def __iter__(self):
        raise self.error


CONVERSION_ERRORS = [
    (lambda o: o.is_cached(5), TypeError, "'int' object is not an instance of 'str'", "method_name"),
    (lambda o: o.is_cached(None), TypeError, "'None' is not an instance of 'str'", "method_name"),
    (lambda o: o.is_cached(Holder.Inner()), TypeError, "'Holder.Inner' object is not an instance of 'str'", "method_name"),
    (lambda o: o.is_cached("\ud800"), UnicodeEncodeError, None, "method_name"),
    (lambda o: o.get_cached_value("f", strict=1), TypeError, "'int' object is not an instance of 'bool'", "strict"),
    (lambda o: o.get_cached_value(5, strict=1), TypeError, "'int' object is not an instance of 'str'", "method_name"),
    (lambda o: quendled(use_cache=None), TypeError, "'None' is not an instance of 'bool'", "use_cache"),
    (
        lambda o: quendled(track_runtime_dependencies=0),
        TypeError,
        "'int' object is not an instance of 'bool'",
        "track_runtime_dependencies",
    ),
    (lambda o: automagically_quendled(serialisable="yes"), TypeError, "'str' object is not an instance of 'bool'", "serialisable"),
    # flags are converted before the dependency list is looked at
    (lambda o: quendled(dependencies=5, serialisable=1), TypeError, "'int' object is not an instance of 'bool'", "serialisable"),
    (lambda o: custom_scenario("ab"), TypeError, "Can't extract `str` to `Vec`", "items"),
    (lambda o: custom_scenario(MyStr("ab")), TypeError, "Can't extract `str` to `Vec`", "items"),
    (lambda o: custom_scenario({1: 2}), TypeError, "'dict' object is not an instance of 'Sequence'", "items"),
    (lambda o: custom_scenario({1}), TypeError, "'set' object is not an instance of 'Sequence'", "items"),
    (lambda o: custom_scenario(x for x in []), TypeError, "'generator' object is not an instance of 'Sequence'", "items"),
    (lambda o: custom_scenario(None), TypeError, "'None' is not an instance of 'Sequence'", "items"),
    (lambda o: custom_scenario(BadIterSeq()), LookupError, "iteration failed", "items"),
    (lambda o: o.dump_cache(order=["a", 1]), TypeError, "'int' object is not an instance of 'str'", "order"),
    (lambda o: o.dump_cache(order="ab"), TypeError, "Can't extract `str` to `Vec`", "order"),
    (lambda o: o.load_cache([]), TypeError, "'list' object is not an instance of 'dict'", "data"),
    (lambda o: o.load_cache({}, order=5), TypeError, "'int' object is not an instance of 'Sequence'", "order"),
]


@pytest.mark.parametrize("call, exc_type, message, param", CONVERSION_ERRORS)
def test_conversion_errors_are_noted(obj, call, exc_type, message, param):
    with pytest.raises(exc_type) as ei:
        call(obj)
    assert type(ei.value) is exc_type
    if message is not None:
        assert ei.value.args == (message,)
    assert notes(ei.value) == argument_notes(param)
    assert obj.is_cached("f") is True


def test_iteration_error_is_the_very_exception():
    seq = BadIterSeq()
    with pytest.raises(LookupError) as ei:
        custom_scenario(seq)
    assert ei.value is seq.error


class LenFails:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


def test_accepted_conversions(obj):
    assert obj.is_cached(MyStr("f")) is True
    assert obj.dump_cache(order=LenFails([])) == {}  # a failing len() is only a hint
    assert type(custom_scenario(LenFails([obj]))).__name__ == "Scenario"
    assert type(custom_scenario((obj, obj))).__name__ == "Scenario"


def test_numpy_bool_is_accepted(obj):
    np = pytest.importorskip("numpy")
    assert type(quendled(use_cache=np.bool_(False))) is quendled
    with pytest.raises(ZeroDivisionError):
        obj.boom()
    assert obj.get_cached_value("boom", strict=np.bool_(False)) is None
    with pytest.raises(KeyError) as ei:
        obj.get_cached_value("boom", strict=np.bool_(True))
    assert ei.value.args == ("Cannot get cached value for 'boom'",)


def test_keyword_method_name_and_collected_keywords(obj):
    token = object()
    assert obj.g(token) is token
    assert obj.is_cached(method_name="g", x=token) is True
    assert obj.get_cached_value(x=token, method_name="g", strict=True) is token
    with pytest.raises(KeyError) as ei:
        obj.is_cached(method_name="g")
    assert ei.value.args == ("No cache key found for provided signature",)


class Probe:
    """Hashes like every other Probe and runs callbacks when hashed or compared."""

    def __init__(self, on_eq=None, on_hash=None):
        self.on_eq, self.on_hash = on_eq, on_hash

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return 7

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return isinstance(other, Probe)


def recorder(action, seen):
    def run():
        try:
            action()
        except Exception as exc:  # noqa: BLE001 - recorded for the assertion
            seen.append(exc)
        else:
            seen.append(None)

    return run


INNER = [
    (lambda o: o.is_cached("f"), "Already borrowed"),
    (lambda o: o.clear_cache(), "Already borrowed"),
    (lambda o: o.f(), "Already borrowed"),
    (lambda o: o.validation_state, "Already mutably borrowed"),
    (lambda o: o.cached_values, "Already mutably borrowed"),
]
OUTER = [
    lambda o, p: o.is_cached("g", x=p),
    lambda o, p: o.get_cached_value("g", x=p),
    lambda o, p: o.g(p),
]


@pytest.mark.parametrize("outer", OUTER)
@pytest.mark.parametrize("inner, message", INNER)
def test_reentry_from_key_comparison(obj, outer, inner, message):
    stored = Probe()
    assert obj.g(stored) is stored
    before = obj.validation_state
    seen = []
    stored.on_eq = recorder(lambda: inner(obj), seen)
    assert outer(obj, Probe()) is not None  # the comparison said "equal"
    stored.on_eq = None
    assert seen, "the stored argument was never compared"
    assert all(type(e) is RuntimeError and e.args == (message,) for e in seen)
    assert obj.validation_state == before
    assert obj.is_cached("f") is True


@pytest.mark.parametrize(
    "outer, conflict",
    [
        (lambda o, p: o.is_cached("g", x=p), True),
        (lambda o, p: o.clear_cached_value("g", x=p), True),
        (lambda o, p: o.g(p), False),  # the call path hashes before it borrows the instance
    ],
)
def test_reentry_from_hashing(obj, outer, conflict):
    seen = []
    with contextlib.suppress(KeyError):
        outer(obj, Probe(on_hash=recorder(lambda: obj.is_cached("f"), seen)))
    assert seen
    if conflict:
        assert all(type(e) is RuntimeError and e.args == ("Already borrowed",) for e in seen)
    else:
        assert seen == [None] * len(seen)
    assert obj.is_cached("f") is True


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda o, p: o.is_cached("g", x=p),
        lambda o, p: o.update_cached_value("g", 1, x=p),
        lambda o, p: o.g(p),
    ],
)
def test_user_comparison_errors_pass_through(obj, call):
    stored = Probe()
    obj.g(stored)
    error = Boom("eq failed")

    def fail():
        raise error

    stored.on_eq = fail
    with pytest.raises(Boom) as ei:
        call(obj, Probe())
    stored.on_eq = None
    assert ei.value is error and notes(error) == []
    assert obj.is_cached("g", x=stored) is True


@pytest.mark.parametrize(
    "call",
    [lambda o: o.is_cached("g", x=[]), lambda o: o.get_cached_value("g", strict=False, x={}), lambda o: o.g([])],
)
def test_unhashable_values_pass_through(obj, call):
    with pytest.raises(TypeError, match="unhashable type") as ei:
        call(obj)
    assert notes(ei.value) == []
    assert obj.validation_state == {"f": "valid"}
