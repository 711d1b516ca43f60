#!/usr/bin/env bash
# The demo command: bash scripts/demo.sh [ARGS...]
#
# Builds the wheel as scripts/test.sh does and runs examples/demo.py against
# it (the nox session demo); the arguments go to the demo.
set -euo pipefail
# shellcheck source=scripts/bootstrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"

# What the build needs, and Graphviz to render the dependency-graph picture.
debian_packages "the build" g++ binutils python3-dev python3-venv
debian_packages "the picture of the dependency graph" graphviz
nox_venv
exec "$ROOT/.venv/bin/python" -m nox -f "$ROOT/noxfile.py" -s demo -- "$@"
