#!/usr/bin/env bash
# What `cmake --install` lays out: both programs, a valid menu entry that
# starts the desktop program with its icon, the manual pages and the AppStream
# metadata. Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
entry="$stage$prefix/share/applications/sgsplit.desktop"
share=$stage$prefix/share
for file in "$stage$prefix/bin/sgsplit" "$stage$prefix/bin/sgsplit-batch" "$entry" \
  "$share/icons/hicolor/scalable/apps/sgsplit.svg" "$share/icons/hicolor/48x48/apps/sgsplit.png" \
  "$share/man/man1/sgsplit.1.gz" "$share/man/man1/sgsplit-batch.1.gz" \
  "$share/metainfo/org.sgsplit.sgsplit.metainfo.xml" "$share/doc/sgsplit/copyright"; do
  [ -e "$file" ] || { echo "FAIL: $file not installed" >&2; exit 1; }
done
desktop-file-validate "$entry"
grep -qx "Exec=$prefix/bin/sgsplit" "$entry" || { echo "FAIL: Exec line" >&2; exit 1; }
grep -qx "Icon=sgsplit" "$entry" || { echo "FAIL: Icon line" >&2; exit 1; }
echo ok
