"""Reference-leak cases of dependencies across instances, measured by the
harness of test_refleaks.py (which also checks the build)."""

import pytest

import quendle
from quendle import QuendleBase, custom_scenario, quendled
from operation_support import expect
from test_refleaks import _counts_add_up, hunt, pytestmark  # noqa: F401 (the module's guards apply here too)


class CrossLeaf(QuendleBase):
    @quendled()
    def price(self):
        return [1.0]


class CrossBook(QuendleBase, cross_instance=True):
    def __init__(self, leaves):
        self.leaves = leaves

    @quendled(track_runtime_dependencies=True)
    def value(self):
        return [sum(leaf.price()[0] for leaf in self.leaves)]


def edges_lifecycle():
    leaves = [CrossLeaf(), CrossLeaf()]
    book = CrossBook(leaves)
    book.value()
    quendle.cross_instance_edges(book)
    quendle.cross_instance_edges(leaves[0])
    leaves[0].update_cached_value("price", [2.0])
    with custom_scenario([leaves[1], book]):
        leaves[1].clear_cache()
        book.value()
    book.value()
    del leaves[0]
    book.value()


def errors():
    expect(TypeError, "expected a QuendleBase instance", quendle.cross_instance_edges, object())
    expect(TypeError, "missing 1 required positional argument: 'obj'", quendle.cross_instance_edges)
    expect(TypeError, "is not an instance of 'bool'", type, "Bad", (QuendleBase,), {}, cross_instance=1)
    expect(TypeError, "takes no keyword arguments", type, "Bad", (QuendleBase,), {}, colour=1)
    type("Fine", (QuendleBase,), {}, cross_instance=False)


CASES = {"edges_lifecycle": edges_lifecycle, "errors": errors}


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    hunt(CASES[name], name)
