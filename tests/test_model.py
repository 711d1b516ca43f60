"""Random operation sequences checked step by step against a small model.

The model below is an executable restatement of how an instance's cache
behaves: dense keys handed out by first sighting, a validation state per key,
the graph of dependants, base values and scenario layers, the settle rules of
the decorated call path, invalidation over the transitive dependants, the
clear rules, and the save/restore of scenario layers.  A hypothesis state
machine drives decorated calls, queries, updates, clears, nested scenarios
(over one and two instances) and dump/load into fresh instances, and after
every step compares what the module served, which method bodies ran, and the
three reports of every instance with what the model predicts (and, in builds
with the state checks, checks the whole native state of every instance).

`band` has an early cut-off: a run that returns a value equal to the one in
view keeps that value, and `top`, reached only through it, becomes valid
again without running when nothing it depends on changed since it was last
verified.  The model keeps the same stamps (a clock ticked when a value is
committed, updated, loaded or settled) and settles in the same order: the
recorded dependencies first, in the order they were recorded.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import pytest

import quendle
from conftest import examples
from quendle import QuendleBase, custom_scenario, quendled

# Present in builds with the state checks (-DQUENDLE_INVARIANTS=ON).
check_invariants = getattr(quendle, "_check_invariants", None)

MAX_INSTANCES = 4
XS = (0, 1, 2, 3)
REFUSED_X = 3  # `inp` raises for this argument, after its body started


@dataclass(frozen=True)
class Token:
    """The result of one run of a method body: unique by its serial number."""

    method: str
    args: tuple
    serial: int
    parts: tuple = ()


class Refused(Exception):
    """Raised by the body of `inp` for REFUSED_X."""


class Env:
    """Numbers the body runs of one example and logs them in order."""

    def __init__(self):
        self.serial = 0
        self.log = []

    def start(self, idx, name, args):
        self.serial += 1
        self.log.append((idx, name, args, self.serial))
        return self.serial


class Subject(QuendleBase):
    def __init__(self, idx, env):
        self.idx = idx
        self.env = env

    def plain(self):
        return "not decorated"

    @quendled(serialisable=True)
    def rate(self):
        s = self.env.start(self.idx, "rate", ())
        return Token("rate", (), s)

    @quendled()
    def inp(self, x):
        s = self.env.start(self.idx, "inp", (x,))
        if x == REFUSED_X:
            raise Refused(f"inp refuses {x}")
        return Token("inp", (x,), s)

    @quendled(track_runtime_dependencies=True, serialisable=True)
    def total(self):
        s = self.env.start(self.idx, "total", ())
        return Token("total", (), s, (self.inp(0), self.inp(1), self.rate()))

    @quendled(dependencies=[("inp", {"x": 1}), "rate"], serialisable=True)
    def decl(self):
        s = self.env.start(self.idx, "decl", ())
        return Token("decl", (), s, (self.rate(), self.inp(2)))

    @quendled(use_cache=False, track_runtime_dependencies=True)
    def live(self, x):
        s = self.env.start(self.idx, "live", (x,))
        return Token("live", (x,), s, (self.inp(x),))

    @quendled(track_runtime_dependencies=True)
    def grand(self):
        s = self.env.start(self.idx, "grand", ())
        return Token("grand", (), s, (self.total(), self.decl()))

    @quendled(track_runtime_dependencies=True, cutoff=True)
    def band(self):
        self.env.start(self.idx, "band", ())
        return band_of(self.inp(0))

    @quendled(track_runtime_dependencies=True)
    def top(self):
        s = self.env.start(self.idx, "top", ())
        return Token("top", (), s, (self.band(), self.rate()))


def band_of(value):
    """A coarse reading: runs of `band` often come out equal."""
    return ("band", len(repr(value)) % 2)


@dataclass(frozen=True)
class Shape:
    """What the model needs to know about one method of Subject."""

    params: tuple = ()
    track: bool = False
    use_cache: bool = True
    serialisable: bool = False
    declared: tuple = ()  # signature keys
    calls: object = lambda args: ()  # body's decorated calls on self, in order
    cutoff: bool = False
    # the value from the values of its calls, else a Token
    value: object = None


SHAPES = {
    "rate": Shape(serialisable=True),
    "inp": Shape(params=("x",)),
    "total": Shape(track=True, serialisable=True, calls=lambda a: (("inp", (0,)), ("inp", (1,)), ("rate", ()))),
    "decl": Shape(serialisable=True, declared=(("inp", (("x", 1),)), ("rate", ())), calls=lambda a: (("rate", ()), ("inp", (2,)))),
    "live": Shape(params=("x",), track=True, use_cache=False, calls=lambda a: (("inp", a),)),
    "grand": Shape(track=True, calls=lambda a: (("total", ()), ("decl", ()))),
    "band": Shape(track=True, cutoff=True, calls=lambda a: (("inp", (0,)),), value=lambda parts: band_of(parts[0])),
    "top": Shape(track=True, calls=lambda a: (("band", ()), ("rate", ()))),
}
SERIALISABLE = [n for n, s in SHAPES.items() if s.serialisable]  # class-body order
assert SERIALISABLE == ["rate", "total", "decl"]

VALID, INVALID, PERMANENT = "valid", "invalid", "permanently invalid"
ABSENT = object()


def sig_of(name, kwargs):
    return (name, tuple(sorted(kwargs.items())))


def label(sig):
    return sig[0] if sig[1] == () else sig


@dataclass
class ModelLayer:
    values: dict = field(default_factory=dict)
    saved_state: dict = field(default_factory=dict)
    saved_graph: dict = field(default_factory=dict)
    hidden: set = field(default_factory=set)  # keys whose values beneath a clear took out of view
    saved_cutoff: tuple = ()  # (settleable, stamps, order) as the layer found them


class Clock:
    """One clock for every instance, as the module's is process-wide."""
    now = 0

    @classmethod
    def tick(cls):
        cls.now += 1
        return cls.now


