"""The public functions and methods take their arguments as Python functions
do: the interpreter's messages for a call that does not bind, a note naming
the parameter whose conversion failed, and the receiver left free."""

import sys

import pytest

from conftest import argument_notes, notes
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled


class Receiver(QuendleBase):
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


class QualnameMeta(type):
    def __getattribute__(cls, name):
        return 5 if name == "__qualname__" else super().__getattribute__(name)


class Unnamed(metaclass=QualnameMeta):
    pass


@pytest.fixture
def obj():
    model = Receiver()
    model.f()
    return model


S = custom_scenario([])
QB = "QuendleBase."


@pytest.mark.parametrize("call, message", [
    (lambda o: o.is_cached(), QB + "is_cached() missing 1 required positional argument: 'method_name'"),
    (lambda o: o.update_cached_value(),
     QB + "update_cached_value() missing 2 required positional arguments: 'method_name' and 'value'"),
    (lambda o: S.__exit__(),
     "Scenario.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_value', and '_traceback'"),
    (lambda o: S.__exit__(_exc_value=None),
     "Scenario.__exit__() missing 2 required positional arguments: '_exc_type' and '_traceback'"),
    (lambda o: o.get_cached_value("f", True, 3),
     QB + "get_cached_value() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda o: o.is_cached("f", 1), QB + "is_cached() takes 1 positional arguments but 2 were given"),
    (lambda o: o.dump_cache(None, None), QB + "dump_cache() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda o: custom_scenario([], []), "custom_scenario() takes 1 positional arguments but 2 were given"),
    (lambda o: quendled(True, None, False, False, None, 1),
     "quendled.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    (lambda o: quendled(cutoff=1), "cutoff must be None, True or a callable taking (old, new)"),
    (lambda o: quendled()(), "quendled.__call__() missing 1 required positional argument: 'func'"),
    (lambda o: o.is_cached("f", method_name="g"), QB + "is_cached() got multiple values for argument 'method_name'"),
    (lambda o: o.get_cached_value("f", True, strict=False),
     QB + "get_cached_value() got multiple values for argument 'strict'"),
    (lambda o: custom_scenario([], extra=1), "custom_scenario() got an unexpected keyword argument 'extra'"),
    (lambda o: o.dump_cache(x=1), QB + "dump_cache() got an unexpected keyword argument 'x'"),
    # order of checks: positional count, keywords, missing arguments; all before any conversion
    (lambda o: o.is_cached(5, 1, method_name="g"), QB + "is_cached() takes 1 positional arguments but 2 were given"),
    (lambda o: o.load_cache(order=None, bogus=1), QB + "load_cache() got an unexpected keyword argument 'bogus'"),
])
def test_binding_errors(obj, call, message):
    with pytest.raises(TypeError) as ei:
        call(obj)
    assert ei.value.args == (message,) and notes(ei.value) == []
    assert obj.is_cached("f") is True  # the receiver was left free


class BadIterSeq:
    def __init__(self):
        self.error = LookupError("iteration failed")

    def __getitem__(self, i):
        raise IndexError

    def __len__(self):
        return 1

    def __iter__(self):
        raise self.error


NOT_STR = "'int' object is not an instance of 'str'"
NOT_BOOL = "'int' object is not an instance of 'bool'"
NO_VEC = "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("call, exc_type, message, param", [
    (lambda o: o.is_cached(5), TypeError, NOT_STR, "method_name"),
    (lambda o: o.is_cached(None), TypeError, "'None' is not an instance of 'str'", "method_name"),
    (lambda o: o.is_cached(Holder.Inner()), TypeError, "'Holder.Inner' object is not an instance of 'str'", "method_name"),
    (lambda o: o.is_cached(Unnamed()), TypeError, "'<failed to extract type name>' object is not an instance of 'str'",
     "method_name"),
    (lambda o: o.is_cached("\ud800"), UnicodeEncodeError, None, "method_name"),
    (lambda o: o.get_cached_value("f", strict=1), TypeError, NOT_BOOL, "strict"),
    (lambda o: o.get_cached_value(5, strict=1), TypeError, NOT_STR, "method_name"),
    (lambda o: quendled(use_cache=None), TypeError, "'None' is not an instance of 'bool'", "use_cache"),
    (lambda o: quendled(track_runtime_dependencies=0), TypeError, NOT_BOOL, "track_runtime_dependencies"),
    (lambda o: automagically_quendled(serialisable="1"), TypeError, "'str' object is not an instance of 'bool'",
     "serialisable"),
    (lambda o: quendled(dependencies=5, serialisable=1), TypeError, NOT_BOOL, "serialisable"),  # flags come first
    (lambda o: custom_scenario("ab"), TypeError, NO_VEC, "items"),
    (lambda o: custom_scenario({1: 2}), TypeError, "'dict' object is not an instance of 'Sequence'", "items"),
    (lambda o: custom_scenario({1}), TypeError, "'set' object is not an instance of 'Sequence'", "items"),
    (lambda o: custom_scenario(x for x in []), TypeError, "'generator' object is not an instance of 'Sequence'", "items"),
    (lambda o: custom_scenario(BadIterSeq()), LookupError, "iteration failed", "items"),
    (lambda o: o.dump_cache(order=["a", 1]), TypeError, NOT_STR, "order"),
    (lambda o: o.dump_cache(order="ab"), TypeError, NO_VEC, "order"),
    (lambda o: o.load_cache([]), TypeError, "'list' object is not an instance of 'dict'", "data"),
    (lambda o: o.load_cache({}, order=5), TypeError, "'int' object is not an instance of 'Sequence'", "order"),
])
def test_conversion_errors_are_noted(obj, call, exc_type, message, param):
    with pytest.raises(exc_type) as ei:
        call(obj)
    assert type(ei.value) is exc_type and (message is None or ei.value.args == (message,))
    assert notes(ei.value) == argument_notes(param)
    assert obj.is_cached("f") is True


class LenFails(list):
    def __len__(self):
        raise RuntimeError("no length")


def test_accepted_conversions(obj):
    assert obj.is_cached(MyStr("f")) is True
    assert obj.dump_cache(order=LenFails()) == {}  # a failing len() is only a capacity hint
    assert type(custom_scenario(LenFails([obj]))).__name__ == "Scenario"
    token = object()
    assert obj.g(token) is token
    assert obj.is_cached(method_name="g", x=token) is True  # name by keyword, the rest collected
    assert obj.get_cached_value(x=token, method_name="g", strict=True) is token


def test_numpy_bool_is_accepted(obj):
    np = pytest.importorskip("numpy")
    assert type(quendled(use_cache=np.bool_(False))) is quendled
    with pytest.raises(ZeroDivisionError):
        obj.boom()
    assert obj.get_cached_value("boom", strict=np.bool_(False)) is None
    with pytest.raises(KeyError) as ei:
        obj.get_cached_value("boom", strict=np.bool_(True))
    assert ei.value.args == ("Cannot get cached value for 'boom'",)


def numpy_like(name, **namespace):
    """A type that presents itself as one of numpy's scalar types."""
    namespace.update(__module__="numpy", __init__=lambda self, v=None: setattr(self, "v", v))
    return type(name, (), namespace)


@pytest.mark.parametrize("value, error", [
    (numpy_like("bool_", __bool__=lambda self: self.v)(False), None),
    (numpy_like("bool", __bool__=lambda self: self.v)(False), None),
    (numpy_like("bool_", __bool__=lambda self: self.v)(0), "'int' object is not an instance of 'bool'"),
    (numpy_like("bool_")(), "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (numpy_like("int8", __bool__=lambda self: self.v)(False), "'int8' object is not an instance of 'bool'"),
])
def test_numpy_like_bools(obj, value, error):
    with pytest.raises(ZeroDivisionError):
        obj.boom()
    if error is None:
        assert obj.get_cached_value("boom", strict=value) is None  # its __bool__ result was taken
        return
    with pytest.raises(TypeError) as ei:
        obj.get_cached_value("boom", strict=value)
    assert ei.value.args == (error,) and notes(ei.value) == argument_notes("strict")


UNHASHABLE_HINT = ("hint: argument 'x' of g is not hashable, but every argument is part of the cache key; "
                   "pass a hashable value (a tuple for a list, a frozenset for a set)")


ARITY_HINT = "hint: the arguments do not match g(self, x)"


@pytest.mark.parametrize("call, match, hint", [
    (lambda o: o.is_cached("g", x=[]), "unhashable type: 'list'", UNHASHABLE_HINT),
    (lambda o: o.get_cached_value("g", False, x={}), "unhashable type: 'dict'", UNHASHABLE_HINT),
    (lambda o: o.g([]), "unhashable type: 'list'", UNHASHABLE_HINT),
    (lambda o: o.g(1, 2), "too many positional arguments", ARITY_HINT),  # from the interpreter's own binding
    (lambda o: o.g(y=1), "missing a required argument: 'x'", ARITY_HINT),
])
def test_hashing_and_binding_errors_pass_through(obj, call, match, hint):
    # The message is the interpreter's; the hint names the method and the
    # parameter or its signature (where exceptions carry notes).
    with pytest.raises(TypeError, match=match) as ei:
        call(obj)
    expected = [hint] if sys.version_info >= (3, 11) else []
    assert notes(ei.value) == expected and obj.validation_state == {"f": "valid"}
