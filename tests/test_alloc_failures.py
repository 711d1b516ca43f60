"""Allocation failures anywhere become MemoryError and leave instances usable.

Needs a module built with ``-DQUENDLE_FAULT_INJECTION=ON``: that build
replaces the global ``operator new`` (and counts the key sets' own
allocations) and exports ``quendle_fail_after``/``quendle_fail_from`` to make
a chosen allocation fail.  ``scripts/alloc_failures.sh`` builds one into
``build/faults`` and runs this file against it; with any other build every
test here is skipped.

Each operation of ``OPERATIONS`` is swept with four kinds of failure:

``native-once``  native allocation number n of the operation fails, later
                 ones succeed again;
``native-from``  native allocation n and every later one fail;
``python-once``  allocation n of the interpreter's allocators fails
                 (``_testcapi.set_nomemory``; skipped without ``_testcapi``);
``python-from``  the same from allocation n on.

for n = 0, 1, 2, ... on a freshly prepared instance each time, until the
operation runs through without meeting the failure (for the interpreter's
allocators, which cannot tell whether the failure was met, until it has given
its normal outcome for ``PY_QUIET_RUNS`` values of n in a row).  At each n the
operation must give its normal outcome (its value, or the exception it raises
without any failure) or raise MemoryError; anything else - another exception
type, the internal-failure exception, a crash - is a fault.  Then, with the
injection off, every instance involved must still be consistent:

- the three reports are readable, every label in a dependant set of
  ``dependency_graph`` is itself a key of the graph, and every state is one
  of the three state names;
- every decorated method returns the value its definition gives from the
  values it depends on, before and after updating, clearing and a scenario;
- a scenario entered and left over the instance restores all three reports;
- ``gc.collect()`` works, and once the instances are dropped nothing they
  held (argument and result values, the instances themselves) stays alive.

Every sweep runs in a forked child process, so that a crash is reported as
the failure of that sweep, with the operation and n it happened at.
"""

import ctypes
import functools
import gc
import json
import os
import sys
import traceback
import weakref

import pytest

import quendle
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

try:
    import _testcapi
except ImportError:
    _testcapi = None

HAS_NOMEMORY = _testcapi is not None and hasattr(_testcapi, "set_nomemory")

# Interpreter-allocator sweeps end after this many normal outcomes in a row.
PY_QUIET_RUNS = 25
# No sweep goes beyond this n (a safety net; no operation here comes close).
MAX_N = 20000
# A sweep stops after this many faults; one is enough to fail it.
MAX_PROBLEMS = 5


def _load_injector():
    try:
        lib = ctypes.CDLL(quendle.__file__)
    except OSError:
        return None
    if not hasattr(lib, "quendle_fail_after"):
        return None
    for name in ("quendle_fail_after", "quendle_fail_from"):
        getattr(lib, name).argtypes = [ctypes.c_long]
        getattr(lib, name).restype = None
    for name in ("quendle_allocations", "quendle_failures"):
        getattr(lib, name).argtypes = []
        getattr(lib, name).restype = ctypes.c_long
    return lib


FAULTS = _load_injector()

pytestmark = [
    pytest.mark.skipif(FAULTS is None, reason="the module was built without -DQUENDLE_FAULT_INJECTION=ON"),
    pytest.mark.skipif(not hasattr(os, "fork"), reason="sweeps run in forked child processes"),
]


# ------------------------------------------------------------------ the model

LIVE_BOXES = weakref.WeakSet()


def _wrapping(func):
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        return func(*args, **kwargs)

    return wrapper


class Box:
    """A value whose survival can be watched."""

    __slots__ = ("n", "__weakref__")

    def __init__(self, n):
        self.n = n
        LIVE_BOXES.add(self)

    def __eq__(self, other):
        return isinstance(other, Box) and other.n == self.n

    def __hash__(self):
        return hash(("Box", self.n))

    def __repr__(self):
        return f"Box({self.n})"


BASE, RATE = 10, 3
WIDE = 40  # enough runtime dependencies to turn a key set into a hash table
FAN = 20  # enough dependants of one key for the same


