"""Model classes that several test files share."""

from collections import Counter

from quendle import QuendleBase, quendled


class Boom(Exception):
    """Raised by method bodies that fail on purpose."""


class Counted(QuendleBase):
    """Counts the runs of its method bodies: a body returns ``self.ran(name, value)``,
    so ``calls[name]`` says how often it ran.  ``rate`` is the usual leaf."""

    def __init__(self):
        self.calls = Counter()

    def ran(self, name, value):
        self.calls[name] += 1
        return value

    @quendled()
    def rate(self):
        return self.ran("rate", [0.05])


class Single(QuendleBase):
    """One decorated method without parameters."""

    @quendled()
    def total(self):
        return 3


# An instance graph for the combined model (tests/test_model_graph.py).  Nodes
# name the instances they read by their index in WORLD, so that a copy or a
# pickle carries only the instances it is given; every body's value is a tuple
# of its method, its index and the values it read, so a value computed from the
# current inputs can be predicted and a stale one shows.
WORLD = []


class GraphLeaf(Counted):
    """`rate` is the input, `price` is computed from it; no cross-instance opt-in
    (a dependency needs none)."""

    def __init__(self, idx):
        super().__init__()
        self.idx = idx

    @quendled()
    def rate(self):
        return self.ran("rate", ("rate", self.idx))

    @quendled(track_runtime_dependencies=True)
    def price(self):
        return self.ran("price", ("price", self.idx, self.rate()))


class GraphNode(Counted, cross_instance=True):
    """Reads `own` and, for each linked instance, a leaf's `price` or a node's
    `value` (`avalue` awaits a node's `avalue`)."""

    def __init__(self, idx, links):
        super().__init__()
        self.idx = idx
        self.links = tuple(links)

    def linked(self):
        return [WORLD[j] for j in self.links]

    @quendled()
    def own(self):
        return self.ran("own", ("own", self.idx))

    @quendled(track_runtime_dependencies=True)
    def value(self):
        own = self.own()
        parts = [x.price() if isinstance(x, GraphLeaf) else x.value() for x in self.linked()]
        return self.ran("value", ("value", self.idx, own, *parts))

    @quendled(track_runtime_dependencies=True)
    def total(self):
        return self.ran("total", ("total", self.idx, self.value()))

    @quendled(track_runtime_dependencies=True)
    async def avalue(self):
        own = self.own()
        parts = [x.price() if isinstance(x, GraphLeaf) else await x.avalue() for x in self.linked()]
        return self.ran("avalue", ("avalue", self.idx, own, *parts))
