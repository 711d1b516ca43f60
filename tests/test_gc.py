"""Reference cycles through the module's objects are found by the collector.

Every kind of object that holds Python references takes part in cyclic
garbage collection: instances (cached values, values in scenario layers,
argument values inside signature keys), decorator factories (the keyword
dicts of declared dependencies), decorators (their functions, and the values
inside their dependency signatures) and scenarios (their items).  Each test
builds a cycle that only the collector can free, checks with weak references
that it is still alive before `gc.collect()` and gone after it.

The second half is about finalisers that run while the collector tears such a
cycle down and that still reach one of its objects, including objects whose
references the collector has already dropped.  Each finaliser works through a
list of operations on what it reaches; the tests check what every step
returned or raised and what the cache held after it.  Nothing may crash the
interpreter or end in an internal failure.
"""

import ast
import functools
import gc
import os
import subprocess
import sys
import sysconfig
import textwrap
import types
import weakref

import pytest

import quendle
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

INTERNAL_FAILURE = "PanicException"

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Where the free-threaded collector orders finalisers and clears otherwise
# (3.13t does so with the GIL enabled too).
FREE_THREADED_ORDER = pytest.mark.skipif(
    FREE_THREADED, reason="the free-threaded collector orders finalisers and clears otherwise")


# 3.13t makes new classes and functions immortal once a second thread has
# started: a cycle through one is never freed after that.
IMMORTAL_CLASSES = FREE_THREADED and sys.version_info < (3, 14)


@pytest.fixture(autouse=True)
def collector_only_on_request():
    """No automatic collection while a test builds its cycles."""
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()
        gc.collect()


class Box:
    """A plain, hashable, weak-referenceable holder."""

    def __init__(self, item=None):
        self.item = item


def assert_freed_only_by_collector(refs):
    assert refs, "nothing to watch"
    assert all(r() is not None for r in refs), "not kept alive by a cycle"
    gc.collect()
    # From 3.15 on, a cycle whose finalisers ran is freed by the next collection.
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


class Holder(QuendleBase):
    @quendled()
    def me(self):
        return [self]

    @quendled()
    def boxed(self, x):
        return Box(self)

    @quendled()
    def echo(self, arg):
        return 1

    @quendled(use_cache=False)
    def uncached(self, arg):
        return 2

    @quendled(track_runtime_dependencies=True)
    def tracked(self, arg):
        return [self.echo(arg), self]

    @quendled(serialisable=True)
    def saved(self):
        return "computed"

    @quendled()
    def plain(self):
        return 3


# ---------------------------------------------------------------- the cycles

# Each builder makes a cycle through the module's objects and returns weak
# references to what only the collector can free.
CYCLES = {}


def cycle(*variants, ids=None):
    """Registers a builder, once per variant argument when there are any."""

    def register(build):
        name = build.__name__.removeprefix("through_")
        if not variants:
            CYCLES[name] = build
        for variant, variant_id in zip(variants, ids or [str(v) for v in variants]):
            CYCLES[f"{name}-{variant_id}"] = functools.partial(build, variant)
        return build

    return register


# cached values


@cycle()
def through_a_cached_value():
    h = Holder()
    h.me()
    return [weakref.ref(h)]


@cycle()
def through_a_value_computed_inside_an_entered_scenario_it_holds():
    h = Holder()
    h.scenario = custom_scenario([h])
    h.scenario.__enter__()
    h.me()
    return [weakref.ref(h)]


@cycle()
def through_several_values_and_instances():
    a, b = Holder(), Holder()
    a.boxed(1).item = b  # a's value refers to b as well
    b.boxed(2)
    b.update_cached_value("boxed", Box(a), x=2)  # b's value refers to a
    return [weakref.ref(a), weakref.ref(b)]


@cycle()
def through_an_updated_value():
    h = Holder()
    h.plain()
    h.update_cached_value("plain", Box(h))
    return [weakref.ref(h)]