class Model(QuendleBase):
    @quendled()
    def base(self):
        return BASE

    @quendled()
    def rate(self):
        return RATE

    @quendled()
    def square(self, n):
        return n * n

    @quendled(dependencies=["base", "rate"])
    def total(self):
        return self.base() * self.rate()

    @quendled(dependencies=[("square", {"n": 2})])
    def shifted(self):
        return self.square(2) + 1

    @quendled(track_runtime_dependencies=True)
    def chain(self, n):
        return self.total() + self.square(n)

    @quendled(track_runtime_dependencies=True)
    def deep(self):
        return self.chain(1) + self.chain(2)

    @quendled(track_runtime_dependencies=True)
    def wide(self):
        return sum(self.square(i) for i in range(WIDE))

    @quendled(track_runtime_dependencies=True)
    def fan(self, i):
        return self.total() + i

    @quendled()
    def boxed(self, n):
        return Box(n)

    @quendled()
    def unbox(self, box):
        return box.n * 2

    @quendled()
    @_wrapping
    def keywords(self, a, b=2):  # bound through inspect (it carries __wrapped__)
        return a + b

    @quendled(use_cache=False)
    def uncached(self, n):
        return n + 100

    @quendled(serialisable=True)
    def saved_a(self):
        return 7

    @quendled(serialisable=True)
    def saved_b(self):
        return 8

    @automagically_quendled()
    def auto(self):
        return self.total() + self.rate()


SAVED = {"saved_a": 7, "saved_b": 8}


# Functions decorated by the decoration operations; module level, so that
# their source can be read.
def extra_plain(self):
    return self.base() + 1


def extra_serialisable(self):
    return 5


def extra_automatic(self):
    return self.total() + self.square() + len([self.base() for _ in range(2)])


def check_values(m):
    """Every method gives what its definition makes of its inputs' values."""
    b, r = m.base(), m.rate()
    squares = {n: m.square(n) for n in range(WIDE)}
    assert m.total() == b * r
    assert m.shifted() == squares[2] + 1
    for n in (1, 2, 3):
        assert m.chain(n) == m.total() + squares[n]
    assert m.deep() == m.chain(1) + m.chain(2)
    assert m.wide() == sum(squares.values())
    for i in range(FAN):
        assert m.fan(i) == m.total() + i
    assert m.auto() == m.total() + m.rate()
    assert m.boxed(4) == Box(4)
    assert m.unbox(Box(5)) == 10
    assert m.keywords(1, b=5) == 6 and m.keywords(1) == 3
    assert m.uncached(5) == 105
    assert m.saved_a() == 7 and m.saved_b() == 8


def check_leaves(m):
    """Values as the definitions give them without updates."""
    assert m.base() == BASE and m.rate() == RATE
    assert [m.square(n) for n in range(4)] == [0, 1, 4, 9]


def check_reports(m):
    cached = m.cached_values
    graph = m.dependency_graph
    states = m.validation_state
    assert isinstance(cached, dict)
    for label, dependants in graph.items():
        assert isinstance(dependants, set)
        missing = dependants - graph.keys()
        assert not missing, f"dependants of {label!r} that are no node of the graph: {missing!r}"
    bad = {label: s for label, s in states.items() if s not in ("valid", "invalid", "permanently invalid")}
    assert not bad, f"unknown states: {bad!r}"


def snapshot(m):
    return m.cached_values, m.validation_state, m.dependency_graph


def leave_layers(*instances):
    """Removes the layers that failed scenarios left behind, one item at a time."""
    for inst in instances:
        for _ in range(8):
            try:
                custom_scenario([inst]).__exit__(None, None, None)
            except RuntimeError:
                break


def check_instance(m, partner):
    check_reports(m)
    check_values(m)
    check_reports(m)
    m.update_cached_value("rate", 11)
    assert m.rate() == 11
    check_values(m)
    m.update_cached_value("square", 77, n=2)
    assert m.square(2) == 77
    check_values(m)
    m.clear_cached_value("square", n=2)
    check_values(m)
    m.clear_cache()
    check_leaves(m)
    check_values(m)
    before, partner_before = snapshot(m), snapshot(partner)
    # Inside a scenario only new values and state changes are thrown away
    # on exit (clearing would remove base values for good).
    with custom_scenario([m, partner]):
        m.update_cached_value("rate", 13)
        check_values(m)
        partner.deep()
        partner.update_cached_value("base", 2)
        partner.deep()
        with custom_scenario([m]):
            m.update_cached_value("square", 5, n=1)
            check_values(m)
        check_values(m)
    assert snapshot(m) == before
    assert snapshot(partner) == partner_before
    check_values(m)
    check_reports(m)


# ----------------------------------------------------------------- operations


class Env:
    """The objects one run of an operation works on."""

    def __init__(self):
        self.m = Model()
        self.other = Model()
        self.instances = [self.m, self.other]