class ModelInstance:
    def __init__(self, idx):
        self.idx = idx
        self.keys = {}  # signature key -> CacheKey
        self.sigs = []  # CacheKey -> signature key
        self.state = {}  # CacheKey -> VALID / INVALID / PERMANENT
        self.graph = {}  # CacheKey -> set of dependants
        self.base = {}
        self.layers = []
        self.stack = []  # (key, track_runtime_dependencies)
        self.settleable = set()  # invalid keys reached only through keys with a cut-off
        self.stamps = {}  # key -> (changed, verified)
        self.order = {}  # key -> its dependencies in the order recorded

    # -- keys and graph
    def key_of(self, sig):
        if sig not in self.keys:
            self.keys[sig] = len(self.sigs)
            self.sigs.append(sig)
        return self.keys[sig]

    def query_key(self, name, kwargs):
        sig = sig_of(name, kwargs)
        if sig not in self.keys:
            raise KeyError("No cache key found for provided signature")
        return self.keys[sig]

    def add_edge(self, dependency, dependant):
        self.graph.setdefault(dependant, set())
        if dependant not in self.graph.setdefault(dependency, set()):
            self.order.setdefault(dependant, []).append(dependency)
        self.graph[dependency].add(dependant)

    def has_cutoff(self, key):
        return SHAPES[self.sigs[key][0]].cutoff

    def register(self, key, declared):
        if key in self.state:
            return
        self.state[key] = INVALID
        self.graph.setdefault(key, set())
        for d in declared:
            self.add_edge(d, key)

    def dependencies_of(self, key):
        return [n for n, ds in self.graph.items() if key in ds]

    def revalidate(self, key):
        if self.state.get(key) == INVALID:
            self.state[key] = VALID
        self.settleable.discard(key)

    def invalidate(self, key, keep_self=False):
        """Every dependant reached without passing a key with a cut-off (other
        than `key`) must run again; those reached only through one may settle."""
        seen, todo, cut, soft = {key}, [key], [], []
        while todo:
            k = todo.pop()
            if k == key and keep_self:
                self.settleable.discard(k)
            else:
                if self.state.get(k) == VALID:
                    self.state[k] = INVALID
                self.settleable.discard(k)
            if k != key and self.has_cutoff(k):
                cut.append(k)
                continue
            for d in self.graph.get(k, ()):
                if d not in seen:
                    seen.add(d)
                    todo.append(d)
        todo = [d for k in cut for d in self.graph.get(k, ())]
        while todo:
            k = todo.pop()
            if k in seen:
                continue
            seen.add(k)
            if self.state.get(k) == VALID:
                self.state[k] = INVALID
                self.settleable.add(k)
            todo.extend(self.graph.get(k, ()))

    def settle(self, key, use_cache, kept=False):
        if not use_cache:
            self.state[key] = PERMANENT
        deps = self.dependencies_of(key)
        states = [self.state.get(d, PERMANENT) for d in deps]
        if PERMANENT in states:
            self.state[key] = PERMANENT
        elif INVALID in states:
            self.invalidate(key)
        else:
            self.revalidate(key)
            now = Clock.tick()
            self.stamps[key] = (self.stamps.get(key, (0, 0))[0] if kept else now, now)

    # -- values
    def effective(self, key):
        for layer in reversed(self.layers):
            if key in layer.values:
                return layer.values[key]
            if key in layer.hidden:
                return ABSENT
        return self.base.get(key, ABSENT)

    def get_value(self, key):
        if self.state.get(key) != VALID:
            return ABSENT
        return self.effective(key)

    def store(self, key, value):
        if self.state.get(key) == VALID:
            (self.layers[-1].values if self.layers else self.base)[key] = value

    # -- scenarios
    def push_layer(self):
        self.layers.append(
            ModelLayer({}, dict(self.state), {k: set(v) for k, v in self.graph.items()}, set(),
                       (set(self.settleable), dict(self.stamps), {k: list(v) for k, v in self.order.items()}))
        )

    def pop_layer(self):
        layer = self.layers.pop()
        self.state = layer.saved_state
        self.graph = layer.saved_graph
        self.settleable, self.stamps, self.order = layer.saved_cutoff

    # -- reports
    def validation_report(self):
        return {label(self.sigs[k]): s for k, s in self.state.items()}

    def graph_report(self):
        return {label(self.sigs[k]): {label(self.sigs[d]) for d in ds} for k, ds in self.graph.items()}

    def cached_report(self):
        out = []
        for k, sig in enumerate(self.sigs):
            v = self.effective(k)
            if v is not ABSENT:
                out.append((label(sig), v))
        return out


