#!/usr/bin/env bash
# sgsplit.exe as a user meets it: the system's open-file dialog under Wine on
# a headless X server, driven by xdotool.
# Usage: win32_desktop_test.sh SGSPLIT_EXE SGSPLIT_BATCH_EXE HOLD_FILE_EXE MESSAGE_TEXT_EXE
#        ENTER_FILE_NAME_EXE
# Needs WINEPREFIX set to a prefix that exists.
set -euo pipefail
exe=$1
batch=$2
hold_file=$3
message_text=$4
enter_file_name=$5
title="Choose OBJ file to edit"

work=$(mktemp -d)
cleanup() {
  kill "${holder_pid:-}" "${xvfb_pid:-}" 2>/dev/null || true
  chattr -i "$work/models/locked.obj" 2>/dev/null || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/models"
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source=tests/shell_lib.sh
source "$(dirname "$0")/shell_lib.sh"

model() {
  printf 'mtllib box.mtl\r\nv 0 0 0\nv 1 0 0\n\ng box\nusemtl red\ns 1\nf 1 2 3\ns off\nf 3 2 1\n' >"$1"
}

# A display of our own. Wine's desktop process must start on it: a server
# still running from earlier programs may hold a desktop without a display.
wineserver -k 2>/dev/null || true
wineserver -w
start_display

temp=$(winepath -u "$(wine cmd.exe /c echo %TEMP% | tr -d '\r')")
no_temp_files() { ! ls "$temp"/obj*.tmp >/dev/null 2>&1; }
no_temp_files || fail "temporary files were there before the test"

# Starts the program, waits for its dialog, sends the keys, and sets $status.
# With expect_message=1 the program must then show its error message and wait
# for it: its text goes to $work/message, and Enter dismisses it. Otherwise no
# message may appear before it ends.
drive() {
  wine "$exe" &
  local pid=$!
  local window
  window=$(timeout 60 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1) ||
    { kill "$pid" 2>/dev/null || true; fail "the dialog did not appear"; }
  sleep 1
  xdotool windowfocus --sync "$window" 2>/dev/null || true
  "$@"
  if [ "${expect_message:-0}" = 1 ]; then
    window=$(wait_for_message 300) ||
      { kill "$pid" 2>/dev/null || true; fail "the error message did not appear"; }
    kill -0 "$pid" 2>/dev/null || fail "the program ended before its message was dismissed"
    sleep 1
    wine "$message_text" | tr -d '\r' >"$work/message" ||
      { kill "$pid" 2>/dev/null || true; fail "the error message could not be read"; }
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    xdotool key Return
  fi
  status=0
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    [ "${expect_message:-0}" = 1 ] || [ -z "$(message_window)" ] ||
      { kill "$pid" 2>/dev/null || true; fail "an error message appeared"; }
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && { kill "$pid" 2>/dev/null || true; fail "the program did not end"; }
  wait "$pid" || status=$?
}

# Whether the last error message holds each line given: a headline, the
# model's name, the reason (a pattern where the system words it).
message_says() {
  local line
  for line in "$@"; do
    grep -qx -- "$line" "$work/message" || fail "the message lacks '$line': $(cat "$work/message")"
  done
}

# The file name box has the focus when the dialog opens.
choose() {
  xdotool type --delay 20 "$1"
  sleep 0.3
  xdotool key Return
}

# A name with characters the keyboard map lacks is pasted rather than typed:
# xdotool binds a spare key for each such character and undoes the binding
# straight after, and Wine, when the machine is busy, reads the key too late
# and drops the character.
paste_and_choose() {
  wine "$enter_file_name" "$1" || fail "the name could not be put into the dialog"
  sleep 0.3
  xdotool key Return
}

# Choosing a model rewrites it exactly as the command-line program does.
model "$work/models/box.obj"
cp "$work/models/box.obj" "$work/expected.obj"
wine "$batch" "$(winepath -w "$work/expected.obj")"
drive choose "$(winepath -w "$work/models/box.obj")"
[ "$status" -eq 0 ] || fail "choose: exit $status"
cmp "$work/models/box.obj" "$work/expected.obj" || fail "choose: model not rewritten exactly"
no_temp_files || fail "choose: temporary files left in $temp"
echo "ok: a chosen model is rewritten"

# Escape closes the dialog and leaves everything as it was.
model "$work/models/kept.obj"
cp "$work/models/kept.obj" "$work/kept.expected"
drive xdotool key Escape
[ "$status" -eq 0 ] || fail "escape: exit $status"
cmp -s "$work/models/kept.obj" "$work/kept.expected" || fail "escape: model changed"
no_temp_files || fail "escape: temporary files left in $temp"
echo "ok: escape leaves the model alone"

# Failures show the error message, which Enter dismisses; the exit code stays
# and the model is left exactly as it was.
# A model that another program holds open, sharing it with no one, cannot be
# read.
model "$work/models/held.obj"
cp "$work/models/held.obj" "$work/held.expected"
wine "$hold_file" "$(winepath -w "$work/models/held.obj")" >"$work/holder.out" &
holder_pid=$!
for _ in $(seq 300); do grep -q held "$work/holder.out" 2>/dev/null && break; sleep 0.1; done
grep -q held "$work/holder.out" || fail "held: the model could not be held open"
expect_message=1 drive choose "$(winepath -w "$work/models/held.obj")"
kill "$holder_pid"
wait "$holder_pid" || true
[ "$status" -eq 1 ] || fail "held: exit $status"
message_says 'The model could not be rewritten\. It was not changed\.' \
  "Model: $(winepath -w "$work/models/held.obj" | sed 's/[][\\.*^$]/\\&/g')" \
  'Reason: cannot open for reading: .*'
cmp -s "$work/models/held.obj" "$work/held.expected" || fail "held: model changed"
no_temp_files || fail "held: temporary files left in $temp"
echo "ok: a model that cannot be read is reported"

# A read-only model (Wine shows a file without write permission as one) is
# left alone, with exit code 2, the error message and no temporary file left.
# Its name, outside the code page, reads in the message as it is spelled.
locked="$work/models/Модель-только-чтение.obj"
model "$locked"
cp "$locked" "$work/locked.expected"
chmod a-w "$locked"
expect_message=1 drive paste_and_choose "$(winepath -w "$locked")"
[ "$status" -eq 2 ] || fail "read-only: exit $status"
message_says \
  'The rewritten model could not be put in its place\. sgsplit did not change the model\.' \
  "Model: $(winepath -w "$locked" | sed 's/[][\\.*^$]/\\&/g')" \
  'Reason: cannot replace the file: .*'
cmp -s "$locked" "$work/locked.expected" || fail "read-only: model changed"
no_temp_files || fail "read-only: temporary files left in $temp"
echo "ok: a read-only model is left alone"
