"""dump_cache / load_cache of serialisable methods."""

import inspect
import pickle

import pytest
from conftest import argument_notes, notes

from quendle import QuendleBase, custom_scenario, quendled

EIGHT = [f"m{i}" for i in range(8)]


def store_class(names, base=QuendleBase):
    """A class with one serialisable method per name; each computation is logged."""
    def make(name):
        def method(self):
            self.log.append(name)
            return [name, self.tag]
        method.__name__ = name
        return quendled(serialisable=True)(method)

    def __init__(self, tag="orig"):
        self.log, self.tag = [], tag
    return type("Store", (base,), {"__init__": __init__, **{n: make(n) for n in names}})


ABC = store_class(["a", "b", "c"])


def _reshaped(self):
    return "r"


class Mixed(ABC):
    def b(self):
        return "plain"

    @quendled()
    def c(self):
        return "not serialisable"

    @quendled(serialisable=True)
    def __peek__(self):
        return "hidden"


class Reshaped(Mixed):
    reshaped = quendled(serialisable=True)(_reshaped)


_reshaped.__signature__ = inspect.signature(lambda self, x: None)


def test_nothing_serialisable_dumps_and_loads_nothing():
    obj = QuendleBase()
    assert obj.dump_cache() == {}
    assert obj.load_cache({}) is None


def test_subclass_bindings_and_dunder_names_hide_methods():
    assert sorted(Mixed().dump_cache(order=["a"])) == ["a"]


@pytest.mark.parametrize("order, head", [
    (["c", "a", "b"], ["c", "a", "b"]),
    (("b", "c", "a"), ["b", "c", "a"]),
    (["c", "a", "c", "b", "a"], ["c", "a", "b"]),
    (["zzz", "b", "zzz", "__peek__"], ["b"]),
])
def test_dump_order(order, head):
    obj = ABC()
    dump = obj.dump_cache(order)
    assert list(dump)[:len(head)] == head and sorted(dump) == ["a", "b", "c"]
    assert obj.log == list(dump)
    assert all(dump[name] is obj.get_cached_value(name) for name in dump)


class Guarded(dict):
    """A dict whose overridden lookups must not be used by a load."""

    def _refuse(self, *args):
        raise AssertionError("overridden mapping method consulted")
    __getitem__ = get = keys = items = values = _refuse


@pytest.mark.parametrize("data, order, head", [
    ({"a": 1, "b": 2, "c": 3}, ["c", "a"], ["c", "a"]),
    ({"a": 1, "b": 2, "c": 3}, ["b", "zzz", "b"], ["b"]),
    ({"a": 1, "c": None}, ["b", "c", "a"], ["c", "a"]),
    ({"a": 1, "b": 2}, None, []),
    (Guarded(a=1, b=2), ["b"], ["b"]),
])
def test_load_order_and_values(data, order, head):
    obj = ABC()
    assert obj.load_cache(data, order=order) is None
    assert obj.log[:len(head)] == head and sorted(obj.log) == sorted(data)
    assert {name: obj.get_cached_value(name) for name in data} == data
    assert all(obj.is_cached(name) for name in data)


@pytest.mark.parametrize("run, head", [
    (lambda obj: obj.dump_cache(), None),
    (lambda obj: obj.dump_cache(order=[]), None),
    (lambda obj: obj.dump_cache(order=["m3"]), "m3"),
    (lambda obj: obj.load_cache({n: n for n in EIGHT}), None),
    (lambda obj: obj.load_cache({n: n for n in EIGHT}, order=["m5"]), "m5"),
])
def test_unlisted_names_are_processed_in_varying_order(run, head):
    cls = store_class(EIGHT)
    orders = set()
    for _ in range(30):
        obj = cls()
        run(obj)
        orders.add(tuple(obj.log))
    assert len(orders) > 1
    assert all(sorted(o) == EIGHT and (head is None or o[0] == head) for o in orders)


