#!/usr/bin/env bash
# sgsplit-batch.exe under Wine gives the very bytes that the Linux build
# gives, on generated models. Usage:
#   win32_batch_test.sh SGSPLIT_BATCH_EXE LINUX_SGSPLIT_BATCH [HELD_WRITE]
# HELD_WRITE (tests/held_write.cc, built for Linux) holds up another
# program's write to a model part way. Needs WINEPREFIX set to a prefix that
# exists.
set -euo pipefail
exe=$1
native=$2
held_write=${3:-}
work=$(mktemp -d)
trap 'umount "$work/small" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck source=tests/shell_lib.sh
source "$(dirname "$0")/shell_lib.sh"
mkdir "$work/models" "$work/linux" "$work/windows"

# Models: many parts across several read blocks, line ends of every kind,
# a byte 0x1A, a byte-order mark, bytes above 0x7F, a line longer than a block.
{
  printf 'mtllib parts.mtl\n'
  for part in $(seq 60); do
    printf '\ng part%d\no part%d\nusemtl m%d\n' "$part" "$part" "$part"
    for v in $(seq 5); do printf 'v %d.5 %d.25 -%d\r\nvn 0 0 1\n' "$v" "$part" "$v"; done
    printf 's %d\nf 1//1 2//2 3//3\ns off\nf 3 2 1\n' "$part"
  done
} >"$work/models/parts.obj"
printf 'v 0 0 0\r\rs 1\r\nf 1 2 3\rg x\n' >"$work/models/cr.obj"
printf 's 1\nf 1 2 3\n\x1a\x1a\x1a' >"$work/models/eof-mark.obj"
printf '\xef\xbb\xbfg first\ns 1\nusemtl caf\xe9\n\x00\x7f\xff\n' >"$work/models/bytes.obj"
{ printf 's 1\nf '; head -c 9000 /dev/zero | tr '\0' '7'; printf '\r\ns off'; } >"$work/models/long.obj"
: >"$work/models/empty.obj"
printf '\n\ng a\no b\n' >"$work/models/dropped.obj"
[ "$(stat -c %s "$work/models/parts.obj")" -gt 8192 ] || fail "the model is too small to cross blocks"

