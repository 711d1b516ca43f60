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

# debian_packages WHY PKG... : install the missing ones (as root), or say how to.
# As root it first prints what apt is about to do and why: the packages asked
# for (WHY) and each one apt would add or upgrade for them. Recommended
# packages are left out, and installed packages are upgraded only where a new
# one needs a newer version.
debian_packages() {
    local why=$1
    shift
    command -v dpkg-query >/dev/null 2>&1 || {
        printf 'warning: not a Debian system; assuming these are present: %s\n' "$*" >&2
        return 0
    }
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' ok installed$' || missing+=("$p")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    [ "$(id -u)" -eq 0 ] || die "missing Debian packages ($why); install them as root with: apt-get install -y ${missing[*]}"
    local apt=(apt-get -q -o DPkg::Lock::Timeout=300)
    printf '==> Debian packages missing: %s\n    needed for: %s\n' "${missing[*]}" "$why"
    "${apt[@]}" update </dev/null >/dev/null || die "apt-get update failed"
    local plan
    plan=$("${apt[@]}" install -s -y --no-install-recommends "${missing[@]}" </dev/null) ||
        die "apt-get cannot install ${missing[*]}: $plan"
    # "Inst NAME [OLD] (NEW ...)": an upgrade when an old version is shown.
    printf '%s\n' "$plan" | awk -v asked=" ${missing[*]} " '
        /^Inst / {
            name = $2; upgrade = ($3 ~ /^\[/)
            version = upgrade ? $4 : $3; sub(/^\(/, "", version)
            if (upgrade) { old = $3; gsub(/[][]/, "", old) }
            why = index(asked, " " name " ") ? "asked for" : (upgrade ? "a package being installed needs this version" : "needed by a package being installed")
            printf "    %-8s %s %s%s  (%s)\n", upgrade ? "upgrade" : "install", name, upgrade ? old " -> " : "", version, why
        }'
    "${apt[@]}" install -y --no-install-recommends "${missing[@]}" </dev/null ||
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
