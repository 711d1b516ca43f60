# shellcheck shell=bash
# Set-up shared by scripts/test.sh and scripts/demo.sh (sourced, not run):
# Debian packages, and .venv (the machine's python3, or $PYTHON) holding nox,
# which then does the rest (noxfile.py).

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
NOX_REQUIREMENT='nox>=2025.5.1'
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

die() {
    printf '\nerror: %s\n' "$*" >&2
    exit 1
}

# debian_packages PKG... : install the missing ones (as root), or say how to.
debian_packages() {
    command -v dpkg-query >/dev/null 2>&1 || {
        printf 'warning: not a Debian system; assuming these are present: %s\n' "$*" >&2
        return 0
    }
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' ok installed$' || missing+=("$p")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    [ "$(id -u)" -eq 0 ] || die "missing Debian packages; install them as root with: apt-get install -y ${missing[*]}"
    printf '==> installing Debian packages: %s\n' "${missing[*]}"
    apt-get -q -o DPkg::Lock::Timeout=300 update </dev/null || die "apt-get update failed"
    apt-get -q -o DPkg::Lock::Timeout=300 install -y "${missing[@]}" </dev/null ||
        die "apt-get install -y ${missing[*]} failed"
}

# nox_venv : .venv with nox in it; one run at a time in this checkout.
nox_venv() {
    mkdir -p "$ROOT/build"
    exec 9>"$ROOT/build/.nox.lock"
    flock -n 9 || { echo "==> waiting for another run in this checkout"; flock 9; }
    if ! "$ROOT/.venv/bin/python" -m nox --version >/dev/null 2>&1; then
        printf '==> creating .venv with nox (%s)\n' "${PYTHON:-python3}"
        rm -rf "$ROOT/.venv"
        "${PYTHON:-python3}" -m venv "$ROOT/.venv" </dev/null || die "${PYTHON:-python3} -m venv failed"
        "$ROOT/.venv/bin/python" -m pip install -q "$NOX_REQUIREMENT" </dev/null || die "pip install $NOX_REQUIREMENT failed"
    fi
}
