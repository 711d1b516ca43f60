"""Scenario layers where features meet: cross-instance graphs under nested and
partial scenarios, and clears made inside a scenario."""

import random
from collections import Counter

import pytest

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
