#!/usr/bin/env bash
# What `cmake --install` lays out: both programs, a valid menu entry that
# starts the desktop program with its icon, the manual pages and the AppStream
# metadata; nothing outside the prefix, nothing that others may write to, no
# RPATH. Installed once under the configured prefix (with DESTDIR) and once
# under another one given to --install, as packagers and README's
# `--prefix ~/.local` do. Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

check_layout() {  # ROOT PREFIX: the tree installed with PREFIX, found under ROOT
  local root=$1 prefix=$2
  local entry="$root$prefix/share/applications/sgsplit.desktop"
  local share=$root$prefix/share
  for file in "$root$prefix/bin/sgsplit" "$root$prefix/bin/sgsplit-batch" "$entry" \
    "$share/icons/hicolor/scalable/apps/sgsplit.svg" "$share/icons/hicolor/48x48/apps/sgsplit.png" \
    "$share/man/man1/sgsplit.1.gz" "$share/man/man1/sgsplit-batch.1.gz" \
    "$share/metainfo/org.sgsplit.sgsplit.metainfo.xml" "$share/doc/sgsplit/copyright"; do
    [ -e "$file" ] || fail "$file not installed"
  done
  desktop-file-validate "$entry"
  # The entry starts the program where it was installed; a path with a blank
  # in it is quoted, or the menu would run its first word.
  local exec=$prefix/bin/sgsplit
  [[ $exec == *' '* ]] && exec=\"$exec\"
  exec=${exec//%/%%}
  grep -qxF "Exec=$exec" "$entry" || fail "Exec line of $entry: $(grep '^Exec=' "$entry"), not Exec=$exec"
  grep -qx "Icon=sgsplit" "$entry" || fail "Icon line"
  local writable
  writable=$(find "$root$prefix" -perm /022 -printf '%M %p\n')
  [ -z "$writable" ] || fail "writable by others: $writable"
  for program in sgsplit sgsplit-batch; do
    ! readelf -d "$root$prefix/bin/$program" | grep -E 'RPATH|RUNPATH' || fail "$program has an RPATH"
  done
}

# Under a umask that hides nothing, so that every mode comes from the install.
umask 000
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
DESTDIR="$stage/root" cmake --install "$build" >/dev/null
check_layout "$stage/root" "$prefix"
outside=$(find "$stage/root" -not -type d -not -path "$stage/root$prefix/*")
[ -z "$outside" ] || fail "installed outside the prefix: $outside"

# A blank and a percent sign followed by a field code's letter in the path.
other="$stage/other 100%f prefix"
cmake --install "$build" --prefix "$other" >/dev/null
check_layout "" "$other"
# A launcher that reads the entry runs the program installed there or
# nothing; GLib's refuses an entry whose program it cannot find before the
# percent signs are undone, so an entry under a plain prefix is launched too.
# Without a display the program ends at once, and strace follows the
# launcher's children to the end. Sets $ran to the programs named sgsplit
# that the launcher ran or tried to.
command -v gio >/dev/null || fail "gio (libglib2.0-bin) is needed to launch the menu entry"
launch() {
  env -u DISPLAY -u WAYLAND_DISPLAY strace -f -qq -e trace=execve -o "$stage/launch.trace" \
    gio launch "$1/share/applications/sgsplit.desktop" 2>/dev/null || true
  ran=$(sed -n 's/.*execve("\([^"]*\/bin\/sgsplit\)".*/\1/p' "$stage/launch.trace")
}
launch "$other"
[ -z "$ran" ] || [ "$ran" = "$other/bin/sgsplit" ] || fail "the menu entry runs another program: $ran"
outside=$(grep -v "^$other/" "$build/install_manifest.txt" || true)
[ -z "$outside" ] || fail "installed outside the prefix: $outside"
plain=$stage/plain
cmake --install "$build" --prefix "$plain" >/dev/null
launch "$plain"
[ "$ran" = "$plain/bin/sgsplit" ] || fail "the menu entry under $plain runs ${ran:-nothing}"
echo ok
