#!/usr/bin/env bash
# The test command: bash scripts/test.sh [PYTEST ARGS...]
#
# Installs the Debian packages (as root) and .venv with nox, then runs every
# default session of noxfile.py: the two stable-ABI wheels (cp310-abi3 and
# cp312-abi3), the suite under each CPython >= 3.10 on the machine (and against
# the cp312-abi3 wheel under each >= 3.12), the C++ tests, the leak hunt, the
# sanitizer run, the allocation-failure sweeps, the sdist check and the format
# check. The arguments narrow every session (`-k scenario`, a test file). To
# run some sessions only: .venv/bin/nox -s asan faults -- -k scenario
set -euo pipefail
# shellcheck source=scripts/bootstrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"

# The compiler and binutils for the builds and their checks; the headers of
# the machine's python3; the debug interpreter with Debian's pytest and
# hypothesis for the leak hunt; GoogleTest for the C++ tests.
debian_packages g++ binutils python3-dev python3-venv python3-dbg python3-pytest python3-hypothesis libgtest-dev
nox_venv
exec "$ROOT/.venv/bin/python" -m nox -f "$ROOT/noxfile.py" -- "$@"
