#!/usr/bin/env bash
# Builds and installs vexa into .venv, then runs the demo (vexa/demo.py): it
# starts the local service in-process and walks through the clients.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_venv.sh"

# Run from an empty folder so that the installed package is imported, not the
# source tree.
demo_dir="$(mktemp -d)"
trap 'rm -rf "$demo_dir"' EXIT
cd "$demo_dir"
"$VEXA_PYTHON_BIN" -m vexa.demo "$@"
