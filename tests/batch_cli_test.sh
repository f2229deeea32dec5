#!/usr/bin/env bash
# sgsplit-batch as a process, on generated models. Usage: batch_cli_test.sh SGSPLIT_BATCH
set -euo pipefail
batch=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tmp"
export TMPDIR="$work/tmp"
fail() { echo "FAIL: $*" >&2; exit 1; }

# A model of many parts, a few blocks long, and what it must become.
: >"$work/model.obj"
: >"$work/expected.obj"
printf 'mtllib parts.mtl\n' >>"$work/model.obj"
printf 'mtllib parts.mtl\r\n' >>"$work/expected.obj"
n=1
for part in $(seq 40); do
  printf '\ng part%d\no part%d\nusemtl m%d\n' "$part" "$part" "$part" >>"$work/model.obj"
  printf 'usemtl m%d\r\n' "$part" >>"$work/expected.obj"
  for v in $(seq 6); do
    printf 'v %d.5 %d.25 -%d\r\nvn 0 0 1\n' "$v" "$part" "$v" >>"$work/model.obj"
    printf 'v %d.5 %d.25 -%d\r\nvn 0 0 1\r\n' "$v" "$part" "$v" >>"$work/expected.obj"
  done
  for group in 1 off; do
    printf 's %s\nf 1//1 2//2 3//3\n' "$group" >>"$work/model.obj"
    printf 'g object%d\r\no object%d\r\nusemtl object%d\r\ns %s\r\nf 1//1 2//2 3//3\r\n' \
      "$n" "$n" "$n" "$group" >>"$work/expected.obj"
    n=$((n + 1))
  done
done
[ "$(stat -c %s "$work/model.obj")" -gt 8192 ] || fail "the model is too small to cross blocks"

cp "$work/model.obj" "$work/one.obj"
cp "$work/model.obj" "$work/$(printf 'mod\350le.obj')"   # a name that is not UTF-8
"$batch" "$work/one.obj" "$work/$(printf 'mod\350le.obj')"
cmp "$work/one.obj" "$work/expected.obj" || fail "rewritten model differs"
cmp "$work/$(printf 'mod\350le.obj')" "$work/expected.obj" || fail "non-UTF-8 name: differs"
[ -z "$(ls -A "$work/tmp")" ] || fail "temporary folder not empty"

# A second pass over its own output.
"$batch" "$work/one.obj"
grep -c $'^usemtl object' "$work/one.obj" | grep -qx "$(( (n - 1) * 2 ))" || fail "second pass"

# Failures: one line each on standard error, the other files still done.
cp "$work/model.obj" "$work/two.obj"
status=0
"$batch" "$work/missing.obj" "$work/two.obj" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "missing file: exit $status"
grep -qx "sgsplit-batch: $work/missing.obj: cannot open for reading: No such file or directory" \
  "$work/err" || fail "missing file: message $(cat "$work/err")"
cmp -s "$work/two.obj" "$work/expected.obj" || fail "the file after a failure was not rewritten"

# A temporary folder that is not there: the reason alone would not say where.
cp "$work/model.obj" "$work/three.obj"
status=0
TMPDIR="$work/gone" "$batch" "$work/three.obj" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "no temporary folder: exit $status"
grep -qx "sgsplit-batch: $work/three.obj: cannot create a temporary file: No such file or directory; the temporary folder is $work/gone/" \
  "$work/err" || fail "no temporary folder: message $(cat "$work/err")"
cmp -s "$work/three.obj" "$work/model.obj" || fail "no temporary folder: the model changed"

# A temporary folder too long for a temporary name in it: named too, beside
# the reason, however long.
long=$work/$(printf '%0250d' 0)
mkdir "$long"
status=0
TMPDIR=$long "$batch" "$work/three.obj" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "long temporary folder: exit $status"
grep -qxF "sgsplit-batch: $work/three.obj: cannot create a temporary file: File name too long; the temporary folder is $long/" \
  "$work/err" || fail "long temporary folder: message $(cat "$work/err")"
