"""The check that a serialisable method takes only ``self``, and what dump and
load read of the class.

The check is told from the code of a plain function when that is certain and
left to ``inspect`` otherwise; either way it must give what ``inspect`` gives:
the same acceptance and, on refusal, the same error. The reference here is
computed from ``inspect`` itself.
"""

import functools
import inspect

import pytest

from quendle import QuendleBase, quendled

SIGNATURE = inspect.signature
SELF, SELF_X = SIGNATURE(lambda self: 0), SIGNATURE(lambda self, x: 0)


def inspect_verdict(func):
    """None when inspect reports one parameter named ``self``, else the
    (exception type, message) the check must raise."""
    try:
        params = list(SIGNATURE(func).parameters)
    except Exception as e:  # noqa: BLE001 - whatever inspect raises is the reference
        return type(e), str(e)
    if params == ["self"]:
        return None
    quoted = ", ".join(f'"{p}"' for p in params)  # identifiers: nothing to escape
    return ValueError, f"Serialisable method must have exactly one parameter named 'self', got: [{quoted}]"


def outcome(run):
    try:
        run()
    except Exception as e:  # noqa: BLE001 - compared with the reference
        return type(e), str(e)
    return None


@pytest.fixture
def signature_calls(monkeypatch):
    """The objects inspect.signature is asked about while the test runs."""
    calls = []
    monkeypatch.setattr(inspect, "signature", lambda obj, *a, **k: calls.append(obj) or SIGNATURE(obj, *a, **k))
    return calls


def make(src, **attrs):
    """The object ``m`` that ``src`` defines, with ``attrs`` set on it."""
    ns = {"functools": functools}
    exec(src, ns)
    for name, value in attrs.items():
        setattr(ns["m"], name, value)
    return ns["m"]


CALL_OBJECT = "class M:\n    __name__ = 'm'\n    def __call__({}): pass\nm = M()"
WRAPS = "def inner({}): pass\n@functools.wraps(inner)\ndef m({}): pass"

# (id, source, attributes, whether inspect is consulted)
CASES = [
    ("plain", "def m(self): pass", {}, False),
    ("positional-only self", "def m(self, /): pass", {}, False),
    ("lambda self", "m = lambda self: 1", {}, False),
    ("coroutine function", "async def m(self): pass", {}, False),
    ("unrelated attribute", "def m(self): pass", {"tag": 1}, False),
    ("keyword-only self", "def m(*, self): pass", {}, True),
    ("*args", "def m(*args): pass", {}, True),
    ("*self", "def m(*self): pass", {}, True),
    ("**kwargs", "def m(**kwargs): pass", {}, True),
    ("**self", "def m(**self): pass", {}, True),
    ("self, **kwargs", "def m(self, **kwargs): pass", {}, True),
    ("self, *args", "def m(self, *args): pass", {}, True),
    ("extra defaulted parameter", "def m(self, x=1): pass", {}, True),
    ("self, keyword-only", "def m(self, *, k=1): pass", {}, True),
    ("named this", "def m(this): pass", {}, True),
    ("lambda without parameters", "m = lambda: 1", {}, True),
    ("code replaced", "def m(self): pass", {"__code__": (lambda a, b: 0).__code__}, True),
    ("wraps a function of self and x", WRAPS.format("self, x", "self"), {}, True),
    ("wraps a function of self", WRAPS.format("self", "*args, **kwargs"), {}, True),
    ("__signature__ of self and x", "def m(self): pass", {"__signature__": SELF_X}, True),
    ("__signature__ of self on two parameters", "def m(self, x): pass", {"__signature__": SELF}, True),
    ("__signature__ None", "def m(self): pass", {"__signature__": None}, True),
    ("__signature__ not a signature", "def m(self): pass", {"__signature__": 5}, True),
    ("__wrapped__ set by hand", "def m(self): pass", {"__wrapped__": lambda self, y: 0}, True),
    ("__text_signature__", "def m(self): pass", {"__text_signature__": "(self, x)"}, True),
    ("_partialmethod", "def m(self): pass", {"_partialmethod": "marker"}, True),
    ("__partialmethod__", "def m(self): pass", {"__partialmethod__": "marker"}, True),
    ("callable object, __call__(self)", CALL_OBJECT.format("self"), {}, True),
    ("callable object, __call__(me, self)", CALL_OBJECT.format("me, self"), {}, True),
]


