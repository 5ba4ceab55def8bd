#!/usr/bin/env bash
# Makes a project-local virtual environment and builds and installs the package into
# it. Used by demo.sh and test.sh; usable on its own:
#   bash scripts/bootstrap.sh [extra,...]
# MORVLEN_PYTHON picks the Python (3.12 by default, or 3.13): see venv.sh.
# Rebuilds are incremental: CMake keeps one build tree per venv under build/.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
extras="${1:-demo,test}"

ensure_build_venv

# The build on its own first, so that its progress shows; then the dependencies,
# which find the package installed and only add what its extras need.
echo "building and installing morvlen (build tree: $build_dir)" >&2
pip_build install
echo "installing the dependencies of morvlen[$extras]" >&2
"$venv/bin/python" -m pip install -q -c "$root/constraints.txt" "morvlen[$extras]" >&2
