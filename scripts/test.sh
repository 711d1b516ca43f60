#!/usr/bin/env bash
# The test command: bash scripts/test.sh [PYTEST ARGS...]
#
# Installs what the suite needs (Debian packages when run as root, the .venv
# environment from PyPI), builds one stable-ABI wheel, checks it, and runs the
# test suite against that same wheel under the default python3 and under every
# other CPython >= 3.10 on the machine (pyenv versions and python3.X on PATH),
# each in its own .venv-X.Y.  Extra arguments go to every pytest run.
#
# Environment:
#   PYTHON=...                the interpreter for .venv and the build (default python3)
#   QUENDLE_EXTRA_PYTHONS=... more interpreters to try, separated by spaces
#   QUENDLE_ONLY_MAIN=1       run the suite with the main interpreter only
#   QUENDLE_FRESH_VENVS=1     rebuild every virtual environment from scratch
#   QUENDLE_TEST_TIMEOUT=N    seconds one pytest run may take (default 1200)
#   QUENDLE_VERBOSE_BUILD=1   show the CMake and compiler output of the build
set -euo pipefail

# Debian packages the suite needs: the compiler and binutils for the build and
# its checks; the debug interpreter with its own pytest and hypothesis, and
# googletest, for the deeper checks.
APT_PACKAGES="g++ binutils python3-dbg python3-pytest python3-hypothesis googletest"

# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=scripts/reliability.sh
source "$ROOT/scripts/reliability.sh"

TEST_TIMEOUT="${QUENDLE_TEST_TIMEOUT:-1200}"
# Minor versions reported even when absent.
EXPECTED_VERSIONS="3.10 3.11 3.12 3.13"

# --- results -----------------------------------------------------------------

RESULTS=()
ANY_FAILED=0

# record pass|fail|skip WHAT VERSION [DETAIL]
record() {
    local word
    case "$1" in
    pass) word=passed ;;
    fail) word=FAILED; ANY_FAILED=1 ;;
    skip) word=skipped ;;
    *) die "record: unknown outcome $1" ;;
    esac
    RESULTS+=("$2"$'\t'"$3"$'\t'"$word"$'\t'"${4:-}")
}

print_summary() {
    local row what version word detail
    printf '\n%s\n' "---------------------------------------------------------------------------"
    printf '%-48s %-8s %-8s %s\n' "interpreter / check" "version" "result" "detail"
    printf '%s\n' "---------------------------------------------------------------------------"
    for row in "${RESULTS[@]}"; do
        IFS=$'\t' read -r what version word detail <<<"$row"
        printf '%-48s %-8s %-8s %s\n' "$what" "$version" "$word" "$detail"
    done
    printf '%s\n' "---------------------------------------------------------------------------"
}

# --- running the suite ---------------------------------------------------------

