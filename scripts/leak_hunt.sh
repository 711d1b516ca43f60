#!/usr/bin/env bash
# Reference-leak hunt: bash scripts/leak_hunt.sh [PYTEST ARGS...]
#
# Builds the module against the headers of Debian's debug interpreter
# (python3-dbg) into build/debug-python, proves the build really counts
# references the debug way, then with python3-dbg and Debian's pytest runs
#   1. tests/leaks: every public operation, on its success and error paths,
#      run warm and then measured with sys.gettotalrefcount(); and
#   2. the rest of the suite, where the debug interpreter's own checks
#      (negative reference counts, the debug memory allocator) stop at the
#      first misuse.
# Extra arguments go to both pytest runs.  Installs python3-dbg,
# python3-pytest and python3-hypothesis when run as root.
#
# Environment:
#   QUENDLE_LEAK_WARMUPS=N, QUENDLE_LEAK_RUNS=N   runs before and while measuring
#   QUENDLE_LEAK_SUITE=0                           skip step 2
#   QUENDLE_RELIABILITY_BUILD_TYPE=...             CMake build type (default Debug)
set -euo pipefail

# shellcheck source=scripts/reliability.sh
source "$(dirname "${BASH_SOURCE[0]}")/reliability.sh"
ROOT="$RELIABILITY_ROOT"
BUILD="$ROOT/build/debug-python"
RESULT="$BUILD/result.txt"

fail() {
    rel_result "$RESULT" "$1"
    rel_die "$1"
}

rel_lock "$ROOT/build/debug-python.lock"
rm -f "$RESULT"
rel_ensure_debian_packages g++ binutils python3-dbg python3-pytest python3-hypothesis

DBG="$(command -v python3-dbg || true)"
[ -n "$DBG" ] || fail "python3-dbg not found on PATH"
DBG="$(readlink -f "$DBG")"
DBG_VERSION="$("$DBG" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')"
"$DBG" -c 'import sys; sys.exit(0 if hasattr(sys, "gettotalrefcount") and sys.version_info >= (3, 10) else 1)' ||
    fail "$DBG ($DBG_VERSION) is not a debug interpreter of Python 3.10 or newer"
"$DBG" -c 'import pytest' 2>/dev/null || fail "Debian's pytest is not importable by $DBG (python3-pytest)"

rel_cmake_build "$BUILD" "-DPython_EXECUTABLE=$DBG" -DQUENDLE_DEBUG_PYTHON=ON -DQUENDLE_INVARIANTS=ON \
    "-DCMAKE_BUILD_TYPE=${QUENDLE_RELIABILITY_BUILD_TYPE:-Debug}"
SO="$BUILD/quendle.abi3.so"
[ -f "$SO" ] || fail "the build made no quendle.abi3.so in ${BUILD#"$ROOT"/}"
# The type stub goes beside the module, as an install puts it.
[ -f "$ROOT/quendle.pyi" ] && cp "$ROOT/quendle.pyi" "$BUILD/quendle.pyi"

# Py_DEBUG must really have been on: against the 3.10 stable ABI a debug
# build counts references through these functions, a release build inlines
# them and the totals would not add up.
command -v nm >/dev/null 2>&1 || fail "nm not found (binutils)"
undefined="$(nm -D --undefined-only "$SO" | awk '{ print $NF }')"
for sym in _Py_IncRef _Py_DecRef; do
    grep -qx "$sym" <<<"$undefined" ||
        fail "${SO#"$ROOT"/} does not call $sym: it was not compiled with Py_DEBUG (were the release headers used?)"
done
rel_log "Py_DEBUG build confirmed: ${SO#"$ROOT"/} calls _Py_IncRef and _Py_DecRef"

# Some debug interpreters do not load stable-ABI file names: give them the
# plain extension name as well.
if ! "$DBG" -c 'import importlib.machinery as m, sys; sys.exit(0 if ".abi3.so" in m.EXTENSION_SUFFIXES else 1)'; then
    ln -sf quendle.abi3.so "$BUILD/quendle.so"
fi

where="$(cd "$BUILD" && PYTHONPATH="$BUILD" "$DBG" -c 'import os, quendle; print(os.path.realpath(quendle.__file__))')" ||
    fail "python3-dbg cannot import ${SO#"$ROOT"/}"
[ "$where" = "$(readlink -f "$SO")" ] || fail "python3-dbg imports $where, not ${SO#"$ROOT"/}"

# run_dbg_pytest LOG ARGS... : Debian's pytest under python3-dbg against the build.
run_dbg_pytest() {
    local log="$1" rc
    shift
    set +e
    (cd "$ROOT" && PYTHONPATH="$BUILD" PYTHONDONTWRITEBYTECODE=1 PYTHONNOUSERSITE=1 \
        timeout -k 30 1200 "$DBG" -m pytest -p no:cacheprovider --rootdir "$ROOT" "$@" </dev/null) 2>&1 |
        tee "$log"
    rc="${PIPESTATUS[0]}"
    set -e
    return "$rc"
}

rel_log "hunting reference leaks with $DBG (Python $DBG_VERSION)"
if ! run_dbg_pytest "$BUILD/leaks.log" tests/leaks "$@"; then
    fail "Python $DBG_VERSION, reference leaks: $(rel_pytest_summary "$BUILD/leaks.log")"
fi
hunt_summary="$(rel_pytest_summary "$BUILD/leaks.log")"
case "$hunt_summary" in
*passed*) ;;
*) fail "Python $DBG_VERSION, reference leaks: no case ran ($hunt_summary)" ;;
esac
case "$hunt_summary" in
*skipped*) fail "Python $DBG_VERSION, reference leaks: cases were skipped ($hunt_summary)" ;;
esac

detail="Python $DBG_VERSION, reference leaks: $hunt_summary"
if [ "${QUENDLE_LEAK_SUITE:-1}" != 0 ]; then
    rel_log "running the rest of the suite under $DBG"
    if ! run_dbg_pytest "$BUILD/suite.log" tests --ignore=tests/leaks "$@"; then
        fail "$detail; suite under the debug interpreter: $(rel_pytest_summary "$BUILD/suite.log")"
    fi
    detail="$detail; suite under the debug interpreter: $(rel_pytest_summary "$BUILD/suite.log")"
fi
rel_result "$RESULT" "$detail"
rel_log "leak hunt passed: $detail"