@cycle()
def through_an_invalidated_value_still_stored():
    h = Holder()
    h.tracked(0)
    h.update_cached_value("echo", 5, arg=0)  # tracked is now invalid, its value stays
    assert h.validation_state[("tracked", (("arg", 0),))] == "invalid"
    return [weakref.ref(h)]


@cycle()
def through_a_loaded_value():
    h = Holder()
    h.load_cache({"saved": Box(h)})
    return [weakref.ref(h)]


# scenario layers


@cycle(1, 2, 3)
def through_values_of_layers_never_exited(depth):
    h, other = Holder(), Holder()
    h.me()  # base value
    for level in range(depth):
        s = custom_scenario([h] if level % 2 else [h, other])
        s.__enter__()
        h.boxed(level).item = s  # the layer value refers to the scenario too
        h.update_cached_value("me", [h, s])
    return [weakref.ref(h), weakref.ref(other)]


@cycle()
def through_a_layer_value_over_two_instances():
    a, b = Holder(), Holder()
    s = custom_scenario([a, b])
    s.__enter__()
    a.boxed(0).item = b
    b.boxed(0).item = a
    return [weakref.ref(a), weakref.ref(b)]


# signature keys


@cycle("echo", "uncached", "tracked")
def through_an_argument_value(method):
    h = Holder()
    getattr(h, method)(h)
    getattr(h, method)(Box(h))
    return [weakref.ref(h)]


class Failing(QuendleBase):
    @quendled()
    def fail(self, arg):
        raise LookupError("no")


@cycle()
def through_an_argument_value_of_a_failed_call():
    h = Failing()
    with pytest.raises(LookupError):
        h.fail(Box(h))  # the key stays, nothing is stored
    assert list(h.validation_state.values()) == ["invalid"]
    return [weakref.ref(h)]


@cycle()
def through_an_argument_value_of_a_key_made_in_a_scenario():
    h = Holder()
    s = custom_scenario([h])
    s.__enter__()
    h.echo(Box(h))
    s.__exit__(None, None, None)  # the key and its signature stay
    return [weakref.ref(h)]


# declared-dependency dicts


@cycle()
def through_the_keyword_dict_of_a_factory():
    kwargs = {}
    factory = quendled(dependencies=[("me", kwargs)])
    kwargs["factory"] = factory
    kwargs["marker"] = marker = Box()
    return [weakref.ref(marker)]


@cycle(quendled, automagically_quendled, ids=["quendled", "automagic"])
def through_a_keyword_dict_back_to_the_class(make_factory):
    kwargs = {"x": 1}
    factory = make_factory(dependencies=[("boxed", kwargs), "me"])

    class Owner(QuendleBase):
        keep = factory  # the class holds the factory, the factory the dict

        @factory
        def uses(self):
            return 0

    kwargs["owner"] = Owner
    obj = Owner.instance = Owner()
    obj.uses()
    return [weakref.ref(Owner), weakref.ref(obj)]


@cycle()
def through_a_declared_keyword_value_back_to_the_class():
    back = Box()

    class Owner(QuendleBase):
        # the decorator's dependency signature holds `back`
        @quendled(dependencies=[("me", {"link": back})])
        def uses(self):
            return 0

    back.item = Owner
    Owner().uses()
    return [weakref.ref(Owner), weakref.ref(back)]


@cycle()
def through_a_declared_keyword_dict_to_the_decorator():
    kwargs = {}
    factory = quendled(dependencies=[("me", kwargs)])

    def uses(self):
        return 0

    decorator = factory(uses)
    kwargs["decorator"] = decorator
    kwargs["factory"] = factory
    return [weakref.ref(uses)]


# decorator functions


def functions_held_by(decorator):
    """Weak references to the functions the decorator reports to the collector."""
    return [weakref.ref(r) for r in gc.get_referents(decorator) if isinstance(r, types.FunctionType)]


