#!/usr/bin/env bash
# Each libFuzzer target for a bounded time (SGSPLIT_FUZZ_SECONDS, 60 by
# default) from a seed corpus made by fuzz/make_corpus.sh. A crash, a
# sanitizer report or a mismatch with the reference fails the stage; the
# input that caused it is left in build/fuzz/run/.
set -euo pipefail
seconds=${SGSPLIT_FUZZ_SECONDS:-60}
cmake --preset fuzz
cmake --build --preset fuzz
run=build/fuzz/run
rm -rf "$run"
mkdir -p "$run"
bash fuzz/make_corpus.sh "$run/seeds"
# The text target writes two small files per input: on a memory file system
# when there is one.
base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
scratch=$(mktemp -d "$base/sgsplit-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
status=0
for target in text_pass file_name; do
  mkdir -p "$run/corpus/$target"
  log=$run/$target.log
  if TMPDIR=$scratch "build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" \
      -print_final_stats=1 -artifact_prefix="$run/$target-" \
      "$run/corpus/$target" "$run/seeds/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: ${runs:-?} inputs in $seconds s, no finding"
  else
    echo "$target: FINDING"
    tail -n 60 "$log"
    status=1
  fi
done
exit $status
