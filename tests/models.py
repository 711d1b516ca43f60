"""What several test files share: run counters, argument values that run user
code when hashed or compared, finaliser probes, and the shared model classes."""

from collections import Counter

from quendle import QuendleBase, quendled


class Boom(Exception):
    """Raised by method bodies that fail on purpose."""


class HashError(Exception):
    pass


class EqError(Exception):
    pass


# --------------------------------------------------------------------------
# argument values that run user code


class Unhashable:
    __hash__ = None


class HashRaises:
    def __hash__(self):
        raise HashError("no hash")


class Key:
    """An argument value that runs user code: every Key hashes to ``hash``
    (one value for all by default, so a lookup compares them), ``on_hash()``
    runs when it is hashed and ``on_eq()`` when it is compared, before the
    comparison decides.  Two Keys are equal when their tags are; any other
    value when it equals the tag."""

    def __init__(self, tag=None, *, hash=7, on_hash=None, on_eq=None):
        self.tag, self.hash, self.on_hash, self.on_eq = tag, hash, on_hash, on_eq

    def __hash__(self):
        if self.on_hash is not None:
            self.on_hash()
        return self.hash

    def __eq__(self, other):
        if self.on_eq is not None:
            self.on_eq()
        return other.tag == self.tag if isinstance(other, Key) else other == self.tag

    def __repr__(self):
        return f"Key({self.tag!r})"


def once(action):
    """A hook that runs action on its first call only."""
    pending = [action]

    def hook():
        if pending:
            pending.pop()()

    return hook


def recorder(action, seen):
    """A hook that runs action and appends its exception (None if it returned) to seen."""

    def run():
        try:
            action()
            seen.append(None)
        except Exception as exc:  # noqa: BLE001 - recorded for the assertions
            seen.append(exc)

    return run


class Collide:
    """Argument values that all share one hash; comparing two different ones
    raises while ``Collide.eq_raises`` is set and is False otherwise."""

    eq_raises = False
    on_eq = None

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if self is other:
            return True
        if Collide.on_eq is not None:
            Collide.on_eq()
        if Collide.eq_raises:
            raise EqError("no equality")
        return False


class raising_eq:
    """Context: make Collide equality raise (and optionally call hook first)."""

    def __init__(self, hook=None):
        self.hook = hook

    def __enter__(self):
        Collide.eq_raises = self.hook is None
        Collide.on_eq = self.hook

    def __exit__(self, *exc):
        Collide.eq_raises = False
        Collide.on_eq = None
        return False


# --------------------------------------------------------------------------
# finaliser probes


class Finaliser:
    """A value whose finaliser calls ``action(owner)`` and appends what it
    returns (or the ``catch`` exception it raises) to ``seen``; any other
    exception is left to the interpreter's report of unraisable ones."""

    def __init__(self, owner, action, seen=None, catch=BaseException):
        self.owner, self.action, self.catch = owner, action, catch
        self.seen = [] if seen is None else seen

    def __del__(self):
        try:
            self.seen.append(self.action(self.owner))
        except self.catch as e:
            self.seen.append(e)


# --------------------------------------------------------------------------
# run counters and shared models


class Counted(QuendleBase):
    """Counts the runs of its method bodies: a body returns ``self.ran(name, value)``,
    so ``calls[name]`` says how often it ran.  ``rate`` is the usual leaf."""

    def __init__(self):
        self.calls = Counter()

    def ran(self, name, value=None):
        self.calls[name] += 1
        return value

    @quendled()
    def rate(self):
        return self.ran("rate", [0.05])


class Calls(Counted):
    """The methods the call tests work on: leaves with and without parameters,
    declared and tracked dependencies, an uncached method, a failing body and
    recursion."""

    def __init__(self):
        super().__init__()
        self.error = Boom("body failed")

    @quendled(dependencies=["rate"])
    def price(self):
        return self.ran("price", ["price"])
    @quendled()
    def scaled(self, x=1):
        return self.ran("scaled", [x])
    @quendled()
    def g(self, n=0):
        return self.ran("g", [n])
    @quendled()
    def three(self, a, b, c=3):
        return self.ran("three", [a, b, c])
    @quendled(track_runtime_dependencies=True)
    def via_g(self, n):
        return self.ran("via_g", self.g(n)[0])
    @quendled(track_runtime_dependencies=True)
    def f(self):
        return self.ran("f", [self.g()])
    @quendled()
    def middle(self):
        return self.ran("middle", [self.g()])
    @quendled(track_runtime_dependencies=True)
    def outer(self):
        return self.ran("outer", [self.middle()])
    @quendled(use_cache=False)
    def volatile(self):
        return self.ran("volatile", object())
    @quendled(track_runtime_dependencies=True)
    def uses_volatile(self):
        return self.ran("uses_volatile", [self.volatile()])
    @quendled()
    def nothing(self):
        return self.ran("nothing", None)
    @quendled(track_runtime_dependencies=True)
    def fails(self):
        self.ran("fails", self.g())
        raise self.error
    @quendled(track_runtime_dependencies=True)
    def fib(self, n):
        return self.ran("fib", n if n < 2 else self.fib(n - 1) + self.fib(n - 2))
    @quendled(track_runtime_dependencies=True)
    def forever(self):
        self.ran("forever", None)
        return self.forever()
    @quendled(track_runtime_dependencies=True)
    def chain(self, n):
        return self.ran("chain", 0 if n == 0 else self.chain(n - 1) + 1)
    @quendled(track_runtime_dependencies=True)
    def introspect(self):
        self.g()
        return self.is_cached("g", n=0), self.validation_state, self.get_cached_value("g", n=0)


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
