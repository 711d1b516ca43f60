# shellcheck shell=bash
# Reliability checks of the native module; sourced, not run.
#
#   run_leak_hunt [PYTEST ARGS...]   reference-leak hunt under the debug
#                                    interpreter (scripts/leak_hunt.sh)
#   run_sanitizers [PYTEST ARGS...]  the whole suite against an AddressSanitizer
#                                    + UndefinedBehaviorSanitizer build
#                                    (scripts/sanitize.sh)
#
# Each runs its script in a child process, prints one line saying how it went,
# leaves that line's detail in RELIABILITY_DETAIL, and returns non-zero on
# failure.  The rel_* helpers below are shared by the two scripts.  Nothing
# here changes the caller's shell options or the names scripts/common.sh
# defines.

RELIABILITY_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
RELIABILITY_DETAIL=""

# rel_run_check LABEL SCRIPT RESULTFILE [ARGS...]
rel_run_check() {
    local label="$1" script="$2" result_file="$3" start rc detail=""
    shift 3
    start=$SECONDS
    rm -f "$result_file"
    rc=0
    bash "$RELIABILITY_ROOT/scripts/$script" "$@" </dev/null || rc=$?
    [ -f "$result_file" ] && detail="$(head -n 1 "$result_file")"
    if [ "$rc" -eq 0 ]; then
        RELIABILITY_DETAIL="${detail:-passed} ($((SECONDS - start))s)"
        printf '%s: passed: %s\n' "$label" "$RELIABILITY_DETAIL"
    else
        RELIABILITY_DETAIL="exit $rc: ${detail:-see the output above} ($((SECONDS - start))s)"
        printf '%s: FAILED: %s\n' "$label" "$RELIABILITY_DETAIL"
    fi
    return "$rc"
}

run_leak_hunt() {
    rel_run_check "leak hunt" leak_hunt.sh "$RELIABILITY_ROOT/build/debug-python/result.txt" "$@"
}

run_sanitizers() {
    rel_run_check "sanitizers" sanitize.sh "$RELIABILITY_ROOT/build/asan/result.txt" "$@"
}

# --- helpers for scripts/leak_hunt.sh and scripts/sanitize.sh ----------------

rel_log() { printf '\n==> %s\n' "$*"; }
rel_die() {
    printf '\nerror: %s\n' "$*" >&2
    exit 1
}

# rel_result FILE TEXT : the one-line outcome rel_run_check reports.
rel_result() {
    mkdir -p "$(dirname "$1")"
    printf '%s\n' "$2" >"$1"
}

# rel_lock FILE : one run per build directory at a time.
rel_lock() {
    mkdir -p "$(dirname "$1")"
    exec 8>"$1"
    if ! flock -n 8; then
        rel_log "waiting for another run that holds ${1#"$RELIABILITY_ROOT"/}"
        flock 8
    fi
}

# rel_ensure_debian_packages PKG... : install what is missing (as root), or
# say how to and stop.
rel_ensure_debian_packages() {
    command -v dpkg-query >/dev/null 2>&1 || {
        printf 'warning: dpkg-query not found; assuming these are present: %s\n' "$*" >&2
        return 0
    }
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' ok installed$' || missing+=("$p")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        rel_die "missing Debian packages: ${missing[*]}; install them as root with: apt-get install -y ${missing[*]}"
    fi
    rel_log "installing Debian packages: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 update </dev/null ||
        rel_die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 install -y "${missing[@]}" </dev/null ||
        rel_die "apt-get install -y ${missing[*]} failed"
}

# rel_cmake_ok EXE : EXE is a CMake of at least the version CMakeLists.txt needs.
rel_cmake_ok() {
    local v major minor
    v="$("$1" --version 2>/dev/null | awk 'NR == 1 { print $3 }')" || return 1
    IFS=. read -r major minor _ <<<"$v"
    [ -n "$major" ] && [ -n "$minor" ] || return 1
    [ "$major" -gt 3 ] || { [ "$major" -eq 3 ] && [ "$minor" -ge 26 ]; }
}