class Model:
    def __init__(self):
        self.serial = 0
        self.log = []
        self.instances = []

    def call(self, mi, name, args):
        shape = SHAPES[name]
        key = mi.key_of(sig_of(name, dict(zip(shape.params, args))))
        declared = [mi.key_of(d) for d in shape.declared]
        mi.register(key, declared)
        if mi.stack and mi.stack[-1][1]:
            mi.add_edge(key, mi.stack[-1][0])
        settling = key in mi.settleable and mi.state.get(key) == INVALID
        mi.stack.append((key, shape.track and not settling))
        try:
            v = mi.get_value(key)
            if v is not ABSENT:
                return v
            if settling and self.try_settle(mi, key, {key}):
                return mi.get_value(key)
            mi.stack[-1] = (key, shape.track)
            previous = mi.effective(key) if shape.cutoff else ABSENT
            self.serial += 1
            serial = self.serial
            self.log.append((mi.idx, name, args, serial))
            if name == "inp" and args[0] == REFUSED_X:
                raise Refused(f"inp refuses {args[0]}")
            parts = tuple(self.call(mi, n, a) for n, a in shape.calls(args))
            value = shape.value(parts) if shape.value else Token(name, args, serial, parts)
            kept = previous is not ABSENT and previous == value and mi.effective(key) is previous
            if kept:
                value = previous
            mi.settle(key, shape.use_cache, kept)
            mi.store(key, value)
            return value
        finally:
            mi.stack.pop()

    def call_key(self, mi, key):
        name, pairs = mi.sigs[key]
        return self.call(mi, name, tuple(v for _, v in pairs))

    def try_settle(self, mi, key, pushed):
        """Brings key's dependencies up to date in the order recorded; True when
        none changed after key was last verified (key is then valid again)."""
        verified = mi.stamps.get(key, (0, 0))[1]
        if verified == 0:  # put in place by an update or a load, never computed
            return False
        for d in mi.order.get(key, []):
            called = False
            while True:
                state = mi.state.get(d, PERMANENT)
                if state == VALID:
                    if mi.stamps.get(d, (0, 0))[0] > verified:
                        return False
                    break
                if state == PERMANENT or called or d in pushed:
                    return False
                if d in mi.settleable:
                    pushed.add(d)
                    if self.try_settle(mi, d, pushed):
                        continue
                    mi.settleable.discard(d)
                self.call_key(mi, d)
                called = True
        if mi.effective(key) is ABSENT:
            return False
        mi.stamps[key] = (mi.stamps.get(key, (0, 0))[0], Clock.tick())
        mi.revalidate(key)
        return True

    # -- queries
    @staticmethod
    def is_cached(mi, name, kwargs):
        return mi.get_value(mi.query_key(name, kwargs)) is not ABSENT

    @staticmethod
    def get_cached(mi, name, kwargs, strict):
        v = mi.get_value(mi.query_key(name, kwargs))
        if v is ABSENT:
            if strict:
                raise KeyError(f"Cannot get cached value for '{name}'")
            return None
        return v

    @staticmethod
    def update(mi, name, kwargs, value):
        key = mi.query_key(name, kwargs)
        if mi.get_value(key) is ABSENT:
            raise KeyError(f"Cannot update cached value for '{name}'")
        if SHAPES[name].cutoff and mi.get_value(key) == value:
            return None  # unchanged under the cut-off: nothing changes
        mi.store(key, value)
        mi.invalidate(key, keep_self=True)
        mi.revalidate(key)
        mi.stamps[key] = (Clock.tick(), 0)

    @staticmethod
    def clear_value(mi, name, kwargs):
        key = mi.query_key(name, kwargs)
        if mi.effective(key) is ABSENT:
            raise KeyError(f"Cannot clear cached value for '{name}'")
        top = (mi.layers[-1].values if mi.layers else mi.base)
        if key in top:
            del top[key]
        else:  # a value beneath the top layer is hidden until its pop
            mi.layers[-1].hidden.add(key)
        mi.invalidate(key)

    @staticmethod
    def clear_cache(mi):
        cleared = {k for k in range(len(mi.sigs)) if mi.effective(k) is not ABSENT}
        if mi.layers:  # the top layer's values go; those beneath are hidden
            for values in [layer.values for layer in mi.layers[:-1]] + [mi.base]:
                mi.layers[-1].hidden |= values.keys()
            mi.layers[-1].values.clear()
        else:
            mi.base.clear()
        if cleared:
            for k in cleared:
                mi.invalidate(k)
        else:
            for k, s in mi.state.items():
                if s == VALID:
                    mi.state[k] = INVALID
        mi.settleable.clear()

    # -- scenarios (items: instance indices, or None for a foreign object)
    def enter(self, items):
        for i in items:
            if i is None:
                raise TypeError("custom_scenario() expects items to inherit from QuendleBase")
            self.instances[i].push_layer()
        return "scenario"

    def exit(self, items):
        for i in items:
            if i is None:
                raise TypeError("custom_scenario() expects items to inherit from QuendleBase")
            mi = self.instances[i]
            if not mi.layers:
                raise RuntimeError("Attempted to remove non existant layer")
            mi.pop_layer()
        return False

    # -- dump and load (orders always name every method they process)
    def dump(self, mi, order):
        remaining = set(SERIALISABLE)
        seen, names = set(), []
        for n in order:
            if n in seen:
                continue
            seen.add(n)
            if n in remaining:
                remaining.remove(n)
                names.append(n)
        assert not remaining, "the test must fix the whole dump order"
        return {n: self.call(mi, n, ()) for n in names}

    def load(self, mi, data, order):
        seen = set()
        for n in order:
            if n in seen:
                continue
            self.load_one(mi, data, n)
            seen.add(n)
        assert not [n for n in data if n not in seen], "the test must fix the whole load order"

    def load_one(self, mi, data, name):
        if name not in data:
            return
        shape = SHAPES.get(name)
        if name == "plain":
            raise ValueError(f"Method '{name}' is not decorated with @quendled")
        if not shape.serialisable:
            raise ValueError(f"Method '{name}' is not marked as serialisable")
        self.call(mi, name, ())
        mi.stamps[mi.key_of((name, ()))] = (Clock.tick(), 0)
        mi.base[mi.key_of((name, ()))] = data[name]


