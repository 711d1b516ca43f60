"""Notes on errors whose message names no cause: a query or explain naming no decorated method, and a call (or
explain) whose arguments do not bind. The messages and exception types are the usual ones; before 3.11 exceptions
carry no notes and the errors are raised as they are."""

import pytest

import quendle
from conftest import HAS_NOTES, notes
from quendle import QuendleBase, quendled

NO_KEY = "No cache key found for provided signature"
QUOTE = "hint: the arguments do not match quote(self, qty, currency='EUR')"
EXPLAIN_SERVED = "is valid and stored; the next call returns it without running the body"
explain = quendle.explain


class Product(QuendleBase):
    sku = "A1"

    def helper(self):
        return 1

    @quendled()
    def total(self):
        return 10

    @quendled()
    def subtotal(self):
        return 9

    @quendled()
    def quote(self, qty, currency="EUR"):
        return qty

    @quendled(use_cache=False)
    def raw(self):
        return 3


def no_method(name, close=""):
    return f"hint: Product has no quendled method {name!r}" + (f"; did you mean {close}?" if close else "")


def plain(name):
    return f"hint: Product.{name} is not a quendled method (it is not decorated), so it has no cache entries"


@pytest.fixture
def product():
    p = Product()
    p.total()
    p.quote(1)
    return p


@pytest.mark.parametrize("query, note", [
    (lambda p: p.update_cached_value("totl", 1), no_method("totl", "'total' or 'subtotal'")),
    (lambda p: p.clear_cached_value("qoute"), no_method("qoute", "'quote'")),
    (lambda p: p.get_cached_value("quotes", qty=1), no_method("quotes", "'quote'")),
    (lambda p: p.is_cached("subtotals"), no_method("subtotals", "'subtotal' or 'total'")),
    (lambda p: explain(p, "qoute"), no_method("qoute", "'quote'")),
    (lambda p: explain(p, "qoute", 1), no_method("qoute", "'quote'")),
    (lambda p: p.is_cached("zzz"), no_method("zzz")),
    (lambda p: explain(p, "nothing_like_it"), no_method("nothing_like_it")),
    (lambda p: p.update_cached_value("sku", "B2"), plain("sku")),
    (lambda p: p.clear_cached_value("helper"), plain("helper")),
    (lambda p: explain(p, "sku", 1), plain("sku")),
    (lambda p: p.is_cached("quote", qty=2), "hint: this instance has no entry for quote(qty=2): it was never "
     "computed with exactly these arguments (a query does not fill in defaults: name every argument, defaults "
     "included)"),
], ids=["update-misspelt", "clear-misspelt", "get-misspelt", "is-cached-misspelt", "explain-misspelt",
        "explain-misspelt-positional", "no-close-name", "explain-no-close-name", "update-plain-attribute",
        "clear-plain-method", "explain-plain-positional", "decorated-other-arguments"])
def test_unknown_names_say_so(product, query, note):
    before = product.validation_state
    with pytest.raises(KeyError) as ei:
        query(product)
    assert ei.value.args == (NO_KEY,)
    assert notes(ei.value) == ([note] if HAS_NOTES else [])
    assert product.validation_state == before and product.sku == "A1"


@pytest.mark.parametrize("call, message", [
    (lambda p: p.quote(), "missing a required argument: 'qty'"),
    (lambda p: p.quote(1, "EUR", 3), "too many positional arguments"),
    (lambda p: p.quote(1, cur="USD"), "got an unexpected keyword argument 'cur'"),
    (lambda p: explain(p, "quote"), "missing a required argument: 'qty'"),
    (lambda p: explain(p, "quote", 1, "EUR", 3), "too many positional arguments"),
    (lambda p: explain(p, "quote", 1, cur="USD"), "got an unexpected keyword argument 'cur'"),
], ids=["missing", "too-many", "unexpected-keyword", "explain-missing", "explain-too-many", "explain-keyword"])
def test_arity_errors_name_the_method_and_its_signature(product, call, message):
    with pytest.raises(TypeError) as ei:
        call(product)
    assert ei.value.args == (message,)
    assert notes(ei.value) == ([QUOTE] if HAS_NOTES else [])


@pytest.mark.parametrize("args, kwargs, entry", [
    ((1,), {}, "quote(currency='EUR', qty=1)"),
    ((), {"qty": 1}, "quote(currency='EUR', qty=1)"),
    ((1, "EUR"), {}, "quote(currency='EUR', qty=1)"),
    ((1,), {"currency": "EUR"}, "quote(currency='EUR', qty=1)"),
    ((), {"currency": "EUR", "qty": 1}, "quote(currency='EUR', qty=1)"),
    ((), {}, "total()"),
], ids=["positional", "keyword-default-left-out", "all-positional", "mixed", "every-keyword", "no-arguments"])
def test_explain_binds_as_a_call(product, args, kwargs, entry):
    name = entry.partition("(")[0]
    assert explain(product, name, *args, **kwargs) == f"served: {entry} {EXPLAIN_SERVED}"


@pytest.mark.parametrize("args, kwargs, expected", [
    ((2,), {}, "never computed: no call of quote(currency='EUR', qty=2) has been made on this instance"),
    ((1, "USD"), {}, "never computed: no call of quote(currency='USD', qty=1) has been made on this instance"),
    ((), {}, "uncached: raw() is decorated with use_cache=False, so every call runs its body"),
], ids=["other-value", "other-default", "uncached"])
def test_explain_bound_entries_not_stored(product, args, kwargs, expected):
    name = "raw" if not args else "quote"
    assert explain(product, name, *args, **kwargs) == expected


class Noisy:
    """An argument value whose repr() calls a decorated method of its owner."""

    def __init__(self, owner):
        self.owner = owner

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return isinstance(other, Noisy)

    def __repr__(self):
        return f"Noisy({self.owner.total()})"


def test_entry_hint_worded_with_the_instance_free(product):
    with pytest.raises(KeyError) as ei:
        product.is_cached("quote", qty=Noisy(product))
    assert notes(ei.value) == (["hint: this instance has no entry for quote(qty=Noisy(10)): it was never computed "
                                "with exactly these arguments (a query does not fill in defaults: name every "
                                "argument, defaults included)"] if HAS_NOTES else [])