@cycle()
def through_a_closure_reaching_the_class():
    class Owner(QuendleBase):
        @quendled(track_runtime_dependencies=True)
        def kind(self):
            return Owner  # a closure cell of the function holds the class

    functions = functions_held_by(Owner.__dict__["kind"])
    assert functions, "the decorator does not report its function to the collector"
    obj = Owner.instance = Owner()
    obj.kind()
    return [weakref.ref(Owner), weakref.ref(obj), *functions]


OWNER_MODULE = textwrap.dedent(
    """
    from quendle import QuendleBase, quendled

    def kind(self):
        return Owner

    class Owner(QuendleBase):
        kind = quendled()(kind)
    """
)


@cycle()
def through_function_globals_reaching_the_class():
    namespace = {}
    exec(OWNER_MODULE, namespace)  # noqa: S102 - a module of its own
    func = namespace.pop("kind")
    obj = namespace["Owner"].instance = namespace["Owner"]()
    assert obj.kind() is namespace["Owner"]
    return [weakref.ref(func), weakref.ref(namespace["Owner"]), weakref.ref(obj)]


@cycle()
def through_an_automagic_method_reaching_the_class():
    class Owner(QuendleBase):
        @quendled()
        def base(self):
            return 1

        @automagically_quendled()
        def derived(self):
            return self.base() + (Owner is type(self))

    functions = functions_held_by(Owner.__dict__["derived"])
    assert functions, "the decorator does not report its function to the collector"
    obj = Owner.instance = Owner()
    assert obj.derived() == 2
    assert obj.dependency_graph["base"] == {"derived"}
    return [weakref.ref(Owner), weakref.ref(obj), *functions]


@cycle()
def through_a_lambda_decorated_after_the_class():
    class Owner(QuendleBase):
        pass

    func = lambda self: Owner  # noqa: E731
    Owner.kind = quendled()(func)
    assert Owner().kind() is Owner
    return [weakref.ref(func), weakref.ref(Owner)]


# scenario items


@cycle()
def through_a_scenario_held_by_its_item():
    h = Holder()
    h.scenario = custom_scenario([h])
    return [weakref.ref(h)]


@cycle()
def through_an_entered_scenario_held_by_its_items():
    a, b = Holder(), Holder()
    s = custom_scenario([a, b, a])
    s.__enter__()
    a.scenario = s
    b.scenario = s
    return [weakref.ref(a), weakref.ref(b)]


class Maker(QuendleBase):
    @quendled()
    def scenario(self):
        return custom_scenario([self])


@cycle()
def through_a_scenario_cached_by_its_item():
    m = Maker()
    with m.scenario():
        m.scenario()  # a second scenario in the layer, listing m
    return [weakref.ref(m)]


@cycle()
def through_a_scenario_listing_itself_indirectly():
    box = Box()
    s = custom_scenario([box])  # items are only checked on entry
    box.item = s
    return [weakref.ref(box)]


# the module's objects one by one, each holding what holds it


@cycle()
def through_a_factory_holding_its_keyword_dict():
    marker = Box()
    marker.item = quendled(dependencies=[("a", {"m": marker})])
    return [weakref.ref(marker)]


@cycle()
def through_a_decorator_holding_its_function():
    marker = Box()
    marker.item = quendled()(lambda self: marker)
    return [weakref.ref(marker)]


@cycle()
def through_an_instance_of_a_class_made_by_type():
    marker = Box()
    holder = type("Holder", (QuendleBase,), {"value": quendled()(lambda self: marker)})()
    holder.value()
    marker.item = holder
    return [weakref.ref(marker)]


@pytest.mark.parametrize("build", list(CYCLES.values()), ids=list(CYCLES))
def test_cycle_is_freed_only_by_the_collector(build):
    if IMMORTAL_CLASSES:
        pytest.skip("3.13t makes classes immortal once a second thread has started")
    assert_freed_only_by_collector(build())


