#!/usr/bin/env bash
# Plain CMake build of the module into build/dev (for C++ work); use with
#   PYTHONPATH=build/dev python3 -m pytest tests
set -euo pipefail
cd "$(dirname "$0")/.."
py="${PYTHON:-python3}"
exe="$("$py" -c 'import sys; print(sys.executable)')"
dir="${BUILD_DIR:-build/dev}"
cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$exe" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$dir"
