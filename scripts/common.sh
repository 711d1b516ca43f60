# shellcheck shell=bash
# Shared set-up for scripts/test.sh and scripts/demo.sh; sourced, not run.
#
# Provides: the project virtual environment (.venv, built with the machine's
# default python3, or $PYTHON), Debian packages, the wheel build and its
# checks, and helpers to set up further interpreters.  The caller runs with
# `set -euo pipefail`.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
VENV="$ROOT/.venv"
DIST="$ROOT/dist"

# What building and testing need from PyPI in the main environment.
VENV_REQUIREMENTS='scikit-build-core>=0.10 cmake>=3.26 ninja>=1.10 pytest hypothesis numpy build mypy'
# What the other interpreters need to run the suite; the optional ones may fail
# to install (no wheel for that version) without failing the run.
# shellcheck disable=SC2034  # used by scripts/test.sh
TEST_REQUIREMENTS='pytest hypothesis'
# shellcheck disable=SC2034
TEST_OPTIONAL_REQUIREMENTS='numpy'

# Bump when the way environments are set up changes: every stamp goes stale.
SETUP_REVISION=1

export PIP_DISABLE_PIP_VERSION_CHECK=1
export PIP_NO_INPUT=1
export PIP_NO_PYTHON_VERSION_WARNING=1
export DEBIAN_FRONTEND=noninteractive

log() { printf '\n==> [%ss] %s\n' "$SECONDS" "$*"; }
warn() { printf 'warning: %s\n' "$*" >&2; }
die() {
    printf '\nerror: %s\n' "$*" >&2
    exit 1
}

# Serialise runs in one checkout: two runs at once would rebuild the same
# environments and the same build directory under each other.
take_lock() {
    mkdir -p "$ROOT/build"
    exec 9>"$ROOT/build/.setup.lock"
    if ! flock -n 9; then
        log "another set-up or test run holds $ROOT/build/.setup.lock; waiting for it"
        flock 9
    fi
}

# --- Debian packages -------------------------------------------------------

missing_debian_packages() {
    local p missing=()
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' ok installed$'; then
            missing+=("$p")
        fi
    done
    echo "${missing[*]:-}"
}

# ensure_debian_packages PKG... : install what is missing (as root), or say
# how to and stop.
ensure_debian_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        warn "dpkg-query not found (not a Debian system?); assuming these are present: $*"
        return 0
    fi
    local missing
    missing="$(missing_debian_packages "$@")"
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        printf '\nerror: missing Debian packages: %s\nInstall them as root with:\n  apt-get install -y %s\n' \
            "$missing" "$missing" >&2
        exit 1
    fi
    log "installing Debian packages: $missing"
    # shellcheck disable=SC2086  # a list of package names
    apt-get -q -o DPkg::Lock::Timeout=300 update </dev/null ||
        die "apt-get update failed"
    # shellcheck disable=SC2086
    apt-get -q -o DPkg::Lock::Timeout=300 install -y $missing </dev/null ||
        die "apt-get install -y $missing failed"
    missing="$(missing_debian_packages "$@")"
    [ -z "$missing" ] || die "still missing after apt-get install: $missing"
}

# --- interpreters and environments ------------------------------------------

# probe_python EXE : print "VERSION<TAB>REALPATH<TAB>IMPL<TAB>FREE_THREADED", or
# fail if EXE does not run (a pyenv shim for a version that is not selected,
# say).
probe_python() {
    timeout 60 "$1" -c '
import os, sys, sysconfig
print("%d.%d.%d" % sys.version_info[:3], os.path.realpath(sys.executable),
      sys.implementation.name, int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))),
      sep="\t")' </dev/null 2>/dev/null
}

# version_at_least VERSION MAJOR MINOR
version_at_least() {
    local major minor
    IFS=. read -r major minor _ <<<"$1"
    [ "$major" -gt "$2" ] || { [ "$major" -eq "$2" ] && [ "$minor" -ge "$3" ]; }
}

minor_of() { local a b; IFS=. read -r a b _ <<<"$1"; echo "$a.$b"; }

# ensure_venv DIR EXE "REQUIREMENTS" ["OPTIONAL REQUIREMENTS"]
# Make DIR a virtual environment of EXE holding the requirements.  A stamp
# keyed by the interpreter and the requirement lists makes the case where all
# is already there a few milliseconds; otherwise pip tops the environment up.
# Set QUENDLE_FRESH_VENVS=1 to rebuild the environment from scratch.
ensure_venv() {
    local dir="$1" exe="$2" reqs="$3" optional="${4:-}"
    local stamp="$dir/.quendle-setup" key base_version
    base_version="$("$exe" -c 'import sys; print(sys.version)' </dev/null)" || return 1
    key="$(printf '%s\n' "$SETUP_REVISION" "$exe" "$base_version" "$reqs" "$optional" | sha256sum | cut -d' ' -f1)"

    if [ "${QUENDLE_FRESH_VENVS:-0}" != 1 ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] &&
        "$dir/bin/python" -c '' </dev/null 2>/dev/null; then
        return 0
    fi

    local reuse=0
    if [ "${QUENDLE_FRESH_VENVS:-0}" != 1 ] && [ -x "$dir/bin/python" ] &&
        [ "$(readlink -f "$dir/bin/python")" = "$exe" ] &&
        [ "$("$dir/bin/python" -c 'import sys; print(sys.version)' </dev/null 2>/dev/null)" = "$base_version" ] &&
        "$dir/bin/python" -m pip --version </dev/null >/dev/null 2>&1; then
        reuse=1
    fi
    if [ "$reuse" = 1 ]; then
        log "updating virtual environment ${dir#"$ROOT"/} ($exe)"
    else
        log "creating virtual environment ${dir#"$ROOT"/} ($exe)"
        rm -rf "$dir"
        "$exe" -m venv "$dir" </dev/null || {
            warn "could not create a virtual environment with $exe"
            return 1
        }
    fi
    rm -f "$stamp"
    # shellcheck disable=SC2086  # requirement lists hold no spaces or globs
    "$dir/bin/python" -m pip install -q $reqs </dev/null || {
        warn "pip could not install into ${dir#"$ROOT"/}: $reqs"
        return 1
    }
    if [ -n "$optional" ]; then
        # shellcheck disable=SC2086
        "$dir/bin/python" -m pip install -q $optional </dev/null ||
            warn "optional packages not installed into ${dir#"$ROOT"/} (tests that need them skip): $optional"
    fi
    printf '%s\n' "$key" >"$stamp"
}