# ------------------------------------------------- finalisers in a cycle


def plain(x):
    """x with the objects of a test cycle replaced by their class names."""
    if isinstance(x, dict):
        return {plain(k): plain(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return type(x)(plain(i) for i in x)
    if isinstance(x, (set, frozenset)):
        return {plain(i) for i in x}
    if isinstance(x, (Holder, Box, Watcher)):
        return type(x).__name__
    if isinstance(x, BaseException):
        return (type(x).__name__, *x.args)
    return x


def label(name, **kwargs):
    return (name, tuple(sorted(kwargs.items()))) if kwargs else name


E0, E7, E8, T0, T8 = label("echo", arg=0), label("echo", arg=7), label("echo", arg=8), label("tracked", arg=0), \
    label("tracked", arg=8)
NO_VALUE = object()
EVERY_KEY_CLEARED = object()

# What the finaliser does with the instance, step by step: the operation, its
# result ("initial ..." stands for the instance's report before the first
# step), and what the step changes in the cache ({label: (state, value)}).
WATCHER_STEPS = [
    ("cached_values", lambda o: o.cached_values, "initial values", {}),
    ("validation_state", lambda o: o.validation_state, "initial states", {}),
    ("dependency_graph", lambda o: o.dependency_graph, "initial graph", {}),
    ("is_cached", lambda o: o.is_cached("echo", arg=7), ("KeyError", "No cache key found for provided signature"),
     {}),
    ("call", lambda o: o.echo(7), 1, {E7: ("valid", 1)}),
    ("call again", lambda o: o.echo(7), 1, {}),
    ("tracked", lambda o: o.tracked(8), [1, "Holder"], {E8: ("valid", 1), T8: ("valid", [1, "Holder"])}),
    ("get_cached_value", lambda o: o.get_cached_value("echo", arg=7), 1, {}),
    ("update", lambda o: o.update_cached_value("echo", 9, arg=7), None, {E7: ("valid", 9)}),
    ("clear one", lambda o: o.clear_cached_value("echo", arg=7), None, {E7: ("invalid", NO_VALUE)}),
    ("dump", lambda o: o.dump_cache(), {"saved": "computed"}, {}),
    ("load", lambda o: o.load_cache({"saved": "loaded"}), None, {"saved": ("valid", "loaded")}),
    ("enter", lambda o: type(custom_scenario([o]).__enter__()).__name__, "Scenario", {}),
    ("exit", lambda o: custom_scenario([o]).__exit__(None, None, None), False, {}),
    ("clear", lambda o: o.clear_cache(), None, EVERY_KEY_CLEARED),
]


class Watcher:
    """Part of a cycle; its finaliser runs WATCHER_STEPS on the instance of that
    cycle and logs each result with the states and values after the step."""

    def __init__(self, owner, log):
        self.owner = owner
        self.log = log

    def __del__(self):
        obj = self.owner
        for name, op, _, _ in WATCHER_STEPS:
            try:
                result = plain(op(obj))
            except BaseException as e:  # noqa: BLE001 - judged by the test
                result = plain(e)
            self.log.append((name, result, plain(obj.validation_state), plain(obj.cached_values)))


# The key each placement of the watcher adds to the instance's cache, with its value.
WATCHER_PLACES = {
    "value": {label("boxed", x=0): "Box"},  # the watcher is inside a cached value
    "layer": {label("boxed", x=1): "Box"},  # ... of a scenario layer never left
    "argument": {label("echo", arg="Watcher"): 1},  # ... is an argument value of a key
    "scenario": {},  # ... is an item of a scenario the instance holds
}


def expected_watcher_log(where):
    states = {"saved": "valid", T0: "valid", E0: "valid"}
    values = {"saved": "computed", T0: [1, "Holder"], E0: 1}
    for key, value in WATCHER_PLACES[where].items():
        states[key], values[key] = "valid", value
    initial = {
        "initial values": dict(values),
        "initial states": dict(states),
        "initial graph": {**{key: set() for key in states}, E0: {T0}},
    }
    log = []
    for name, _, result, changes in WATCHER_STEPS:
        if changes is EVERY_KEY_CLEARED:
            states, values = {key: "invalid" for key in states}, {}
        for key, (state, value) in (changes if isinstance(changes, dict) else {}).items():
            states[key] = state
            if value is NO_VALUE:
                del values[key]
            else:
                values[key] = value
        log.append((name, initial.get(result, result) if isinstance(result, str) else result, dict(states),
                    dict(values)))
    return log


@pytest.mark.parametrize("where", list(WATCHER_PLACES))
def test_finaliser_in_the_cycle_may_use_the_instance(where):
    log = []

    def build():
        h = Holder()
        h.saved()
        h.tracked(0)
        watcher = Watcher(h, log)
        if where == "value":
            h.boxed(0).item = watcher
        elif where == "layer":
            custom_scenario([h]).__enter__()
            h.boxed(1).item = watcher
        elif where == "argument":
            h.echo(watcher)
        else:
            h.scenario = custom_scenario([h, watcher])
        return [weakref.ref(h), weakref.ref(watcher)]

    refs = build()
    assert_freed_only_by_collector(refs)
    # Nothing else is running on the instance: every step works as it would
    # outside a finaliser.
    expected = expected_watcher_log(where)
    for step, want in zip(log, expected):
        assert step == want, f"step {want[0]!r}"
    assert len(log) == len(expected)
    gc.collect()
    assert [r() for r in refs] == [None, None]


# ---------------------------- finalisers reaching objects already cleared

# These run in a child interpreter: a crash there fails the test instead of
# ending the whole run.  Each script prints its log as its last line.

PROBE_PRELUDE = textwrap.dedent(
    """
    import gc, weakref
    from quendle import QuendleBase, quendled, automagically_quendled, custom_scenario

    log = []

    def attempt(name, op, after=None):
        # op's result (or exception), then what after() reports if given
        try:
            entry = (name, "ok", repr(op()))
        except BaseException as e:
            entry = (name, "raised", type(e).__name__, isinstance(e, Exception), str(e))
        log.append(entry if after is None else (*entry, repr(after())))

    class Box:
        def __init__(self, item=None):
            self.item = item
    """
)


def run_probe(*parts):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(quendle.__file__))] + [p for p in sys.path if p]
    )
    code = PROBE_PRELUDE + "".join(map(textwrap.dedent, parts)) + "\nprint(repr(log))\n"
    proc = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60, check=False
    )
    assert proc.returncode == 0, (
        f"child interpreter ended with {proc.returncode}\nstdout: {proc.stdout}\nstderr: {proc.stderr}"
    )
    log = ast.literal_eval(proc.stdout.strip().splitlines()[-1])
    bad = [e for e in log if e[1] == "raised" and (e[2] == INTERNAL_FAILURE or not e[3])]
    assert bad == [], f"internal failures or non-Exception errors: {bad}"
    assert "internal failure" not in proc.stderr, proc.stderr
    return log


