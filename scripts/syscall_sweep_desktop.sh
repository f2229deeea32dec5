#!/usr/bin/env bash
# Fails, through strace's fault injection, system calls that only putting
# the result in place makes (GTK makes none of them), in the desktop program
# on a headless X server and in sgsplit-batch alike, and checks that the
# desktop program shows a message exactly when sgsplit-batch prints one,
# with the same exit code and the same reason.
# Usage: syscall_sweep_desktop.sh SGSPLIT SGSPLIT_BATCH
set -euo pipefail
sgsplit=$(realpath "$1")
batch=$(realpath "$2")
title="Choose OBJ file to edit"
work=$(mktemp -d /var/tmp/sweepd.XXXXXX)
chmod 755 "$work"
cleanup() {
  kill "${xvfb_pid:-}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export NO_AT_BRIDGE=1 GTK_USE_PORTAL=0 HOME=$work GSETTINGS_BACKEND=memory
unset WAYLAND_DISPLAY
# shellcheck source=tests/shell_lib.sh
source "$(dirname "$0")/../tests/shell_lib.sh"
# shellcheck source=scripts/sweep_lib.sh
source "$(dirname "$0")/sweep_lib.sh"
start_display

# The program's line on standard error (not the toolkit's warnings) with the
# program's name and the random parts of names taken out.
normalized() { grep -E '^sgsplit(-batch)?: ' "$1" | sed -e 's/^sgsplit-batch: /PROGRAM: /' -e 's/^sgsplit: /PROGRAM: /' \
  -e 's/obj[A-Za-z0-9]\{10\}\.tmp/objTEMP.tmp/g' -e 's/\.sgsplit-[A-Za-z0-9]\{10\}/.sgsplit-NAME/g'; }

# Runs the desktop program under strace with option $1 (-e inject=… or
# -e trace=…), tracing into $work/dtrace, picks the model, answers its
# message if one comes; sets $status and $shown.
run_desktop() {
  TMPDIR=$work/t strace -f -y -qq -o "$work/dtrace" "$@" "$sgsplit" 2>"$work/derr" &
  local pid=$! window
  window=$(timeout 30 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1) ||
    { kill "$pid"; echo "FAIL: no dialog"; exit 1; }
  pick_model_and_answer "$pid"
  status=0
  wait "$pid" || status=$?
}

# The number of the call $1 in trace $3 (strace -f) whose line first matches
# $2, counted among that thread's calls of $1, as strace's injection counts.
occurrence() {
  awk -v call="$1(" -v pattern="$2" '{ tid = $1; $1 = ""; sub(/^ /, "") }
    index($0, call) == 1 { n[tid]++; if ($0 ~ pattern) { print n[tid]; exit } }' "$3"
}

runs=0
broken=0
while IFS='|' read -r route call pattern error; do
  set_up_desktop "$route"
  TMPDIR=$work/t strace -f -y -qq -o "$work/btrace" -e "trace=$call" "$batch" "$work/m/model.obj" 2>/dev/null || true
  bwhen=$(occurrence "$call" "$pattern" "$work/btrace")
  set_up_desktop "$route"
  run_desktop -e "trace=$call"
  dwhen=$(occurrence "$call" "$pattern" "$work/dtrace")
  if [ -z "$bwhen" ] || [ -z "$dwhen" ]; then
    echo "NOTE [$route $call $pattern] not found: batch ${bwhen:-none}, desktop ${dwhen:-none}"
    continue
  fi
  set_up_desktop "$route"
  bstatus=0
  TMPDIR=$work/t strace -f -qq -o /dev/null -e "trace=$call" -e "inject=$call:error=$error:when=$bwhen" \
    "$batch" "$work/m/model.obj" 2>"$work/berr" || bstatus=$?
  set_up_desktop "$route"
  run_desktop -e "trace=$call" -e "inject=$call:error=$error:when=$dwhen"
  runs=$((runs + 1))
  grep INJECTED "$work/dtrace" | grep -qE "^[0-9]+ +${pattern#^}" ||
    echo "NOTE [$route $call $pattern] injected elsewhere: $(grep INJECTED "$work/dtrace")"
  want_message=no
  [ -s "$work/berr" ] && want_message=yes
  verdict=ok
  [ "$status" -eq "$bstatus" ] || verdict="exit $status, sgsplit-batch $bstatus"
  [ "$shown" = "$want_message" ] || verdict="message shown: $shown, sgsplit-batch printed: $want_message"
  [ "$(normalized "$work/derr")" = "$(normalized "$work/berr")" ] ||
    verdict="reasons differ: $(normalized "$work/derr") / $(normalized "$work/berr")"
  [ "$verdict" = ok ] || broken=$((broken + 1))
  echo "[$route $call=$error] exit $status, message $shown: $verdict: $(normalized "$work/derr")"
done <<'EOF'
rename|faccessat2|^faccessat2\([0-9]+<[^>]*/m>, "model.obj"|EACCES
rename|fchown|^fchown\([0-9]+<[^>]*/m/|EPERM
rename|fsync|^fsync\([0-9]+<[^>]*/m/|EIO
rename|linkat|"\.sgsplit-|ENOSPC
rename|renameat2|"\.sgsplit-|EIO
rename|unlinkat|"\.sgsplit-|EIO
rename|readlink|^readlink\("[^"]*/m/model.obj"|EACCES
rename|openat|^openat\([0-9]+<[^>]*/t>, "obj|EDQUOT
rename|write|^write\([0-9]+<[^>]*/t/obj|ENOSPC
linked|fsync|^fsync\([0-9]+<[^>]*/t/obj|EIO
linked|fallocate|^fallocate\([0-9]+<[^>]*/m/model.obj>|ENOSPC
linked|pwrite64|^pwrite64\([0-9]+<[^>]*/m/model.obj>|EIO
linked|fsync|^fsync\([0-9]+<[^>]*/m/model.obj>|EIO
linked|ftruncate|^ftruncate\([0-9]+<[^>]*/m/model.obj>|EIO
EOF
echo "desktop runs: $runs, broken: $broken"
[ "$broken" -eq 0 ]
