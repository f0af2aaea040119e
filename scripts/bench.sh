#!/usr/bin/env bash
# Builds and installs vexa into .venv (as scripts/test.sh does), adds the
# `bench` extra's Cython when missing, then prints every benchmark in one
# table (bench/all.py). Arguments go to bench/all.py, e.g.
#   bash scripts/bench.sh --quick            # a smoke run, rough numbers
#   bash scripts/bench.sh --instructions     # add callgrind instruction counts
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_venv.sh"

if ! "$VEXA_PYTHON_BIN" -c 'import Cython' 2>/dev/null; then
    cython_requirement="$("$VEXA_PYTHON_BIN" - "$VEXA_ROOT/pyproject.toml" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
print(re.search(r'^bench = \["([^"]+)"\]', text, re.M).group(1))
PY
)"
    _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q "$cython_requirement"
fi
exec "$VEXA_PYTHON_BIN" "$VEXA_ROOT/bench/all.py" "$@"
