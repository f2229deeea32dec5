#!/usr/bin/env bash
# The native build and its whole test suite, the desktop program's included.
set -euo pipefail
cmake --preset default
cmake --build --preset default
ctest --preset default
