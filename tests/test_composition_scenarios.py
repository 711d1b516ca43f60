"""Scenario layers where features meet: cross-instance graphs under nested and
partial scenarios, and clears made inside a scenario."""

import random
from collections import Counter

import pytest
from models import Counted

from quendle import QuendleBase, custom_scenario, quendled

# ------------------------------------------------- a graph across instances


class Node(QuendleBase, cross_instance=True):
    """``inp`` is the input (changed by updates); ``mid`` reads its own input and
    the inputs of ``feeds``; ``out`` reads its own ``mid`` and the ``out`` of
    ``uses``.  Values are nested tuples, so a stale part shows wherever it is."""

    def __init__(self, name, feeds=(), uses=()):
        self.name = name
        self.feeds = list(feeds)
        self.uses = list(uses)

    @quendled()
    def inp(self):
        return (self.name, 0)

    @quendled(track_runtime_dependencies=True)
    def mid(self):
        return ("mid", self.name, self.inp(), tuple(f.inp() for f in self.feeds))

    @quendled(track_runtime_dependencies=True)
    def out(self):
        return ("out", self.name, self.mid(), tuple(u.out() for u in self.uses))


class Reference:
    """What every call must return: a function of the inputs as they are now.
    Each instance's input is a stack of levels (the base, then one per
    scenario layer); a scenario's exit drops its levels and what they held."""

    def __init__(self, nodes):
        self.nodes = nodes
        self.levels = {n.name: [(n.name, 0)] for n in nodes}

    def push(self, node):
        self.levels[node.name].append(None)

    def pop(self, node):
        self.levels[node.name].pop()

    def set_input(self, node, value):
        self.levels[node.name][-1] = value

    def inp(self, node):
        return next(v for v in reversed(self.levels[node.name]) if v is not None)

    def mid(self, node):
        return ("mid", node.name, self.inp(node), tuple(self.inp(f) for f in node.feeds))

    def out(self, node):
        return ("out", node.name, self.mid(node), tuple(self.out(u) for u in node.uses))


def random_graph(rng, count):
    """Instances with edges to earlier ones only, so the graph has no cycle."""
    nodes = []
    for i in range(count):
        feeds = rng.sample(nodes, rng.randint(0, min(2, i)))
        uses = rng.sample(nodes, rng.randint(0, min(2, i)))
        nodes.append(Node(f"n{i}", feeds, uses))
    return nodes


def cached(node, method):
    try:
        return node.is_cached(method)
    except KeyError:  # never called
        return False


def run_against_reference(seed, steps=300):
    """Random calls, updates, clears and nested partial scenarios; every
    checked call must return what the reference computes from the inputs."""
    rng = random.Random(seed)
    nodes = random_graph(rng, rng.randint(3, 5))
    ref = Reference(nodes)
    open_scenarios = []  # innermost last: (scenario, items)
    serial = 0

    def check(node, method):
        got = getattr(node, method)()
        want = getattr(ref, method)(node)
        assert got == want, f"seed {seed}: {node.name}.{method}() is stale"

    for _ in range(steps):
        node = rng.choice(nodes)
        op = rng.random()
        if op < 0.3:
            serial += 1
            check(node, "inp")  # the input must be served to be updated
            node.update_cached_value("inp", (node.name, serial))
            ref.set_input(node, (node.name, serial))
        elif op < 0.45 and len(open_scenarios) < 4:
            items = rng.sample(nodes, rng.randint(1, len(nodes)))
            if rng.random() < 0.1:
                items.append(items[0])  # listed twice: two layers
            scenario = custom_scenario(items)
            scenario.__enter__()
            for item in items:
                ref.push(item)
            open_scenarios.append((scenario, items))
        elif op < 0.6 and open_scenarios:
            scenario, items = open_scenarios.pop()
            assert scenario.__exit__(None, None, None) is False
            for item in items:
                ref.pop(item)
        elif op < 0.67:
            method = rng.choice(["inp", "mid", "out"])
            if cached(node, method):
                node.clear_cached_value(method)
                if method == "inp":  # the next call runs the body
                    ref.set_input(node, (node.name, 0))
        elif op < 0.7:
            node.clear_cache()
            ref.set_input(node, (node.name, 0))
        for checked in rng.sample(nodes, 2):
            check(checked, rng.choice(["mid", "out"]))
    while open_scenarios:
        scenario, items = open_scenarios.pop()
        scenario.__exit__(None, None, None)
        for item in items:
            ref.pop(item)
    for node in nodes:
        check(node, "out")


@pytest.mark.parametrize("seed", range(40))
def test_cross_instance_graph_under_scenarios_matches_the_reference(seed):
    run_against_reference(seed)


def chain():
    """n1 reads n0's input and output; n2 reads n1's output."""
    n0 = Node("n0")
    n1 = Node("n1", feeds=[n0], uses=[n0])
    n2 = Node("n2", uses=[n1])
    return [n0, n1, n2]


