#!/usr/bin/env bash
# Sends a signal to the desktop program, on a headless X server, at every
# system call that its pass makes once the model is chosen (from the model's
# opening to the end), through strace's injection, and checks every run as
# signal_sweep.sh does: the model wholly old or wholly rewritten, nothing
# left in the temporary folder or beside the model, exit 128 plus the
# signal's number (or 0 with the model rewritten, where the signal came as
# the program ended), no message, no hang.
# Usage: signal_sweep_desktop.sh SGSPLIT ROUTE... (ROUTE: rename, linked;
# all when none). SWEEP_SIGNALS overrides the signals (TERM when unset).
# Prints one line per run that breaks a rule and the number of runs.
set -euo pipefail
sgsplit=$(realpath "$1")
shift
routes=("$@")
[ ${#routes[@]} -gt 0 ] || routes=(rename linked)
read -r -a signals <<<"${SWEEP_SIGNALS:-TERM}"
title="Choose OBJ file to edit"
work=$(mktemp -d /var/tmp/sigsweepd.XXXXXX)
chmod 755 "$work"
cleanup() {
  kill "${xvfb_pid:-}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ulimit -c 0
export NO_AT_BRIDGE=1 GTK_USE_PORTAL=0 HOME=$work GSETTINGS_BACKEND=memory
unset WAYLAND_DISPLAY
# shellcheck source=tests/shell_lib.sh
source "$(dirname "$0")/../tests/shell_lib.sh"
# shellcheck source=scripts/sweep_lib.sh
source "$(dirname "$0")/sweep_lib.sh"
start_display

# Runs the desktop program under strace with options "$@", tracing into
# $work/dtrace, picks the model, answers its message if one comes; sets
# $status and $shown.
run_desktop() {
  { TMPDIR=$work/t timeout -s KILL 60 strace -f -qq -o "$work/dtrace" "$@" "$sgsplit" 2>"$work/derr" & } 2>/dev/null
  local pid=$! window
  # strace counts each thread's calls apart, and the toolkit's threads may
  # reach the occurrence first: the signal may then end the program before
  # its dialog shows.
  early=no
  shown=no
  window=
  for _ in $(seq 150); do
    kill -0 "$pid" 2>/dev/null || break
    window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) || true
    [ -z "$window" ] || break
    sleep 0.2
  done
  if [ -z "$window" ]; then
    early=yes
    kill "$pid" 2>/dev/null || true
    status=0
    wait "$pid" 2>/dev/null || status=$?
    return
  fi
  pick_model_and_answer "$pid"
  status=0
  wait "$pid" 2>/dev/null || status=$?
}

broken=0
report() {
  echo "BROKEN [$route] $*"
  broken=$((broken + 1))
}

for route in "${routes[@]}"; do
  set_up_desktop "$route"
  run_desktop
  [ "$status" -eq 0 ] || { report "undisturbed: exit $status"; continue; }
  cp "$work/m/model.obj" "$work/expected"
  # The calls of the thread that makes the temporary file, from its first
  # look at the model on, as "call:occurrence" counted among that thread's
  # calls, as strace's injection counts them. (The dialog's own threads
  # look at the model too.)
  mapfile -t plan < <(awk 'FNR == NR { if (!pass && /obj[A-Za-z0-9]+\.tmp", O_RDONLY\|O_CREAT/) pass = $1; next }
      { tid = $1; $1 = ""; sub(/^ /, ""); n = $0; sub(/\(.*/, "", n)
      if (n !~ /^[a-z_0-9]+$/) next; count[tid, n]++
      if (tid == pass && /model\.obj/) started = 1
      if (started && tid == pass) print n ":" count[tid, n] }' "$work/dtrace" "$work/dtrace")
  echo "[$route] undisturbed: exit 0, ${#plan[@]} calls in the pass"
  for signal in "${signals[@]}"; do
    number=$(kill -l "$signal")
    runs=0
    declare -A outcomes=()
    for step in "${plan[@]}"; do
      call=${step%%:*}
      when=${step##*:}
      set_up_desktop "$route"
      run_desktop -e "trace=$call" -e "inject=$call:signal=SIG$signal:when=$when"
      runs=$((runs + 1))
      what="SIG$signal at $call#$when: exit $status"
      [ "$early" = no ] || what+=" (before the dialog)"
      state=old
      if cmp -s "$work/m/model.obj" "$work/expected"; then
        state=rewritten
      elif ! model_text | cmp -s - "$work/m/model.obj"; then
        report "$what: the model is neither old nor rewritten"
      fi
      case $status in
        0) [ "$state" = rewritten ] || report "$what: exit 0 with the model old" ;;
        "$((128 + number))") ;;
        137) report "$what: hang" ;;
        *) report "$what: unexpected exit: $(grep '^sgsplit' "$work/derr" || true)" ;;
      esac
      [ "$shown" = no ] || report "$what: a message was shown: $(grep '^sgsplit' "$work/derr" || true)"
      if [ "$route" = linked ] && ! cmp -s "$work/m/model.obj" "$work/m/other.obj"; then
        report "$what: the other name holds other content"
      fi
      left=$(find "$work/t" "$work/m" -mindepth 1 ! -name model.obj ! -name other.obj -printf '%f ')
      [ -z "$left" ] || report "$what: left: $left"
      outcome="exit $status, model $state"
      [ "$early" = no ] || outcome+=", before the dialog"
      outcomes[$outcome]=$((${outcomes[$outcome]:-0} + 1))
    done
    print_tally "[$route] SIG$signal"
    unset outcomes
  done
done
echo "broken: $broken"
[ "$broken" -eq 0 ]
