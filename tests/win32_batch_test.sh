#!/usr/bin/env bash
# sgsplit-batch.exe under Wine gives the very bytes that the Linux build
# gives, on generated models. Usage: win32_batch_test.sh SGSPLIT_BATCH_EXE LINUX_SGSPLIT_BATCH
# Needs WINEPREFIX set to a prefix that exists.
set -euo pipefail
exe=$1
native=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
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

# Wine's temporary folder holds nothing of ours.
temp=$(winepath -u "$(wine cmd.exe /c echo %TEMP% | tr -d '\r')")
ls "$temp"/obj*.tmp >/dev/null 2>&1 && fail "temporary files left in $temp"

# A missing file: one message and exit code 1, as on Linux.
status=0
wine "$exe" "$(winepath -w "$work/missing.obj")" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "missing file: exit $status"
grep -q '^sgsplit-batch: .*missing\.obj: cannot open for reading: ' "$work/err" ||
  fail "missing file: message $(cat "$work/err")"

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
echo "ok: ${#names[@]} models byte for byte as on Linux"
