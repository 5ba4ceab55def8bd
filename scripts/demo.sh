#!/usr/bin/env bash
# Runs the demonstration: bootstraps the venv (Python 3.12, or MORVLEN_PYTHON=3.13), builds the package, then
# runs two behavior trees side by side, each streaming an LLM agent's answer.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
bash "$root/scripts/bootstrap.sh" demo
exec "$venv/bin/python" -m morvlen.engine.trigger "$@"
