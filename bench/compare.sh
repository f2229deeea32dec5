#!/usr/bin/env bash
# Measures sgsplit-batch against the floor program (the least any program
# can do under the same file contract: 4096-byte reads and one write per
# output line), a mawk script and a Python script, in one run:
#
#   1. every implementation's output is checked byte for byte against
#      sgsplit-batch's, on the timing model and on a small CR LF model;
#   2. wall time, in ROUNDS interleaved rounds (the order turns each round),
#      median reported, with the median user-space time and the peak memory
#      (maximum resident set) by /usr/bin/time;
#   3. user-space instructions per input byte by callgrind, of the whole
#      process: all four on the first size of -c (sgsplit-batch alone with
#      -q), then sgsplit-batch on the last size and on the first model
#      repeated to the last size, which tells whether the cost is linear.
#
# Every run gets a fresh copy of the model, since the programs rewrite it in
# place. Only a difference in output fails the script; the goals are
# reported, not enforced.
#
#   bench/compare.sh [-s SIZE_MB] [-r ROUNDS] [-c "MB MB..."|none] [-q] [-n]
#                    [-x PROGRAM]
#
#   -s  timing model size in MB of 10^6 bytes (120)
#   -r  timing rounds (5); 0 checks the outputs only
#   -c  first and last model size to count instructions on ("12 120"), or none
#   -q  count instructions of sgsplit-batch only
#   -n  do not build; use what is in build/bench
#   -x  another build of sgsplit-batch, checked and timed beside the others
#       as "other" (not counted by callgrind), to weigh a change against
#       the current build in the same rounds
set -euo pipefail

size_mb=120
rounds=5
callgrind_sizes="12 120"
count_others=1
build=1
other=
while getopts "s:r:c:qnx:" option; do
  case $option in
    s) size_mb=$OPTARG ;;
    r) rounds=$OPTARG ;;
    c) callgrind_sizes=$OPTARG ;;
    q) count_others=0 ;;
    n) build=0 ;;
    x) other=$(realpath "$OPTARG") ;;
    *) exit 64 ;;
  esac
done
cd "$(dirname "$0")/.."
[ "$callgrind_sizes" = none ] && callgrind_sizes=""

if [ "$build" = 1 ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench -j2 >/dev/null
fi
bin=$PWD/build/bench
sgsplit=$bin/sgsplit-batch
floor=$bin/bench/floor
make_model=$bin/bench/make_model
awk_script=$PWD/bench/sgsplit.awk
py_script=$PWD/bench/sgsplit.py
for tool in "$sgsplit" "$floor" "$make_model" ${other:+"$other"}; do
  [ -x "$tool" ] || { echo "compare.sh: $tool is missing" >&2; exit 1; }
done
command -v mawk >/dev/null || { echo "compare.sh: mawk is missing" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "compare.sh: /usr/bin/time is missing (package time)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/sgsplit-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The interpreter itself, not a wrapper script that may stand in for it,
# so that callgrind and /usr/bin/time see the process that does the work.
python=$(python3 -c 'import sys; print(sys.executable)')

calc() { awk "BEGIN { print $1 }"; }
holds() { if [ "$(calc "($1) ? 1 : 0")" = 1 ]; then echo holds; else echo "does NOT hold"; fi; }

# Runs implementation $1 on the file $2, rewriting it in place as all of
# them do: awk has no in-place mode, so its output goes to a temporary file
# that is then copied over, as the others do inside. With $3, the program's
# own peak memory and user time are written there by /usr/bin/time.
run() {
  local time=()
  [ -n "${3:-}" ] && time=(/usr/bin/time -f "%M %U" -o "$3")
  case $1 in
    sgsplit) "${time[@]}" "$sgsplit" "$2" ;;
    other) "${time[@]}" "$other" "$2" ;;
    floor) "${time[@]}" "$floor" "$2" ;;
    mawk) "${time[@]}" mawk -f "$awk_script" "$2" >"$work/awk.tmp" && cp "$work/awk.tmp" "$2" &&
      rm "$work/awk.tmp" ;;
    python) "${time[@]}" "$python" "$py_script" "$2" ;;
  esac
}

implementations=(sgsplit floor mawk python ${other:+other})

model() {  # model MB [crlf]: the path of a generated model, made once
  local file=$work/model-$1${2:+-$2}.obj
  [ -f "$file" ] || "$make_model" $(($1 * 1000000)) 1 "$file" ${2:-}
  echo "$file"
}

