import inspect

import sys

import pytest

from conftest import argument_notes, notes
from models import Single as Shop
from quendle import QuendleBase, automagically_quendled, quendled

FACTORIES = [quendled, automagically_quendled]
SERIAL_PREFIX = "Serialisable method must have exactly one parameter named 'self', got: "
DEP_SHAPE = "Dependency must be a tuple (str, dict) or a str"


def method(name, result=0):
    def body(self):
        return result() if callable(result) else result
    body.__name__ = name
    return body


def instance(**members):
    return type("C", (QuendleBase,), members)()


@pytest.mark.parametrize("factory", FACTORIES)
def test_bare_decorator_puts_the_function_into_use_cache(factory):
    with pytest.raises(TypeError) as ei:
        class Bad(QuendleBase):
            @factory
            def f(self):
                return 1
    assert ei.value.args == ("'function' object is not an instance of 'bool'",)
    name = factory.__name__
    hint = (f"hint: {name} makes the decorator when called; write @{name}() with parentheses, "
            f"and options by keyword (@{name}(use_cache=False))")
    assert notes(ei.value) == argument_notes("use_cache") + ([hint] if sys.version_info >= (3, 11) else [])


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("positional", [True, False])
def test_options_by_position_or_keyword(factory, positional):
    opts = dict(use_cache=False, dependencies=["dep"], track_runtime_dependencies=True, serialisable=False)
    made = factory(*opts.values()) if positional else factory(**opts)
    assert type(made) is factory
    calls = []
    obj = instance(f=made(method("f", lambda: calls.append(1) or obj.g())), g=quendled()(method("g", 1)))
    assert (obj.f(), obj.f(), len(calls)) == (1, 1, 2)
    assert obj.validation_state == {"f": "permanently invalid", "g": "valid"}
    assert obj.dependency_graph == {"f": set(), "dep": {"f"}, "g": {"f"}}
    assert obj.cached_values == {"g": 1}


@pytest.mark.parametrize("factory, g_dependants", [
    (quendled(), set()), (quendled(dependencies=None), set()), (quendled(dependencies=[]), set()),
    (automagically_quendled(dependencies=[]), set()), (automagically_quendled(), {"f"}),
    (automagically_quendled(dependencies=None), {"f"}),
])
def test_empty_versus_absent_dependencies(factory, g_dependants):
    class M(QuendleBase):
        @factory
        def f(self):
            return self.g()

        @quendled()
        def g(self):
            return 2

    m = M()
    assert m.f() == 2
    assert m.dependency_graph == {"f": set(), "g": g_dependants}
    assert m.validation_state == {"f": "valid", "g": "valid"}


def test_given_dependencies_skip_source_reading():
    namespace = {}
    exec("def f(self):\n    return self.g()\n", namespace)
    assert quendled()(namespace["f"]).__name__ == "f"
    assert automagically_quendled(dependencies=[])(namespace["f"]).__name__ == "f"
    with pytest.raises(OSError):
        automagically_quendled()(namespace["f"])


def test_descriptor_binding_and_names():
    dec, shop = Shop.__dict__["total"], Shop()
    assert Shop.total is dec and type(dec).__name__ == "QuendleDecorator"
    first, second = shop.total, shop.total
    assert first is not second and first.__func__ is dec and first.__self__ is shop
    assert dec.__get__(None, Shop) is dec and dec.__get__(shop).__self__ is shop
    shop.__dict__["total"] = 99  # a data descriptor is not hidden by the instance dict
    assert shop.total() == 3
    for attr in ("__name__", "__qualname__"):
        assert type(getattr(dec, attr)) is str and getattr(dec, attr) == "total"
        with pytest.raises(AttributeError):
            setattr(dec, attr, "other")


@pytest.mark.parametrize("action, exc_type, message", [
    (lambda d, o: setattr(o, "total", 1), TypeError, "Cannot assign to decorated method"),
    (lambda d, o: d.__set__(o, 1), TypeError, "Cannot assign to decorated method"),
    (lambda d, o: d.__set__(None, None), TypeError, "Cannot assign to decorated method"),
    (lambda d, o: delattr(o, "total"), NotImplementedError, "can't delete descriptor"),
    (lambda d, o: d.__delete__(o), NotImplementedError, "can't delete descriptor"),
])
def test_assignment_and_deletion_are_refused(action, exc_type, message):
    shop = Shop()
    with pytest.raises(exc_type) as ei:
        action(Shop.__dict__["total"], shop)
    assert type(ei.value) is exc_type and ei.value.args == (message,)
    assert shop.total() == 3


def test_name_is_read_at_decoration_time():
    func = method("renamed", 5)
    dec = quendled()(func)
    func.__name__ = "later"
    assert (dec.__name__, dec.__qualname__) == ("renamed", "renamed")
    obj = instance(anything=dec)
    assert obj.anything() == 5 and obj.validation_state == {"renamed": "valid"}


class Named:
    __name__ = "thing"


class BadName:
    __name__ = 3


