#!/usr/bin/env bash
# Both packages as a user meets them. The .deb: built with the flags of
# dpkg-buildflags, the same bytes when built again from a copy elsewhere,
# lintian, then installed with dpkg, the installed sgsplit-batch run on a
# model, the menu entry, the metadata and both manual pages checked, and after
# removal nothing left. The .msi under a Wine prefix of its own: installed
# with stripped programs, found in the Start menu and the installed-programs
# list, the installed sgsplit-batch.exe run on a model, sgsplit.exe started
# from its shortcut, upgraded in place by a later version and by another build
# of it, an earlier version refused, and after removal nothing left.
# Installing needs root (as in CI); elsewhere only the packages are checked.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d)
export WINEPREFIX="$work/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko prompts, and no menu entries for the host's desktop.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
deb_installed=0
cleanup() {
  # A check that failed with the .deb installed leaves the machine as it was.
  [ "$deb_installed" = 0 ] || dpkg --purge sgsplit >/dev/null || true
  wineserver -k 2>/dev/null || true
  kill "${xvfb_pid:-}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=tests/shell_lib.sh
source tests/shell_lib.sh

# A model and what it becomes.
model_in=$'v 0 0 0\ng box\nusemtl red\ns 1\nf 1 2 3\ns off\nf 3 2 1\n'
model_out=$'v 0 0 0\r\nusemtl red\r\ng object1\r\no object1\r\nusemtl object1\r\ns 1\r\nf 1 2 3\r\ng object2\r\no object2\r\nusemtl object2\r\ns off\r\nf 3 2 1\r\n'
check_model() {  # FILE WHO
  [ "$(od -An -c "$1")" = "$(printf '%s' "$model_out" | od -An -c)" ] ||
    fail "$2 did not rewrite the model as expected"
}

echo "--- the icons are the ones scripts/make_icon.py draws"
python3 scripts/make_icon.py "$work/data"
diff -r "$work/data/icons" data/icons || fail "data/icons is not what make_icon.py draws"
cmp "$work/data/windows/sgsplit.ico" data/windows/sgsplit.ico ||
  fail "data/windows/sgsplit.ico is not what make_icon.py draws"

echo "--- build"
bash scripts/package.sh
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
deb=dist/sgsplit_${version}_amd64.deb
msi=dist/sgsplit-${version}-x64.msi
[ -f "$deb" ] || fail "no $deb"
[ -f "$msi" ] || fail "no $msi"

echo "--- built with the flags of dpkg-buildflags"
# With every hardening feature unless the caller chose, as package.sh builds.
export DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all}
for flag in $(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS); do
  grep -qF -- "$flag" build/package/compile_commands.json || fail "the .deb's programs are compiled without $flag"
done
for flag in $(dpkg-buildflags --get LDFLAGS); do
  grep -qF -- "$flag" build/package/build.ninja || fail "the .deb's programs are linked without $flag"
done

echo "--- the same .deb again, from a copy in another folder, under another umask"
copy="$work/another folder/sgsplit"
mkdir -p "$copy"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$copy"
(umask 000 && bash "$copy/scripts/package.sh" >"$work/copy.log" 2>&1) || { cat "$work/copy.log"; fail "package.sh in $copy"; }
cmp "$deb" "$copy/$deb" || fail "two builds of the .deb differ"

echo "--- lintian"
# Not even a warning or a pedantic note; information alone (an unneeded
# .comment section, which only dh_strip removes) is allowed.
lintian --fail-on error,warning,pedantic --pedantic --info "$deb"