@pytest.mark.parametrize("src, attrs, uses_inspect", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_decoration_check_agrees_with_inspect(src, attrs, uses_inspect, signature_calls):
    func = make(src, **attrs)
    expected = inspect_verdict(func)
    signature_calls.clear()
    assert outcome(lambda: quendled(serialisable=True)(func)) == expected
    assert bool(signature_calls) == uses_inspect


def test_cases_cover_acceptance_and_refusal_both_ways():
    verdicts = {(inspect_verdict(make(src, **attrs)) is None, uses) for _, src, attrs, uses in CASES}
    assert verdicts == {(True, False), (True, True), (False, True)}


# (id, the function decorated, its attributes then, their change before the
# load (None deletes), whether inspect is consulted)
LATER_CHANGES = [
    ("unchanged", "def m(self): pass", {}, {}, False),
    ("unrelated attribute", "def m(self): pass", {}, {"tag": 1}, False),
    ("__signature__ of self and x", "def m(self): pass", {}, {"__signature__": SELF_X}, True),
    ("__signature__ of self", "def m(self): pass", {}, {"__signature__": SELF}, True),
    ("__wrapped__", "def m(self): pass", {}, {"__wrapped__": lambda self, z: 0}, True),
    ("code of self and y", "def m(self): pass", {}, {"__code__": (lambda self, y: 0).__code__}, True),
    ("__signature__ removed", "def m(self, x=0): pass", {"__signature__": SELF}, {"__signature__": None}, True),
]


@pytest.mark.parametrize("src, before, after, uses_inspect", [c[1:] for c in LATER_CHANGES],
                         ids=[c[0] for c in LATER_CHANGES])
def test_load_checks_the_function_as_it_is_at_the_load(src, before, after, uses_inspect, signature_calls):
    m = make(src, **before)
    cls = type("Changed", (QuendleBase,), {"m": quendled(serialisable=True)(m)})
    cls().load_cache({"m": "before"})  # a load that passed before the change is no licence after it
    for name, value in after.items():
        setattr(m, name, value) if value is not None else delattr(m, name)
    expected, obj = inspect_verdict(m), cls()
    signature_calls.clear()
    assert outcome(lambda: obj.load_cache({"m": "loaded"})) == expected
    assert bool(signature_calls) == uses_inspect
    assert obj.cached_values == ({} if expected else {"m": "loaded"})


def serialisable(name, result, log=None):
    def method(self):
        log is None or log.append(name)
        return result
    method.__name__ = name
    return quendled(serialisable=True)(method)


def base_and_sub():
    base = type("Base", (QuendleBase,), {"a": serialisable("a", "A"), "b": serialisable("b", "B")})
    return base, type("Sub", (base,), {"c": serialisable("c", "C")})


# (id, class, name, new value or None to delete, names Base() dumps, names Sub() dumps, the load error of "a")
CHANGES = [
    ("added to the subclass", 1, "x", serialisable("x", "X"), "ab", "abcx", None),
    ("added to the base", 0, "x", serialisable("x", "X"), "abx", "abcx", None),
    ("replaced by a plain function", 0, "a", lambda self: 0, "b", "bc", "Method 'a' is not decorated with @quendled"),
    ("replaced by an unserialisable method", 0, "a", quendled()(lambda self: 0), "b", "bc",
     "Method 'a' is not marked as serialisable"),
    ("deleted", 0, "a", None, "b", "bc", AttributeError),
    ("hidden by a subclass attribute", 1, "a", 5, "ab", "bc", "Method 'a' is not decorated with @quendled"),
    ("own method hidden by a property", 1, "c", property(lambda self: 0), "ab", "ab", None),
    ("replaced in the subclass", 1, "b", serialisable("b", "B2"), "ab", "abc", None),
]


@pytest.mark.parametrize("which, name, value, base_names, sub_names, load_error", [c[1:] for c in CHANGES],
                         ids=[c[0] for c in CHANGES])
def test_dump_and_load_read_the_class_after_it_changed(which, name, value, base_names, sub_names, load_error):
    base, sub = base_and_sub()
    assert sorted(sub().dump_cache()) == ["a", "b", "c"]  # read once before the change
    setattr((base, sub)[which], name, value) if value is not None else delattr((base, sub)[which], name)
    assert "".join(sorted(base().dump_cache())) == base_names
    dump = sub().dump_cache()
    assert "".join(sorted(dump)) == sub_names and dump["b"] == ("B2" if name == "b" else "B")
    obj = sub()
    if load_error is None:
        obj.load_cache({"a": 1, **({name: 2} if name in sub_names else {})})
        assert obj.cached_values == {"a": 1, **({name: 2} if name in sub_names else {})}
        return
    with pytest.raises(AttributeError if load_error is AttributeError else ValueError) as info:
        obj.load_cache({"a": 1})
    assert load_error is AttributeError or info.value.args == (load_error,)


def test_rebinding_and_changing_class_during_an_operation_take_effect_at_once():
    log = []

    def rebind(self):
        log.append("a")
        type(self).b = serialisable("b", "rebound", log)
        return "A"
    rebind.__name__ = "a"
    cls = type("Rebinding", (QuendleBase,), {"a": quendled(serialisable=True)(rebind), "b": serialisable("b", "B")})
    assert cls().dump_cache(order=["a", "b"]) == {"a": "A", "b": "rebound"} and log == ["a", "b"]

    def move(self):
        log.append("moved")
        self.__class__ = two
        return "A"
    move.__name__ = "a"
    two = type("Two", (QuendleBase,), {"b": serialisable("b", "two", log)})
    one = type("One", (QuendleBase,), {"a": quendled(serialisable=True)(move), "b": serialisable("b", "one", log)})
    obj, log[:] = one(), []
    obj.load_cache({"a": 1, "b": 2}, order=["a", "b"])
    assert type(obj) is two and log == ["moved", "b"] and obj.cached_values == {"a": 1, "b": 2}


@pytest.mark.parametrize("in_body", [True, False])
def test_an_attribute_hook_sees_every_call_of_a_dump_and_a_load(in_body):
    seen = []

    def hook(self, name):
        seen.append(name)
        return object.__getattribute__(self, name)
    body = {"a": serialisable("a", "A"), "b": serialisable("b", "B")}
    cls = type("Hooked", (QuendleBase,), {**body, "__getattribute__": hook} if in_body else body)
    if not in_body:
        cls.__getattribute__ = hook
    dump, load = cls().dump_cache, cls().load_cache
    seen.clear()
    assert dump(order=["a", "b"]) == {"a": "A", "b": "B"}
    load({"b": 1, "a": 2}, order=["b", "a"])
    assert seen == ["a", "b", "b", "a"]
