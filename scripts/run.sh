#!/usr/bin/env bash
# Builds sgsplit and starts the desktop program.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/sgsplit
