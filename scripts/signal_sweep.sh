#!/usr/bin/env bash
# Sends a signal to real sgsplit-batch runs at every system call, each
# occurrence of each call with each signal, through strace's injection (the
# call itself still runs), and checks every run: the model wholly old or
# wholly rewritten, with its owner, mode, ACLs and extended attributes right
# either way; nothing left in the temporary folder or beside the model;
# exit 128 plus the signal's number (or death by it), or, where the signal
# is ignored or came as the run ended, the undisturbed run's exit 0 with the
# model rewritten; never exit 0 with the model old; no core and no hang.
# Usage: signal_sweep.sh SGSPLIT_BATCH ROUTE... (ROUTE: rename, linked,
# other-owner, attributes; all when none)
# SWEEP_SIGNALS overrides the signals sent (names without SIG, blank
# separated). Runs as root. Prints one line per run that breaks a rule and
# the number of runs per route and signal.
set -euo pipefail

# shellcheck source=scripts/sweep_lib.sh
source "$(dirname "$0")/sweep_lib.sh"
batch=$(realpath "$1")
shift
routes=("$@")
[ ${#routes[@]} -gt 0 ] || routes=(rename linked other-owner attributes)
read -r -a signals <<<"${SWEEP_SIGNALS:-TERM INT HUP QUIT USR1 ALRM PIPE XFSZ}"
work=$(mktemp -d /var/tmp/sigsweep.XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
ulimit -c 0

# Runs the program once under strace with $1 (a strace -e inject option, or
# nothing), into $scene/out.*; sets $status.
run_once() {
  local -a strace_args=(-f -qq -o "$scene/trace")
  [ -n "$1" ] && strace_args+=(-e "trace=${1%%:*}" -e "inject=$1")
  [ -n "$run_as" ] && strace_args+=(-u "$run_as")
  status=0
  # The shell's own word on a run killed by a signal goes nowhere.
  { (cd "$scene" && TMPDIR=$tmp timeout -s KILL 20 strace "${strace_args[@]}" "$batch" "$model") \
    >"$scene/out.txt" 2>"$scene/err.txt"; } 2>/dev/null || status=$?
}

broken=0
report() {
  echo "BROKEN [$route] $*"
  broken=$((broken + 1))
}

for route in "${routes[@]}"; do
  scene=$work/$route
  set_up_scene "$route"
  before_meta=$(metadata)
  run_once ""
  [ "$status" -eq 0 ] || { report "undisturbed: exit $status: $(cat "$scene/err.txt")"; continue; }
  cp "$model" "$work/$route.expected"
  after_meta=$(metadata)
  # Occurrence numbers, counted per call from the start of the process, as
  # strace's injection counts them; the loader's calls before the program's
  # own are left out.
  mapfile -t plan < <(awk '{ $1 = "" } { sub(/^ /, ""); n = $0; sub(/\(.*/, "", n); if (n !~ /^[a-z_0-9]+$/) next; count[n]++ }
      /fcntl\(0, F_GETFD\)/ { started = 1 } started { print n ":" count[n] }' "$scene/trace")
  echo "[$route] undisturbed: exit 0, ${#plan[@]} calls"
  for signal in "${signals[@]}"; do
    number=$(kill -l "$signal")
    runs=0
    declare -A outcomes=()
    for step in "${plan[@]}"; do
      call=${step%%:*}
      when=${step##*:}
      set_up_scene "$route"
      run_once "$call:signal=SIG$signal:when=$when"
      runs=$((runs + 1))
      # A signal still held back when the program ended never shows.
      seen=
      grep -q -- "--- SIG$signal " "$scene/trace" || seen=", never delivered"
      err=$(cat "$scene/err.txt")
      what="SIG$signal at $call#$when: exit $status${err:+: $err}"
      new=
      if cmp -s "$model" "$work/$route.expected"; then
        new=1
        [ "$(metadata)" = "$after_meta" ] || report "$what: rewritten, but metadata: $(metadata | tr '\n' ' ')"
      elif model_text | cmp -s - "$model"; then
        [ "$(metadata)" = "$before_meta" ] || report "$what: old, but metadata: $(metadata | tr '\n' ' ')"
      else
        report "$what: the model is neither old nor rewritten ($(metadata | head -1))"
      fi
      case $status in
        0) [ -n "$new" ] || report "$what: exit 0 with the model old" ;;
        "$((128 + number))") ;;
        137) report "$what: hang" ;;
        *) report "$what: unexpected exit" ;;
      esac
      if [ "$route" = linked ] && ! cmp -s "$model" "$scene/m/other.obj"; then
        report "$what: the other name holds other content"
      fi
      while read -r left; do
        case $left in
          model.obj | other.obj) continue ;;
        esac
        [[ $err == *"$left"* ]] || report "$what: left unnamed: $left"
      done < <(contents)
      if compgen -G "$scene/core*" >/dev/null; then report "$what: core dumped"; fi
      state=old
      [ -z "$new" ] || state=rewritten
      outcome="exit $status, model $state$seen"
      outcomes[$outcome]=$((${outcomes[$outcome]:-0} + 1))
    done
    print_tally "[$route] SIG$signal"
    unset outcomes
  done
done
echo "broken: $broken"
[ "$broken" -eq 0 ]
