"""Allocation failures anywhere become MemoryError and leave instances usable.

Needs a module built with ``-DQUENDLE_FAULT_INJECTION=ON``: that build
replaces the global ``operator new`` (and counts the key sets' own
allocations) and exports ``quendle_fail_after``/``quendle_fail_from`` to make
a chosen allocation fail.  The ``faults`` session of noxfile.py (``nox -s
faults``) builds one into ``build/faults`` and runs this file against it (the
cases carry the marker ``alloc_failures``, which other runs deselect); with
any other build every test here is skipped.

Each operation of ``OPERATIONS`` (tests/operations.py, the list the leak hunt
uses too; those marked ``not_swept`` are left out) is swept with these kinds
of failure:

``native-once``  native allocation number n of the operation fails, later
                 ones succeed again;
``native-from``  native allocation n and every later one fail;
``native-cold``  as ``native-once``, each n in a process that has not run
                 the operation before (so one-time initialisations fail too);
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
- ``gc.collect()`` works, and (after native failures) once the instances are
  dropped nothing they held - argument and result values, the instances
  themselves - stays alive.

What the interpreter itself does when its own allocator fails is not this
module's to answer for, and is allowed for:

- it can lose a pending exception while unwinding frames and then raise
  SystemError ("error return without exception set", or "<function ...>
  returned NULL without setting an exception" for a Python function called
  from C).  Every entry point of the module returns NULL only after setting
  an exception, so these count as MemoryError here;
- it can leak references (a generator expression that closes over ``self``
  leaks ``self`` when its creation fails), so the leak check is left out of
  the ``python-*`` sweeps;
- under a persistent failure its own library code can hang or abort
  (``inspect.signature`` does), so ``python-from`` leaves out the operations
  that run more Python code than plain method calls (``python_code``);
- some interpreters crash later on after a single failure in plain Python
  code (a generator expression, ``inspect.signature(...).bind``, a
  ``with`` block; CPython 3.12 and 3.13 do).  A probe runs such code, without
  this module, under the same failures; where it crashes, ``python-once``
  leaves out the ``python_code`` operations too.

Three things the module does by design are allowed for as well:

- source analysis reports every failure of ``ast.parse`` as ValueError
  "Failed to parse source: ...", a MemoryError included;
- a failure to create the type object of ``QuendleDecorator`` or
  ``Scenario`` on first use is an internal failure, so the interpreter's
  allocator is only made to fail once both types exist (the class
  definitions of tests/operation_support.py and the reference run of every
  sweep create them; the ``native-cold`` runs cannot fail there, type
  creation allocates nothing natively);
- a scenario whose ``__enter__`` fails part-way keeps the layers it already
  pushed on the earlier items; they are removed (item by item) before the
  checks.

Every sweep runs in a forked child process, so that a crash (or a hang, cut
off after ``SWEEP_TIME_LIMIT`` seconds) is reported as the failure of that
sweep, with the operation and n it happened at.
"""

import ctypes
import faulthandler
import functools
import gc
import os
import pickle
import sys
import traceback
import weakref

import pytest
from operation_support import BASE, FAN, LIVE_BOXES, RATE, WIDE, Box, Model, _wrapping, snapshot
from operations import OPERATIONS, Env

import quendle
from quendle import custom_scenario

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
# Seconds a sweep may take before it counts as hanging.
SWEEP_TIME_LIMIT = 120


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
    pytest.mark.alloc_failures,
    pytest.mark.skipif(FAULTS is None, reason="the module was built without -DQUENDLE_FAULT_INJECTION=ON"),
    pytest.mark.skipif(not hasattr(os, "fork"), reason="sweeps run in forked child processes"),
]


# ------------------------------------------------------------------- checks


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
    # Leaving a scenario throws away the values and state changes made
    # inside it (clearing would remove base values for good).
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


KINDS = ["native-once", "native-from", "native-cold", "python-once", "python-from"]


# ------------------------------------------------------------------- sweeping


def _arm(kind, n):
    if kind in ("native-once", "native-cold"):
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
    """Prepares a fresh environment and runs op with failure n armed.

    Returns the environment, the outcome and whether a failure was met (for
    the interpreter's allocators: whether one may have been)."""
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
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: BLE001 - judged by the caller
        outcome = _outcome(exc=exc)
    fired = python or FAULTS.quendle_failures() != before
    return env, outcome, fired


def _same(outcome, reference):
    """The same value, or an exception of the same type."""
    return outcome[:2] == reference[:2]


