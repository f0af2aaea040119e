#!/usr/bin/env bash
# Builds and installs vexa into .venv, then runs the whole test suite against
# the installed package. Extra arguments go to pytest, e.g.
#   bash scripts/test.sh -k code -x
# With VEXA_NO_EXTENSIONS=1 the tests run against the pure-Python twins of
# the compiled modules (the same suite; tests of what only the compiled
# modules can have are skipped: `native_only` in tests/conftest.py).
# The tests run in VEXA_TEST_WORKERS processes (default 2, one per core of the
# machines this is built on); `-n 0` runs them in this one.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_venv.sh"

# The package lives under src/, which is never on sys.path, so the tests
# exercise the package that was just installed, not the checkout.
cd "$VEXA_ROOT/tests"
"$VEXA_PYTHON_BIN" -c 'import vexa, vexa.client
print("Testing", vexa.__file__.rsplit("/", 1)[0])
print("Client modules:", "compiled (native)" if vexa.client.NATIVE else "pure Python (VEXA_NO_EXTENSIONS or no compiled modules)")'

status=0
"$VEXA_PYTHON_BIN" -m pytest -q -n "${VEXA_TEST_WORKERS:-2}" "$@" || status=$?
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests" >&2
    exit 1
fi
exit "$status"