names=()
for model in "$work"/models/*.obj; do names+=("$(basename "$model")"); done
cp "$work"/models/*.obj "$work/linux/"
cp "$work"/models/*.obj "$work/windows/"

"$native" "${names[@]/#/$work/linux/}"
windows_paths=()
for name in "${names[@]}"; do windows_paths+=("$(winepath -w "$work/windows/$name")"); done
wine "$exe" "${windows_paths[@]}"

for name in "${names[@]}"; do
  cmp "$work/linux/$name" "$work/windows/$name" || fail "$name differs from the Linux build's"
done
cmp -s "$work/models/parts.obj" "$work/windows/parts.obj" && fail "parts.obj was not rewritten"

# Names outside the ANSI code page reach the named file, never the file that
# their narrowed name happens to name (A with macron narrows to A).
for name in 'Ā.obj' 'Модель.obj' 'Μοντέλο.obj' '模型.obj'; do
  cp "$work/models/parts.obj" "$work/windows/$name"
done
printf 'g decoy\ns 9\n' >"$work/windows/A.obj"
cp "$work/windows/A.obj" "$work/decoy.expected"
foreign=()
for name in 'Ā.obj' 'Модель.obj' 'Μοντέλο.obj' '模型.obj'; do
  foreign+=("$(winepath -w "$work/windows/$name")")
done
wine "$exe" "${foreign[@]}"
for name in 'Ā.obj' 'Модель.obj' 'Μοντέλο.obj' '模型.obj'; do
  cmp "$work/linux/parts.obj" "$work/windows/$name" || fail "$name was not rewritten"
done
cmp "$work/windows/A.obj" "$work/decoy.expected" || fail "the decoy A.obj was changed"

# On a console (a terminal for Wine's), a name in a message reads as it is
# spelled: the console is switched to UTF-8, and each line reaches it whole.
# Wine's console draws a blank by moving the cursor, so the name has none; a
# wide terminal keeps the line from being wrapped inside the name.
console_out=$(LC_ALL=C.UTF-8 script -qec \
  "stty cols 1000; wine $(printf '%q' "$exe") $(printf '%q' "$(winepath -w "$work/windows/Нет-модели.obj")")" /dev/null |
  sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g') || true
grep -qF 'Нет-модели.obj:' <<<"$console_out" || fail "console: the name is not shown as spelled: $console_out"

# Where the thread's code page (Wine takes it from LC_MESSAGES) differs from
# the process's (from LC_CTYPE), which the file functions read names in, the
# chosen model is rewritten and the file that its narrowed name reads as in
# the process's code page (the same bytes in code page 1252) is left alone.
mkdir "$work/locales" "$work/codepages"
localedef -i en_US -f UTF-8 "$work/locales/en_US.UTF-8"
localedef -i ru_RU -f UTF-8 "$work/locales/ru_RU.UTF-8"
cp "$work/models/parts.obj" "$work/codepages/отчёт.obj"
printf 'g decoy\ns 9\n' >"$work/codepages/îò÷¸ò.obj"
cp "$work/codepages/îò÷¸ò.obj" "$work/neighbour.expected"
status=0
LOCPATH="$work/locales" LC_ALL='' LANG='' LC_CTYPE=en_US.UTF-8 LC_MESSAGES=ru_RU.UTF-8 \
  wine "$exe" "$(winepath -w "$work/codepages/отчёт.obj")" || status=$?
[ "$status" -eq 0 ] || fail "code pages: exit $status"
cmp "$work/linux/parts.obj" "$work/codepages/отчёт.obj" || fail "code pages: the chosen model was not rewritten"
cmp "$work/codepages/îò÷¸ò.obj" "$work/neighbour.expected" || fail "code pages: the neighbour was changed"

# In a double-byte code page (932, Japanese) a character's second byte may be
# 0x5C, the backslash (ソ is 0x83 0x5C), and the yen sign, which 932 lacks,
# narrows to 0x5C itself. A model and a temporary folder so named are the
# ones used: the neighbour that "¥\m.obj" narrows to (..\m.obj, the same
# folder twice over) is left alone, and nothing is made in the folder that
# the temporary folder "t¥" narrows to.
localedef -i ja_JP -f UTF-8 "$work/locales/ja_JP.UTF-8"
japanese() { LOCPATH="$work/locales" LC_ALL='' LANG=ja_JP.UTF-8 "$@"; }
[ "$(japanese wine reg query 'HKCU\Control Panel\International' /v Locale | tr -d '\r' |
  awk '/Locale/ { print $3 }')" = 00000411 ] || fail "double-byte: Wine did not take the Japanese locale"
mkdir "$work/dbcs" "$work/dbcs/ソ" "$work/dbcs/¥" "$work/dbcs/t¥" "$work/dbcs/t"
printf 'g decoy\ns 9\n' >"$work/dbcs/m.obj"
cp "$work/dbcs/m.obj" "$work/dbcs.expected"
cp "$work/models/parts.obj" "$work/dbcs/ソ/m.obj"
cp "$work/models/parts.obj" "$work/dbcs/¥/m.obj"
cp "$work/models/parts.obj" "$work/dbcs/ソ.obj"
status=0
japanese wine "$exe" "$(winepath -w "$work/dbcs/ソ/m.obj")" "$(winepath -w "$work/dbcs/¥/m.obj")" ||
  status=$?
[ "$status" -eq 0 ] || fail "double-byte: exit $status"
cmp "$work/linux/parts.obj" "$work/dbcs/ソ/m.obj" || fail "double-byte: ソ\\m.obj was not rewritten"
cmp "$work/linux/parts.obj" "$work/dbcs/¥/m.obj" || fail "double-byte: ¥\\m.obj was not rewritten"
cmp "$work/dbcs/m.obj" "$work/dbcs.expected" || fail "double-byte: the neighbour was changed"
# cmd.exe sets the temporary folder; it cannot quote a path with a blank.
if [[ "$work$exe" != *' '* ]]; then
  folder=$(winepath -w "$work/dbcs/t¥")
  status=0
  japanese wine cmd.exe /c "set TMP=$folder&& set TEMP=$folder&& $(winepath -w "$exe") $(winepath -w "$work/dbcs/ソ.obj")" ||
    status=$?
  [ "$status" -eq 0 ] || fail "double-byte temporary folder: exit $status"
  cmp "$work/linux/parts.obj" "$work/dbcs/ソ.obj" || fail "double-byte temporary folder: the model was not rewritten"
  [ -z "$(find "$work/dbcs/t¥" "$work/dbcs/t" -mindepth 1)" ] || fail "double-byte temporary folder: files left"
else
  echo "skipped: a temporary folder in a double-byte code page (a path with a blank)"
fi

# Wine shows a file without write permission as read-only: it is left alone,
# with exit code 2, even for root, and no temporary file stays.
cp "$work/models/parts.obj" "$work/windows/read-only.obj"
chmod a-w "$work/windows/read-only.obj"
status=0
wine "$exe" "$(winepath -w "$work/windows/read-only.obj")" 2>"$work/err" || status=$?
[ "$status" -eq 2 ] || fail "read-only: exit $status"
cmp "$work/models/parts.obj" "$work/windows/read-only.obj" || fail "read-only: the model was changed"
grep -q '^sgsplit-batch: .*read-only\.obj: cannot replace the file: ' "$work/err" ||
  fail "read-only: message $(cat "$work/err")"

# A hidden or a system model is left alone too, with exit code 2; the user may
# write it, so the message names the attribute rather than a denied access.
for kind in hidden system; do
  cp "$work/models/parts.obj" "$work/windows/$kind.obj"
  wine cmd.exe /c attrib "+${kind:0:1}" "$(winepath -w "$work/windows/$kind.obj")" >/dev/null 2>&1
  status=0
  wine "$exe" "$(winepath -w "$work/windows/$kind.obj")" 2>"$work/err" || status=$?
  [ "$status" -eq 2 ] || fail "$kind: exit $status"
  cmp "$work/models/parts.obj" "$work/windows/$kind.obj" || fail "$kind: the model was changed"
  grep -qx "sgsplit-batch: .*$kind\.obj: cannot replace the file: Is a $kind file" \
    <(tr -d '\r' <"$work/err") || fail "$kind: message $(cat "$work/err")"
done

# The result is copied into the model itself, so the temporary file, then
# the one other whole copy, is committed to the disk before the model's first
# byte changes: a power cut during the copy must not take both. Wine commits
# a file by fsync, and changes it by write or ftruncate, in the program's own
# process.
cp "$work/models/parts.obj" "$work/windows/committed.obj"
strace -f -y -qq -e trace=fsync,fdatasync,ftruncate,fallocate,write,pwrite64 -o "$work/trace.txt" \
  wine "$exe" "$(winepath -w "$work/windows/committed.obj")" || fail "committed first: the run failed"
cmp "$work/linux/parts.obj" "$work/windows/committed.obj" || fail "committed first: not rewritten"
committed_before_copy "$work/trace.txt" "$work/windows/committed.obj" ||
  fail "committed first: the temporary file was not committed before the copy"

# A temporary folder that is not there is named beside the system's reason,
# which does not say where it looked. Wine sets TMP and TEMP itself; a cmd.exe
# passes its own on to the program. (Wine's quoting of the arguments for cmd.exe
# leaves no way to quote a path there, so a path with a blank skips the case.)
exe_w=$(winepath -w "$exe")
no_temp_w=$(winepath -w "$work/windows/no-temp.obj")
if [[ "$exe_w$no_temp_w" == *' '* ]]; then
  echo "skipped: a temporary folder that is not there (a path with a blank)"
else
  cp "$work/models/parts.obj" "$work/windows/no-temp.obj"
  status=0
  wine cmd.exe /c "set TMP=C:\\no-such-folder&& set TEMP=C:\\no-such-folder&& $exe_w $no_temp_w" \
    2>"$work/err" || status=$?
  [ "$status" -eq 1 ] || fail "no temporary folder: exit $status"
  cmp "$work/models/parts.obj" "$work/windows/no-temp.obj" || fail "no temporary folder: the model was changed"
  # shellcheck disable=SC1003 # the backslashes are the path's own
  grep -qx 'sgsplit-batch: .*no-temp\.obj: cannot create a temporary file: .*; the temporary folder is C:\\no-such-folder\\' \
    <(tr -d '\r' <"$work/err") || fail "no temporary folder: message $(cat "$work/err")"
fi

# Wine's temporary folder holds nothing of ours.
temp=$(winepath -u "$(wine cmd.exe /c echo %TEMP% | tr -d '\r')")
ls "$temp"/obj*.tmp >/dev/null 2>&1 && fail "temporary files left in $temp"

# A model on a file system too small for its rewrite (needs root for the
# mount; skipped otherwise). Making the model longer takes no room there, as
# on a sparse file or a file server's share, so the room past its old end is
# written before its first byte changes: the full disk leaves it alone, with
# the system's reason and no temporary file. A sparse model, whose holes take
# room only once the copy writes them, still fills the disk part way through
# the copy: the model may be damaged, so the result stays in the temporary
# file, which the message names with the system's reason (Wine's write stops
# short when the disk fills, and only the write of the rest says why).
if [ "$(id -u)" -eq 0 ] && mkdir "$work/small" && mount -t tmpfs -o size=128k tmpfs "$work/small"; then
  # A temporary folder there: the result does not fit, the model stays, and
  # the message names the folder whose disk is full, not only "the temporary
  # file" (see above for the blank).
  small_w=$(winepath -w "$work/small")
  if [[ "$exe_w$no_temp_w$small_w" != *' '* ]]; then
    for part in $(seq 5000); do printf 's 1\n'; done >"$work/windows/temp-full.obj"
    cp "$work/windows/temp-full.obj" "$work/temp-full.before"
    status=0
    wine cmd.exe /c "set TMP=$small_w&& set TEMP=$small_w&& $exe_w $(winepath -w "$work/windows/temp-full.obj")" \
      2>"$work/err" || status=$?
    [ "$status" -eq 1 ] || fail "temporary folder full: exit $status"
    cmp "$work/windows/temp-full.obj" "$work/temp-full.before" || fail "temporary folder full: the model was changed"
    grep -qxF "sgsplit-batch: $(winepath -w "$work/windows/temp-full.obj"): cannot write the temporary file: Disk full; the temporary folder is $small_w\\" \
      <(tr -d '\r' <"$work/err") || fail "temporary folder full: message $(cat "$work/err")"
    [ -z "$(ls -A "$work/small")" ] || fail "temporary folder full: $(ls "$work/small") left behind"
  fi
  for part in $(seq 5000); do printf 's 1\n'; done >"$work/small/full.obj"
  cp "$work/small/full.obj" "$work/full.before"
  status=0
  wine "$exe" "$(winepath -w "$work/small/full.obj")" 2>"$work/err" || status=$?
  [ "$status" -eq 2 ] || fail "disk full: exit $status"
  cmp "$work/small/full.obj" "$work/full.before" || fail "disk full: the model was changed"
  grep -qx 'sgsplit-batch: .*full\.obj: cannot replace the file: Disk full' <(tr -d '\r' <"$work/err") ||
    fail "disk full: message $(cat "$work/err")"
  ls "$temp"/obj*.tmp >/dev/null 2>&1 && fail "disk full: a temporary file was left in $temp"
  rm "$work/small/full.obj"

  # A line of 1 MiB of zeros, all of it a hole; the rest fits.
  { for part in $(seq 200); do printf 's 1\n'; done; } >"$work/small/sparse.obj"
  truncate -s +1M "$work/small/sparse.obj"
  printf '\n' >>"$work/small/sparse.obj"
  cp "$work/small/sparse.obj" "$work/sparse.obj"
  "$native" "$work/sparse.obj"
  status=0
  wine "$exe" "$(winepath -w "$work/small/sparse.obj")" 2>"$work/err" || status=$?
  umount "$work/small"
  [ "$status" -eq 2 ] || fail "disk full part way: exit $status"
  kept=$(tr -d '\r' <"$work/err" | sed -n 's/^sgsplit-batch: .*sparse\.obj: cannot replace the file: Disk full; the rewritten model is in \(.*\)$/\1/p')
  [ -n "$kept" ] || fail "disk full part way: message $(cat "$work/err")"
  cmp "$work/sparse.obj" "$(winepath -u "$kept")" || fail "disk full part way: the kept result is not the rewrite"
  rm -f "$(winepath -u "$kept")"
else
  echo "skipped: a model on a full disk (needs root to mount a small file system)"
fi

# Ctrl+C while the result is copied into the model waits until the model is
# whole (Wine turns SIGINT into the console's Ctrl+C), then ends the program
# with STATUS_CONTROL_C_EXIT, whose low byte, 58, Wine passes on. A temporary
# file left behind holds the whole result.
make_big_model "$work/big.obj" 1000000
cp "$work/big.obj" "$work/big.before"
cp "$work/big.obj" "$work/big.expected"
"$native" "$work/big.expected"
wine "$exe" "$(winepath -w "$work/big.obj")" 2>"$work/err" &
pid=$!
wait_for_copy "$work/big.obj" "$work/big.before" "$pid"
kill -INT "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
cmp "$work/big.obj" "$work/big.expected" >&2 || fail "Ctrl+C: the model is not whole"
[ "$status" -eq 58 ] || fail "Ctrl+C: exit $status, expected 58 (the signal came too late?)"
for left in "$temp"/obj*.tmp; do
  [ -e "$left" ] || continue
  cmp "$left" "$work/big.expected" >&2 || fail "Ctrl+C: $left is not the whole result"
  rm "$left"
done

# A missing file: one message and exit code 1, as on Linux.
status=0
wine "$exe" "$(winepath -w "$work/missing.obj")" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "missing file: exit $status"
grep -q '^sgsplit-batch: .*missing\.obj: cannot open for reading: ' "$work/err" ||
  fail "missing file: message $(cat "$work/err")"

# A device or a pipe named as the model is refused as not a regular file, as
# on Linux, where the system's own reason would send the user after the name:
# the null device by its Windows name and as Linux's, and a FIFO.
mkfifo "$work/fifo.obj"
for device in NUL "$(winepath -w /dev/null)" "$(winepath -w "$work/fifo.obj")"; do
  status=0
  wine "$exe" "$device" 2>"$work/err" || status=$?
  [ "$status" -eq 1 ] || fail "$device: exit $status"
  grep -qxF "sgsplit-batch: $device: cannot open for reading: Not a regular file" \
    <(tr -d '\r' <"$work/err") || fail "$device: message $(cat "$work/err")"
done

# Other bytes after an end-of-file mark: the model stays, exit code 1.
printf 's 1\nf 1 2 3\n\x1as 2\nf 4 5 6\n' >"$work/after-mark.obj"
cp "$work/after-mark.obj" "$work/after-mark.expected"
status=0
wine "$exe" "$(winepath -w "$work/after-mark.obj")" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "bytes after an end-of-file mark: exit $status"
grep -q ': the model holds other bytes after an end-of-file mark (0x1A) at byte 12; rewriting would drop them$' \
  <(tr -d '\r' <"$work/err") || fail "bytes after an end-of-file mark: message $(cat "$work/err")"
cmp -s "$work/after-mark.obj" "$work/after-mark.expected" ||
  fail "bytes after an end-of-file mark: the model changed"
status=0
wine "$exe" >/dev/null 2>&1 || status=$?
[ "$status" -eq 64 ] || fail "no arguments: exit $status"

# Whether a thread of any process but $1 waits in the kernel in a call on a
# descriptor for file $2: under Wine the program's calls on a file may be
# made by the wineserver.
others_wait_on() {
  local task process call fd
  for task in /proc/[0-9]*/task/*; do
    process=${task#/proc/}
    process=${process%%/*}
    [ "$process" != "$1" ] || continue
    [ "$(sed 's/.*) //' "$task/stat" 2>/dev/null | cut -d ' ' -f 1)" = D ] || continue
    read -r call fd _ <"$task/syscall" 2>/dev/null || continue
    [ "$call" != running ] || continue
    [ "$(readlink "/proc/$process/fd/$((fd))" 2>/dev/null)" = "$2" ] && return 0
  done
  return 1
}

# Another program's write to the model, held up part way while the model is
# read (its program not scheduled), has set the model's times and not yet
# all of its length, so the model looks unchanged; setting the model's
# length waits for that write to end. The model is then left alone with the
# whole of that write, not cut back to the result's length.
if [ -n "$held_write" ]; then
  printf 'v 1 2 3\ns 1\nf 1 1 1\n' >"$work/held.obj"
  { cat "$work/held.obj"; head -c 4096 /dev/zero | tr '\0' a; head -c 4096 /dev/zero | tr '\0' b; } \
    >"$work/held.expected"
  coproc HELD { exec "$held_write" "$work/held.obj"; }
  line=
  read -r line <&"${HELD[0]}" || true
  if [ "$line" = held ]; then
    wine "$exe" "$(winepath -w "$work/held.obj")" 2>"$work/err" &
    pid=$!
    until others_wait_on "$HELD_PID" "$work/held.obj" || ! kill -0 "$pid" 2>/dev/null; do
      sleep 0.01
    done
    echo go >&"${HELD[1]}"
    read -r line <&"${HELD[0]}" || true
    [ "$line" = "wrote 8192" ] || fail "a held-up write: the writer said $line"
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 2 ] || fail "a held-up write: exit $status"
    grep -q ': the model changed while it was being rewritten$' <(tr -d '\r' <"$work/err") ||
      fail "a held-up write: message $(cat "$work/err")"
    cmp -s "$work/held.obj" "$work/held.expected" || fail "a held-up write: the model was cut"
    echo "ok: a write held up while the model was read"
  else
    echo "skipped: a held-up write (no userfaultfd here)"
  fi
fi
echo "ok: ${#names[@]} models byte for byte as on Linux"