@pytest.mark.parametrize("name, error, message", [
    ("b", ValueError, "Method 'b' is not decorated with @quendled"),
    ("c", ValueError, "Method 'c' is not marked as serialisable"),
    ("reshaped", ValueError,
     "Serialisable method must have exactly one parameter named 'self', got: [\"self\", \"x\"]"),
    ("absent", AttributeError, None),
    ("\ud800", UnicodeEncodeError, None),  # no UTF-8 text for its key: refused before the class is read
])
def test_load_failure_keeps_earlier_loads(name, error, message):
    obj = Reshaped()
    with pytest.raises(error) as info:
        obj.load_cache({"__peek__": 0, name: 1, "a": "A"}, order=["a", name, "__peek__"])
    assert message is None or info.value.args == (message,)
    assert obj.get_cached_value("a") == "A"
    assert obj.log == ["a"] and set(obj.validation_state) == {"a"}


@pytest.mark.parametrize("call, message, param", [
    (lambda o: o.dump_cache(order="ab"), "Can't extract `str` to `Vec`", "order"),
    (lambda o: o.dump_cache(["a", 1]), "'int' object is not an instance of 'str'", "order"),
    (lambda o: o.dump_cache(order={"a"}), "'set' object is not an instance of 'Sequence'", "order"),
    (lambda o: o.load_cache({"a": 1}, "a"), "Can't extract `str` to `Vec`", "order"),
    (lambda o: o.load_cache({"a": 1}, order=5), "'int' object is not an instance of 'Sequence'",
     "order"),
    (lambda o: o.load_cache([("a", 1)]), "'list' object is not an instance of 'dict'", "data"),
    (lambda o: o.load_cache({"a": 1, 2: 3}), "'int' object is not an instance of 'str'", None),
])
def test_bad_arguments_fail_before_any_method_runs(call, message, param):
    obj = ABC()
    with pytest.raises(TypeError) as info:
        call(obj)
    assert info.value.args == (message,)
    if param:
        assert notes(info.value) == argument_notes(param)
    assert obj.log == [] and obj.cached_values == {} and obj.validation_state == {}


@pytest.mark.parametrize("transport, identical", [
    (lambda dump: dump, True),
    (lambda dump: pickle.loads(pickle.dumps(dump)), False),
])
def test_dump_loads_into_fresh_instance(transport, identical):
    cls = store_class(EIGHT)
    dump = cls(tag="source").dump_cache()
    fresh = cls(tag="fresh")
    fresh.load_cache(transport(dump))
    assert sorted(fresh.log) == EIGHT
    for name in EIGHT:
        value = getattr(fresh, name)()
        assert value == [name, "source"] and (value is dump[name]) == identical
    assert len(fresh.log) == 8


class Chain(QuendleBase):
    @quendled(serialisable=True)
    def base(self):
        return "computed"

    @quendled(serialisable=True, dependencies=["base"])
    def derived(self):
        return self.base() + "!"

    @quendled(serialisable=True)
    def boom(self):
        raise LookupError("boom")


def test_later_loaded_dependency_does_not_invalidate_dependant():
    obj = Chain()
    obj.load_cache({"base": "B", "derived": "D"}, order=["derived", "base"])
    assert obj.validation_state == {"base": "valid", "derived": "valid"}
    assert (obj.derived(), obj.base()) == ("D", "B")


@pytest.mark.parametrize("run", [
    lambda obj: obj.dump_cache(order=["base", "boom", "derived"]),
    lambda obj: obj.load_cache({"base": "B", "boom": 1, "derived": "D"},
                               order=["base", "boom", "derived"]),
])
def test_failing_method_stops_the_operation(run):
    obj = Chain()
    with pytest.raises(LookupError, match="^boom$"):
        run(obj)
    assert "base" in obj.cached_values and "derived" not in obj.validation_state


