#!/usr/bin/env bash
# Allocation-failure run: bash scripts/alloc_failures.sh [PYTEST ARGS...]
#
# Builds the module with -DQUENDLE_FAULT_INJECTION=ON into build/faults (plain
# CMake, through scripts/dev-build.sh) for the machine's default python3 (or
# $PYTHON), then runs tests/test_alloc_failures.py against that build: every
# operation is swept with failing native allocations (the replaced operator
# new) and, where the interpreter has _testcapi, failing allocations of the
# interpreter's own allocators.  Extra arguments go to pytest, e.g.
#   bash scripts/alloc_failures.sh -k scenario
#
# Environment:
#   PYTHON=...      interpreter to build for and test with (default python3)
#   BUILD_TYPE=...  CMake build type (default RelWithDebInfo)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd -P)"
py="${PYTHON:-python3}"
dir=build/faults

BUILD_DIR="$dir" PYTHON="$py" bash scripts/dev-build.sh -DQUENDLE_FAULT_INJECTION=ON

# The build must be the one imported, and must carry the injection hooks:
# otherwise every test would just be skipped.
PYTHONPATH="$root/$dir" "$py" - "$root/$dir" <<'PY'
import ctypes, os, sys
import quendle
where = os.path.realpath(quendle.__file__)
if os.path.dirname(where) != os.path.realpath(sys.argv[1]):
    sys.exit(f"imports {where}, not the build in {sys.argv[1]}")
if not hasattr(ctypes.CDLL(quendle.__file__), "quendle_fail_after"):
    sys.exit(f"{where} has no fault injection (was QUENDLE_FAULT_INJECTION=ON?)")
PY

PYTHONPATH="$root/$dir" "$py" -m pytest -p no:cacheprovider -q -rs tests/test_alloc_failures.py "$@"
