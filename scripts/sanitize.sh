#!/usr/bin/env bash
# Sanitizer run: bash scripts/sanitize.sh [PYTEST ARGS...]
#
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer
# (-DQUENDLE_SANITIZE=ON) into build/asan with plain CMake, for the machine's
# default python3, and runs the whole suite against that build with the
# sanitizer runtime preloaded into the interpreter.  Any sanitizer report
# fails the run, whatever pytest says.  Extra arguments go to pytest.
#
# The suite runs with .venv's python when .venv is an environment of the same
# python3 holding pytest and hypothesis (as scripts/test.sh leaves it), else
# with build/reliability-tools, which this script then sets up.
#
# Environment:
#   QUENDLE_RELIABILITY_BUILD_TYPE=...   CMake build type (default Debug)
set -euo pipefail

# shellcheck source=scripts/reliability.sh
source "$(dirname "${BASH_SOURCE[0]}")/reliability.sh"
ROOT="$RELIABILITY_ROOT"
BUILD="$ROOT/build/asan"
RESULT="$BUILD/result.txt"

fail() {
    rel_result "$RESULT" "$1"
    rel_die "$1"
}

rel_lock "$ROOT/build/asan.lock"
rm -f "$RESULT"
rel_ensure_debian_packages g++ binutils

command -v python3 >/dev/null 2>&1 || fail "no python3 on PATH"
PY="$(python3 -c 'import sys; print(sys.executable)')"
PY_VERSION="$("$PY" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')"

# The sanitizer runtimes the compiler links against; the interpreter itself is
# not instrumented, so ASan's runtime must be loaded before anything else.
ASAN_LIB="$(g++ -print-file-name=libasan.so)"
CXX_LIB="$(g++ -print-file-name=libstdc++.so)"
case "$ASAN_LIB" in /*) ;; *) fail "g++ has no AddressSanitizer runtime (libasan.so)" ;; esac
case "$CXX_LIB" in /*) ;; *) fail "g++ has no libstdc++.so" ;; esac

rel_cmake_build "$BUILD" "-DPython_EXECUTABLE=$PY" -DQUENDLE_SANITIZE=ON -DQUENDLE_INVARIANTS=ON \
    "-DCMAKE_BUILD_TYPE=${QUENDLE_RELIABILITY_BUILD_TYPE:-Debug}"
SO="$BUILD/quendle.abi3.so"
[ -f "$SO" ] || fail "the build made no quendle.abi3.so in ${BUILD#"$ROOT"/}"
# The type stub goes beside the module, as an install puts it.
[ -f "$ROOT/quendle.pyi" ] && cp "$ROOT/quendle.pyi" "$BUILD/quendle.pyi"
needed="$(readelf -d "$SO" | awk '/\(NEEDED\)/ { gsub(/[][]/, "", $NF); print $NF }')"
for lib in libasan libubsan; do
    grep -q "^$lib\.so" <<<"$needed" || fail "${SO#"$ROOT"/} does not link $lib: QUENDLE_SANITIZE had no effect"
done

# The interpreter that runs the suite: .venv when it fits, else our own.
RUN_PY=""
if [ -x "$ROOT/.venv/bin/python" ] &&
    [ "$("$ROOT/.venv/bin/python" -c 'import os, sys; print(os.path.realpath(sys.executable), sys.version)' 2>/dev/null)" = \
        "$("$PY" -c 'import os, sys; print(os.path.realpath(sys.executable), sys.version)')" ] &&
    "$ROOT/.venv/bin/python" -c 'import pytest, hypothesis' 2>/dev/null; then
    RUN_PY="$ROOT/.venv/bin/python"
else
    rel_tools_venv
    RUN_PY="$REL_TOOLS/bin/python"
fi

# sanitized ARGS... : run ARGS with the sanitizer environment.
sanitized() {
    PYTHONPATH="$BUILD" \
        LD_PRELOAD="$ASAN_LIB $CXX_LIB" \
        PYTHONMALLOC=malloc QUENDLE_SANITIZED=1 \
        ASAN_OPTIONS=detect_leaks=0 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$@"
}

where="$(cd "$ROOT" && sanitized "$RUN_PY" -c 'import os, quendle; print(os.path.realpath(quendle.__file__))' </dev/null)" ||
    fail "the sanitized module cannot be imported by $RUN_PY"
[ "$where" = "$(readlink -f "$SO")" ] || fail "$RUN_PY imports $where, not ${SO#"$ROOT"/}"

PYTEST_ARGS=("$@")
names_a_path=0
for arg in "$@"; do
    case "$arg" in -*) continue ;; esac
    if [ -e "$ROOT/${arg%%::*}" ] || [ -e "${arg%%::*}" ]; then names_a_path=1; fi
done
[ "$names_a_path" = 1 ] || PYTEST_ARGS=(tests "${PYTEST_ARGS[@]}")

rel_log "running the suite against ${SO#"$ROOT"/} with $RUN_PY (Python $PY_VERSION)"
LOG="$BUILD/suite.log"
# --capture=sys leaves file descriptor 2 alone, so a report that a sanitizer
# writes there just before it aborts the process is not lost in a capture file.
set +e
(cd "$ROOT" && sanitized timeout -k 30 1200 "$RUN_PY" -m pytest -p no:cacheprovider --capture=sys \
    --rootdir "$ROOT" "${PYTEST_ARGS[@]}" </dev/null) 2>&1 | tee "$LOG"
rc="${PIPESTATUS[0]}"
set -e
summary="$(rel_pytest_summary "$LOG")"

reports="$(grep -E -c 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: (AddressSanitizer|UndefinedBehaviorSanitizer)' "$LOG" || true)"
if [ "$reports" != 0 ]; then
    grep -E -m 5 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: ' "$LOG" >&2 || true
    fail "Python $PY_VERSION: sanitizer reports in ${LOG#"$ROOT"/} (pytest exit $rc; ${summary:-no summary})"
fi
case "$rc" in
0) ;;
124 | 137) fail "Python $PY_VERSION: timed out; ${summary:-no summary}" ;;
*) fail "Python $PY_VERSION: pytest exit $rc; ${summary:-no summary (the process died: see ${LOG#"$ROOT"/})}" ;;
esac
rel_result "$RESULT" "Python $PY_VERSION, ASan+UBSan: $summary"
rel_log "sanitizer run passed: $summary"
