#!/usr/bin/env bash
# The desktop program as a user meets it: a real GTK dialog on a headless X
# server, driven by xdotool. Usage: desktop_test.sh SGSPLIT SGSPLIT_BATCH
set -euo pipefail
sgsplit=$1
batch=$2
title="Choose OBJ file to edit"

work=$(mktemp -d)
cleanup() {
  kill "${xvfb_pid:-}" "${lost_xvfb_pid:-}" 2>/dev/null || true
  chattr -i "$work/models/locked.obj" 2>/dev/null || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/models" "$work/tmp"
export TMPDIR="$work/tmp" NO_AT_BRIDGE=1 GTK_USE_PORTAL=0 HOME="$work"
unset WAYLAND_DISPLAY

fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source=tests/shell_lib.sh
source "$(dirname "$0")/shell_lib.sh"

model() {
  printf 'mtllib box.mtl\r\nv 0 0 0\nv 1 0 0\n\ng box\nusemtl red\ns 1\nf 1 2 3\ns off\nf 3 2 1\n' >"$1"
}

# Without a display the program ends at once, touching nothing, and says why
# on standard error, the only place it can.
model "$work/models/alone.obj"
cp "$work/models/alone.obj" "$work/alone.expected"
status=0
env -u DISPLAY "$sgsplit" 2>"$work/stderr" || status=$?
[ "$status" -eq 1 ] || fail "no display: exit $status, expected 1"
grep -qx "sgsplit: no file dialog could be shown" "$work/stderr" ||
  fail "no display: standard error $(cat "$work/stderr")"
cmp -s "$work/models/alone.obj" "$work/alone.expected" || fail "no display: model changed"
[ -z "$(ls -A "$work/tmp")" ] || fail "no display: temporary folder not empty"

# A display of our own.
start_display

# Starts the program, waits for its dialog, sends the keys, and sets $status.
# With expect_message=1 the program must then show its error message and wait
# for it: Enter dismisses it. Otherwise no message may appear before it ends.
# With stderr_closed=1 the program starts with its standard error closed;
# with stderr_to=FILE, with it writing to FILE.
drive() {
  if [ "${stderr_closed:-0}" = 1 ]; then
    "$sgsplit" 2>&- &
  else
    "$sgsplit" 2>"${stderr_to:-$work/stderr}" &
  fi
  local pid=$!
  local window
  window=$(timeout 30 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1) ||
    { kill "$pid"; fail "the dialog did not appear"; }
  sleep 0.5
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
  "$@"
  if [ "${expect_message:-0}" = 1 ]; then
    window=$(wait_for_message 150) ||
      { kill "$pid" 2>/dev/null || true; fail "the error message did not appear"; }
    kill -0 "$pid" 2>/dev/null || fail "the program ended before its message was dismissed"
    # All of it on the screen, however long the names in it.
    local width height
    width=$(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    height=$(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: [0-9]*x\([0-9]*\).*/\1/p')
    [ "${width:-0}" -le 1280 ] || fail "the error message is $width pixels wide, the screen 1280"
    [ "${height:-0}" -le 1024 ] ||
      fail "the error message is $height pixels high, the screen 1024: its OK button is off it"
    sleep 0.5
    xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
    xdotool key Return
  fi
  status=0
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    [ "${expect_message:-0}" = 1 ] || [ -z "$(message_window)" ] ||
      { kill "$pid" 2>/dev/null || true; fail "an error message appeared"; }
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && { kill "$pid"; fail "the program did not end"; }
  wait "$pid" || status=$?
}

choose() {
  xdotool key --clearmodifiers ctrl+l
  sleep 0.3
  xdotool type --delay 20 "$1"
  sleep 0.3
  xdotool key Return
}

# Choosing a model rewrites it exactly as the command-line program does.
model "$work/models/box.obj"
cp "$work/models/box.obj" "$work/expected.obj"
"$batch" "$work/expected.obj"
drive choose "$work/models/box.obj"
[ "$status" -eq 0 ] || fail "choose: exit $status: $(cat "$work/stderr")"
cmp "$work/models/box.obj" "$work/expected.obj" || fail "choose: model not rewritten exactly"
[ -z "$(ls -A "$work/tmp")" ] || fail "choose: temporary folder not empty"
echo "ok: a chosen model is rewritten"

# Escape closes the dialog and leaves everything as it was.
model "$work/models/kept.obj"
cp "$work/models/kept.obj" "$work/kept.expected"
drive xdotool key Escape
[ "$status" -eq 0 ] || fail "escape: exit $status: $(cat "$work/stderr")"
cmp -s "$work/models/kept.obj" "$work/kept.expected" || fail "escape: model changed"
[ -z "$(ls -A "$work/tmp")" ] || fail "escape: temporary folder not empty"
echo "ok: escape leaves the model alone"

# Failures show the error message, which Enter dismisses; the exit code and
# the line on standard error stay, and the model is left exactly as it was.
# A "model" that is not a regular file cannot be read; its long name is in
# the message.
pipe=$work/models/pipe$(printf 'W%.0s' $(seq 200)).obj
mkfifo "$pipe"
expect_message=1 drive choose "$pipe"
[ "$status" -eq 1 ] || fail "not a file: exit $status: $(cat "$work/stderr")"
[ -p "$pipe" ] || fail "not a file: the FIFO was replaced"
grep -qx "sgsplit: $pipe: cannot open for reading: .*" "$work/stderr" ||
  fail "not a file: standard error $(cat "$work/stderr")"
[ -z "$(ls -A "$work/tmp")" ] || fail "not a file: temporary folder not empty"
echo "ok: a model that cannot be read is reported"

# A model whose path runs to thousands of bytes (Linux allows 4095; this one
# is longer than the 1023 characters a run takes): the name fills many lines,
# which scroll, so that the reason and the OK button stay on the screen.
# Typed as "~/m.obj", with the deep folder as the home folder.
deep=$work/models
for part in $(seq 14); do deep=$deep/$(printf "d$part%.0s" $(seq 125) | head -c 250); done
mkdir -p "$deep"
model "$deep/m.obj"
cp "$deep/m.obj" "$work/deep.expected"
HOME=$deep expect_message=1 drive choose "~/m.obj"
[ "$status" -eq 1 ] || fail "a long path: exit $status: $(cut -c 1-200 "$work/stderr")"
grep -q ": the path is longer than 1023 characters\$" "$work/stderr" ||
  fail "a long path: standard error $(cut -c 1-200 "$work/stderr")"
cmp -s "$deep/m.obj" "$work/deep.expected" || fail "a long path: model changed"
rm -r "$work/models/d1d1"*
echo "ok: a message about a long path fits on the screen"

# Started with standard error closed, as some launchers do: the message still
# appears, and the line meant for standard error goes nowhere rather than into
# a file the program opened since, its display connection among them.
stderr_closed=1 expect_message=1 drive choose "$pipe"
[ "$status" -eq 1 ] || fail "standard error closed: exit $status"
[ -p "$pipe" ] || fail "standard error closed: the FIFO was replaced"
[ -z "$(ls -A "$work/tmp")" ] || fail "standard error closed: temporary folder not empty"
echo "ok: a message without standard error"

# Standard error a pipe that nobody reads any more and that is full, as a
# stuck session logger leaves it, by the time the run has its failure to
# tell: the message still appears, and the program ends once it is
# dismissed. The pipe is read while the dialog is up (the toolkit writes
# its own warnings there) and filled once the rewrite of a big model that
# cannot be replaced has begun. The settings store keeps to memory: here it
# has no session bus, and its complaints, which would come at any time from
# a thread of its own, would wait on the full pipe too.
mkdir "$work/models/stuck"
make_big_model "$work/models/stuck/big.obj" 3000000
cp "$work/models/stuck/big.obj" "$work/stuck.expected"
if ! chattr +i "$work/models/stuck/big.obj" 2>/dev/null; then
  [ "$(id -u)" -ne 0 ] || fail "root needs chattr +i to make a model that cannot be replaced"
  chmod a-w "$work/models/stuck/big.obj" "$work/models/stuck"
fi
mkfifo "$work/log"
exec 7<>"$work/log"
cat "$work/log" >/dev/null &
reader_pid=$!
# Chooses the model, and once its temporary file is there, stops reading
# standard error and fills it.
choose_then_stick() {
  choose "$1"
  wait_for_temp || true
  kill "$reader_pid"
  wait "$reader_pid" 2>/dev/null || true
  dd if=/dev/zero of="$work/log" bs=4096 count=1000 oflag=nonblock 2>/dev/null || true
}
stderr_to=$work/log GSETTINGS_BACKEND=memory expect_message=1 drive choose_then_stick "$work/models/stuck/big.obj"
exec 7<&-
[ "$status" -eq 2 ] || fail "standard error stuck: exit $status"
chattr -i "$work/models/stuck/big.obj" 2>/dev/null || true
cmp -s "$work/models/stuck/big.obj" "$work/stuck.expected" || fail "standard error stuck: model changed"
[ -z "$(ls -A "$work/tmp")" ] || fail "standard error stuck: temporary folder not empty"
chmod u+w "$work/models/stuck"
rm -r "$work/models/stuck"
echo "ok: a message while standard error takes nothing"

# A model that cannot be replaced: immutable where the file system allows it
# (root can write anything else), otherwise in a folder and with permission
# bits that forbid writing.
model "$work/models/locked.obj"
cp "$work/models/locked.obj" "$work/locked.expected"
if ! chattr +i "$work/models/locked.obj" 2>/dev/null; then
  [ "$(id -u)" -ne 0 ] || fail "root needs chattr +i to make a model that cannot be replaced"
  chmod a-w "$work/models/locked.obj" "$work/models"
fi
expect_message=1 drive choose "$work/models/locked.obj"
[ "$status" -eq 2 ] || fail "locked: exit $status: $(cat "$work/stderr")"
cmp -s "$work/models/locked.obj" "$work/locked.expected" || fail "locked: model changed"
grep -qx "sgsplit: $work/models/locked.obj: cannot replace the file: .*" "$work/stderr" ||
  fail "locked: standard error $(cat "$work/stderr")"
[ -z "$(ls -A "$work/tmp")" ] || fail "locked: temporary folder not empty"
[ "$(ls -A "$work/models" | grep -c .)" -eq "$(ls -A "$work/models" | grep -c '\.obj$')" ] ||
  fail "locked: something was left beside the model: $(ls -A "$work/models")"
echo "ok: a model that cannot be replaced is reported"

# The display goes away while the message is shown (the X server ends with
# the session, or crashes): the toolkit ends the program at once, and its
# exit code still tells what became of the model (2 here), not the toolkit's
# own 1, which would tell that nothing was done.
main_display=$DISPLAY
main_xvfb_pid=$xvfb_pid
start_display
lost_xvfb_pid=$xvfb_pid
"$sgsplit" 2>"$work/stderr" &
pid=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1) ||
  { kill "$pid"; fail "display lost: the dialog did not appear"; }
sleep 0.5
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
choose "$work/models/locked.obj"
wait_for_message 150 >/dev/null || { kill "$pid"; fail "display lost: no error message"; }
kill "$lost_xvfb_pid"
wait "$lost_xvfb_pid" 2>/dev/null || true
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill "$pid"; fail "display lost: the program did not end"; }
status=0
wait "$pid" || status=$?
export DISPLAY=$main_display
xvfb_pid=$main_xvfb_pid
[ "$status" -eq 2 ] || fail "display lost: exit $status, expected 2"
grep -qx "sgsplit: $work/models/locked.obj: cannot replace the file: .*" "$work/stderr" ||
  fail "display lost: standard error $(cat "$work/stderr")"
cmp -s "$work/models/locked.obj" "$work/locked.expected" || fail "display lost: model changed"
echo "ok: a display lost under the message leaves the exit code true"

# The model chosen is being rewritten in place by sgsplit-batch, stopped part
# way through its copy (a Ctrl-Z): the desktop program leaves it alone and
# says why, rather than rewriting it half done; the batch run, let go on,
# finishes the model whole.
make_big_model "$work/shared.expected" 1000000
"$batch" "$work/shared.expected"
start_copy_into_linked_model "$work/models/shared.obj" "$work/batch.stderr"
batch_pid=$pid
stop_process "$batch_pid" || fail "beside a batch run: the batch run did not stop"
expect_message=1 drive choose "$work/models/shared.obj"
kill -s CONT "$batch_pid"
[ "$status" -eq 1 ] || fail "beside a batch run: exit $status: $(cat "$work/stderr")"
grep -qxF "sgsplit: $work/models/shared.obj: cannot open for reading: Locked by another program that is writing it" \
  "$work/stderr" || fail "beside a batch run: standard error $(cat "$work/stderr")"
wait_through_stop "$batch_pid"
[ "$status" -eq 0 ] || fail "beside a batch run: the batch run: exit $status: $(cat "$work/batch.stderr")"
cmp "$work/models/shared.obj" "$work/shared.expected" >&2 || fail "beside a batch run: the model is not whole"
[ -z "$(ls -A "$work/tmp")" ] || fail "beside a batch run: temporary folder not empty"
rm "$work/models/shared.obj" "$work/models/shared-other.obj"
echo "ok: a model that a stopped batch run is writing is left alone"

# A signal while a model with a second name is written over in place waits
# until the model is whole: the program's toolkit runs threads of its own,
# and the signal may go to any of them.
make_big_model "$work/models/big.obj" 3000000
ln "$work/models/big.obj" "$work/models/big-other.obj"
cp "$work/models/big.obj" "$work/big.before"
cp "$work/models/big.obj" "$work/big.expected"
"$batch" "$work/big.expected"
# Chooses the model, and sends SIGTERM to the program ($pid, drive's) once
# the model's first bytes are new: the copy over it has begun.
choose_then_end() {
  choose "$1"
  wait_for_copy "$1" "$work/big.before" "$pid"
  kill -TERM "$pid" 2>/dev/null || true
}
drive choose_then_end "$work/models/big.obj"
[ "$status" -eq 143 ] || fail "signal: exit $status, expected 143 (the signal came too late?)"
cmp "$work/models/big.obj" "$work/big.expected" >&2 || fail "signal: the model is not whole"
[ -z "$(ls -A "$work/tmp")" ] || fail "signal: temporary folder not empty"
echo "ok: a signal waits until the model is whole"
