#!/usr/bin/env bash
# The test command: bash scripts/test.sh [PYTEST ARGS...]
#
# Installs the Debian packages (as root) and .venv with nox, then runs every
# default session of noxfile.py: the two stable-ABI wheels (cp310-abi3 and
# cp312-abi3), the suite under each CPython 3.10 to 3.15 (and against the
# cp312-abi3 wheel from 3.12 on; 3.14 and 3.15 from a Debian sid chroot made
# as root when the machine has neither), the C++ tests, the leak hunt, the
# sanitizer run, the allocation-failure sweeps, the sdist check, the docs and
# the format check. The arguments narrow every session (`-k scenario`, a test file). To
# run some sessions only: .venv/bin/nox -s asan faults -- -k scenario
set -euo pipefail
# shellcheck source=scripts/bootstrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"

debian_packages "the builds and their checks" g++ binutils python3-dev python3-venv
debian_packages "the leak hunt (the debug interpreter, with Debian's pytest and hypothesis)" \
    python3-dbg python3-pytest python3-hypothesis
debian_packages "the C++ unit tests" libgtest-dev
# As root: debootstrap makes the Debian sid chroot that gives the CPython 3.14
# and 3.15 sessions their interpreters when the machine has none.
if [ "$(id -u)" -eq 0 ]; then
    debian_packages "CPython 3.14 and 3.15 from a Debian sid chroot" debootstrap
fi
nox_venv
exec "$ROOT/.venv/bin/python" -m nox -f "$ROOT/noxfile.py" -- "$@"
