#!/usr/bin/env bash
# Runs a Windows test program under Wine, for ctest. Now and then Wine fails
# to start a program at all: it ends at once, with an error and without a
# word from the program, which prints before it tests anything. Only then is
# the program started once more; a test that fails, or a program that says
# anything before it fails, is never run again.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
wine "$@" >"$out" 2>&1 || status=$?
if [ "$status" -ne 0 ] && [ ! -s "$out" ]; then
  echo "(Wine did not start the program, exit $status; starting it once more)"
  status=0
  wine "$@" >"$out" 2>&1 || status=$?
fi
cat "$out"
exit "$status"