@pytest.mark.parametrize("factory", [quendled(), automagically_quendled(dependencies=[])])
def test_function_objects_are_only_asked_for_a_name(factory):
    assert factory(lambda self: 1).__name__ == "<lambda>"
    obj = instance(thing=factory(func=Named()))
    with pytest.raises(TypeError):  # found out only when called
        obj.thing()
    with pytest.raises(AttributeError):
        factory(5)
    with pytest.raises(TypeError) as ei:
        factory(BadName())
    assert ei.value.args == ("'int' object is not an instance of 'str'",)


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("deps, exc_type, message", [
    (("a", {}), TypeError, "'tuple' object is not an instance of 'list'"),
    ("a", TypeError, "'str' object is not an instance of 'list'"),
    ({"a": {}}, TypeError, "'dict' object is not an instance of 'list'"),
    ([("a",)], ValueError, DEP_SHAPE), ([("a", {}, 1)], ValueError, DEP_SHAPE), ([()], ValueError, DEP_SHAPE),
    ([1], ValueError, DEP_SHAPE), ([None], ValueError, DEP_SHAPE), ([["a", {}]], ValueError, DEP_SHAPE),
    ([(1, {})], TypeError, "'int' object is not an instance of 'str'"),
    ([("a", [])], TypeError, "'list' object is not an instance of 'dict'"),
    ([("a", None)], TypeError, "'None' is not an instance of 'dict'"),
    (["ok", 1, (1, {})], ValueError, DEP_SHAPE),  # the first bad item wins
])
def test_malformed_dependencies(factory, deps, exc_type, message):
    with pytest.raises(exc_type) as ei:
        factory(dependencies=deps)
    assert type(ei.value) is exc_type and ei.value.args == (message,)
    assert notes(ei.value) == []


class DepList(list):
    pass


class DepTuple(tuple):
    pass


class DepDict(dict):
    pass


class Text(str):
    pass


class Token:
    pass


def test_dependency_signatures():
    deps = DepList([("a", {"self": 5, "x": 1}), Text("b"), "b",
                    DepTuple([Text("c"), DepDict({Text("z"): 1, "B": 2, "a": 3})])])
    obj = instance(f=quendled(dependencies=deps)(method("f")))
    assert obj.f() == 0
    graph = obj.dependency_graph
    assert graph == {"f": set(), ("a", (("x", 1),)): {"f"}, "b": {"f"}, ("c", (("B", 2), ("a", 3), ("z", 1))): {"f"}}
    names = [label[0] if isinstance(label, tuple) else label for label in graph]
    names += [name for label in graph if isinstance(label, tuple) for name, _ in label[1]]
    assert {type(name) for name in names} == {str}  # names are stored as plain str
    assert obj.validation_state == {"f": "permanently invalid"}  # its dependencies were never computed


def test_dependency_dicts_are_read_afresh_on_each_decoration():
    token = Token()
    kwargs = {"x": token}
    factory = quendled(dependencies=[("a", kwargs)])
    first = factory(method("one"))
    kwargs["x"] = 2
    obj = instance(one=first, two=factory(method("two")))
    obj.one(), obj.two()
    assert obj.dependency_graph == {"one": set(), "two": set(),
                                    ("a", (("x", token),)): {"one"}, ("a", (("x", 2),)): {"two"}}


@pytest.mark.parametrize("serialisable", [False, True])
@pytest.mark.parametrize("kwargs, message", [({"x": []}, "unhashable type: 'list'"),
                                             ({1: 2}, "'int' object is not an instance of 'str'")])
def test_dependency_signature_errors_surface_at_decoration(kwargs, message, serialisable):
    factory = quendled(dependencies=[("a", kwargs)], serialisable=serialisable)
    with pytest.raises(TypeError) as ei:
        factory(lambda self, extra: 0)  # come before the serialisable check
    assert ei.value.args == (message,)


class ReportedSignature(inspect.Signature):
    names = {}

    @property
    def parameters(self):
        return self.names


def reporting(*names):
    """A function whose signature reports exactly the given parameter names."""
    func, sig = (lambda self: 0), ReportedSignature()
    sig.names = dict.fromkeys(names)
    func.__signature__ = sig
    return func


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("func, exc_type, message", [
    (lambda self, x=1: 0, ValueError, SERIAL_PREFIX + '["self", "x"]'),
    (lambda: 0, ValueError, SERIAL_PREFIX + "[]"),
    (lambda this: 0, ValueError, SERIAL_PREFIX + '["this"]'),
    (lambda self, *args, **kw: 0, ValueError, SERIAL_PREFIX + '["self", "args", "kw"]'),
    (reporting('a"b', "c\\d"), ValueError, SERIAL_PREFIX + '["a\\"b", "c\\\\d"]'),
    (reporting(1), TypeError, "'int' object is not an instance of 'str'"),
])
def test_serialisable_check(factory, func, exc_type, message):
    assert factory(serialisable=True, dependencies=[])(reporting("self")).__name__ == "<lambda>"
    assert factory(dependencies=[])(func).__name__ == "<lambda>"  # unchecked when not serialisable
    for made in (factory(serialisable=True, dependencies=[]), factory(True, [], False, True)):
        with pytest.raises(exc_type) as ei:
            made(func)
        assert type(ei.value) is exc_type and ei.value.args == (message,)