# The arguments given to pytest, which runs from the repository root: the
# tests directory unless the caller named paths of their own (taken relative
# to the root, or to where the caller stands).
PYTEST_ARGS=()
names_a_path=0
for arg in "$@"; do
    case "$arg" in
    -*) ;;
    *)
        if [ -e "$ROOT/${arg%%::*}" ]; then
            names_a_path=1
        elif [ -e "${arg%%::*}" ]; then
            names_a_path=1
            case "$arg" in /*) ;; *) arg="$PWD/$arg" ;; esac
        fi
        ;;
    esac
    PYTEST_ARGS+=("$arg")
done
[ "$names_a_path" = 1 ] || PYTEST_ARGS=(tests "${PYTEST_ARGS[@]}")

LAST_SUMMARY=""

# run_pytest PYTHON : the suite from the repository root (check_import has
# made sure nothing there shadows the installed module); sets LAST_SUMMARY to
# pytest's closing line.
run_pytest() {
    local py="$1" out rc
    local -a color=()
    [ -t 1 ] && [ -z "${CI:-}" ] && color=(--color=yes)
    out="$(mktemp)"
    set +e
    # --foreground keeps pytest in the terminal's process group, so Ctrl-C
    # reaches it; stdin is left alone so that --pdb works at a terminal.
    (cd "$ROOT" && timeout --foreground -k 30 "$TEST_TIMEOUT" "$py" -m pytest \
        -p no:cacheprovider --rootdir "$ROOT" "${color[@]}" "${PYTEST_ARGS[@]}") 2>&1 | tee "$out"
    rc="${PIPESTATUS[0]}"
    set -e
    LAST_SUMMARY="$(sed 's/\x1b\[[0-9;]*m//g' "$out" |
        grep -E '(passed|failed|errors?|skipped|deselected|xfailed|xpassed|warnings?|no tests ran)\b.* in [0-9.]+s' |
        tail -n 1 | sed -E 's/^=+ //; s/ =+$//; s/ \([0-9:]+\)$//')" || true
    rm -f "$out"
    case "$rc" in
    124 | 137) LAST_SUMMARY="timed out after ${TEST_TIMEOUT}s${LAST_SUMMARY:+; $LAST_SUMMARY}" ;;
    5) LAST_SUMMARY="no tests ran${LAST_SUMMARY:+; $LAST_SUMMARY}" ;;
    esac
    return "$rc"
}

# suite_with PYTHON VENVDIR LABEL VERSION : install the wheel into VENVDIR and
# run the suite there, recording the outcome.
suite_with() {
    local py="$1" dir="$2" label="$3" version="$4" start
    start=$SECONDS
    log "testing with Python $version ($label)"
    if ! install_wheel "$py"; then
        record fail "$label" "$version" "installing the wheel failed"
        return 0
    fi
    if ! check_import "$py" "$dir"; then
        record fail "$label" "$version" "import quendle failed"
        return 0
    fi
    if run_pytest "$py"; then
        record pass "$label" "$version" "$LAST_SUMMARY ($((SECONDS - start))s)"
    else
        record fail "$label" "$version" "pytest exit $?: $LAST_SUMMARY"
    fi
}

# --- the other interpreters ------------------------------------------------------

# OTHER_PYTHONS: "MINOR<TAB>VERSION<TAB>EXE" for each other CPython >= 3.10,
# one per minor version (the newest pyenv build first, then PATH), none of the
# main interpreter's minor version.
OTHER_PYTHONS=()

discover_other_pythons() {
    local -a candidates=() seen_exes=() seen_minors=("$(minor_of "$MAIN_VERSION")")
    local c v info version exe impl ft minor s dup pyenv_root
    pyenv_root="${PYENV_ROOT:-${HOME:-}/.pyenv}"
    for root in "$pyenv_root" "${HOME:-}/.pyenv"; do
        [ -d "$root/versions" ] || continue
        while IFS= read -r c; do
            candidates+=("$c")
        done < <(find "$root/versions" -mindepth 3 -maxdepth 3 -path '*/bin/python3' 2>/dev/null | sort -V -r)
    done
    for v in 10 11 12 13 14; do
        while IFS= read -r c; do
            [ -n "$c" ] && candidates+=("$c")
        done < <(type -ap "python3.$v" 2>/dev/null || true)
    done
    # shellcheck disable=SC2206  # a list of paths
    [ -n "${QUENDLE_EXTRA_PYTHONS:-}" ] && candidates+=(${QUENDLE_EXTRA_PYTHONS})

    seen_exes+=("$MAIN_EXE")
    for c in "${candidates[@]}"; do
        info="$(probe_python "$c")" || continue
        IFS=$'\t' read -r version exe impl ft <<<"$info"
        [ "$impl" = cpython ] || continue
        version_at_least "$version" 3 10 || continue
        dup=0
        for s in "${seen_exes[@]}"; do [ "$s" = "$exe" ] && dup=1; done
        [ "$dup" = 0 ] || continue
        seen_exes+=("$exe")
        if [ "$ft" != 0 ]; then
            record skip "$exe" "$version" "free-threaded build (cannot load stable-ABI modules)"
            continue
        fi
        minor="$(minor_of "$version")"
        for s in "${seen_minors[@]}"; do [ "$s" = "$minor" ] && dup=1; done
        [ "$dup" = 0 ] || continue
        seen_minors+=("$minor")
        OTHER_PYTHONS+=("$minor"$'\t'"$version"$'\t'"$exe")
    done
    # Run them oldest first.
    if [ "${#OTHER_PYTHONS[@]}" -gt 0 ]; then
        mapfile -t OTHER_PYTHONS < <(printf '%s\n' "${OTHER_PYTHONS[@]}" | sort -V)
    fi
}

# --- hooks for further checks ---------------------------------------------------

# Checks that run after the interpreter matrix, with WHEEL, VENV and VENV_PY
# set up; each records its outcome with `record pass|fail|skip NAME VERSION
# DETAIL`: the C++ unit tests, the reference-leak hunt, the sanitizer run,
# the allocation-failure sweeps and the source distribution.
extra_checks() {
    cpp_unit_tests
    if run_leak_hunt; then
        record pass "leak hunt (python3-dbg)" "-" "$RELIABILITY_DETAIL"
    else
        record fail "leak hunt (python3-dbg)" "-" "$RELIABILITY_DETAIL"
    fi
    if run_sanitizers; then
        record pass "ASan+UBSan suite" "-" "$RELIABILITY_DETAIL"
    else
        record fail "ASan+UBSan suite" "-" "$RELIABILITY_DETAIL"
    fi
    alloc_failures
    sdist_check
}