# Names in the text of a SystemError that would point at this module's callables.
OUR_NAMES = ("QuendleBase", "QuendleDecorator", "Scenario", "quendled", "custom_scenario", "Model", "Shapes",
             "Saver")


def _counts_as_memory_error(op, kind, outcome):
    """Whether a failed outcome stands for running out of memory (see the module docstring)."""
    if outcome[0] != "raised":
        return False
    name, message = outcome[1], outcome[2]
    if name == "MemoryError":
        return True
    if not kind.startswith("python"):
        return False
    if name == "SystemError":
        if message == "error return without exception set":
            return True
        if message.endswith("returned NULL without setting an exception"):
            return not any(n in message for n in OUR_NAMES)
    if op.parses and name == "ValueError" and message.startswith("Failed to parse source: "):
        return True
    return False


def _check_env(op, env, outcome):
    if op.after is not None:
        op.after(env, outcome)
    check_instance(env.m, env.other)
    if op.uses_other:
        check_instance(env.other, env.m)
    else:
        check_reports(env.other)
    gc.collect()


def _dropped(env):
    """Drops the environment; says what stayed alive."""
    refs = [weakref.ref(i) for i in env.instances]
    env.__dict__.clear()
    gc.collect()
    alive = [r() for r in refs if r() is not None]
    if alive:
        return f"{len(alive)} instance(s) still alive after being dropped"
    if len(LIVE_BOXES):
        boxes = sorted(LIVE_BOXES, key=repr)
        LIVE_BOXES.clear()
        return f"values still alive after their instances were dropped: {boxes!r}"
    return None


def _describe(exc):
    detail = "".join(traceback.format_exception_only(type(exc), exc)).strip()
    tb = traceback.extract_tb(exc.__traceback__)
    return f"{detail} (at: {tb[-1].line})" if tb else detail


def _step(op, kind, n, reference):
    """One run at failure n: (problems, normal outcome, failure met)."""
    problems = []
    where = f"{op.name} [{kind}] n={n}"
    env, outcome, fired = _run(op, kind, n)
    normal = _same(outcome, reference)
    if not (normal or _counts_as_memory_error(op, kind, outcome)):
        problems.append(f"{where}: gave {outcome!r} instead of {reference!r} or MemoryError")
    elif not fired and not normal:
        problems.append(f"{where}: met no failure, yet gave {outcome!r} instead of {reference!r}")
    try:
        _check_env(op, env, outcome)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: BLE001 - reported
        problems.append(f"{where}: after {outcome[:2]!r} the instances are inconsistent: {_describe(exc)}")
    problem = _dropped(env)
    if problem and kind.startswith("native"):
        problems.append(f"{where}: after {outcome[:2]!r}: {problem}")
    LIVE_BOXES.clear()
    return problems, normal, fired


def _forked(func, report):
    """Runs func(send) in a child process, passing what it sends to report; returns its exit status."""
    read_fd, write_fd = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the child
        code = 0
        try:
            os.close(read_fd)
            with os.fdopen(write_fd, "wb") as out:

                def send(record):
                    pickle.dump(record, out)
                    out.flush()

                func(send)
        except BaseException:  # noqa: BLE001 - the child must not return into pytest
            traceback.print_exc()
            sys.stderr.flush()
            code = 3
        os._exit(code)
    os.close(write_fd)
    with os.fdopen(read_fd, "rb") as inp:
        while True:
            try:
                record = pickle.load(inp)
            except (EOFError, pickle.UnpicklingError):
                break  # the end, or a record cut short by a crash
            report(record)
    _, status = os.waitpid(pid, 0)
    return status


def _died(status):
    if os.WIFSIGNALED(status):
        return f"signal {os.WTERMSIG(status)}"
    if os.WEXITSTATUS(status) != 0:
        return f"exit status {os.WEXITSTATUS(status)}"
    return None


def sweep(op, kind, report):
    """Sweeps op with failures of one kind; report(record) records progress."""
    faulthandler.dump_traceback_later(SWEEP_TIME_LIMIT, exit=True)
    cold = kind == "native-cold"
    if cold:
        # Each run in a fresh child of this process, which has not run op.
        def step(n, reference):
            out = []
            status = _forked(lambda rep: rep({"step": list(_step(op, kind, n, reference))}), out.append)
            if _died(status):
                return [f"{op.name} [{kind}] n={n}: the run died ({_died(status)})"], False, True
            return out[0]["step"]

        gc.freeze()  # what exists now is never garbage: keeps collections short
        holder = []
        _forked(lambda rep: rep({"reference": _reference(op)}), holder.append)
        reference = holder[0]["reference"] if holder else None
        if reference is None:
            report({"problem": f"{op.name}: the reference run died"})
            return
    else:
        gc.freeze()  # what exists now is never garbage: keeps collections short
        reference = _reference(op)

        def step(n, reference):
            return _step(op, kind, n, reference)

    if reference[0] == "problem":
        report({"problem": f"{op.name}: without any failure: {reference[1]}"})
        return
    problems = 0
    quiet = 0
    n = 0
    while n <= MAX_N and problems < MAX_PROBLEMS:
        report({"n": n})
        found, normal, fired = step(n, reference)
        for p in found:
            report({"problem": p})
        problems += len(found)
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