def reached(log):
    if ("reached", "ok", "True") not in log:
        pytest.skip("the collector of this interpreter did not run the finaliser at that point")


def ok(name, result, *after):
    """The log entry of a step that returned result (and then found after)."""
    return (name, "ok", repr(result), *map(repr, after))


def raised(name, exc_type, message, *after):
    return (name, "raised", exc_type, True, message, *map(repr, after))


NO_KEY = repr("No cache key found for provided signature")  # str() of the KeyError


# The finalisers of the tests below: each reaches one object that was cleared.
INSTANCE_LATE = """
class Late:
    def __init__(self, ref):
        self.ref = ref

    def __del__(self):
        obj = self.ref()
        attempt("reached", lambda: obj is not None and obj.__class__.__name__ == "Owner")
        if obj is None:
            return
        cache = lambda: (obj.cached_values, obj.validation_state)
        attempt("cached_values", lambda: obj.cached_values, after=cache)
        attempt("validation_state", lambda: obj.validation_state, after=cache)
        attempt("dependency_graph", lambda: obj.dependency_graph, after=cache)
        attempt("is_cached", lambda: obj.is_cached("m", x=1), after=cache)
        attempt("get_cached_value", lambda: obj.get_cached_value("m", strict=False, x=1), after=cache)
        attempt("call", lambda: obj.m(5), after=cache)
        attempt("call again", lambda: obj.m(5), after=cache)
        attempt("tracked", lambda: obj.t(), after=cache)
        attempt("update", lambda: obj.update_cached_value("m", 11, x=5), after=cache)
        attempt("clear one", lambda: obj.clear_cached_value("m", x=5), after=cache)
        attempt("dump", lambda: obj.dump_cache(), after=cache)
        attempt("load", lambda: obj.load_cache({"s": 3}), after=cache)
        attempt("enter", lambda: custom_scenario([obj]).__enter__() is not None, after=cache)
        attempt("exit", lambda: custom_scenario([obj]).__exit__(None, None, None), after=cache)
        attempt("exit again", lambda: custom_scenario([obj]).__exit__(None, None, None), after=cache)
        attempt("clear", lambda: obj.clear_cache(), after=cache)
        attempt("reports", lambda: (obj.cached_values, obj.validation_state, obj.dependency_graph))
"""