cmp -s "$work/three.obj" "$work/model.obj" || fail "long temporary folder: the model changed"
[ -z "$(ls -A "$long")" ] || fail "long temporary folder: a file was left in it"

# A device is refused without being opened, since opening alone can act on it.
# Without a controlling terminal, opening /dev/tty would fail with "No such
# device or address"; refused first, it is "Not a regular file".
status=0
setsid -w "$batch" /dev/tty 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "device: exit $status"
grep -qx "sgsplit-batch: /dev/tty: cannot open for reading: Not a regular file" "$work/err" ||
  fail "device: message $(cat "$work/err")"

# A name that holds a line feed and an escape sequence, or a byte that is not
# UTF-8, is quoted as the shell would read it back: each message stays one
# line, and nothing in it reaches the terminal as a command.
odd=$'bad\n\033[2Jname.obj'
mkdir "$work/$odd"
status=0
"$batch" "$work/$odd" "$work/$(printf 'gone\377.obj')" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "odd names: exit $status"
[ "$(wc -l <"$work/err")" -eq 2 ] || fail "odd names: not one line each: $(cat -A "$work/err")"
! grep -q $'\033' "$work/err" || fail "odd names: an escape character reached the message"
expected="sgsplit-batch: '$work/bad'\$'\\n\\033''[2Jname.obj': cannot open for reading: Is a directory
sgsplit-batch: '$work/gone'\$'\\377''.obj': cannot open for reading: No such file or directory"
[ "$(cat "$work/err")" = "$expected" ] || fail "odd names: message $(cat -A "$work/err")"
# The quoted name, given to a shell, is the name of the folder.
shown=$(head -n 1 "$work/err" | sed -e 's/^sgsplit-batch: //' -e 's/: cannot open.*//')
[ "$(bash -c "printf %s $shown")" = "$work/$odd" ] || fail "odd names: $shown is not the name"
rmdir "$work/$odd"

# A name with a right-to-left override would show its end reversed, and the
# rest of the line with it: "x<U+202E>jbo.exe" reads "xexe.obj". It is quoted.
status=0
"$batch" "$work/x$(printf '\342\200\256')jbo.exe" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "right-to-left override: exit $status"
[ "$(cat "$work/err")" = "sgsplit-batch: '$work/x'\$'\\342\\200\\256''jbo.exe': cannot open for reading: No such file or directory" ] ||
  fail "right-to-left override: message $(cat -A "$work/err")"

# Other bytes after an end-of-file mark: the model stays, exit code 1; a run
# of marks alone is padding and is dropped.
printf 's 1\nf 1 2 3\n\x1as 2\n' >"$work/after-mark.obj"
cp "$work/after-mark.obj" "$work/after-mark.expected"
printf 'v 1 2 3\n\x1a\x1a' >"$work/padded.obj"
status=0
"$batch" "$work/after-mark.obj" "$work/padded.obj" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "bytes after an end-of-file mark: exit $status"
grep -qx "sgsplit-batch: $work/after-mark.obj: the model holds other bytes after an end-of-file mark (0x1A) at byte 12; rewriting would drop them" \
  "$work/err" || fail "bytes after an end-of-file mark: message $(cat "$work/err")"
cmp -s "$work/after-mark.obj" "$work/after-mark.expected" ||
  fail "bytes after an end-of-file mark: the model changed"
cmp -s "$work/padded.obj" <(printf 'v 1 2 3\r\n') || fail "padding after an end-of-file mark"
[ -z "$(ls -A "$work/tmp")" ] || fail "bytes after an end-of-file mark: temporary folder not empty"

