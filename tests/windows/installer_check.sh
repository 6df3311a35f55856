#!/usr/bin/env bash
# Checks the Windows distribution under Wine: the zip holds tarvel.exe, the
# manual and README.txt; the installer, run silently, puts the program in
# the user's programs folder, on PATH (a new shell runs "tarvel") and in the
# Start menu, with a full uninstall entry, and its uninstaller takes all of
# that away again, leaving the user's Path value as it was.
#   tests/windows/installer_check.sh BUILD_DIR   (after packaging/windows/make-dist)
set -euo pipefail
build=$(cd "$1" && pwd)
wine=$(cd "$(dirname "$0")/../.." && pwd)/cmake/wine-run
export WINEPREFIX=$build/wineprefix-installer
rm -rf "$WINEPREFIX"
fail=0
check() {
  local name=$1
  shift
  if "$@"; then echo "ok: $name"; else echo "FAIL: $name"; fail=1; fi
}
has() { grep -qi -- "$1" <<<"$2"; }
lacks() { ! has "$@"; }

zip=$(ls "$build"/tarvel-*-windows-x64.zip)
setup=$(ls "$build"/tarvel-*-windows-x64-setup.exe)
listing=$(unzip -Z1 "$zip")
for f in tarvel.exe tarvelw.exe UsersManual.PDF README.txt; do
  check "the zip holds $f" has "/$f\$" "$listing"
done

# Wine's server and services first, on no output of ours: a service started
# by a program whose output is captured below would hold it open.
"$wine" wineboot </dev/null >/dev/null 2>&1
path_before=$("$wine" reg query 'HKCU\Environment' /v Path 2>/dev/null | tr -d '\r' || true)
"$wine" "$setup" /S
users=$WINEPREFIX/drive_c/users/$(id -un)
installed=$users/AppData/Local/Programs/Tarvel
menu="$users/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Tarvel Control Software"
check "tarvel.exe installed" test -f "$installed/tarvel.exe"
check "tarvelw.exe installed" test -f "$installed/tarvelw.exe"
check "the manual installed" test -f "$installed/UsersManual.PDF"
check "Start menu: command prompt" test -f "$menu/Tarvel command prompt.lnk"
check "Start menu: the windows" test -f "$menu/Tarvel Control Software.lnk"
check "the windows' shortcut starts tarvelw.exe" has 'tarvelw\.exe' "$(strings -e l "$menu/Tarvel Control Software.lnk"; strings "$menu/Tarvel Control Software.lnk")"
check "Start menu: manual" test -f "$menu/User's Manual.lnk"
path=$("$wine" reg query 'HKCU\Environment' /v Path | tr -d '\r')
check "on the user's PATH" has 'Programs\\Tarvel' "$path"
version=$("$wine" cmd /c tarvel --version | tr -d '\r')
check "a new shell runs tarvel from PATH ($version)" has '^tarvel ' "$version"
entry=$("$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel' | tr -d '\r')
for value in DisplayName DisplayVersion Publisher DisplayIcon InstallLocation EstimatedSize UninstallString; do
  check "the uninstall entry has $value" has "^ *$value " "$entry"
done
check "the uninstall entry's icon is tarvel.exe's" has 'DisplayIcon.*Programs\\Tarvel\\tarvel.exe' "$entry"
size=$(sed -n 's/.*EstimatedSize *REG_DWORD *0x\([0-9a-fA-F]*\).*/\1/p' <<<"$entry")
check "the uninstall entry's size is tarvel.exe's at least (${size:-none} KiB)" \
  test "$((16#${size:-0} * 1024))" -ge "$(stat -c %s "$installed/tarvel.exe")"

"$wine" "$installed/Uninstall.exe" /S
for _ in $(seq 50); do [[ -e $installed/tarvel.exe ]] || break; sleep 0.2; done
path=$("$wine" reg query 'HKCU\Environment' /v Path 2>/dev/null | tr -d '\r' || true)
check "uninstalled" test ! -e "$installed/tarvel.exe"
check "tarvelw.exe uninstalled" test ! -e "$installed/tarvelw.exe"
check "Start menu entries removed" test ! -e "$menu"
check "off the PATH" lacks 'Programs\\Tarvel' "$path"
check "the user's Path value as before the install" test "$path" = "$path_before"
wineserver -k 2>/dev/null || true
exit $fail
