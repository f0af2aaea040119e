#!/usr/bin/env bash
# Installs Debian's headless-capable chromium and its chromedriver for the
# dashboard's browser tests, when they are missing. Idempotent: nothing is
# fetched when both are present. Needs root (CI runs as root).
set -euo pipefail

if command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1; then
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends chromium chromium-driver >/dev/null
command -v chromium >/dev/null
command -v chromedriver >/dev/null
