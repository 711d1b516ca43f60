"""Automatic dependency discovery of ``automagically_quendled`` from method source."""

import ast
import inspect
import textwrap

import pytest

from quendle import QuendleBase, automagically_quendled, quendled


def _method(name):
    def method(self):
        return name
    method.__name__ = name
    return method


def _decorate_with_source(text):
    """Decorate a method named ``total`` while ``inspect`` reports ``text`` as its source."""
    target = _method("total")
    real_getsource = inspect.getsource
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(inspect, "getsource",
                      lambda obj: text if obj is target else real_getsource(obj))
        return automagically_quendled()(target)


def discovered(text):
    """Names discovered in ``text``, in the order the decorator registers them."""
    decorator = _decorate_with_source(text)
    obj = QuendleBase()
    decorator(obj)
    graph = obj.dependency_graph
    found = [label for label in graph if label != "total"]
    assert all(graph[label] == {"total"} for label in found)
    # Dependency keys were allocated in discovery order; storing their values in
    # the reverse order makes cached_values reveal that allocation order.
    for name in sorted(found, reverse=True):
        quendled()(_method(name))(obj)
    return [label for label in obj.cached_values if label != "total"]


def body(*lines):
    return "def total(self):\n" + "".join(f"    {line}\n" for line in lines)


@pytest.mark.parametrize("text, expected", [
    (body("return self.a() + self.b() + self.a()"), ["a", "b"]),
    (body("return self.a(1) + self.a(x=1) + self.a(*xs) + self.a(**kw)"), []),
    (body("return self.a(self.b())"), ["b"]),
    (body("return self.a().b()"), ["a"]),
    (body("return other.a() + Self.a() + cls.a() + super().a() + self.a"), []),
    (body("return f(self.a() + self.b(), self.c())"), ["a", "b", "c"]),
    (body("return self.b() if self.c() else self.a()"), ["c", "b", "a"]),
    (body("return {self.k1(): self.v1(), self.k2(): self.v2()}"), ["k1", "k2", "v1", "v2"]),
    (body("return [self.e() for _ in self.g()]"), ["e", "g"]),
    (body("def inner():", "    return self.d()", "return (lambda: self.c())() + inner()"), ["d", "c"]),
    (body("class Inner:", "    x = self.h()", "return Inner"), ["h"]),
    ("async def total(self):\n    return await self.a()\n", ["a"]),
    ("def one(self):\n    return self.b()\n\nasync def two(self):\n    return self.a() + self.b()\n",
     ["b", "a"]),
    ("x = self.z()\nclass K:\n    def m(self):\n        return self.y()\n" + body("return self.a()"),
     ["a"]),
    ("@self.deco()\ndef total(self, x=self.dflt()) -> self.ann():\n    return self.a()\n", ["a"]),
    ("\n\n        @automagically_quendled()\n        def total(self):\n            return self.a()\n\n",
     ["a"]),
])
def test_discovered_self_calls(text, expected):
    assert discovered(text) == expected


class _Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def _failure(action):
    try:
        action()
    except Exception as exc:
        return type(exc), exc.args
    raise AssertionError("no failure")


def _parse_failure(text):
    try:
        ast.parse(textwrap.dedent(text).strip())
    except Exception as exc:
        return ValueError, (f"Failed to parse source: {type(exc).__qualname__}: {exc}",)
    raise AssertionError("text parses")


UNCLOSED = body("return (")
MISINDENTED = "def total(self):\n        return 1\n    stray = 2\n"
NUL_BYTE = body("return '\0'")


@pytest.mark.parametrize("text, expected", [
    (UNCLOSED, _parse_failure(UNCLOSED)),
    (MISINDENTED, _parse_failure(MISINDENTED)),
    (NUL_BYTE, _parse_failure(NUL_BYTE)),
    (b"def total(self):\n    return 1\n", (TypeError, ("'bytes' object is not an instance of 'str'",))),
])
def test_unusable_source_fails_decoration(text, expected):
    assert _failure(lambda: _decorate_with_source(text)) == expected


def test_parse_error_without_text_is_reported(monkeypatch):
    def failing_parse(*args, **kwargs):
        raise _Unprintable()
    monkeypatch.setattr(ast, "parse", failing_parse)
    assert _failure(lambda: _decorate_with_source(body("return 1"))) == (
        ValueError, ("Failed to parse source: _Unprintable: <exception str() failed>",))


_namespace = {}
exec("def total(self):\n    return self.a()\n", _namespace)
_EXECED = _namespace["total"]


@pytest.mark.parametrize("options, reads_source", [
    ({}, True), ({"dependencies": None}, True),
    ({"dependencies": []}, False), ({"dependencies": ["a"]}, False),
])
def test_source_is_read_only_without_declared_dependencies(options, reads_source):
    factory = automagically_quendled(**options)
    if reads_source:
        expected = _failure(lambda: inspect.getsource(_EXECED))
        assert expected[0] is OSError
        assert _failure(lambda: factory(_EXECED)) == expected
    else:
        assert type(factory(_EXECED)).__name__ == "QuendleDecorator"


def test_getsource_errors_pass_through():
    expected = _failure(lambda: inspect.getsource(len))
    assert _failure(lambda: automagically_quendled()(len)) == expected


_shared_factory = automagically_quendled()


class Invoice(QuendleBase):
    def __init__(self):
        self.runs = 0

    @quendled()
    def net(self):
        return 100

    @quendled()
    def tax(self):
        return 20

    @quendled()
    def scaled(self, n=1):
        return n

    def helper(self):
        return 1

    @_shared_factory
    def total(self):
        self.runs += 1
        return self.net() + self.tax() + self.net()

    @_shared_factory
    def uses_helper(self):
        self.runs += 1
        return self.helper()

    @automagically_quendled()
    def uses_scaled(self):
        self.runs += 1
        return self.scaled()

    @automagically_quendled(dependencies=["tax"])
    def declared(self):
        self.runs += 1
        return self.net()

    @automagically_quendled(dependencies=[])
    def independent(self):
        self.runs += 1
        return self.net()


def test_discovered_dependencies_drive_invalidation():
    inv = Invoice()
    assert inv.total() == 220
    assert inv.dependency_graph == {"total": set(), "net": {"total"}, "tax": {"total"}}
    assert list(inv.cached_values) == ["total", "net", "tax"]
    inv.update_cached_value("tax", 0)
    assert inv.validation_state == {"total": "invalid", "net": "valid", "tax": "valid"}
    assert (inv.total(), inv.runs) == (200, 2)


@pytest.mark.parametrize("method, graph, state, runs", [
    ("declared", {"declared": set(), "tax": {"declared"}, "net": set()}, "permanently invalid", 2),
    ("independent", {"independent": set(), "net": set()}, "valid", 1),
    ("uses_helper", {"uses_helper": set(), "helper": {"uses_helper"}}, "permanently invalid", 2),
    ("uses_scaled", {"uses_scaled": set(), "scaled": {"uses_scaled"},
                     ("scaled", (("n", 1),)): set()}, "permanently invalid", 2),
])
def test_dependency_sources_and_resulting_state(method, graph, state, runs):
    inv = Invoice()
    getattr(inv, method)()
    assert inv.dependency_graph == graph
    assert inv.validation_state[method] == state
    getattr(inv, method)()
    assert inv.runs == runs
