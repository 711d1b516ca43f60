#!/usr/bin/env bash
# The test command: bash scripts/test.sh [PYTEST ARGS...]
#
# Installs the Debian packages (as root) and .venv with nox, then runs every
# default session of noxfile.py: the two stable-ABI wheels (cp310-abi3 and
# cp312-abi3), the suite under each CPython 3.10 to 3.15 (and against the
# cp312-abi3 wheel from 3.12 on; 3.14 and 3.15 from a Debian sid chroot made
# as root when the machine has neither), the free-threaded build (cp313t)
# and its suite with the GIL off (a CPython 3.13t built from Debian's sources
# into build/ as root when the machine has none), the C++ tests, the leak hunt, the
# sanitizer run, the allocation-failure sweeps, the sdist check, the docs and
# the format check; at the end, each session's time and the whole command's.
# The sid chroot and the CPython 3.13t are made in the background meanwhile.
# The arguments narrow every session (`-k scenario`, a test file). To
# run some sessions only: .venv/bin/nox -s asan faults -- -k scenario
set -euo pipefail
# shellcheck source=scripts/bootstrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"

debian_packages "the builds and their checks" g++ binutils python3-dev python3-venv
debian_packages "objects shared between the builds of the same sources (build/ccache)" ccache
debian_packages "the leak hunt (the debug interpreter, with Debian's pytest, pytest-xdist and hypothesis)" \
    python3-dbg python3-pytest python3-pytest-xdist python3-hypothesis
debian_packages "the C++ unit tests" libgtest-dev
# As root: debootstrap makes the Debian sid chroot that gives the CPython 3.14
# and 3.15 sessions their interpreters when the machine has none.
if [ "$(id -u)" -eq 0 ]; then
    debian_packages "CPython 3.14 and 3.15 from a Debian sid chroot" debootstrap
fi
nox_venv
# Each session's time (noxfile.py appends them here), then the whole command's.
times="$ROOT/build/session-times.txt"
: >"$times"
# What the sessions need from outside and only root can make when the machine
# lacks it, the Debian sid chroot of CPython 3.14 and 3.15 and a free-threaded
# CPython built from Debian's sources, is made in the background at the lowest
# priority, on what the other sessions leave of the cores and the network; a
# session that needs one waits for it (the freethreaded session runs last).
background_log="$ROOT/build/background.log"
# Its own process group (setsid), ended with the command if that is cut short.
QUENDLE_SESSION_TIMES="$times" setsid nice -n 19 "$ROOT/.venv/bin/python" -m nox -f "$ROOT/noxfile.py" \
    -s sid-chroot cpython-3.13t </dev/null >"$background_log" 2>&1 &
background=$!
trap 'kill -TERM -- "-$background" 2>/dev/null || true' EXIT
printf '==> the sid chroot and the free-threaded CPython, where needed, in the background (log: %s)\n' \
    "$background_log"
status=0
QUENDLE_SESSION_TIMES="$times" "$ROOT/.venv/bin/python" -m nox -f "$ROOT/noxfile.py" -- "$@" || status=$?
wait "$background" || printf '==> a background session failed: see %s\n' "$background_log"
trap - EXIT
printf '\n==> time per session, sid-chroot and cpython-3.13t in the background (load average now: %s)\n' \
    "$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null)"
awk '{ printf "    %-22s %3dm%02ds  %s\n", $1, $2 / 60, $2 % 60, $3 }' "$times"
printf '==> the whole command: %dm%02ds (set-up included)\n' $((SECONDS / 60)) $((SECONDS % 60))
exit "$status"
