#!/usr/bin/env bash
# Writes every file generated from the method declarations in api/ (the C++
# class tables and the .pyi stubs), or checks them:
#   bash scripts/generate.sh           write what is stale
#   bash scripts/generate.sh --check   fail if anything is stale (the test suite runs this)
# Formats its output with ruff and clang-format, the test extra's pinned
# tools: from .venv when it exists (scripts/test.sh makes it).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="$root/.venv/bin/python"
[ -x "$python" ] || python=python3
cd "$root"
exec "$python" -m api.generate "$@"