# Memory running out while a line grows (here one line of 100 MB, held in
# 200 MB of characters, against 150 MB of address space): exit 1, the model
# untouched, nothing left behind. AddressSanitizer cannot start under such a
# limit, so a sanitizer build skips it.
if ! grep -q AddressSanitizer "$batch"; then
  head -c 100000000 /dev/zero | tr '\0' 'x' >"$work/huge.obj"
  before=$(md5sum <"$work/huge.obj")
  status=0
  (ulimit -v 150000 && exec "$batch" "$work/huge.obj") 2>"$work/err" || status=$?
  [ "$status" -eq 1 ] || fail "out of memory: exit $status"
  grep -qx "sgsplit-batch: $work/huge.obj: out of memory" "$work/err" ||
    fail "out of memory: message $(cat "$work/err")"
  [ "$(md5sum <"$work/huge.obj")" = "$before" ] || fail "out of memory: the model changed"
  [ -z "$(ls -A "$work/tmp")" ] || fail "out of memory: temporary folder not empty"
  rm "$work/huge.obj"
fi

# An address space so small that memory runs out as the program starts:
# from the least in which the system can load it, a page more at a time
# until a run goes through, each run says "out of memory" or rewrites the
# model, and leaves nothing behind; none ends in an abort. With the C
# library's heap grown by its default, or by what each allocation needs, the
# first allocations fail in turn, where the C++ runtime may have found no
# room to throw. AddressSanitizer cannot start under such a limit.
if ! grep -q AddressSanitizer "$batch"; then
  printf 'g a\ns 1\nf 1 2 3\n' >"$work/tight.source"
  cp "$work/tight.source" "$work/tight.expected"
  "$batch" "$work/tight.expected"
  # Exit code 127 while the loader cannot map the libraries or give the
  # first thread its data.
  loads() { cp "$work/tight.source" "$work/tight.obj"; (ulimit -v "$1" && exec "$batch" "$work/tight.obj") 2>/dev/null || [ $? -ne 127 ]; }
  low=1024
  while ! loads $((low + 64)); do low=$((low + 64)); [ "$low" -lt 65536 ] || fail "tight memory: never loads"; done
  for tunables in "" glibc.malloc.top_pad=0; do
    for kb in $(seq "$low" 4 $((low + 640))); do
      cp "$work/tight.source" "$work/tight.obj"
      status=0
      (ulimit -v "$kb" && GLIBC_TUNABLES=$tunables exec "$batch" "$work/tight.obj") 2>"$work/err" || status=$?
      what="tight memory (${kb} KB${tunables:+, $tunables})"
      [ -z "$(ls -A "$work/tmp")" ] || fail "$what: temporary folder not empty"
      if [ "$status" -eq 0 ]; then
        cmp -s "$work/tight.obj" "$work/tight.expected" || fail "$what: exit 0, model not rewritten"
        break
      fi
      [ "$status" -eq 127 ] && grep -q 'while loading shared libraries\|cannot allocate TLS' "$work/err" && continue
      [ "$status" -eq 1 ] || [ "$status" -eq 2 ] || fail "$what: exit $status: $(cat "$work/err")"
      grep -q 'out of memory\|Cannot allocate memory' "$work/err" || fail "$what: message $(cat "$work/err")"
      cmp -s "$work/tight.obj" "$work/tight.source" || fail "$what: the model changed"
    done
    [ "$status" -eq 0 ] || fail "tight memory${tunables:+ ($tunables)}: no run went through"
  done
fi

# Messages going to a pipe that nobody reads any more: the run goes on with
# the next file all the same.
printf 'g a\ns 1\nf 1 2 3\n' >"$work/after-pipe.obj"
set +o pipefail
{
  sleep 0.2
  "$batch" "$work/missing.obj" "$work/after-pipe.obj" 2>&1
} | true
status=${PIPESTATUS[0]}
set -o pipefail
[ "$status" -eq 1 ] || fail "a closed pipe: exit $status"
grep -q '^g object1' "$work/after-pipe.obj" || fail "a closed pipe: the next file was not rewritten"

status=0
"$batch" >/dev/null 2>&1 || status=$?
[ "$status" -eq 64 ] || fail "no arguments: exit $status"
"$batch" --help | grep -q '^Usage: sgsplit-batch FILE' || fail "--help"
"$batch" --version | grep -q '^sgsplit-batch [0-9]' || fail "--version"
echo "ok"
