#!/usr/bin/env bash
# Builds the package with sanitizers, in a virtual environment and build tree of
# its own (.venv-KIND, build/venv-KIND), and runs the test suite under them:
#   bash scripts/sanitize.sh address [pytest args]   # AddressSanitizer + UndefinedBehaviorSanitizer
#   bash scripts/sanitize.sh thread [pytest args]    # ThreadSanitizer
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded (it must come first in the process), with libstdc++ after it so
# that C++ exceptions thrown across the extension boundary are intercepted.
# The build needs it too: stub generation imports the freshly built modules.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
kind="${1:-address}"
shift || true

case "$kind" in
address)
    flags="-fsanitize=address,undefined -fno-omit-frame-pointer"
    runtime=libasan.so
    # Python keeps much of its memory until exit by design: leak reports would
    # be noise. Every other error ends the run with a non-zero status.
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:exitcode=86:strict_init_order=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    # Reports end the run (halt_on_error) yet honour the suppressions, which a
    # build with -fno-sanitize-recover would not.
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87:suppressions=$root/scripts/ubsan.supp${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    ;;
thread)
    flags="-fsanitize=thread -fno-omit-frame-pointer"
    runtime=libtsan.so
    export TSAN_OPTIONS="halt_on_error=1:exitcode=88:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    ;;
*)
    echo "usage: bash scripts/sanitize.sh address|thread [pytest args]" >&2
    exit 2
    ;;
esac

cxx="${CXX:-g++}"
preload="$(readlink -f "$("$cxx" -print-file-name="$runtime")") $(readlink -f "$("$cxx" -print-file-name=libstdc++.so)")"

export MORVLEN_VENV="$root/.venv-$kind" PIP_REQUIRE_VIRTUALENV=true
export LD_PRELOAD="$preload"
bash "$root/scripts/bootstrap.sh" demo,test \
    -Ccmake.build-type=RelWithDebInfo \
    "-Ccmake.define.CMAKE_CXX_FLAGS=$flags" \
    "-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=$flags"

# Reports go to files as well: pytest captures the output of the test that a
# halting report ends, so the report would otherwise be lost with it.
reports="$root/build/venv-$kind/reports"  # the build tree venv.sh picks for this venv
rm -rf "$reports" && mkdir -p "$reports"
for name in ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
    if [ -n "${!name:-}" ]; then export "$name=${!name}:log_path=$reports/report"; fi
done

cd "$root"
status=0
# The wheel test builds a release wheel in this venv's build tree, which would
# throw the sanitizer build away and check nothing a sanitizer sees.
"$MORVLEN_VENV/bin/python" -m pytest --ignore=tests/test_wheel.py "$@" || status=$?
if compgen -G "$reports/report*" >/dev/null; then
    cat "$reports"/report* >&2
    echo "sanitizer reports above (also in $reports)" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
