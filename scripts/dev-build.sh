#!/usr/bin/env bash
# Builds the native modules with CMake alone and puts them next to their
# sources, so the tests can run from the source tree. Each module is moved
# into place (not copied over), so running interpreters keep their mapping.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${VEXA_DEV_PYTHON:-$PWD/.venv/bin/python}"  # absolute: CMake does not resolve a relative one
build="${VEXA_DEV_BUILD:-build/dev}"
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build"
place() {  # place SO_FILE DESTINATION_DIR
    local name
    name="$(basename "$1")"
    cp "$1" "$2/.$name.tmp"
    mv -f "$2/.$name.tmp" "$2/$name"
}
for so in "$build"/_code*.so "$build"/_sync_jobs/_jobs*.so "$build"/_sync_web/_web*.so; do place "$so" src/vexa/client/_sync; done
for so in "$build"/_jobs*.so "$build"/_web*.so; do place "$so" src/vexa/client/_async; done