DECORATOR_LATE = """
class Late:
    def __init__(self, ref):
        self.ref = ref

    def __del__(self):
        cls = self.ref()
        attempt("reached", lambda: cls is not None and "m" in cls.__dict__)
        if cls is None:
            return
        attempt("call", lambda: cls().m(3))
        attempt("name", lambda: cls.__dict__["m"].__name__)
        attempt("bind", lambda: cls.__dict__["m"].__get__(cls(), cls) is not None)
        attempt("assign", lambda: setattr(cls(), "m", 1))
"""

FACTORY_LATE = """
class Late:
    def __init__(self, ref):
        self.ref = ref

    def __del__(self):
        holder = self.ref()
        attempt("reached", lambda: holder is not None)
        if holder is None:
            return
        def m(self):
            return 1
        attempt("decorate", lambda: type(holder.item(m)).__name__)
"""

SCENARIO_LATE = """
class Late:
    def __init__(self, ref):
        self.ref = ref

    def __del__(self):
        holder = self.ref()
        attempt("reached", lambda: holder is not None)
        if holder is None:
            return
        s = holder.item
        attempt("enter", lambda: s.__enter__() is s)
        attempt("exit", lambda: s.__exit__(None, None, None))
        attempt("exit again", lambda: s.__exit__(None, None, None))
"""


DECORATOR_CLEARED = "QuendleDecorator object was cleared by the garbage collector"
DECORATOR_LOG = [
    ok("reached", True),
    raised("call", "ReferenceError", DECORATOR_CLEARED),
    raised("name", "ReferenceError", DECORATOR_CLEARED),
    ok("bind", True),
    raised("assign", "TypeError", "Cannot assign to decorated method"),
]
FACTORY_LOG = [
    ok("reached", True),
    raised("decorate", "ReferenceError", "quendled object was cleared by the garbage collector"),
]
# The scenario's items are dropped: entering and leaving it touch nothing.
SCENARIO_LOG = [ok("reached", True), ok("enter", True), ok("exit", False), ok("exit again", False)]


