#!/usr/bin/env bash
# The demo command: bash scripts/demo.sh [ARGS...]
#
# Sets up .venv and builds and installs the wheel as scripts/test.sh does,
# then runs examples/demo.py with the environment's python.
set -euo pipefail

# Debian packages the build and its checks need, and Graphviz to render the
# demo's dependency-graph picture to PNG.
APT_PACKAGES="g++ binutils graphviz"

# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

take_lock
# shellcheck disable=SC2086  # a list of package names
ensure_debian_packages $APT_PACKAGES
setup_main_venv
build_wheel
check_wheel
install_wheel "$VENV_PY" || die "installing the wheel into .venv failed"
check_import "$VENV_PY" "$VENV" || die "the installed module cannot be imported"

log "running examples/demo.py"
exec 9>&-
cd "$ROOT"
exec "$VENV_PY" examples/demo.py "$@"