# Allocation failures anywhere become MemoryError and leave instances usable:
# the sweeps of tests/test_alloc_failures.py against a build whose
# allocations fail on request.
alloc_failures() {
    local start=$SECONDS
    log "allocation failures (fault-injection build)"
    if PATH="$VENV/bin:$PATH" PYTHON="$VENV_PY" bash "$ROOT/scripts/alloc_failures.sh" -q 2>&1 | tail -n 4; then
        record pass "allocation failures" "-" "fault-injection sweeps ($((SECONDS - start))s)"
    else
        record fail "allocation failures" "-" "see the sweep output above"
    fi
}

# The C++ unit tests of internals that are worth testing on their own.
cpp_unit_tests() {
    local dir="$ROOT/build/cpp-tests" start=$SECONDS
    if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
        record skip "C++ unit tests" "-" "GoogleTest sources not installed"
        return 0
    fi
    log "C++ unit tests (GoogleTest)"
    if ! "$VENV/bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$MAIN_EXE" \
        -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" -DQUENDLE_CPP_TESTS=ON -Wno-dev >"$dir.log" 2>&1 ||
        ! "$VENV/bin/cmake" --build "$dir" --target quendle_cpp_tests >>"$dir.log" 2>&1; then
        tail -n 30 "$dir.log"
        record fail "C++ unit tests" "-" "build failed"
        return 0
    fi
    if (cd "$dir" && "$VENV/bin/ctest" --output-on-failure 2>&1 | tail -n 4); then
        record pass "C++ unit tests" "-" "ctest ($((SECONDS - start))s)"
    else
        record fail "C++ unit tests" "-" "ctest failed"
    fi
}

# The source distribution is complete: a wheel built from the sdist alone, in
# a clean directory, passes the suite that the sdist carries.
sdist_check() {
    local tmp src wheel start=$SECONDS
    tmp="$(mktemp -d)"
    log "source distribution: sdist, a wheel from it alone, the suite against that wheel"
    if ! (cd "$ROOT" && "$VENV_PY" -m build --sdist --no-isolation --outdir "$tmp/sdist" >"$tmp/build.log" 2>&1); then
        tail -n 30 "$tmp/build.log"
        record fail "sdist" "-" "python -m build --sdist failed"
        return 0
    fi
    mkdir -p "$tmp/src"
    tar -xzf "$tmp"/sdist/*.tar.gz -C "$tmp/src"
    src="$(find "$tmp/src" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
    if ! (cd "$src" && "$VENV_PY" -m pip wheel . --no-deps --no-build-isolation -w "$tmp/wheel" >"$tmp/wheel.log" 2>&1); then
        tail -n 30 "$tmp/wheel.log"
        record fail "sdist" "-" "building a wheel from the sdist failed"
        return 0
    fi
    wheel="$(ls "$tmp"/wheel/quendle-*.whl)"
    "$VENV_PY" -m pip install -q --force-reinstall --no-deps "$wheel" </dev/null
    if (cd "$src" && timeout -k 30 "$TEST_TIMEOUT" "$VENV_PY" -m pytest -q -p no:cacheprovider --rootdir "$src" tests \
        2>&1 | tail -n 5); then
        record pass "sdist" "-" "wheel from sdist passes its suite ($((SECONDS - start))s)"
    else
        record fail "sdist" "-" "the suite failed against the wheel built from the sdist"
    fi
    install_wheel "$VENV_PY" >/dev/null || true
    rm -rf "$tmp"
}

# --- main ---------------------------------------------------------------------------

take_lock
# shellcheck disable=SC2086  # a list of package names
ensure_debian_packages $APT_PACKAGES
setup_main_venv
build_wheel
check_wheel

suite_with "$VENV_PY" "$VENV" "$MAIN_EXE" "$MAIN_VERSION"

if [ "${QUENDLE_ONLY_MAIN:-0}" != 1 ]; then
    discover_other_pythons
    found_minors=" $(minor_of "$MAIN_VERSION") "
    for entry in "${OTHER_PYTHONS[@]}"; do
        IFS=$'\t' read -r minor version exe <<<"$entry"
        found_minors+="$minor "
        dir="$ROOT/.venv-$minor"
        if ! ensure_venv "$dir" "$exe" "$TEST_REQUIREMENTS" "$TEST_OPTIONAL_REQUIREMENTS"; then
            record fail "$exe" "$version" "setting up .venv-$minor failed"
            continue
        fi
        suite_with "$dir/bin/python" "$dir" "$exe" "$version"
    done
    for minor in $EXPECTED_VERSIONS; do
        case "$found_minors" in
        *" $minor "*) ;;
        *) record skip "python$minor" "$minor" "not found" ;;
        esac
    done
fi

extra_checks

print_summary
echo
if [ "$ANY_FAILED" != 0 ]; then
    echo "test.sh: some runs FAILED (see above)"
    exit 1
fi
echo "test.sh: all runs passed"
