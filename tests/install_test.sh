#!/usr/bin/env bash
# What `cmake --install` lays out: both programs and a valid menu entry that
# starts the desktop program. Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
entry="$stage$prefix/share/applications/sgsplit.desktop"
for file in "$stage$prefix/bin/sgsplit" "$stage$prefix/bin/sgsplit-batch" "$entry"; do
  [ -e "$file" ] || { echo "FAIL: $file not installed" >&2; exit 1; }
done
desktop-file-validate "$entry"
grep -qx "Exec=$prefix/bin/sgsplit" "$entry" || { echo "FAIL: Exec line" >&2; exit 1; }
echo ok