def run_script(script):
    """Runs steps separated by ";": "out N" / "mid N" (checked against the
    reference), "update N", "enter N ...", "exit" (the innermost scenario)."""
    nodes = {n.name: n for n in chain()}
    ref = Reference(list(nodes.values()))
    open_scenarios = []
    for serial, step in enumerate(script.split(";")):
        op, *names = step.split()
        picked = [nodes[name] for name in names]
        if op in ("out", "mid"):
            assert getattr(picked[0], op)() == getattr(ref, op)(picked[0]), f"step {serial}: {step}"
        elif op == "update":
            picked[0].inp()
            picked[0].update_cached_value("inp", (names[0], serial))
            ref.set_input(picked[0], (names[0], serial))
        elif op == "enter":
            scenario = custom_scenario(picked)
            scenario.__enter__()
            for node in picked:
                ref.push(node)
            open_scenarios.append((scenario, picked))
        else:
            scenario, items = open_scenarios.pop()
            scenario.__exit__(None, None, None)
            for node in items:
                ref.pop(node)


@pytest.mark.parametrize(
    "script",
    [
        "out n1; enter n0 n1; enter n1; update n0; out n1; exit; out n1; exit; out n1",
        "out n1; enter n0; enter n1; update n0; out n1; exit; out n1; exit; out n1",
        "out n1; enter n0; enter n1; update n0; exit; out n1; exit; out n1",
        "out n2; enter n0 n2; enter n2; update n0; out n2; exit; out n2; exit; out n2",
        "out n2; enter n0 n1 n2; enter n1 n2; enter n2; update n0; out n2; exit; out n2; exit; out n2; exit; out n2",
        "out n1; enter n1; enter n1; update n0; out n1; exit; out n1; exit; out n1",
        "out n1; enter n1; enter n0 n1; update n0; out n1; exit; out n1; exit; out n1",
        "enter n1; enter n0; update n0; out n1; exit; out n1; exit; out n1",
        "out n2; enter n0 n1 n2; update n0; enter n2; out n2; update n0; exit; out n2; exit; out n2",
    ],
    ids=[
        "outer-both-inner-dependant", "outer-dependency-inner-dependant", "unread-inside",
        "through-an-instance-outside", "three-deep", "update-outside-nested-dependant",
        "change-in-the-popped-layer", "dependency-pops-first", "updates-around-an-inner-scenario",
    ],
)
def test_nested_partial_scenarios_serve_no_stale_dependant(script):
    run_script(script)


# ------------------------------------------------- clears inside a scenario


class Book(Counted):
    @quendled(track_runtime_dependencies=True)
    def price(self):
        return self.ran("price", [self.rate()[0] * 100])

    @quendled(serialisable=True)
    def label(self):
        return self.ran("label", "body")


def _update_then_clear_twice(m):
    m.update_cached_value("rate", [1])
    m.clear_cached_value("rate")  # the layer's own value goes; the one beneath shows
    assert m.cached_values["rate"] == [7] and m.is_cached("rate") is False
    m.clear_cached_value("rate")


def _recompute_then_clear(m):
    m.clear_cached_value("rate")
    assert m.rate() == [0.05]
    m.clear_cached_value("rate")


def _clear_all_then_recompute(m):
    m.clear_cache()
    assert m.price() == [5.0]


def _clear_all_in_an_inner_scenario(m):
    m.update_cached_value("rate", [1])
    with custom_scenario([m]):
        m.clear_cache()
        assert m.cached_values == {}
    assert m.get_cached_value("rate") == [1]


def _dump_after_clear(m):
    m.clear_cached_value("label")
    assert m.dump_cache() == {"label": "body"}  # computed again, not the hidden value


@pytest.mark.parametrize(
    "inside, listed, gone",
    [
        (lambda m: m.clear_cached_value("rate"), {"price", "label"}, {"rate"}),
        (lambda m: m.clear_cache(), set(), {"rate", "price", "label"}),
        (_update_then_clear_twice, {"price", "label"}, {"rate"}),
        (_recompute_then_clear, {"price", "label"}, {"rate"}),
        (_clear_all_then_recompute, {"rate", "price"}, {"label"}),
        (_clear_all_in_an_inner_scenario, {"rate", "price", "label"}, set()),
        (_dump_after_clear, {"rate", "price", "label"}, set()),
    ],
    ids=["clear_cached_value", "clear_cache", "update-then-clear-twice", "recompute-then-clear",
         "clear_cache-then-recompute", "nested", "dump_cache"],
)
def test_a_clear_inside_a_scenario_hides_what_lies_beneath_until_the_exit(inside, listed, gone):
    m = Book()
    m.price(), m.label()
    m.update_cached_value("rate", [7])
    m.update_cached_value("label", "loaded")
    m.price()
    before = (m.cached_values, m.validation_state, m.dependency_graph)
    with custom_scenario([m]):
        inside(m)
        assert set(m.cached_values) == listed
        for name in gone:
            assert m.is_cached(name) is False
            with pytest.raises(KeyError) as info:
                m.clear_cached_value(name)
            assert info.value.args == (f"Cannot clear cached value for '{name}'",)
    assert (m.cached_values, m.validation_state, m.dependency_graph) == before
    runs = Counter(m.calls)
    assert (m.rate(), m.price(), m.label()) == ([7], [700], "loaded")
    assert m.calls == runs  # served, not computed again
