import importlib.util
import weakref

import pytest

import quendle
from models import Single as Owner
from quendle import QuendleBase, automagically_quendled, quendled

BASETYPE, HAVE_GC = 1 << 10, 1 << 14


DECORATOR_TYPE = type(Owner.__dict__["total"])
SCENARIO_TYPE = type(quendle.custom_scenario([]))
TYPES = {"QuendleBase": QuendleBase, "quendled": quendled, "automagically_quendled": automagically_quendled,
         "QuendleDecorator": DECORATOR_TYPE, "Scenario": SCENARIO_TYPE}


def test_module_surface():
    assert quendle.__doc__ == ""
    assert type(quendle.__all__) is list
    assert quendle.__all__ == ["QuendleBase", "quendled", "automagically_quendled", "custom_scenario"]
    f = quendle.custom_scenario
    assert (f.__name__, f.__module__, f.__self__) == ("custom_scenario", "quendle", quendle)
    for hidden in ("Scenario", "QuendleDecorator"):
        assert not hasattr(quendle, hidden)


@pytest.mark.parametrize("preset, expected", [
    (None, quendle.__all__), (["x"], ["x"] + quendle.__all__), (("x",), "'tuple' object is not an instance of 'list'"),
])
def test_reexecuting_the_module(preset, expected):
    found = importlib.util.find_spec("quendle")
    fresh = importlib.util.module_from_spec(found)
    if preset is not None:
        fresh.__all__ = preset
    if isinstance(expected, str):
        with pytest.raises(TypeError) as ei:
            found.loader.exec_module(fresh)
        assert ei.value.args == (expected,) and not hasattr(fresh, "QuendleBase")
        return
    found.loader.exec_module(fresh)
    assert fresh.__all__ == expected and fresh.__all__ is not quendle.__all__
    for name in ("QuendleBase", "quendled", "automagically_quendled"):
        assert getattr(fresh, name) is getattr(quendle, name)  # type objects are process-wide
    assert fresh.custom_scenario.__self__ is fresh and type(fresh.custom_scenario([])) is SCENARIO_TYPE


@pytest.mark.parametrize("name", TYPES)
def test_type_names_flags_and_finality(name):
    cls = TYPES[name]
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert bool(cls.__flags__ & BASETYPE) == (cls is QuendleBase)
    assert cls.__flags__ & HAVE_GC
    if cls is not QuendleBase:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


@pytest.mark.parametrize("name", ["QuendleDecorator", "Scenario"])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})])
def test_refusing_constructors(name, args, kwargs):
    with pytest.raises(TypeError) as ei:
        TYPES[name](*args, **kwargs)
    assert ei.value.args == (f"cannot create 'builtins.{name}' instances",)


def test_base_construction_ignores_arguments_and_has_no_dict():
    assert type(QuendleBase(1, 2, x=3)) is QuendleBase

    class Sub(QuendleBase):
        def __init__(self, a, *, b):
            self.pair = (a, b)

    sub = Sub(1, b=2)
    assert sub.pair == (1, 2) and sub.validation_state == {}
    plain = QuendleBase()
    with pytest.raises(AttributeError):
        plain.x = 1
    with pytest.raises(TypeError):
        weakref.ref(plain)


@pytest.mark.parametrize("owner, name, text", [
    (QuendleBase, "get_cached_value", "($self, method_name, strict=True, **kwargs)"),
    (QuendleBase, "is_cached", "($self, method_name, **kwargs)"),
    (QuendleBase, "update_cached_value", "($self, method_name, value, **kwargs)"),
    (QuendleBase, "clear_cache", "($self)"),
    (QuendleBase, "clear_cached_value", "($self, method_name, **kwargs)"),
    (QuendleBase, "dump_cache", "($self, order=None)"),
    (QuendleBase, "load_cache", "($self, data, order=None)"),
    (SCENARIO_TYPE, "__enter__", "($self)"),
    (SCENARIO_TYPE, "__exit__", "($self, _exc_type, _exc_value, _traceback)"),
    (quendle, "custom_scenario", "(items)"),
])
def test_method_text_signatures(owner, name, text):
    method = getattr(owner, name)
    assert method.__text_signature__ == text and method.__doc__ is None


FACTORY_SIG = "(use_cache=True, dependencies=None, track_runtime_dependencies=False, serialisable=False, cutoff=None)"


@pytest.mark.parametrize("name, text", [
    ("quendled", FACTORY_SIG), ("automagically_quendled", FACTORY_SIG), ("QuendleBase", "(*_args, **_kwargs)"),
    ("QuendleDecorator", None), ("Scenario", None),
])
def test_type_docs(name, text):
    cls = TYPES[name]
    if text is None:
        assert cls.__doc__ is None  # no doc slot at all
    else:
        assert not cls.__doc__  # the doc slot carries only a signature
    exposed = getattr(cls, "__text_signature__", None)
    if text is not None and exposed is None:
        pytest.skip("this interpreter does not expose text signatures of heap types")
    assert exposed == text  # what inspect.signature reads; stubtest compares it with the stub


@pytest.mark.parametrize("prop", ["cached_values", "dependency_graph", "validation_state"])
def test_report_properties_are_read_only(prop):
    obj = Owner()
    with pytest.raises(AttributeError):
        setattr(obj, prop, {})
    with pytest.raises(AttributeError):
        delattr(obj, prop)
    assert getattr(obj, prop) == {} and getattr(QuendleBase, prop).__doc__ is None