def _reference(op):
    """The outcome without any failure, after checking that it leaves a consistent state."""
    env, reference, _ = _run(op, None, None)
    try:
        _check_env(op, env, reference)
    except AssertionError as exc:
        return ("problem", _describe(exc))
    problem = _dropped(env)
    if problem:
        return ("problem", problem)
    return reference


class _Probe:
    """Plain Python code of the kinds the ``python_code`` operations run."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def square(self, i):
        return i * i

    def wide(self):
        return sum(self.square(i) for i in range(WIDE))


@_wrapping
def _probe_signature(self, a, b=2):
    return a + b


def _probe(report):
    import inspect

    # A crash here is the expected finding on some interpreters: keep its report quiet.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    for n in range(200):
        probe = _Probe()
        _testcapi.set_nomemory(n, n + 1)
        try:
            with _Probe():
                probe.wide()
                inspect.signature(_probe_signature).bind(probe, 1, b=4)
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
        for _ in range(3):
            inspect.signature(_probe_signature)
            [_Probe().wide() for _ in range(3)]
            gc.collect()


@functools.lru_cache(maxsize=None)
def interpreter_survives_own_failures():
    """Whether this interpreter survives single failures of its allocator in plain Python code."""
    return _died(_forked(_probe, lambda record: None)) is None


SWEPT = [op for op in OPERATIONS if op.not_swept is None]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("op", SWEPT, ids=[op.name for op in SWEPT])
def test_allocation_failures(op, kind):
    if kind.startswith("python"):
        if op.not_swept_python:
            pytest.skip(op.not_swept_python)
        if not HAS_NOMEMORY:
            pytest.skip("_testcapi.set_nomemory is not available")
        if op.python_code and kind == "python-from":
            pytest.skip("the interpreter's own library code hangs or aborts under a persistent failure")
        if op.python_code and not interpreter_survives_own_failures():
            pytest.skip("this interpreter crashes after failures of its allocator in plain Python code")
    records = []
    status = _forked(lambda report: sweep(op, kind, report), records.append)
    problems = [r["problem"] for r in records if "problem" in r]
    steps = [r["n"] for r in records if "n" in r]
    done = [r["done"] for r in records if "done" in r]
    if _died(status):
        last = steps[-1] if steps else "before the first step"
        problems.append(f"{op.name} [{kind}]: the sweep process died ({_died(status)}) at n={last}")
    assert not problems, "\n".join(problems)
    assert done, "the sweep did not finish"


def _in_child(func):
    """func() run in a child process; returns what it returns."""
    results = []
    status = _forked(lambda send: send(func()), results.append)
    assert not _died(status), f"the child process died ({_died(status)})"
    return results[0]


def test_injected_failure_is_met():
    """The injection works at all, so a sweep that meets no failure means something."""

    def run():
        m = Model()
        allocations, failures = FAULTS.quendle_allocations(), FAULTS.quendle_failures()
        FAULTS.quendle_fail_after(0)
        try:
            m.square(3)
            outcome = "ok"
        except MemoryError:
            outcome = "MemoryError"
        finally:
            FAULTS.quendle_fail_after(-1)
        met = FAULTS.quendle_failures() - failures
        again = m.square(3)
        met_later = FAULTS.quendle_failures() - failures
        return outcome, met, again, met_later, FAULTS.quendle_allocations() > allocations

    assert _in_child(run) == ("MemoryError", 1, 9, 1, True)


@pytest.mark.skipif(not HAS_NOMEMORY, reason="_testcapi.set_nomemory is not available")
def test_interpreter_failure_is_met():
    def run():
        m = Model()
        _testcapi.set_nomemory(0, 1)
        try:
            m.square(3)
            outcome = "ok"
        except MemoryError:
            outcome = "MemoryError"
        finally:
            _testcapi.remove_mem_hooks()
        return outcome, m.square(3)

    assert _in_child(run) == ("MemoryError", 9)
