#!/usr/bin/env bash
# Runs the test suite: bootstraps .venv (Python 3.12), builds the package, runs pytest.
# Extra arguments go to pytest, e.g.  bash scripts/test.sh -k blackboard
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/bootstrap.sh" demo,monitor,test
cd "$root"
exec "${MORVLEN_VENV:-$root/.venv}/bin/python" -m pytest "$@"
