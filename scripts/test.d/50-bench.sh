#!/usr/bin/env bash
# Builds the benchmarks and checks, on a small model, that sgsplit-batch,
# the floor program, the mawk script and the Python script write the same
# bytes. No timing is judged here; the full comparison is run by hand (see
# bench/README.md).
set -euo pipefail
cd "$(dirname "$0")/../.."
bench/compare.sh -s 4 -r 1 -c none
