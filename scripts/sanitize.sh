#!/usr/bin/env bash
# Builds the native modules with AddressSanitizer and UBSan and runs the whole
# test suite (fault and fuzz tests included) against them. Fails on any
# sanitizer report, from the test process or any subprocess it starts.
#
#   bash scripts/sanitize.sh [pytest args]            # RelWithDebInfo (-O2 -g)
#   VEXA_SANITIZE_BUILD_TYPE=Debug bash scripts/sanitize.sh   # -O0
#
# The modules are built in build/sanitize-<type> and staged with a copy of the
# Python package in that directory, so neither .venv's installed package nor a
# dev build in the source tree is touched. Only the CMake option
# VEXA_SANITIZE=ON decides what is instrumented.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_venv.sh"
cd "$VEXA_ROOT"

build_type="${VEXA_SANITIZE_BUILD_TYPE:-RelWithDebInfo}"
# One build per interpreter: a CMake cache holds one Python.
build="$VEXA_ROOT/build/sanitize-${build_type,,}-$("$VEXA_PYTHON_BIN" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
stage="$build/stage"
logs="$build/reports"

echo "Building the modules with ASan and UBSan ($build_type) in $build"
PATH="$VEXA_VENV/bin:$PATH" cmake -S . -B "$build" -G Ninja \
    -DPython_EXECUTABLE="$VEXA_PYTHON_BIN" -DVEXA_SANITIZE=ON -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
PATH="$VEXA_VENV/bin:$PATH" cmake --build "$build"

# The Python package, with the instrumented modules in place of any built ones.
rm -rf "$stage"
mkdir -p "$stage"
cp -r src/vexa "$stage/vexa"
find "$stage/vexa" \( -name '*.so' -o -name '*.cpp' -o -name '__pycache__' \) -prune -exec rm -rf {} +
cp "$build"/_code*.so "$build"/_sync_jobs/_jobs*.so "$build"/_sync_web/_web*.so "$stage/vexa/client/_sync/"
cp "$build"/_jobs*.so "$build"/_web*.so "$stage/vexa/client/_async/"

rm -rf "$logs"
mkdir -p "$logs"
runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"

# detect_leaks=0: the interpreter keeps much of what it allocates until exit,
# which LeakSanitizer would report; leaks are the leak tests' job.
# PYTHONMALLOC=malloc: every Python object goes through ASan's allocator.
status=0
(
    cd "$VEXA_ROOT/tests"
    export LD_PRELOAD="$runtimes"
    export PYTHONMALLOC=malloc
    export PYTHONPATH="$stage"
    export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:log_path=$logs/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
    "$VEXA_PYTHON_BIN" -c 'import vexa.client._sync._code as m; print("Testing", m.__file__)'
    # test_build, the wheel checker's linkage test and the glibc floor check the
    # release linkage (static runtime, libc only), which an instrumented build
    # does not have by design.
    # The browser tests run chromium's driver, which cannot start with the
    # preloaded ASan runtime (and runs none of the modules' code).
    "$VEXA_PYTHON_BIN" -m pytest -q -p no:cacheprovider --ignore=test_build.py --ignore=test_dashboard_browser.py \
        --deselect=tests/test_dist.py::test_the_linkage_check_accepts_the_installed_modules \
        --deselect=tests/test_dist.py::test_the_hosted_linux_floor_is_what_the_modules_need "$@"
) || status=$?

reports=("$logs"/*)
if [ -e "${reports[0]}" ]; then
    for report in "${reports[@]}"; do
        echo "=== $report"
        cat "$report"
    done
    echo "error: sanitizer reports above" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "error: the test suite failed under the sanitizers (exit $status)" >&2
    exit "$status"
fi
echo "Sanitizers: no reports"
