"""Reference-leak hunt over every public operation of quendle.

The operations are those of tests/operations.py, the list the
allocation-failure sweeps use too: each is one operation (with whatever set-up
it needs) on its success path or on one of its error paths. The harness runs
one until it is warm, then a fixed number of times more, collecting garbage
after every run and reading ``sys.gettotalrefcount()`` and
``sys.getallocatedblocks()``. An operation leaks when *every* measured run
moved a counter up by at least one: warm-up effects and one-off allocations
show up in some runs but not in all of them.

The counts exist only in a debug interpreter, and they add up only when the
module itself was compiled against that interpreter's debug headers (then
every reference count change the module makes goes through the interpreter).
The leaks session of noxfile.py builds such a module and runs this file with
``python3-dbg``; other runs deselect these cases (marker ``leaks``), and under
a release interpreter every test here is skipped.
"""

import gc
import os
import sys
import warnings

import pytest
from operations import OPERATIONS

import quendle

DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")

pytestmark = [
    pytest.mark.leaks,
    pytest.mark.skipif(
        not DEBUG_INTERPRETER,
        reason="reference counts need a debug interpreter (sys.gettotalrefcount); run nox -s leaks"),
]

# Runs before measuring, and measured runs. Overridable for a quicker or a
# more patient hunt.
WARMUPS = int(os.environ.get("QUENDLE_LEAK_WARMUPS", "3"))
RUNS = int(os.environ.get("QUENDLE_LEAK_RUNS", "8"))


# --------------------------------------------------------------------------
# the harness

# Deltas are stored as these very int objects, so that storing one allocates
# nothing that the next reading would count.
_INT_POOL = {value: value for value in range(-1000, 1000)}


def measure(case, warmups=None, runs=None):
    """Run ``case`` warm, then measure it; returns (reference deltas, block deltas)."""
    warmups = WARMUPS if warmups is None else warmups
    runs = RUNS if runs is None else runs
    # Everything the loop touches exists before the first reading.
    rc_deltas = [0] * runs
    block_deltas = [0] * runs
    schedule = range(-warmups, runs)
    gettotalrefcount = sys.gettotalrefcount
    getallocatedblocks = sys.getallocatedblocks
    # Caches that hold references to whatever ran last (3.13 renamed it).
    clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    collect = gc.collect
    pooled = _INT_POOL.setdefault
    rc_before = blocks_before = 0
    delta = 0
    # What exists now is not the case's doing: keep it out of the collector's
    # way, so each collection walks only what the case made. Warnings are
    # off, since a recorded warning is itself kept.
    catcher = warnings.catch_warnings()
    catcher.__enter__()
    warnings.simplefilter("ignore")
    collect()
    gc.freeze()
    try:
        for i in schedule:
            case()
            clear_caches()
            collect()
            blocks_after = getallocatedblocks()
            rc_after = gettotalrefcount()
            if i >= 0:
                delta = rc_after - rc_before
                rc_deltas[i] = pooled(delta, delta)
                delta = blocks_after - blocks_before
                block_deltas[i] = pooled(delta, delta)
            rc_before = rc_after
            blocks_before = blocks_after
    finally:
        gc.unfreeze()
        catcher.__exit__(None, None, None)
    return rc_deltas, block_deltas


def leaks(deltas):
    return all(d >= 1 for d in deltas)


def hunt(case, name):
    """Fail when ``case`` leaks references or memory blocks on every run."""
    rc_deltas, block_deltas = measure(case)
    found = []
    if leaks(rc_deltas):
        found.append(f"references {rc_deltas} (sum {sum(rc_deltas)})")
    if leaks(block_deltas):
        found.append(f"memory blocks {block_deltas} (sum {sum(block_deltas)})")
    if found:
        pytest.fail(f"{name} leaked " + " and ".join(found), pytrace=False)


def _built_against_debug_headers():
    # A module compiled with Py_REF_DEBUG against the 3.10 stable ABI counts
    # references through these two functions; a release build inlines them.
    with open(quendle.__file__, "rb") as f:
        image = f.read()
    return b"_Py_IncRef\0" in image and b"_Py_DecRef\0" in image


@pytest.fixture(scope="module", autouse=True)
def _counts_add_up():
    if not _built_against_debug_headers():
        pytest.fail(f"{quendle.__file__} was not compiled against the debug interpreter's headers "
                    "(it does not call _Py_IncRef/_Py_DecRef), so reference counts would not add up; "
                    "build it with the leaks session: nox -s leaks", pytrace=False)
    gc.collect()


# --------------------------------------------------------------------------
# the tests

HUNTED = sorted((op for op in OPERATIONS if op.not_hunted is None), key=lambda op: op.name)


@pytest.mark.parametrize("op", HUNTED, ids=[op.name for op in HUNTED])
def test_no_leak(op):
    hunt(op.run, op.name)


_KEPT = []


def test_harness_catches_a_leak():
    def keep_one():
        _KEPT.append(object())
    try:
        rc_deltas, block_deltas = measure(keep_one)
    finally:
        _KEPT.clear()
    assert leaks(rc_deltas), rc_deltas
    assert leaks(block_deltas), block_deltas


def test_harness_quiet_on_balanced_code():
    def balanced():
        [object() for _ in range(10)]
    rc_deltas, block_deltas = measure(balanced)
    assert not leaks(rc_deltas), rc_deltas
    assert not leaks(block_deltas), block_deltas
