#!/usr/bin/env bash
# Huge and hostile inputs: a model past 4 GiB, a line over the limit, NUL
# bytes, a model written to meanwhile, read-only models and a full disk. They
# leave nothing behind; the 4 GiB model needs about 13 GB of free disk for
# the time it runs, and is skipped with a message saying so where there is less.
set -euo pipefail
cmake --preset default
cmake --build --preset default
ctest --preset large
