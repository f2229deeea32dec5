#!/usr/bin/env bash
# The Windows build, cross-compiled with MinGW-w64 and tested under Wine: the
# unit suite by ctest, the command-line program against the Linux build's
# bytes, the desktop program's dialog on a headless X server, and the ZIP.
set -euo pipefail

work=$(mktemp -d)
# A Wine prefix of the stage's own, made fresh; no Mono or Gecko prompts.
export WINEPREFIX="$work/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=tests/shell_lib.sh
source tests/shell_lib.sh

echo "--- Wine prefix"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
[ -d "$WINEPREFIX/drive_c/windows" ] || { echo "FAIL: no Wine prefix" >&2; exit 1; }
# Keep one server running for the whole stage rather than one per program,
# and let its first, slow start happen here.
wineserver -p
wine cmd.exe /c exit >/dev/null 2>&1

echo "--- build"
cmake --preset windows
cmake --build --preset windows -j 2

echo "--- the programs stand alone"
# A GUI program and a console program, importing only the system's own DLLs.
for exe in sgsplit sgsplit-batch; do
  headers=$(x86_64-w64-mingw32-objdump -p "build/windows/$exe.exe")
  if grep -i 'DLL Name: lib' <<<"$headers"; then
    echo "FAIL: $exe.exe needs runtime DLLs" >&2
    exit 1
  fi
done
grep -q 'Subsystem.*(Windows GUI)' <<<"$(x86_64-w64-mingw32-objdump -p build/windows/sgsplit.exe)" ||
  { echo "FAIL: sgsplit.exe is not a GUI program" >&2; exit 1; }
grep -q 'Subsystem.*(Windows CUI)' <<<"$(x86_64-w64-mingw32-objdump -p build/windows/sgsplit-batch.exe)" ||
  { echo "FAIL: sgsplit-batch.exe is not a console program" >&2; exit 1; }

echo "--- unit tests under Wine"
ctest --preset windows

echo "--- sgsplit-batch.exe against the Linux build"
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target sgsplit-batch held_write
bash tests/win32_batch_test.sh build/windows/sgsplit-batch.exe build/default/sgsplit-batch \
  build/default/tests/held_write

echo "--- sgsplit.exe and its dialog"
bash tests/win32_desktop_test.sh build/windows/sgsplit.exe build/windows/sgsplit-batch.exe \
  build/windows/tests/hold_file.exe build/windows/tests/message_text.exe \
  build/windows/tests/enter_file_name.exe

echo "--- package"
(cd build/windows && cpack -G ZIP)
zip=$(ls build/windows/sgsplit-*-windows-x64.zip)
listing=$(cmake -E tar tf "$zip")
for member in sgsplit.exe sgsplit-batch.exe README.md; do
  grep -q "/$member\$" <<<"$listing" || { echo "FAIL: $member missing from $zip" >&2; exit 1; }
done
# The programs in it are stripped, with nothing of the build folder in them.
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$OLDPWD/$zip")
for exe in "$work"/zip/*/sgsplit.exe "$work"/zip/*/sgsplit-batch.exe; do
  problem=$(windows_program_problem "$exe" "$PWD") ||
    { echo "FAIL: $(basename "$exe") in $zip $problem" >&2; exit 1; }
done
echo "ok: $zip"
