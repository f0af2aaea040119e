#!/usr/bin/env bash
# Builds and installs vexa into .venv, then runs the demo (vexa/demo.py): it
# starts the local service in-process, walks through the clients and runs the
# web app of examples/hello_web through the service.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_venv.sh"

# Run from an empty folder so that the installed package is imported, not the
# source tree.
demo_dir="$(mktemp -d)"
trap 'rm -rf "$demo_dir"' EXIT
cd "$demo_dir"
"$VEXA_PYTHON_BIN" -m vexa.demo --app "$VEXA_ROOT/examples/hello_web" "$@"