def instance_log():
    """What the finaliser reaching a cleared instance logs."""
    # After each step: (cached_values, validation_state).
    m1, m5 = label("m", x=1), label("m", x=5)
    nothing = ({}, {})  # the collector cleared the cache, layers included
    m5_only = ({m5: 10}, {m5: "valid"})
    computed = {m5: 10, "t": 3, m1: 2, "s": 1}
    valid = {m5: "valid", "t": "valid", m1: "valid", "s": "valid"}
    m5_cleared = ({"t": 3, m1: 2, "s": 1}, {**valid, m5: "invalid"})
    loaded = ({"t": 3, m1: 2, "s": 3}, {**valid, m5: "invalid"})  # t, computed from s, stays valid
    invalid = {key: "invalid" for key in valid}
    return [
        ok("reached", True),
        ok("cached_values", {}, nothing),
        ok("validation_state", {}, nothing),
        ok("dependency_graph", {}, nothing),
        raised("is_cached", "KeyError", NO_KEY, nothing),
        raised("get_cached_value", "KeyError", NO_KEY, nothing),
        ok("call", 10, m5_only),
        ok("call again", 10, m5_only),
        ok("tracked", 3, (computed, valid)),
        ok("update", None, ({**computed, m5: 11}, valid)),
        ok("clear one", None, m5_cleared),
        ok("dump", {"s": 1}, m5_cleared),
        ok("load", None, loaded),
        ok("enter", True, loaded),
        ok("exit", False, loaded),
        raised("exit again", "RuntimeError", "Attempted to remove non existant layer", loaded),
        ok("clear", None, ({}, invalid)),
        ok("reports", ({}, invalid, {m5: set(), "t": set(), m1: {"t"}, "s": {"t"}})),
    ]


def test_finaliser_reaching_an_instance_the_collector_cleared():
    # Planter is in the cycle and runs first; it leaves a Late behind in the
    # instance's cache.  Late dies when the collector drops the instance's
    # references, and uses the instance through a weak reference made after
    # the collector had cleared the old ones.
    log = run_probe(
        INSTANCE_LATE,
        """
        class Planter:
            def __init__(self, owner):
                self.owner = owner

            def __del__(self):
                owner = self.owner
                owner.update_cached_value("hold", Late(weakref.ref(owner)))

        class Owner(QuendleBase):
            @quendled()
            def m(self, x):
                return x * 2

            @quendled()
            def hold(self):
                return None

            @quendled(serialisable=True)
            def s(self):
                return 1

            @quendled(track_runtime_dependencies=True)
            def t(self):
                return self.m(1) + self.s()

            @quendled()
            def planter(self):
                return Planter(self)

        def build():
            o = Owner()
            o.t()
            o.hold()
            o.planter()
            with custom_scenario([o]):
                o.m(2)
            custom_scenario([o]).__enter__()  # left open
            o.m(3)

        gc.disable()
        build()
        gc.collect()
        """
    )
    reached(log)
    assert log == instance_log()


@FREE_THREADED_ORDER
def test_finaliser_calling_a_method_whose_decorator_the_collector_cleared():
    # The decorator is cleared before its class: Late, freed with the
    # decorator's dependency signature, then calls the method through the
    # still intact class.
    log = run_probe(
        DECORATOR_LATE,
        """
        class Planter:
            def __init__(self, cls, box):
                self.cls = cls
                self.box = box

            def __del__(self):
                self.box.late = Late(weakref.ref(self.cls))
                del self.box

        def build():
            box = Box()
            gc.collect(0)  # box is older than the decorator below
            class Owner(QuendleBase):
                @quendled(dependencies=[("n", {"k": box})])
                def m(self, x):
                    return x * 2
            Owner.planter = Planter(Owner, box)

        gc.collect()
        gc.disable()
        build()
        gc.collect()
        """
    )
    reached(log)
    assert log == DECORATOR_LOG