class Op:
    def __init__(self, name, action, setup=None, after=None, checks=True):
        self.name = name
        self.action = action
        self.setup = setup
        # after(env, outcome) runs with the injection off, before the checks.
        self.after = after
        self.checks = checks


def _warm(env):
    env.m.deep()
    env.m.wide()
    env.m.auto()
    env.m.shifted()
    env.other.total()


def _warm_square(env):
    env.m.square(3)


def _warm_keywords(env):
    env.m.keywords(1, b=4)


def _overridden(env):
    """Values computed from an updated value, which clearing must invalidate."""
    _warm(env)
    env.m.update_cached_value("rate", 5)
    env.m.update_cached_value("square", 6, n=2)
    _warm(env)


def _fan_out(env):
    return [env.m.fan(i) for i in range(FAN)]


def _stale_chain(env):
    env.m.deep()
    env.m.update_cached_value("rate", 5)


def _scenario_snapshots(env):
    env.snapshots = [snapshot(i) for i in env.instances]


def _restored(env, outcome):
    if outcome[0] != "ok":
        leave_layers(*env.instances)
    assert [snapshot(i) for i in env.instances] == env.snapshots


def _make_scenario(env):
    _warm(env)
    _scenario_snapshots(env)
    env.s = custom_scenario(env.instances)


def _scenario_entered(env):
    _make_scenario(env)
    env.s.__enter__()
    env.m.update_cached_value("rate", 7)
    env.m.deep()
    env.other.wide()


def _enter(env):
    return env.s.__enter__() is env.s


def _entered_then_leave(env, outcome):
    if outcome[0] == "ok":
        env.s.__exit__(None, None, None)
    _restored(env, outcome)


def _with_block(env):
    with custom_scenario(env.instances) as s:
        env.m.update_cached_value("rate", 7)
        env.m.deep()
        env.other.update_cached_value("base", 1)
        env.other.fan(3)
        with custom_scenario([env.m]):
            env.m.update_cached_value("square", 0, n=3)
            env.m.wide()
    return type(s).__name__


def _after_load(env, outcome):
    assert env.m.saved_a() == 7 and env.m.saved_b() == 8


def _decorate_and_use(env):
    dec = quendled(dependencies=["base", ("square", {"n": 2})], track_runtime_dependencies=True)(extra_plain)
    cls = type("Extended", (Model,), {"extra": dec})
    inst = cls()
    return inst.extra(), inst.dependency_graph["base"]


def _cycle(env):
    victim = Model()
    victim.me = victim
    victim.deep()
    victim.boxed(1)
    env.victim = weakref.ref(victim)


def _collect(env):
    gc.collect()
    return env.victim() is None


def _victim(env):
    env.victim = Model()
    env.victim.deep()
    env.victim.boxed(2)


def _drop_victim(env):
    del env.victim


