import linecache
import os
import sys

import pytest

# From 3.13 a `python -c` process (a pytest-xdist worker is one) keeps its command in
# linecache as "<string>", the name every code object compiled from a string carries:
# inspect.getsource would then find that command for functions the tests exec.
linecache.cache.pop("<string>", None)

# Exception notes (``add_note``/``__notes__``) exist from Python 3.11 on.
HAS_NOTES = sys.version_info >= (3, 11)


def notes(exc):
    """The notes attached to an exception (empty when it has none)."""
    return list(getattr(exc, "__notes__", ()))


def argument_notes(name):
    """The notes a failed conversion of parameter ``name`` carries here."""
    return [f"while processing '{name}'"] if HAS_NOTES else []


# Tools that check what is the same on every interpreter run in one nox session
# only; QUENDLE_ONCE (group=session ...) names the groups another session runs.
ONCE_GROUPS = {"typing": "the type checkers (mypy, pyright)", "dask": "the Dask example", "sphinx": "the Sphinx builds"}


def runs_elsewhere(group):
    """The nox session that runs the tests of ``group`` when it is not this run, else None."""
    assert group in ONCE_GROUPS, group
    sessions = dict(entry.partition("=")[::2] for entry in os.environ.get("QUENDLE_ONCE", "").split())
    return sessions.get(group) or None


def once(group):
    """A mark that skips a test of ``group`` when another nox session runs that group."""
    session = runs_elsewhere(group)
    return pytest.mark.skipif(session is not None, reason=f"{ONCE_GROUPS[group]}: run once, in the nox session {session}")


def run_once(group):
    """Skips the calling test module when another nox session runs ``group``."""
    session = runs_elsewhere(group)
    if session is not None:
        pytest.skip(f"{ONCE_GROUPS[group]}: run once, in the nox session {session}", allow_module_level=True)
