#!/usr/bin/env bash
# Builds both packages into dist/: sgsplit_<version>_amd64.deb, by CPack's DEB
# generator from the "package" preset (installed under /usr), and
# sgsplit-<version>-x64.msi, by wixl from the Windows cross build. Needs the
# packages from scripts/deps.sh; does not need root.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${SGSPLIT_JOBS:-2}
for tool in dpkg-shlibdeps file wixl; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (see scripts/deps.sh)" >&2; exit 1; }
done

echo "--- Debian package"
cmake --preset package >/dev/null
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
