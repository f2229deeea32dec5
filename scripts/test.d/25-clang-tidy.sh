#!/usr/bin/env bash
# clang-tidy with the checked-in .clang-tidy over every source file, the tests
# and fuzz targets included; any warning fails the stage. The Win32 sources are
# left to the cross build, whose -Werror checks them: the native compile
# database has no Windows headers to parse them with.
set -euo pipefail
cmake --preset default >/dev/null
cmake --preset fuzz >/dev/null  # the fuzz targets' compile commands
status=0
check() {
  local build=$1
  shift
  [ $# -gt 0 ] || return 0
  # --quiet leaves only the findings; a finding is an error by WarningsAsErrors.
  # The per-file "N warnings generated" counts are of system headers, unshown.
  local log rc=0
  log=$(mktemp)
  # The native compile database is GCC's: a GCC-only optimisation flag in it
  # is no finding.
  printf '%s\n' "$@" | xargs -P 2 -n 4 clang-tidy -p "$build" --quiet \
    --extra-arg=-Wno-ignored-optimization-argument >"$log" 2>&1 || rc=$?
  grep -v '^[0-9]* warnings\? generated\.$' "$log" || true
  rm -f "$log"
  [ "$rc" -eq 0 ] || status=1
}
mapfile -t sources < <(git ls-files '*.cc' | grep -v -e '^fuzz/' -e 'win32')
mapfile -t fuzz < <(git ls-files 'fuzz/*.cc')
check build/default "${sources[@]}"
check build/fuzz "${fuzz[@]}"
exit $status
