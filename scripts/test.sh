#!/usr/bin/env bash
# Runs the test suite: bootstraps the venv (Python 3.12, or MORVLEN_PYTHON=3.13), builds the package, runs pytest.
# Extra arguments go to pytest, e.g.  bash scripts/test.sh -k blackboard
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
bash "$root/scripts/bootstrap.sh" demo,monitor,test,cluster
cd "$root"
exec "$venv/bin/python" -m pytest "$@"