OPERATIONS = [
    # the decorated call path
    Op("call_miss", lambda e: e.m.square(3)),
    Op("call_hit", lambda e: e.m.square(3), setup=_warm_square),
    Op("call_miss_inspect_binding", lambda e: e.m.keywords(1, b=4)),
    Op("call_hit_inspect_binding", lambda e: e.m.keywords(1, b=4), setup=_warm_keywords),
    Op("call_declared_dependencies", lambda e: e.m.total()),
    Op("call_declared_dependency_with_kwargs", lambda e: e.m.shifted()),
    Op("call_tracking_chain", lambda e: e.m.deep()),
    Op("call_tracking_recompute_stale", lambda e: e.m.deep(), setup=_stale_chain),
    Op("call_tracking_wide", lambda e: e.m.wide()),
    Op("call_fan_out", _fan_out),
    Op("call_automatic_dependencies", lambda e: e.m.auto()),
    Op("call_uncached", lambda e: e.m.uncached(5)),
    Op("call_object_argument", lambda e: e.m.unbox(Box(6))),
    Op("call_object_result", lambda e: e.m.boxed(6)),
    Op("bound_method", lambda e: getattr(e.m, "square")(4)),
    Op("new_instance", lambda e: type(Model()).__name__),
    # queries
    Op("is_cached", lambda e: e.m.is_cached("square", n=3), setup=_warm_square),
    Op("is_cached_no_key", lambda e: e.m.is_cached("square", n=99), setup=_warm_square),
    Op("get_cached_value", lambda e: e.m.get_cached_value("square", n=3), setup=_warm_square),
    Op("get_cached_value_not_strict", lambda e: e.m.get_cached_value("total", strict=False), setup=_stale_chain),
    Op("get_cached_value_missing", lambda e: e.m.get_cached_value("square", n=3)),
    Op("update_cached_value", lambda e: e.m.update_cached_value("rate", 5), setup=_warm),
    Op("update_cached_value_kwargs", lambda e: e.m.update_cached_value("square", 50, n=2), setup=_warm),
    Op("clear_cached_value", lambda e: e.m.clear_cached_value("total"), setup=_warm),
    Op("clear_cache", lambda e: e.m.clear_cache(), setup=_warm),
    Op("clear_cached_value_updated", lambda e: e.m.clear_cached_value("rate"), setup=_overridden),
    Op("clear_cache_updated", lambda e: e.m.clear_cache(), setup=_overridden),
    Op("clear_cache_nothing_stored", lambda e: e.m.clear_cache(), setup=lambda e: e.m.uncached(1)),
    # reports
    Op("cached_values", lambda e: e.m.cached_values, setup=_warm),
    Op("dependency_graph", lambda e: e.m.dependency_graph, setup=_warm),
    Op("validation_state", lambda e: e.m.validation_state, setup=_warm),
    # scenarios
    Op("scenario_create", lambda e: type(custom_scenario(e.instances)).__name__, setup=_warm),
    Op("scenario_enter", _enter, setup=_make_scenario, after=_entered_then_leave),
    Op("scenario_exit", lambda e: e.s.__exit__(None, None, None), setup=_scenario_entered, after=_restored),
    Op("scenario_with_block", _with_block, setup=lambda e: (_warm(e), _scenario_snapshots(e)), after=_restored),
    # dump and load
    Op("dump_cache", lambda e: e.m.dump_cache(), setup=_warm),
    Op("dump_cache_order", lambda e: e.m.dump_cache(order=["saved_b", "nothing"])),
    Op("load_cache", lambda e: e.m.load_cache(dict(SAVED)), setup=_warm, after=_after_load),
    Op("load_cache_order", lambda e: e.m.load_cache(dict(SAVED), order=["saved_b"]), after=_after_load),
    Op("load_cache_refused", lambda e: e.m.load_cache({"square": 1})),
    # decoration
    Op("factory_with_dependencies",
       lambda e: type(quendled(dependencies=["base", ("square", {"n": 2})], use_cache=True)).__name__),
    Op("decorate_with_dependencies",
       lambda e: type(quendled(dependencies=["base", ("square", {"n": 2})])(extra_plain)).__name__),
    Op("decorate_serialisable", lambda e: type(quendled(serialisable=True)(extra_serialisable)).__name__),
    Op("decorate_automatically", lambda e: type(automagically_quendled()(extra_automatic)).__name__),
    Op("decorate_and_use", _decorate_and_use),
    # the collector and deallocation
    Op("collect_instance_cycle", _collect, setup=_cycle),
    Op("deallocate_instance", _drop_victim, setup=_victim),
]

KINDS = ["native-once", "native-from", "python-once", "python-from"]


# ------------------------------------------------------------------- sweeping


def _arm(kind, n):
    if kind == "native-once":
        FAULTS.quendle_fail_after(n)
    elif kind == "native-from":
        FAULTS.quendle_fail_from(n)
    elif kind == "python-once":
        _testcapi.set_nomemory(n, n + 1)
    else:
        _testcapi.set_nomemory(n, 0)


def _outcome(value=None, exc=None):
    if exc is None:
        if isinstance(value, Box):
            value = ("Box", value.n)  # an outcome keeps no value alive
        return ("ok", value)
    return ("raised", type(exc).__name__, str(exc))


def _run(op, kind, n):
    """Prepares a fresh environment and runs op with failure n armed."""
    env = Env()
    if op.setup is not None:
        op.setup(env)
    gc.collect()
    if kind is None:
        try:
            return env, _outcome(op.action(env)), False
        except Exception as exc:  # noqa: BLE001 - the reference outcome
            return env, _outcome(exc=exc), False
    python = kind.startswith("python")
    before = FAULTS.quendle_failures()
    outcome = None
    try:
        _arm(kind, n)
        try:
            value = op.action(env)
        finally:
            if python:
                _testcapi.remove_mem_hooks()
            else:
                FAULTS.quendle_fail_after(-1)
        outcome = _outcome(value)
    except BaseException as exc:  # noqa: BLE001 - judged by the caller
        if isinstance(exc, KeyboardInterrupt):
            raise
        outcome = _outcome(exc=exc)
    fired = python or FAULTS.quendle_failures() != before
    return env, outcome, fired


