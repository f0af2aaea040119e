#!/usr/bin/env bash
# Builds and installs vexa into .venv, then runs the whole test suite against
# the installed package. Extra arguments go to pytest, e.g.
#   bash scripts/test.sh -k code -x
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_venv.sh"

# pytest runs from tests/ so that the source tree's vexa/ (which may hold
# stale or no compiled modules) is not on sys.path: the tests exercise the
# package that was just installed.
cd "$VEXA_ROOT/tests"
"$VEXA_PYTHON_BIN" -c 'import vexa; print("Testing", vexa.__file__.rsplit("/", 1)[0])'

status=0
"$VEXA_PYTHON_BIN" -m pytest -q "$@" || status=$?
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests" >&2
    exit 1
fi
exit "$status"
