#!/usr/bin/env bash
# Runs the demonstration: bootstraps the venv (Python 3.12, or MORVLEN_PYTHON=3.13), builds the package, then
# runs two behavior trees side by side, each streaming an LLM agent's answer.
# With --cluster they run on a ClusterEngine (Ray; installs the 'cluster' extra).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
extras=demo
for arg in "$@"; do
    if [ "$arg" = "--cluster" ]; then extras=demo,cluster; fi
done
bash "$root/scripts/bootstrap.sh" "$extras"
exec "$venv/bin/python" -m morvlen.engine.trigger "$@"