# rel_tools_venv : a virtual environment of the machine's python3 under
# build/, for what the machine lacks (CMake, Ninja, pytest); sets REL_TOOLS.
rel_tools_venv() {
    REL_TOOLS="$RELIABILITY_ROOT/build/reliability-tools"
    local want="cmake>=3.26 ninja pytest hypothesis" stamp
    stamp="$(printf '%s\n' "$want" "$(python3 -c 'import sys; print(sys.version, sys.executable)')" | sha256sum | cut -d' ' -f1)"
    if [ -x "$REL_TOOLS/bin/python" ] && [ "$(cat "$REL_TOOLS/.stamp" 2>/dev/null)" = "$stamp" ]; then
        return 0
    fi
    rel_log "setting up ${REL_TOOLS#"$RELIABILITY_ROOT"/} ($want)"
    rm -rf "$REL_TOOLS"
    python3 -m venv "$REL_TOOLS" </dev/null || rel_die "python3 -m venv failed"
    # shellcheck disable=SC2086  # a list of requirements
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$REL_TOOLS/bin/python" -m pip install -q $want </dev/null ||
        rel_die "pip could not install: $want"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$REL_TOOLS/bin/python" -m pip install -q numpy </dev/null ||
        printf 'warning: numpy not installed (tests that need it skip)\n' >&2
    printf '%s\n' "$stamp" >"$REL_TOOLS/.stamp"
}

# rel_find_build_tools : sets REL_CMAKE and REL_GENERATOR_ARGS.
rel_find_build_tools() {
    local c ninja=""
    REL_CMAKE=""
    for c in "${CMAKE:-}" "$RELIABILITY_ROOT/.venv/bin/cmake" "$(command -v cmake 2>/dev/null || true)"; do
        if [ -n "$c" ] && [ -x "$c" ] && rel_cmake_ok "$c"; then
            REL_CMAKE="$c"
            break
        fi
    done
    if [ -z "$REL_CMAKE" ]; then
        rel_tools_venv
        REL_CMAKE="$REL_TOOLS/bin/cmake"
        rel_cmake_ok "$REL_CMAKE" || rel_die "no CMake 3.26 or newer found"
    fi
    for c in "$(dirname "$REL_CMAKE")/ninja" "$RELIABILITY_ROOT/.venv/bin/ninja" "$(command -v ninja 2>/dev/null || true)"; do
        if [ -n "$c" ] && [ -x "$c" ] && "$c" --version >/dev/null 2>&1; then
            ninja="$c"
            break
        fi
    done
    if [ -n "$ninja" ]; then
        REL_GENERATOR_ARGS=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$ninja")
    else
        REL_GENERATOR_ARGS=()
    fi
}

# rel_cmake_build DIR CONFIGURE-ARGS... : configure (afresh when the arguments
# or the tools changed) and build DIR.
rel_cmake_build() {
    local dir="$1" stamp
    shift
    rel_find_build_tools
    stamp="$(printf '%s\n' "$REL_CMAKE" "${REL_GENERATOR_ARGS[@]}" "$@" | sha256sum | cut -d' ' -f1)"
    if [ "$(cat "$dir/.configure-stamp" 2>/dev/null)" != "$stamp" ]; then
        rm -rf "$dir"
        mkdir -p "$dir"
        rel_log "configuring ${dir#"$RELIABILITY_ROOT"/}"
        "$REL_CMAKE" -S "$RELIABILITY_ROOT" -B "$dir" "${REL_GENERATOR_ARGS[@]}" "$@" </dev/null ||
            rel_die "configuring ${dir#"$RELIABILITY_ROOT"/} failed"
        printf '%s\n' "$stamp" >"$dir/.configure-stamp"
    fi
    rel_log "building ${dir#"$RELIABILITY_ROOT"/}"
    "$REL_CMAKE" --build "$dir" </dev/null || rel_die "building ${dir#"$RELIABILITY_ROOT"/} failed"
}

# rel_pytest_summary LOG : pytest's closing line in LOG.
rel_pytest_summary() {
    sed 's/\x1b\[[0-9;]*m//g' "$1" |
        grep -E '(passed|failed|errors?|skipped|deselected|no tests ran)\b.* in [0-9.]+s' |
        tail -n 1 | sed -E 's/^=+ //; s/ =+$//; s/ \([0-9:]+\)$//' || true
}