# setup_main_venv : .venv with the default python3 (or $PYTHON); sets
# MAIN_EXE, MAIN_VERSION and VENV_PY.
setup_main_venv() {
    local py="${PYTHON:-python3}" info impl ft
    command -v "$py" >/dev/null 2>&1 || die "no '$py' on PATH"
    info="$(probe_python "$py")" || die "'$py' does not run"
    IFS=$'\t' read -r MAIN_VERSION MAIN_EXE impl ft <<<"$info"
    [ "$impl" = cpython ] || die "'$py' is $impl, not CPython"
    version_at_least "$MAIN_VERSION" 3 10 || die "'$py' is Python $MAIN_VERSION; 3.10 or newer is needed"
    [ "$ft" = 0 ] || die "'$py' is a free-threaded build, which cannot load stable-ABI modules"
    ensure_venv "$VENV" "$MAIN_EXE" "$VENV_REQUIREMENTS" ||
        die "setting up .venv failed (see pip's output above)"
    VENV_PY="$VENV/bin/python"
}

# --- the wheel ---------------------------------------------------------------

# build_wheel : one wheel into dist/, from .venv without build isolation;
# sets WHEEL.  The CMake build directory under build/ is kept between runs,
# so a rebuild only compiles what changed.
build_wheel() {
    mkdir -p "$DIST"
    rm -f "$DIST"/quendle-*.whl
    log "building the wheel"
    local -a verbose=()
    [ "${QUENDLE_VERBOSE_BUILD:-0}" = 1 ] && verbose=(-v)
    if ! (cd "$ROOT" && PATH="$VENV/bin:$PATH" "$VENV_PY" -m pip wheel . --no-deps \
        --no-build-isolation -w "$DIST" "${verbose[@]}" </dev/null); then
        die "building the wheel failed (the CMake and compiler output is above; QUENDLE_VERBOSE_BUILD=1 shows it for successful builds too)"
    fi
    local -a wheels
    shopt -s nullglob
    wheels=("$DIST"/quendle-*.whl)
    shopt -u nullglob
    [ "${#wheels[@]}" -eq 1 ] || die "expected one quendle wheel in dist/, found ${#wheels[@]}"
    WHEEL="${wheels[0]}"
}

# check_wheel : the wheel is a cp310-abi3 one holding a single module named
# quendle.abi3.so that does not link to libpython.
check_wheel() {
    local name tmp needed
    name="$(basename "$WHEEL")"
    case "$name" in
    *-cp310-abi3-*.whl) ;;
    *) die "wheel $name is not tagged cp310-abi3" ;;
    esac
    tmp="$(mktemp -d)"
    if ! "$VENV_PY" - "$WHEEL" "$tmp" <<'EOF'; then
import sys, zipfile
wheel, out = sys.argv[1:]
with zipfile.ZipFile(wheel) as z:
    libs = [n for n in z.namelist() if n.endswith(".so") or ".so." in n]
    if libs != ["quendle.abi3.so"]:
        sys.exit("the wheel must hold exactly one library, quendle.abi3.so, at its top; it holds: %r" % libs)
    z.extract("quendle.abi3.so", out)
EOF
        rm -rf "$tmp"
        die "wheel $name has the wrong contents"
    fi
    if command -v readelf >/dev/null 2>&1; then
        needed="$(readelf -d "$tmp/quendle.abi3.so" | awk '/\(NEEDED\)/ { gsub(/[][]/, "", $NF); print $NF }')"
    else
        needed="$(objdump -p "$tmp/quendle.abi3.so" | awk '$1 == "NEEDED" { print $2 }')"
    fi
    needed="$(tr '\n' ' ' <<<"$needed" | sed 's/ *$//')"
    rm -rf "$tmp"
    if grep -q libpython <<<"$needed"; then
        die "quendle.abi3.so links to libpython (NEEDED: $needed); a stable-ABI module must not"
    fi
    log "wheel ok: dist/$name (quendle.abi3.so needs: ${needed:-nothing})"
}

# install_wheel PYTHON
install_wheel() {
    "$1" -m pip install -q --force-reinstall --no-deps "$WHEEL" </dev/null
}

# check_import PYTHON VENVDIR : run from the repository root (where the tests
# run), `import quendle` must find the module installed in VENVDIR, not
# anything in the source tree.
check_import() {
    local py="$1" dir where
    dir="$(cd "$2" && pwd -P)"
    where="$(cd "$ROOT" && "$py" -c 'import os, quendle; print(os.path.realpath(quendle.__file__))' </dev/null)" || {
        warn "'import quendle' fails with $py"
        return 1
    }
    case "$where" in
    "$dir"/lib/*) ;;
    *)
        warn "'import quendle' from the repository root finds $where, not the module installed in ${dir#"$ROOT"/}; remove it"
        return 1
        ;;
    esac
}
