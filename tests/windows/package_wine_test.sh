#!/usr/bin/env bash
# The Windows package: the folder holds every DLL its programs import that Windows does not
# ship, and none that nothing loads; the installer, run silently under wine in a prefix of its
# own, installs that folder, a Start-menu entry and (only when asked) a Startup shortcut, both
# starting the program in the user's %LOCALAPPDATA%\Kestrun; the uninstaller removes the
# program, its shortcuts and its registration, and leaves the user's list where it was.
# Usage: package_wine_test.sh <wine loader> <wine prefix to make> <folder> <setup.exe> <objdump>
# shellcheck disable=SC2317 # the predicates run through check
set -uo pipefail
# shellcheck source=../e2e/lib.sh
source "$(dirname "$0")/../e2e/lib.sh"

(($# == 5)) || {
  echo "usage: package_wine_test.sh <wine loader> <wine prefix> <folder> <setup.exe> <objdump>"
  exit 2
}
wine_enter_netns "$0" "$@"
folder=$3 setup=$4 objdump=$5
[[ -d "$folder" ]] || e2e_skip "no package folder at $folder (build the mingw preset)"
[[ -f "$setup" ]] || e2e_skip "no installer at $setup (scripts/windows makes it)"
command -v "$objdump" >/dev/null || e2e_skip "no $objdump (Debian: binutils-mingw-w64-x86-64)"
e2e_setup "$folder/kestrun.exe"
rm -rf "$2"
wine_setup "$1" "$2"
wine() { "$WINE_LOADER" "$@"; }

lower() { tr '[:upper:]' '[:lower:]'; }
imports() { "$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p' | lower; }

# --- the folder ---

system32=$WINEPREFIX/drive_c/windows/system32
shipped=$(cd "$folder" && find . -maxdepth 1 -iname '*.dll' -printf '%f\n' | lower | sort)
imported=$(for f in "$folder"/*.exe "$folder"/*.dll "$folder"/platforms/*.dll; do imports "$f"; done | sort -u)
missing=()
for dll in $imported; do
  grep -qxF "$dll" <<<"$shipped" && continue
  # API sets: names the loader maps to the system's own DLLs.
  [[ $dll == api-ms-win-* || $dll == ext-ms-* ]] && continue
  [[ -n "$(find "$system32" -maxdepth 1 -iname "$dll" -print -quit)" ]] || missing+=("$dll")
done
check "every DLL the folder's programs import is in it or in Windows (missing: ${missing[*]:-none})" \
  test ${#missing[@]} -eq 0
unused=$(comm -23 <(printf '%s\n' "$shipped") <(printf '%s\n' "$imported") | paste -sd' ')
check "every DLL in the folder is imported by one of its programs (unused: ${unused:-none})" \
  test -z "$unused"
check "the Windows platform plugin is in platforms/" test -f "$folder/platforms/qwindows.dll"
headers=$("$objdump" -p "$folder/kestrun.exe")
check "kestrun.exe is a GUI-subsystem program" grep -qE '^Subsystem\s+0*2\s' <<<"$headers"
check "no program in the folder uses QtDBus" eval '! grep -qi dbus <<<"$imported"'

# --- install, install again with the Startup shortcut, uninstall ---

install_dir=$WINEPREFIX/drive_c/Program\ Files/Kestrun
user_dir() { find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1; }
programs=$(user_dir)/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs
menu_link=$programs/Velmora\ Kestrunner.lnk
startup_link=$programs/StartUp/Velmora\ Kestrunner.lnk
local_dir=$(user_dir)/AppData/Local/Kestrun
common_menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Velmora\ Kestrunner
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrun'

# The folder a shortcut starts its program in, and its target, as the .lnk file stores them
# (UTF-16 strings, each after a one-character length).
link_strings() { strings -el "$1" | sed 's/^.//'; }
starts_in_user_folder() {
  grep -qixF "C:\\users\\$(basename "$(user_dir)")\\AppData\\Local\\Kestrun" <<<"$(link_strings "$1")"
}
targets_installed_exe() {
  grep -qixF 'C:\Program Files\Kestrun\kestrun.exe' <<<"$(link_strings "$1")"
}
same_files() { diff -r "$folder" "$install_dir" --exclude=Uninstall.exe >/dev/null; }
registered() { wine reg query "$uninstall_key" >/dev/null 2>&1; }

wine "$setup" /S
"$WINE_SERVER" -w
check "the installer puts the whole folder in Program Files\\Kestrun" same_files
check "it writes an uninstaller" test -f "$install_dir/Uninstall.exe"
check "it makes the user's folder %LOCALAPPDATA%\\Kestrun" test -d "$local_dir"
check "the Start-menu entry is there" test -f "$menu_link"
check "it starts kestrun.exe from the install folder" targets_installed_exe "$menu_link"
check "it starts the program in %LOCALAPPDATA%\\Kestrun" starts_in_user_folder "$menu_link"
check "without /AUTOSTART there is no Startup shortcut" test ! -e "$startup_link"
check "the program is registered for uninstalling" registered
check "the uninstaller has its Start-menu folder" test -f "$common_menu/Uninstall.lnk"

wine "$setup" /S /AUTOSTART
"$WINE_SERVER" -w
check "installed again with /AUTOSTART, the Startup shortcut is there" test -f "$startup_link"
check "it starts the program in %LOCALAPPDATA%\\Kestrun too" starts_in_user_folder "$startup_link"
check "the folder is still the package's" same_files

write_record "$local_dir/applications.dat" Alpha 'C:\Tools\alpha.exe' 1
cp "$local_dir/applications.dat" "$E2E_TMP/list-before"
wine "$install_dir/Uninstall.exe" /S
"$WINE_SERVER" -w
check "the uninstaller removes the program" test ! -e "$install_dir/kestrun.exe"
check "it removes the Start-menu entry" test ! -e "$menu_link"
check "it removes the Startup shortcut" test ! -e "$startup_link"
check "it removes the registration" eval '! registered'
check "it removes its own Start-menu folder" test ! -e "$common_menu"
check "the user's list stays as it was" cmp -s "$local_dir/applications.dat" "$E2E_TMP/list-before"

e2e_finish