check_identical() {  # check_identical MODEL
  local reference=$work/out-sgsplit
  for impl in "${implementations[@]}"; do
    cp "$1" "$work/out-$impl"
    run "$impl" "$work/out-$impl"
  done
  for impl in "${implementations[@]}"; do
    if ! cmp -s "$reference" "$work/out-$impl"; then
      echo "DIFFERENT: $impl's output of $(basename "$1") is not sgsplit-batch's" >&2
      exit 1
    fi
  done
  echo "identical output, all ${#implementations[@]}, on $(basename "$1") ($(stat -c %s "$1") bytes)"
  rm -f "$work"/out-*
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

main_model=$(model "$size_mb")
model_bytes=$(stat -c %s "$main_model")
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
check_identical "$(model 1 crlf)"
check_identical "$main_model"

declare -A peak
if [ "$rounds" -gt 0 ]; then
  for ((round = 0; round < rounds; round++)); do
    for ((k = 0; k < ${#implementations[@]}; k++)); do
      impl=${implementations[$(((k + round) % ${#implementations[@]}))]}
      cp "$main_model" "$work/timed.obj"
      # What the run before left to be written out must not land in this
      # run's time: mawk and Python leave their output to the system.
      sync
      start=$(date +%s%N)
      run "$impl" "$work/timed.obj" "$work/rss.txt"
      end=$(date +%s%N)
      read -r rss user < <(tail -n 1 "$work/rss.txt")
      calc "($end - $start) / 1e9" >>"$work/wall-$impl"
      echo "$user" >>"$work/user-$impl"
      [ "${peak[$impl]:-0}" -ge "$rss" ] || peak[$impl]=$rss
    done
  done
  floor_wall=$(median <"$work/wall-floor")
  echo
  echo "wall time on $size_mb MB ($model_bytes bytes), median of $rounds interleaved rounds:"
  printf "  %-8s %9s %10s %9s %12s\n" "" "wall s" "x floor" "user s" "peak RSS KB"
  for impl in "${implementations[@]}"; do
    wall=$(median <"$work/wall-$impl")
    printf "  %-8s %9.3f %10.3f %9.2f %12d\n" "$impl" "$wall" "$(calc "$wall / $floor_wall")" \
      "$(median <"$work/user-$impl")" "${peak[$impl]}"
  done
  ratio=$(calc "$(median <"$work/wall-sgsplit") / $floor_wall")
  echo "  goal wall <= 1.05 x floor: $(holds "$ratio <= 1.05")"
  echo "  goal peak RSS <= 8 MB: $(holds "${peak[sgsplit]} <= 8192")"
fi

count() {  # count IMPL MODEL: user-space instructions of one run
  cp "$2" "$work/counted.obj"
  local out=$work/callgrind.out
  case $1 in
    sgsplit) valgrind -q --tool=callgrind --callgrind-out-file="$out" "$sgsplit" "$work/counted.obj" ;;
    floor) valgrind -q --tool=callgrind --callgrind-out-file="$out" "$floor" "$work/counted.obj" ;;
    mawk) valgrind -q --tool=callgrind --callgrind-out-file="$out" mawk -f "$awk_script" \
      "$work/counted.obj" >"$work/counted.out" ;;
    python) valgrind -q --tool=callgrind --callgrind-out-file="$out" "$python" "$py_script" \
      "$work/counted.obj" ;;
  esac 2>/dev/null
  [ "$1" = mawk ] && mv "$work/counted.out" "$work/counted.obj"
  # The output must be what sgsplit-batch writes, under valgrind too.
  if [ "$1" = sgsplit ]; then
    cp "$work/counted.obj" "$work/counted-reference"
  elif ! cmp -s "$work/counted.obj" "$work/counted-reference"; then
    echo "DIFFERENT: $1's output under callgrind" >&2
    exit 1
  fi
  awk '/^(summary|totals):/ { print $2; exit }' "$out"
}

if [ -n "$callgrind_sizes" ]; then
  echo
  echo "user-space instructions per input byte (callgrind, whole process):"
  printf "  %-8s %-22s %15s %9s %9s\n" "" "model" "instructions" "per byte" "per line"
  sizes=($callgrind_sizes)
  measure() {  # measure IMPL MODEL LABEL: prints a row, sets $value to the per-byte figure
    local bytes lines instructions
    bytes=$(stat -c %s "$2")
    lines=$(wc -l <"$2")
    instructions=$(count "$1" "$2")
    value=$(calc "$instructions / $bytes")
    printf "  %-8s %-22s %15d %9.2f %9.1f\n" "$1" "$3" "$instructions" "$value" \
      "$(calc "$instructions / $lines")"
  }
  impls=(sgsplit)
  [ "$count_others" = 1 ] && impls=(sgsplit floor mawk python)
  for impl in "${impls[@]}"; do
    measure "$impl" "$(model "${sizes[0]}")" "${sizes[0]} MB"
    [ "$impl" = sgsplit ] && first_per_byte=$value
  done
  if [ "${#sizes[@]}" -ge 2 ]; then
    last=${sizes[-1]}
    measure sgsplit "$(model "$last")" "$last MB"
    # A larger generated model has larger vertex indices, so longer face
    # lines and fewer lines per byte: its figure per byte differs for the
    # data's sake. Linearity is judged on the same lines repeated: the first
    # model, written out end to end as many times as makes the last size.
    times=$((last / sizes[0]))
    repeated=$work/model-${sizes[0]}x$times.obj
    for ((i = 0; i < times; i++)); do cat "$(model "${sizes[0]}")"; done >"$repeated"
    measure sgsplit "$repeated" "${sizes[0]} MB x $times"
    spread=$(calc "($value - $first_per_byte) / $first_per_byte * 100")
    printf "  per byte, %s MB against the same lines x %d: %+.2f %%; goal within 5 %%: %s\n" \
      "${sizes[0]}" "$times" "$spread" "$(holds "$spread <= 5 && $spread >= -5")"
  fi
fi
