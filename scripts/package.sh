#!/usr/bin/env bash
# Builds both packages into dist/: sgsplit_<version>_amd64.deb, by CPack's DEB
# generator from the "package" preset (installed under /usr) and packed again
# by dpkg-deb, and
# sgsplit-<version>-x64.msi, by wixl from the Windows cross build. Needs the
# packages from scripts/deps.sh; does not need root.
#
# The .deb is built as dpkg-buildpackage would: with the compiler and linker
# flags of dpkg-buildflags (every hardening feature, unless
# DEB_BUILD_MAINT_OPTIONS says otherwise), and, unless SOURCE_DATE_EPOCH is
# set, with the time of the change log's latest entry on every file, so that
# the same sources give the same bytes wherever and by whom they are built.
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022
jobs=${SGSPLIT_JOBS:-2}
for tool in dpkg-buildflags dpkg-deb dpkg-parsechangelog dpkg-shlibdeps file wixl; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (see scripts/deps.sh)" >&2; exit 1; }
done

echo "--- Debian package"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(dpkg-parsechangelog -l data/debian/changelog -S Timestamp)}
# dpkg-buildflags maps this folder to "." in the debugging information only
# where its name holds no blank; the compile commands go through the shell,
# so the map is made here, quoted, wherever the folder is.
export DEB_BUILD_MAINT_OPTIONS="${DEB_BUILD_MAINT_OPTIONS:-hardening=+all} reproducible=-fixfilepath,-fixdebugpath"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cxxflags+=" $(printf '%q' "-ffile-prefix-map=$PWD=.")"
cmake --preset package -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build --preset package -j "$jobs"
rm -f build/package/sgsplit_*.deb
(cd build/package && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
deb=build/package/sgsplit_${version}_amd64.deb
# CPack's Installed-Size adds up the sizes the file system reports for the
# folders too (4096 bytes each on ext4, a few dozen on tmpfs): the field
# overstated the space, and the .deb changed with the file system it was built
# on. It is counted again as dpkg-gencontrol counts it, each file's size in KiB
# rounded up and one KiB for each folder, and the package packed again by
# dpkg-deb.
tree=build/package/deb-tree
rm -rf "$tree"
dpkg-deb -R "$deb" "$tree"
size=$(find "$tree" -path "$tree/DEBIAN" -prune -o \( -type f -printf '%s\n' \) -o -printf 'x\n' |
  awk '$1 == "x" { kib += 1; next } { kib += int(($1 + 1023) / 1024) } END { print kib }')
sed -i "s/^Installed-Size: .*/Installed-Size: $size/" "$tree/DEBIAN/control"
dpkg-deb --root-owner-group --build "$tree" "$deb" >/dev/null

echo "--- Windows installer"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target msi
msi=build/windows/sgsplit-${version}-x64.msi

mkdir -p dist
rm -f dist/sgsplit_*.deb dist/sgsplit-*.msi
cp "$deb" "$msi" dist/
ls -l dist/
