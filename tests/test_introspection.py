"""What introspection tools, abstract classes and the common mistakes see."""

import abc
import inspect
import pydoc
import sys

import pytest
from conftest import notes
from quendle import QuendleBase, automagically_quendled, quendled

NOTES = sys.version_info >= (3, 11)


class Priced(QuendleBase):
    @quendled()
    def price(self, rate: float, years: int = 2) -> float:
        """Price at a rate over some years."""
        return rate * years

    @quendled()
    def bare(self):
        return 1


Decorator = type(Priced.__dict__["price"])


def test_decorator_exposes_the_function_like_functools_wrappers():
    d = Priced.__dict__["price"]
    assert d.__wrapped__ is d.__wrapped__ and d.__wrapped__.__name__ == "price"
    assert d.__doc__ == "Price at a rate over some years." and Priced.bare.__doc__ is None
    assert Decorator.__doc__ is None  # the class itself keeps no docstring
    assert repr(Priced.price) == "<quendled method Priced.price>"
    assert inspect.getdoc(Priced.price) == "Price at a rate over some years."


@pytest.mark.parametrize("target, text", [
    (lambda: Priced.price, "(self, rate: float, years: int = 2) -> float"),
    (lambda: Priced().price, "(rate: float, years: int = 2) -> float"),
])
def test_signature_follows_the_function(target, text):
    assert str(inspect.signature(target())) == text


def test_help_lists_the_method_with_its_docstring():
    text = pydoc.render_doc(Priced, renderer=pydoc.plaintext)
    assert "price\n |      Price at a rate over some years." in text


@pytest.mark.parametrize("abstract", [True, False])
def test_abstractness_follows_the_function(abstract):
    body = abc.abstractmethod if abstract else (lambda f: f)

    class Shape(abc.ABC, QuendleBase):
        @quendled()
        @body
        def area(self):
            return 0

    assert Shape.__dict__["area"].__isabstractmethod__ is abstract
    assert bool(Shape.__abstractmethods__) is abstract
    if abstract:
        with pytest.raises(TypeError, match="abstract"):
            Shape()

        class Square(Shape):
            @quendled()
            def area(self):
                return 4

        assert Square().area() == 4
    else:
        assert Shape().area() == 0


def test_doc_descriptor_answers_for_other_objects():
    # The descriptor behind __doc__ refuses any object that is not a decorator.
    doc = Decorator.__dict__["__doc__"]
    assert doc.__get__(None, Decorator) is None and doc.__get__(42, int) is None


@pytest.mark.parametrize("factory", [quendled, automagically_quendled])
@pytest.mark.parametrize("kind", ["generator", "asynchronous generator"])
def test_generator_functions_are_refused_when_cached(factory, kind):
    namespace = {}
    if kind == "generator":
        exec("def g(self):\n    yield 1\n", namespace)
    else:
        exec("async def g(self):\n    yield 1\n", namespace)
    with pytest.raises(TypeError) as ei:
        factory(dependencies=[])(namespace["g"])
    assert str(ei.value) == (
        f"Cannot cache {kind} function 'g': its {kind} is spent after the first use, and every later call "
        "would be served the same one; return a list or tuple instead, or decorate with use_cache=False")
    # Without caching every call gets a new generator, as the user wants.
    assert type(factory(use_cache=False, dependencies=[])(namespace["g"])).__name__ == "QuendleDecorator"


class Mistakes(QuendleBase):
    @quendled()
    @classmethod
    def on_class(cls):
        return 1

    @quendled()
    @staticmethod
    def static():
        return 1

    @quendled()
    def rate(self, x, y=2):
        return x * y


def hint_for(call):
    with pytest.raises(Exception) as ei:
        call()
    return ei.value, [n for n in notes(ei.value) if n.startswith("hint: ")]


@pytest.mark.skipif(not NOTES, reason="exception notes arrived in 3.11")
@pytest.mark.parametrize("call, error, hint", [
    (lambda m: m.on_class(), TypeError,
     "hint: the decorated object is a classmethod, but cached methods are instance methods (each instance "
     "has its own cache); decorate a plain function"),
    (lambda m: m.static(), TypeError,
     "hint: the decorated object is a staticmethod, but cached methods are instance methods (each instance "
     "has its own cache); decorate a plain function"),
    (lambda m: m.get_cached_value("rate", x=1), KeyError,
     "hint: this instance has no entry for rate(x=1): it was never computed with exactly these arguments (a "
     "query does not fill in defaults: name every argument, defaults included)"),
    (lambda m: m.clear_cached_value("rate", x="a", y=(1,)), KeyError,
     "hint: this instance has no entry for rate(x='a', y=(1,)): it was never computed with exactly these "
     "arguments (a query does not fill in defaults: name every argument, defaults included)"),
    (lambda m: m.load_cache({"nope": 1}), AttributeError,
     "hint: load_cache found 'nope' in the data, but class Mistakes has no such method; the data must come "
     "from dump_cache of the same class"),
])
def test_common_mistakes_get_a_hint(call, error, hint):
    m = Mistakes()
    m.rate(1)
    exc, hints = hint_for(lambda: call(m))
    assert type(exc) is error and hints == [hint]


@pytest.mark.skipif(not NOTES, reason="exception notes arrived in 3.11")
def test_unavailable_source_suggests_declaring_dependencies():
    source = "def f(self):\n    return 1\n"
    namespace = {}
    exec(source, namespace)
    exc, hints = hint_for(lambda: automagically_quendled()(namespace["f"]))
    assert isinstance(exc, OSError)
    assert hints == ["hint: automagically_quendled finds dependencies in the method's source, which is not "
                     "available here; declare them instead with dependencies=[...]"]
    # Declared dependencies need no source.
    assert automagically_quendled(dependencies=[])(namespace["f"]).__name__ == "f"


def test_a_hint_never_replaces_the_message_or_hides_the_error():
    m = Mistakes()
    m.rate(1)
    exc, _ = hint_for(lambda: m.get_cached_value("rate", x=1))
    assert exc.args == ("No cache key found for provided signature",)

    class BadRepr:
        def __hash__(self):
            return 1

        def __repr__(self):
            raise RuntimeError("no repr")

    # A key argument whose repr fails leaves the error without a hint.
    exc, hints = hint_for(lambda: m.get_cached_value("rate", x=BadRepr(), y=2))
    assert type(exc) is KeyError and hints == []


def test_messages_keep_every_character_of_a_name():
    # A name may hold a NUL character; the message must not end there.
    def g(self):
        yield 1

    g.__name__ = "g\x00h"
    with pytest.raises(TypeError, match="^Cannot cache generator function 'g\x00h': its generator"):
        quendled()(g)
