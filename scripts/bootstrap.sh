#!/usr/bin/env bash
# Makes the project-local virtual environment (.venv, Python 3.12) and builds and
# installs the package into it. Sourced by demo.sh and test.sh; usable on its own:
#   bash scripts/bootstrap.sh [extra,...] [pip install option...]
# Rebuilds are incremental: CMake keeps its build tree under build/ (another one
# with MORVLEN_BUILD_DIR, for builds with other flags, see sanitize.sh).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${MORVLEN_VENV:-$root/.venv}"
extras="${1:-demo,test}"
build_dir="${MORVLEN_BUILD_DIR:-$root/build/venv}"

# Build-time tools, pinned; installed into the venv so the build needs no isolation.
build_reqs=(scikit-build-core==1.1.2 nanobind==3.1.0 cmake==4.4.5 ninja==1.13.2)

find_python312() {
    local candidates=(python3.12)
    if command -v pyenv >/dev/null 2>&1; then
        local proot
        proot="$(pyenv root)"
        candidates+=("$proot"/versions/3.12*/bin/python3.12)
    fi
    candidates+=(/usr/local/bin/python3.12 /usr/bin/python3.12)
    local c
    for c in "${candidates[@]}"; do
        # A pyenv shim exists even when 3.12 is not selected: run it to be sure.
        if "$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
            "$c" -c 'import sys; print(sys.executable)'
            return 0
        fi
    done
    echo "error: Python 3.12 was not found (looked for python3.12 on PATH and under pyenv)" >&2
    return 1
}

if [ ! -x "$venv/bin/python" ]; then
    py="$(find_python312)"
    echo "creating $venv with $py" >&2
    "$py" -m venv "$venv"
fi

stamp="$venv/.build-reqs"
if [ "$(cat "$stamp" 2>/dev/null)" != "${build_reqs[*]}" ]; then
    "$venv/bin/python" -m pip install -q -c "$root/constraints.txt" "${build_reqs[@]}" >&2
    echo "${build_reqs[*]}" > "$stamp"
fi

echo "building and installing morvlen[$extras]" >&2
"$venv/bin/python" -m pip install -q --no-build-isolation \
    -Cbuild-dir="$build_dir" -c "$root/constraints.txt" "${@:2}" "$root[$extras]" >&2
