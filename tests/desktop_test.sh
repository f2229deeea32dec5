#!/usr/bin/env bash
# The desktop program as a user meets it: a real GTK dialog on a headless X
# server, driven by xdotool. Usage: desktop_test.sh SGSPLIT SGSPLIT_BATCH
set -euo pipefail
sgsplit=$1
batch=$2
title="Choose OBJ file to edit"

work=$(mktemp -d)
trap 'kill "${xvfb_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir "$work/models" "$work/tmp"
export TMPDIR="$work/tmp" NO_AT_BRIDGE=1 GTK_USE_PORTAL=0 HOME="$work"
unset WAYLAND_DISPLAY

fail() { echo "FAIL: $*" >&2; exit 1; }

model() {
  printf 'mtllib box.mtl\r\nv 0 0 0\nv 1 0 0\n\ng box\nusemtl red\ns 1\nf 1 2 3\ns off\nf 3 2 1\n' >"$1"
}

# Without a display the program ends at once, touching nothing.
model "$work/models/alone.obj"
cp "$work/models/alone.obj" "$work/alone.expected"
status=0
env -u DISPLAY "$sgsplit" 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "no display: exit $status, expected 1"
cmp -s "$work/models/alone.obj" "$work/alone.expected" || fail "no display: model changed"
[ -z "$(ls -A "$work/tmp")" ] || fail "no display: temporary folder not empty"

# A display of our own.
for n in $(seq 90 140); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
done
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

# Starts the program, waits for its dialog, sends the keys, and sets $status.
drive() {
  "$sgsplit" 2>"$work/stderr" &
  local pid=$!
  local window
  window=$(timeout 30 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1) ||
    { kill "$pid"; fail "the dialog did not appear"; }
  sleep 0.5
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
  "$@"
  status=0
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
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
[ "$status" -eq 0 ] || fail "escape: exit $status"
cmp -s "$work/models/kept.obj" "$work/kept.expected" || fail "escape: model changed"
[ -z "$(ls -A "$work/tmp")" ] || fail "escape: temporary folder not empty"
echo "ok: escape leaves the model alone"