def test_load_inside_scenario_writes_the_base():
    obj, fresh = ABC(), ABC()
    obj.a()
    with custom_scenario([obj, fresh]):
        obj.update_cached_value("a", "layer")
        obj.load_cache({"a": "loaded"})
        fresh.load_cache({"a": "loaded"})
        assert obj.a() == "layer" and obj.cached_values == {"a": "layer"}
        assert fresh.cached_values == {"a": ["a", "orig"]}
    assert obj.a() == "loaded"
    assert fresh.cached_values == {"a": "loaded"} and fresh.validation_state == {}


def _computed(self):
    return "computed"


class Aliased(QuendleBase):
    alias = quendled(serialisable=True)(_computed)


def test_attribute_name_differing_from_function_name():
    assert Aliased().dump_cache() == {"alias": "computed"}
    obj = Aliased()
    obj.load_cache({"alias": "loaded"})
    assert obj.alias() == "computed"
    assert obj.cached_values == {"_computed": "computed", "alias": "loaded"}
    assert obj.validation_state == {"_computed": "valid"}


def _named(name, result):
    def method(self):
        self.log.append(name)
        return result
    method.__name__ = name
    return method


def nul_store():
    """A class with serialisable methods ``x`` and ``x\\0y``, and a plain ``x\\0z``."""
    cls = store_class(["x"])
    setattr(cls, "x\0y", quendled(serialisable=True)(_named("x\0y", "nul")))
    setattr(cls, "x\0z", _named("x\0z", "plain"))
    return cls


def test_names_with_nul_stay_apart_from_their_prefix():
    cls = nul_store()
    obj = cls()
    dump = obj.dump_cache(order=["x\0y", "x"])
    assert dump == {"x\0y": "nul", "x": ["x", "orig"]}
    assert obj.log == ["x\0y", "x"]
    fresh = cls()
    fresh.load_cache({"x\0y": "loaded"})
    assert fresh.log == ["x\0y"]
    assert fresh.cached_values == {"x\0y": "loaded"}
    fresh.load_cache({"x": "other"})
    assert fresh.cached_values == {"x\0y": "loaded", "x": "other"}
    assert fresh.get_cached_value("x\0y") == "loaded"


def test_load_failure_message_keeps_the_whole_name():
    obj = nul_store()()
    with pytest.raises(ValueError) as info:
        obj.load_cache({"x\0z": 1})
    assert info.value.args == ("Method 'x\0z' is not decorated with @quendled",)
    assert obj.log == [] and obj.cached_values == {}


def _reshaped_items(shape):
    """A metaclass whose classes report their ``__dict__`` items reshaped by ``shape``."""
    real = type.__dict__["__dict__"]

    class Items:
        def __init__(self, cls):
            self.cls = cls

        def items(self):
            return [shape(k, v) for k, v in real.__get__(self.cls).items()]

    class Meta(type):
        @property
        def __dict__(cls):
            return Items(cls)

    class Odd(QuendleBase, metaclass=Meta):
        @quendled(serialisable=True)
        def a(self):
            return "A"
    return Odd


def test_class_dict_items_may_be_two_item_lists():
    obj = _reshaped_items(lambda k, v: [k, v])()
    assert obj.dump_cache() == {"a": "A"}
    fresh = type(obj)()
    fresh.load_cache({"a": "loaded"})
    assert fresh.a() == "loaded"


@pytest.mark.parametrize("shape, got", [
    (lambda k, v: (k, v, None), "a <class 'tuple'> of length 3"),
    (lambda k, v: [k], "a <class 'list'> of length 1"),
    (lambda k, v: k, "<class 'str'>"),
    (lambda k, v: None, "<class 'NoneType'>"),
])
def test_class_dict_items_of_another_shape_are_a_type_error(shape, got):
    cls = _reshaped_items(shape)
    with pytest.raises(TypeError) as info:
        cls().dump_cache()
    assert info.value.args == (f"__dict__.items() of {cls} must yield (name, value) pairs, got {got}",)