echo "--- the .deb's contents"
listing=$(dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$')
for file in /usr/bin/sgsplit /usr/bin/sgsplit-batch /usr/share/applications/sgsplit.desktop \
  /usr/share/icons/hicolor/scalable/apps/sgsplit.svg /usr/share/icons/hicolor/16x16/apps/sgsplit.png \
  /usr/share/icons/hicolor/256x256/apps/sgsplit.png /usr/share/metainfo/org.sgsplit.sgsplit.metainfo.xml \
  /usr/share/man/man1/sgsplit.1.gz /usr/share/man/man1/sgsplit-batch.1.gz \
  /usr/share/doc/sgsplit/README.md.gz /usr/share/doc/sgsplit/copyright; do
  grep -qx "$file" <<<"$listing" || fail "$file is not in $deb"
done
# Documents over 4 KiB compressed, as Debian's own packages have them; the
# copyright file stays plain.
big_docs=$(dpkg-deb --contents "$deb" | awk '$1 ~ /^-/ && $3 > 4096 && $6 ~ /^\.\/usr\/share\/doc\// &&
  $6 !~ /\.gz$/ && $6 !~ /\/copyright$/ {print $6}')
[ -z "$big_docs" ] || fail "documents over 4 KiB left uncompressed: $big_docs"
dpkg-deb --field "$deb" Depends | grep -q 'libgtk-3-0' || fail "no dependency on GTK 3 (dpkg-shlibdeps)"
# Installed-Size as dpkg-gencontrol gives it for the same files, whatever file
# system the package was built on.
mkdir -p "$work/gencontrol/debian"
cp data/debian/changelog "$work/gencontrol/debian/"
printf 'Source: sgsplit\nMaintainer: %s\n\nPackage: sgsplit\nArchitecture: amd64\nDescription: %s\n %s\n' \
  "$(dpkg-deb --field "$deb" Maintainer)" sgsplit sgsplit >"$work/gencontrol/debian/control"
dpkg-deb -x "$deb" "$work/gencontrol/tree"
expected_size=$(cd "$work/gencontrol" && dpkg-gencontrol -psgsplit -Ptree -O | sed -n 's/^Installed-Size: //p')
[ "$(dpkg-deb --field "$deb" Installed-Size)" = "$expected_size" ] ||
  fail "Installed-Size is $(dpkg-deb --field "$deb" Installed-Size), dpkg-gencontrol counts $expected_size"

if [ "$(id -u)" -ne 0 ]; then
  echo "skip: installing the packages needs root"
  exit 0
fi

echo "--- dpkg -i"
if dpkg-query -W -f '${Status}' sgsplit 2>/dev/null | grep -q installed; then
  fail "sgsplit is installed already; this stage would replace it"
fi
# What of the package's paths exists before: only the rest must go again.
mapfile -t paths <<<"$listing"
before=()
for path in "${paths[@]}"; do [ -e "$path" ] && before+=("$path"); done
deb_installed=1
dpkg -i "$deb"
[ "$(/usr/bin/sgsplit-batch --version)" = "sgsplit-batch $version" ] || fail "installed version"
mkdir "$work/linux"
printf '%s' "$model_in" >"$work/linux/model.obj"
/usr/bin/sgsplit-batch "$work/linux/model.obj"
check_model "$work/linux/model.obj" "the installed sgsplit-batch"
entry=/usr/share/applications/sgsplit.desktop
desktop-file-validate "$entry"
grep -qx 'Exec=/usr/bin/sgsplit' "$entry" || fail "Exec line of $entry"
grep -qx 'Icon=sgsplit' "$entry" || fail "Icon line of $entry"
metainfo=/usr/share/metainfo/org.sgsplit.sgsplit.metainfo.xml
# Not even a pedantic note (a software centre shows the releases it lists).
report=$(appstreamcli validate --pedantic --no-net "$metainfo")
! grep -E '^[EWIP]: ' <<<"$report" || fail "appstreamcli validate --pedantic: $metainfo"
release_date=$(dpkg-parsechangelog -l data/debian/changelog -S Date | date -u -f - +%F)
grep -q "<release version=\"$version\" date=\"$release_date\"" "$metainfo" ||
  fail "$metainfo does not name release $version as the change log does"
for page in sgsplit sgsplit-batch; do
  heading=$(zcat "/usr/share/man/man1/$page.1.gz" | sed -n 1p)
  grep -qF " 1 \"$release_date\" \"sgsplit $version\"" <<<"$heading" ||
    fail "man $page is not dated $release_date, as the change log's entry for $version"
  text=$(MANWIDTH=80 man --warnings -l "/usr/share/man/man1/$page.1.gz" 2>"$work/man.err")
  [ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "man $page: warnings"; }
  grep -q '^EXIT STATUS' <<<"$text" || fail "man $page has no EXIT STATUS"
done

echo "--- dpkg --purge"
dpkg --purge sgsplit
deb_installed=0
! dpkg-query -W sgsplit >/dev/null 2>&1 || fail "sgsplit is still known to dpkg"
for path in "${paths[@]}"; do
  [ -e "$path" ] || continue
  printf '%s\n' "${before[@]}" | grep -qx -- "$path" || fail "$path left after removal"
done

echo "--- Wine prefix"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
[ -d "$WINEPREFIX/drive_c/windows" ] || fail "no Wine prefix"
wineserver -p
drive_c=$WINEPREFIX/drive_c
folder="$drive_c/Program Files/sgsplit"
# The all-users Start menu on Windows; Wine's installer puts even a
# per-machine product's shortcuts into the user's.
shortcuts=("$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/sgsplit.lnk"
  "$drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/sgsplit.lnk")
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# Products installed per machine (per-user ones are registered under HKCU).
machine_products='HKLM\Software\Classes\Installer\Products'
check_installed_batch() {  # WHO: the installed sgsplit-batch.exe rewrites a model
  printf '%s' "$model_in" >"$work/windows/model.obj"
  wine "$folder/sgsplit-batch.exe" "$(winepath -w "$work/windows/model.obj")" || fail "$1 exited with $?"
  check_model "$work/windows/model.obj" "$1"
}
installed_entries() {  # the installed-programs list's entries named sgsplit
  wine reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | grep -c 'DisplayName.*REG_SZ.*sgsplit$' || true
}
installed_version() {
  wine reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' |
    awk '/DisplayName.*sgsplit$/ {found = 1} found && /DisplayVersion/ {print $NF; exit}'
}

echo "--- msiexec /i"
wine msiexec /i "$(winepath -w "$msi")" /qn || fail "msiexec /i exited with $?"
for exe in sgsplit.exe sgsplit-batch.exe README.md; do
  [ -f "$folder/$exe" ] || fail "$exe is not in Program Files"
done
# The programs as the install step lays them out: stripped, with nothing of
# the build folder in them.
for exe in sgsplit.exe sgsplit-batch.exe; do
  problem=$(windows_program_problem "$folder/$exe" "$PWD") || fail "$exe $problem"
done
shortcut=
for link in "${shortcuts[@]}"; do [ -f "$link" ] && shortcut=$link; done
[ -n "$shortcut" ] || fail "no Start-menu shortcut"
# The shortcut leads to the installed desktop program and shows the icon,
# which the installer keeps in its own folder.
strings -a "$shortcut" | grep -qx 'C:\\Program Files\\sgsplit\\sgsplit\.exe' ||
  fail "the shortcut does not lead to sgsplit.exe"
icon=$(strings -a -el "$shortcut" | grep -o 'C:\\.*\\sgsplit\.ico$' || true)
{ [ -n "$icon" ] && [ -f "$(winepath -u "$icon")" ]; } || fail "the shortcut has no icon: ${icon:-none}"
[ "$(installed_entries)" = 1 ] || fail "sgsplit is not in the installed-programs list"
[ "$(installed_version)" = "$version" ] || fail "installed-programs list: version $(installed_version)"
wine reg query "$machine_products" /s 2>/dev/null | tr -d '\r' | grep -q 'ProductName.*REG_SZ.*sgsplit$' ||
  fail "sgsplit is not installed per machine"
mkdir "$work/windows"
check_installed_batch "the installed sgsplit-batch.exe"

echo "--- the Start-menu shortcut starts sgsplit.exe"
# On a display of its own, which Wine's desktop process must start on.
wineserver -k 2>/dev/null || true
wineserver -w
start_display 200 250
# start returns once the program has started.
wine start "$(winepath -w "$shortcut")"
window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Choose OBJ file to edit$' | head -n 1 || true)
[ -n "$window" ] || fail "the shortcut did not bring up the dialog"
sleep 1
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key Escape
# Cancelled, the program ends, and with it every process of the prefix.
timeout 60 wineserver -w || fail "sgsplit.exe did not end on Escape"

echo "--- a later version upgrades in place"
later=$(awk -F. '{print $1 "." $2 "." $3 + 1}' <<<"$version")
cp -r build/windows/msi "$work/later"
(cd "$work/later" && wixl --arch x64 --define "Version=$later" --output "$work/later.msi" sgsplit.wxs)
wine msiexec /i "$(winepath -w "$work/later.msi")" /qn || fail "msiexec /i of $later exited with $?"
[ "$(installed_entries)" = 1 ] || fail "$(installed_entries) entries after the upgrade"
[ "$(installed_version)" = "$later" ] || fail "after the upgrade: version $(installed_version)"
check_installed_batch "the upgraded sgsplit-batch.exe"

echo "--- another build of the same version replaces it; an earlier one is refused"
# Each build has a product code of its own.
(cd "$work/later" && wixl --arch x64 --define "Version=$later" --output "$work/rebuilt.msi" sgsplit.wxs)
wine msiexec /i "$(winepath -w "$work/rebuilt.msi")" /qn || fail "msiexec /i of a rebuilt $later exited with $?"
[ "$(installed_entries)" = 1 ] || fail "$(installed_entries) entries after another build of $later"
check_installed_batch "the rebuilt sgsplit-batch.exe"
! wine msiexec /i "$(winepath -w "$msi")" /qn || fail "$version was installed over $later"
[ "$(installed_entries)" = 1 ] || fail "$(installed_entries) entries after $version was refused"
[ "$(installed_version)" = "$later" ] || fail "after $version was refused: version $(installed_version)"
check_installed_batch "sgsplit-batch.exe after $version was refused"

echo "--- msiexec /x"
wine msiexec /x "$(winepath -w "$work/rebuilt.msi")" /qn || fail "msiexec /x exited with $?"
left=$(find "$drive_c" -iname '*sgsplit*')
[ -z "$left" ] || fail "left after removal: $left"
for link in "${shortcuts[@]}"; do
  [ ! -e "$link" ] || fail "the Start-menu shortcut is left after removal"
done
[ "$(installed_entries)" = 0 ] || fail "sgsplit is still in the installed-programs list"
for key in 'HKLM\Software' 'HKCU\Software'; do
  left=$(wine reg query "$key" /s 2>/dev/null | tr -d '\r' | grep -i sgsplit || true)
  [ -z "$left" ] || fail "left in the registry after removal: $left"
done
echo "ok: $deb $msi"
