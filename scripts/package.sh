#!/usr/bin/env bash
# Builds both packages into dist/: sgsplit_<version>_amd64.deb, by CPack's DEB
# generator from the "package" preset (installed under /usr), and
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
for tool in dpkg-buildflags dpkg-parsechangelog dpkg-shlibdeps file wixl; do
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

echo "--- Windows installer"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target msi
msi=build/windows/sgsplit-${version}-x64.msi

mkdir -p dist
rm -f dist/sgsplit_*.deb dist/sgsplit-*.msi
cp "$deb" "$msi" dist/
ls -l dist/
