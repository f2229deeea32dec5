#!/usr/bin/env bash
# The whole unit suite built with AddressSanitizer and UndefinedBehaviorSanitizer;
# any report ends the test that made it. The huge-file tests run natively in
# their own stage: under the sanitizers they would take too long.
set -euo pipefail
cmake --preset asan
cmake --build --preset asan
ctest --preset asan -LE large
