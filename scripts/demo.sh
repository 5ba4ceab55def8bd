#!/usr/bin/env bash
# Runs the demonstration: bootstraps .venv (Python 3.12), builds the package, then
# runs two behavior trees side by side, each streaming an LLM agent's answer.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/bootstrap.sh" demo
exec "${MORVLEN_VENV:-$root/.venv}/bin/python" -m morvlen.engine.trigger "$@"