def outcome(fn):
    """What an operation did: its result, or its exception's type and args."""
    try:
        return ("ok", fn())
    except (Refused, KeyError, ValueError, TypeError, RuntimeError) as e:
        return ("raised", type(e), e.args)


methods = st.sampled_from(sorted(SHAPES))
xs = st.sampled_from(XS)


def query_kwargs(name, x, variant):
    """Keywords addressing a call of `name`; some variants address nothing."""
    params = SHAPES[name].params if name in SHAPES else ()
    if variant == 0:
        return {p: x for p in params}
    if variant == 1:
        return {}
    return {**{p: x for p in params}, "extra": x}


class CacheMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.env = Env()
        self.model = Model()
        self.instances = []  # plain list: hypothesis does not hold them
        self.open = []  # (Scenario, item indices) entered and not exited
        self.update_serial = 0

    def add_instance(self):
        idx = len(self.instances)
        self.instances.append(Subject(idx, self.env))
        self.model.instances.append(ModelInstance(idx))
        return idx

    def both(self, real, model, what):
        got, want = outcome(real), outcome(model)
        assert got == want, f"{what}: module {got!r}, model {want!r}"
        event(f"{what.split('(')[0].split(' ')[0]}: {got[0] if got[0] == 'ok' else got[2][0][:40]}")
        return got

    @initialize()
    def two_instances(self):
        self.add_instance()
        self.add_instance()

    # ------------------------------------------------------------- calls

    @rule(i=st.integers(0, MAX_INSTANCES - 1), name=methods, x=xs, by_keyword=st.booleans())
    def call(self, i, name, x, by_keyword):
        i %= len(self.instances)
        inst, mi = self.instances[i], self.model.instances[i]
        args = (x,) if SHAPES[name].params else ()
        bound = getattr(inst, name)
        if by_keyword and args:
            real = lambda: bound(**dict(zip(SHAPES[name].params, args)))  # noqa: E731
        else:
            real = lambda: bound(*args)  # noqa: E731
        self.both(real, lambda: self.model.call(mi, name, args), f"{name}{args} on #{i}")

    # ----------------------------------------------------------- queries

    @rule(i=st.integers(0, MAX_INSTANCES - 1), name=st.sampled_from(sorted(SHAPES) + ["nothing"]), x=xs,
          variant=st.sampled_from([0] * 8 + [1, 2]))
    def is_cached(self, i, name, x, variant):
        i %= len(self.instances)
        kw = query_kwargs(name, x, variant)
        self.both(lambda: self.instances[i].is_cached(name, **kw),
                  lambda: Model.is_cached(self.model.instances[i], name, kw), f"is_cached({name}, {kw})")

    @rule(i=st.integers(0, MAX_INSTANCES - 1), name=methods, x=xs, strict=st.booleans(),
          variant=st.sampled_from([0] * 8 + [1]))
    def get_cached_value(self, i, name, x, strict, variant):
        i %= len(self.instances)
        kw = query_kwargs(name, x, variant)
        self.both(lambda: self.instances[i].get_cached_value(name, strict=strict, **kw),
                  lambda: Model.get_cached(self.model.instances[i], name, kw, strict),
                  f"get_cached_value({name}, strict={strict}, {kw})")

    @rule(i=st.integers(0, MAX_INSTANCES - 1), name=methods, x=xs, variant=st.sampled_from([0] * 8 + [1]))
    def update_cached_value(self, i, name, x, variant):
        i %= len(self.instances)
        kw = query_kwargs(name, x, variant)
        self.update_serial += 1
        value = ("update", self.update_serial)
        self.both(lambda: self.instances[i].update_cached_value(name, value, **kw),
                  lambda: Model.update(self.model.instances[i], name, kw, value),
                  f"update_cached_value({name}, {kw})")

    @rule(i=st.integers(0, MAX_INSTANCES - 1), name=methods, x=xs, variant=st.sampled_from([0] * 8 + [1]))
    def clear_cached_value(self, i, name, x, variant):
        i %= len(self.instances)
        kw = query_kwargs(name, x, variant)
        self.both(lambda: self.instances[i].clear_cached_value(name, **kw),
                  lambda: Model.clear_value(self.model.instances[i], name, kw),
                  f"clear_cached_value({name}, {kw})")

    @rule(i=st.integers(0, MAX_INSTANCES - 1), width=st.integers(1, 4))
    def move_the_band(self, i, width):
        """Updates what `band` reads (often to a value it reads the same) and
        calls `top`, reached through `band`'s cut-off."""
        i %= len(self.instances)
        inst, mi = self.instances[i], self.model.instances[i]
        value = "u" * width
        self.both(lambda: inst.update_cached_value("inp", value, x=0),
                  lambda: Model.update(mi, "inp", {"x": 0}, value), "update_cached_value(inp, x=0)")
        self.both(inst.top, lambda: self.model.call(mi, "top", ()), f"top() on #{i}")

    def pick_key(self, i, pick, wanted):
        mi = self.model.instances[i]
        keys = [k for k in range(len(mi.sigs)) if wanted(mi, k)]
        if not keys:
            return None
        name, pairs = mi.sigs[keys[pick % len(keys)]]
        return name, dict(pairs)

    @rule(i=st.integers(0, MAX_INSTANCES - 1), pick=st.integers(0, 20))
    def update_a_served_value(self, i, pick):
        i %= len(self.instances)
        target = self.pick_key(i, pick, lambda mi, k: mi.get_value(k) is not ABSENT)
        if target is not None:
            self.update_serial += 1
            name, kw = target
            value = ("update", self.update_serial)
            got = self.both(lambda: self.instances[i].update_cached_value(name, value, **kw),
                            lambda: Model.update(self.model.instances[i], name, kw, value),
                            f"update_cached_value({name}, {kw})")
            assert got == ("ok", None)
            assert self.instances[i].get_cached_value(name, **kw) is value

    @rule(i=st.integers(0, MAX_INSTANCES - 1), pick=st.integers(0, 20))
    def clear_a_stored_value(self, i, pick):
        i %= len(self.instances)
        target = self.pick_key(i, pick, lambda mi, k: mi.effective(k) is not ABSENT)
        if target is not None:
            name, kw = target
            got = self.both(lambda: self.instances[i].clear_cached_value(name, **kw),
                            lambda: Model.clear_value(self.model.instances[i], name, kw),
                            f"clear_cached_value({name}, {kw})")
            assert got == ("ok", None)

    @rule(i=st.integers(0, MAX_INSTANCES - 1))
    def clear_cache(self, i):
        i %= len(self.instances)
        self.both(self.instances[i].clear_cache, lambda: Model.clear_cache(self.model.instances[i]),
                  "clear_cache()")

    # --------------------------------------------------------- scenarios

    @rule(picks=st.lists(st.integers(0, MAX_INSTANCES - 1), min_size=1, max_size=3) | st.just([]),
          foreign_at=st.sampled_from([None] * 8 + [0, 1, 2, 3]))
    def enter_scenario(self, picks, foreign_at):
        items = [p % len(self.instances) for p in picks]
        if foreign_at is not None:
            items.insert(min(foreign_at, len(items)), None)
        objects = [5 if p is None else self.instances[p] for p in items]
        scenario = custom_scenario(objects)
        got = self.both(lambda: "scenario" if scenario.__enter__() is scenario else "other",
                        lambda: self.model.enter(items), f"enter {items}")
        if got[0] == "ok":
            self.open.append((scenario, items))

    @precondition(lambda self: self.open)
    @rule(which=st.integers(0, 10))
    def exit_scenario(self, which):
        scenario, items = self.open.pop(which % len(self.open))
        self.both(lambda: scenario.__exit__(None, None, None), lambda: self.model.exit(items),
                  f"exit {items}")

    @rule(i=st.integers(0, MAX_INSTANCES - 1))
    def exit_never_entered(self, i):
        i %= len(self.instances)
        scenario = custom_scenario([self.instances[i]])
        self.both(lambda: scenario.__exit__(None, None, None), lambda: self.model.exit([i]),
                  f"exit of a scenario never entered over #{i}")

    # ------------------------------------------------------ dump and load

    @rule(i=st.integers(0, MAX_INSTANCES - 1), order=st.permutations(SERIALISABLE),
          junk=st.lists(st.sampled_from(["grand", "inp", "nothing"] + SERIALISABLE), max_size=3))
    def dump(self, i, order, junk):
        i %= len(self.instances)
        full = list(order)
        for n in junk:  # extra names: repeats and names that are not dumped
            full.insert(len(full) // 2, n)
        got = self.both(lambda: self.instances[i].dump_cache(full),
                        lambda: self.model.dump(self.model.instances[i], full), f"dump_cache({full})")
        assert got[0] == "ok"
        want_order = list(dict.fromkeys(n for n in full if n in SERIALISABLE))
        assert list(got[1]) == want_order

    @rule(src=st.one_of(st.none(), st.integers(0, MAX_INSTANCES - 1)),
          names=st.lists(st.sampled_from(SERIALISABLE), unique=True),
          dump_order=st.permutations(SERIALISABLE),
          into=st.one_of(st.none(), st.integers(0, MAX_INSTANCES - 1)),
          bad=st.sampled_from([None] * 6 + ["grand", "inp", "plain"]),
          shuffle=st.randoms(use_true_random=False))
    def load(self, src, names, dump_order, into, bad, shuffle):
        if src is not None:
            src %= len(self.instances)
            data = self.instances[src].dump_cache(list(dump_order))
            assert data == self.model.dump(self.model.instances[src], list(dump_order))
        else:
            self.update_serial += 1
            data = {n: ("loaded", self.update_serial, n) for n in names}
        if bad is not None:
            data[bad] = ("bad", bad)
        order = list(data)
        shuffle.shuffle(order)
        if into is None and len(self.instances) < MAX_INSTANCES:
            into = self.add_instance()  # a fresh instance
        else:
            into = (into or 0) % len(self.instances)
        self.both(lambda: self.instances[into].load_cache(data, order),
                  lambda: self.model.load(self.model.instances[into], data, order),
                  f"load_cache({order}) into #{into}")

    # -------------------------------------------------------- invariants

    @invariant()
    def bodies_ran_as_predicted(self):
        assert self.env.log == self.model.log

    @invariant()
    def reports_match(self):
        for inst, mi in zip(self.instances, self.model.instances):
            assert inst.validation_state == mi.validation_report(), f"validation_state of #{mi.idx}"
            assert inst.dependency_graph == mi.graph_report(), f"dependency_graph of #{mi.idx}"
            assert list(inst.cached_values.items()) == mi.cached_report(), f"cached_values of #{mi.idx}"

    @invariant()
    def native_state_consistent(self):
        if check_invariants is not None:
            for inst in self.instances:
                check_invariants(inst)  # no call is in progress between steps

    def teardown(self):
        # Leave no layers behind on instances that outlive the example.
        for scenario, _ in reversed(self.open):
            try:
                scenario.__exit__(None, None, None)
            except RuntimeError:
                pass


CacheMachine.TestCase.settings = settings(
    max_examples=examples(400),
    stateful_step_count=50,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestCacheModel = CacheMachine.TestCase
TestCacheModel.pytestmark = [pytest.mark.slow]


# A few fixed walks through the model itself, so that a wrong model is caught
# by a plain reading of the expected outcome and not only by disagreement.


def test_model_first_sightings_and_declared_edges():
    env, model = Env(), Model()
    a = Subject(0, env)
    model.instances.append(ModelInstance(0))
    mi = model.instances[0]
    assert a.decl() == model.call(mi, "decl", ())
    # decl declares inp(x=1), which nobody computed: never cached for that key
    inp1, inp2 = ("inp", (("x", 1),)), ("inp", (("x", 2),))
    assert mi.validation_report() == {"decl": PERMANENT, "rate": VALID, inp2: VALID}
    assert a.validation_state == mi.validation_report()
    # declared edges only: decl does not track what its body calls
    assert mi.graph_report() == {"decl": set(), inp1: {"decl"}, "rate": {"decl"}, inp2: set()}
    assert a.dependency_graph == mi.graph_report()
    assert mi.sigs == [("decl", ()), inp1, ("rate", ()), inp2]
    assert list(a.cached_values) == ["rate", inp2]
    # computed again on every call while inp(x=1) stays unknown
    assert a.decl() == model.call(mi, "decl", ())
    assert env.log == model.log and [e[1] for e in env.log] == ["decl", "rate", "inp", "decl"]


def test_model_scenario_restores_states_and_values():
    env, model = Env(), Model()
    a = Subject(0, env)
    model.instances.append(ModelInstance(0))
    mi = model.instances[0]
    before = a.total()
    assert before == model.call(mi, "total", ())
    s = custom_scenario([a])
    s.__enter__()
    model.enter([0])
    a.update_cached_value("inp", "changed", x=0)
    Model.update(mi, "inp", {"x": 0}, "changed")
    assert a.validation_state["total"] == mi.validation_report()["total"] == INVALID
    inside = a.total()
    assert inside == model.call(mi, "total", ())
    assert inside.parts[0] == "changed"
    s.__exit__(None, None, None)
    model.exit([0])
    assert a.total() is before
    assert a.validation_state == mi.validation_report()
    assert list(a.cached_values.items()) == mi.cached_report()
    assert env.log == model.log


@pytest.mark.skipif(check_invariants is None, reason="built without QUENDLE_INVARIANTS")
def test_state_check_sees_a_call_in_progress():
    seen = []

    class Probe(QuendleBase):
        @quendled(track_runtime_dependencies=True)
        def outer(self):
            return self.inner()

        @quendled()
        def inner(self):
            assert check_invariants(self, expect_idle=False) is None
            try:
                check_invariants(self)
            except AssertionError as e:
                seen.append(str(e))
            return 1

    p = Probe()
    assert p.outer() == 1
    assert len(seen) == 1 and seen[0].startswith("2 call frames left on thread ")
    assert check_invariants(p) is None
    with pytest.raises(TypeError):
        check_invariants(object())
    assert "_check_invariants" not in quendle.__all__