@FREE_THREADED_ORDER
def test_finaliser_using_a_factory_the_collector_cleared():
    # A factory in a cycle with its own keyword dict; Late, freed with that
    # dict once the factory dropped it, decorates a function with the factory.
    log = run_probe(
        FACTORY_LATE,
        """
        class Planter:
            def __init__(self, box, holder):
                self.box = box
                self.holder = holder

            def __del__(self):
                self.box.late = Late(weakref.ref(self.holder))
                del self.box, self.holder

        def build():
            box, holder = Box(), Box()
            kwargs = {"k": box, "holder": holder}
            gc.collect(0)  # the dict is older than the factory
            factory = quendled(dependencies=[("n", kwargs)])
            holder.item = factory
            kwargs["planter"] = Planter(box, holder)

        gc.collect()
        gc.disable()
        build()
        gc.collect()
        """
    )
    reached(log)
    assert log == FACTORY_LOG


def test_finaliser_using_a_scenario_the_collector_cleared():
    log = run_probe(
        SCENARIO_LATE,
        """
        class Planter:
            def __init__(self, owner, holder):
                self.owner = owner
                self.holder = holder

            def __del__(self):
                self.owner.late = Late(weakref.ref(self.holder))

        class Owner(QuendleBase):
            @quendled()
            def planter(self, holder):
                return Planter(self, holder)

        def build():
            o = Owner()
            holder = Box()
            gc.collect(0)  # the instance and the holder are older than the scenario
            s = custom_scenario([o, o])
            s.__enter__()
            o.s = s
            holder.item = s
            o.planter(holder)

        gc.collect()
        gc.disable()
        build()
        gc.collect()
        """
    )
    reached(log)
    assert log == SCENARIO_LOG


# The same finalisers, run where the test says: each calls the tp_clear of the
# object's type on it, the step the collector takes for every object of an
# unreachable cycle, so the finaliser runs at that point whatever order the
# interpreter's collector would take (3.14's takes another), and never skips.
CLEAR = """
import ctypes

def clear(obj):
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(obj), 51))(obj)  # 51: Py_tp_clear
"""


@pytest.mark.parametrize("late, body, expected", [
    pytest.param(INSTANCE_LATE, """
        class Owner(QuendleBase):
            @quendled()
            def m(self, x):
                return x * 2

            @quendled()
            def hold(self):
                return None

            @quendled(serialisable=True)
            def s(self):
                return 1

            @quendled(track_runtime_dependencies=True)
            def t(self):
                return self.m(1) + self.s()

        def build():
            o = Owner()
            o.t()
            o.hold()
            with custom_scenario([o]):
                o.m(2)
            custom_scenario([o]).__enter__()  # left open
            o.m(3)
            o.update_cached_value("hold", Late(weakref.ref(o)))
            return o

        o = build()
        clear(o)  # drops the cache, Late with it
        """, instance_log(), id="instance"),
    pytest.param(DECORATOR_LATE, """
        def build():
            box = Box()
            class Owner(QuendleBase):
                @quendled(dependencies=[("n", {"k": box})])
                def m(self, x):
                    return x * 2
            box.late = Late(weakref.ref(Owner))
            return Owner

        Owner = build()
        clear(Owner.__dict__["m"])  # drops the dependency signature, box and Late with it
        """, DECORATOR_LOG, id="decorator", marks=FREE_THREADED_ORDER),
    pytest.param(FACTORY_LATE, """
        def build():
            box, holder = Box(), Box()
            holder.item = quendled(dependencies=[("n", {"k": box})])
            box.late = Late(weakref.ref(holder))
            return holder

        holder = build()
        clear(holder.item)  # drops the keyword dict, box and Late with it
        """, FACTORY_LOG, id="factory"),
    pytest.param(SCENARIO_LATE, """
        class Owner(QuendleBase):
            pass

        def build():
            o, holder = Owner(), Box()
            s = custom_scenario([o, o])
            s.__enter__()
            o.late = Late(weakref.ref(holder))
            holder.item = s
            return holder

        holder = build()
        clear(holder.item)  # drops the items, the instance and Late with them
        """, SCENARIO_LOG, id="scenario"),
])
def test_finaliser_reaching_an_object_cleared_as_the_collector_clears_it(late, body, expected):
    assert run_probe(CLEAR, late, body) == expected
