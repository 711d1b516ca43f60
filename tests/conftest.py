import linecache
import os
import sys

import pytest

try:
    from hypothesis import settings
except ImportError:  # the runs of the docs' own tests, which draw no examples
    settings = None

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
ONCE_GROUPS = {"typing": "the type checkers (mypy, pyright)", "dask": "the Dask example", "sphinx": "the Sphinx builds",
               "cmake": "the CMake configure checks"}


def runs_elsewhere(group):
    """The nox sessions (separated by commas) that run the tests of ``group`` when this run is
    none of them, else None."""
    assert group in ONCE_GROUPS, group
    sessions = dict(entry.partition("=")[::2] for entry in os.environ.get("QUENDLE_ONCE", "").split())
    return sessions.get(group) or None


def once(group):
    """A mark that skips a test of ``group`` when another nox session runs that group."""
    session = runs_elsewhere(group)
    return pytest.mark.skipif(session is not None, reason=elsewhere(group, session or ""))


def elsewhere(group, sessions):
    where = sessions.split(",")
    if len(where) == 1:
        return f"{ONCE_GROUPS[group]}: run once, in the nox session {where[0]}"
    return f"{ONCE_GROUPS[group]}: run only in the nox sessions {', '.join(where)}"


def run_once(group):
    """Skips the calling test module when another nox session runs ``group``."""
    session = runs_elsewhere(group)
    if session is not None:
        pytest.skip(elsewhere(group, session), allow_module_level=True)


# The property tests' examples: each draws max_examples x QUENDLE_EXAMPLES_SHARE of
# them (0 < share <= 1; at least one). Given a seed (pytest --hypothesis-seed), they
# draw from it; otherwise the heavy ones are derandomized, so that a plain run draws
# the same examples every time. The nox suite sessions share the work: the
# reference session draws every example, the others a share each from seeds of
# their own, so that together they meet more distinct examples than one set of
# derandomized examples drawn on every interpreter would.
EXAMPLES_SHARE = float(os.environ.get("QUENDLE_EXAMPLES_SHARE") or 1)
assert 0 < EXAMPLES_SHARE <= 1, f"QUENDLE_EXAMPLES_SHARE must be in (0, 1], not {EXAMPLES_SHARE}"
SEEDED = False  # set when pytest starts, before the tests are collected


def examples(n):
    """This run's share of `n` examples."""
    return max(1, round(n * EXAMPLES_SHARE))


def derandomized():
    """Whether the heavy property tests draw their fixed examples: no seed was given."""
    return not SEEDED


def pytest_collection_modifyitems(config, items):
    """The long tests (marked slow) first: pytest-xdist hands out the first tests at once,
    so they start together instead of one of them keeping a worker busy at the end."""
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


def pytest_configure(config):
    global SEEDED
    SEEDED = settings is not None and config.getoption("--hypothesis-seed", None) is not None


if settings is not None:
    settings.register_profile("quendle", max_examples=examples(settings.default.max_examples))
    settings.load_profile("quendle")