def _same(outcome, reference):
    if outcome[0] != reference[0]:
        return False
    if outcome[0] == "ok":
        return outcome[1] == reference[1]
    return outcome[1] == reference[1]


def _check_env(op, env, outcome):
    if op.after is not None:
        op.after(env, outcome)
    if op.checks:
        for inst in env.instances:
            partner = env.other if inst is env.m else env.m
            check_instance(inst, partner)
    gc.collect()


def _dropped(env):
    refs = [weakref.ref(i) for i in env.instances]
    env.__dict__.clear()
    gc.collect()
    alive = [r() for r in refs if r() is not None]
    if alive:
        return f"{len(alive)} instance(s) still alive after being dropped"
    if len(LIVE_BOXES):
        return f"values still alive after their instances were dropped: {sorted(LIVE_BOXES, key=repr)!r}"
    return None


def sweep(op, kind, report):
    """Sweeps op with failures of one kind; report(dict) records progress."""
    gc.freeze()  # what exists now is never garbage: keeps collections short
    env, reference, _ = _run(op, None, None)
    _check_env(op, env, reference)
    problem = _dropped(env)
    if problem:
        report({"problem": f"without any failure: {problem}"})
        return
    problems = 0
    quiet = 0
    n = 0
    while n <= MAX_N and problems < MAX_PROBLEMS:
        report({"n": n})
        env, outcome, fired = _run(op, kind, n)
        where = f"{op.name} [{kind}] n={n}"
        normal = _same(outcome, reference)
        if not (normal or outcome[:2] == ("raised", "MemoryError")):
            problems += 1
            report({"problem": f"{where}: gave {outcome!r} instead of {reference!r} or MemoryError"})
        elif not fired and not normal:
            problems += 1
            report({"problem": f"{where}: no failure injected, yet gave {outcome!r} instead of {reference!r}"})
        try:
            _check_env(op, env, outcome)
        except BaseException as exc:  # noqa: BLE001 - reported below
            if isinstance(exc, KeyboardInterrupt):
                raise
            problems += 1
            detail = "".join(traceback.format_exception_only(type(exc), exc)).strip()
            tb = traceback.extract_tb(exc.__traceback__)
            line = tb[-1].line if tb else ""
            report({"problem": f"{where}: after {outcome[:2]!r} the instance is inconsistent: {detail} ({line})"})
        problem = _dropped(env)
        if problem:
            problems += 1
            report({"problem": f"{where}: after {outcome[:2]!r}: {problem}"})
            LIVE_BOXES.clear()
        if kind.startswith("python"):
            quiet = quiet + 1 if normal else 0
            if quiet >= PY_QUIET_RUNS:
                break
        elif not fired:
            break
        n += 1
    else:
        if problems < MAX_PROBLEMS:
            report({"problem": f"{op.name} [{kind}]: still meeting failures at n={MAX_N}"})
    report({"done": n})


def run_forked(op, kind):
    """Runs sweep(op, kind) in a child process; returns (progress, problems, status)."""
    read_fd, write_fd = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the child
        code = 0
        try:
            os.close(read_fd)
            with os.fdopen(write_fd, "w", buffering=1) as out:

                def report(record):
                    out.write(json.dumps(record) + "\n")

                sweep(op, kind, report)
        except BaseException:  # noqa: BLE001 - the child must not return into pytest
            traceback.print_exc()
            sys.stderr.flush()
            code = 3
        os._exit(code)
    os.close(write_fd)
    with os.fdopen(read_fd) as inp:
        records = [json.loads(line) for line in inp if line.strip()]
    _, status = os.waitpid(pid, 0)
    return records, status


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("op", OPERATIONS, ids=[op.name for op in OPERATIONS])
def test_allocation_failures(op, kind):
    if kind.startswith("python") and not HAS_NOMEMORY:
        pytest.skip("_testcapi.set_nomemory is not available")
    records, status = run_forked(op, kind)
    problems = [r["problem"] for r in records if "problem" in r]
    steps = [r["n"] for r in records if "n" in r]
    done = [r["done"] for r in records if "done" in r]
    if os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0:
        how = (f"signal {os.WTERMSIG(status)}" if os.WIFSIGNALED(status)
               else f"exit status {os.WEXITSTATUS(status)}")
        last = steps[-1] if steps else "before the first step"
        problems.append(f"{op.name} [{kind}]: the sweep process died ({how}) at n={last}")
    assert not problems, "\n".join(problems)
    assert done, "the sweep did not finish"
