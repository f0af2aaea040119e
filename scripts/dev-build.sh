#!/usr/bin/env bash
# Builds the native modules with CMake alone and puts them next to their
# sources, so the tests can run from the source tree. Each module is moved
# into place (not copied over), so running interpreters keep their mapping.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${VEXA_DEV_PYTHON:-.venv/bin/python}"
build="${VEXA_DEV_BUILD:-build/dev}"
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build"
for module in "$build"/_code*.so:vexa/client/_sync "$build"/_jobs*.so:vexa/client/_async "$build"/_web*.so:vexa/client/_async; do
    so="${module%%:*}" destination="${module##*:}"
    [ -f "$so" ] || continue
    cp "$so" "$destination/.$(basename "$so").tmp"
    mv -f "$destination/.$(basename "$so").tmp" "$destination/$(basename "$so")"
done
