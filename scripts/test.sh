#!/usr/bin/env bash
# Builds and runs every test: each stage in scripts/test.d, in order. A stage
# that fails does not stop the later ones; the exit code tells if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
passed=0
failed=0
failures=()
for stage in scripts/test.d/*.sh; do
  name=$(basename "$stage" .sh)
  echo "=== stage $name"
  start=$SECONDS
  if bash "$stage"; then
    passed=$((passed + 1))
    echo "=== stage $name passed ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== stage $name FAILED ($((SECONDS - start)) s)"
  fi
done
[ ${#failures[@]} -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
