#!/usr/bin/env bash
# The Windows package, under wine in a prefix of its own, on Xvfb with trayer for the program.
# The folder (and the zip, which holds the same files): every DLL its programs import that
# Windows does not ship and none that nothing loads; the licences and a README naming every file;
# the programs' icons, manifests and version information. The installer, run silently: a per-user
# install (the user's %LOCALAPPDATA%\Programs, HKCU, nothing machine-wide) with a complete
# registration and one Start-menu entry starting the program in %LOCALAPPDATA%\Kestrun; an upgrade
# over /AUTOSTART keeping the Startup shortcut and ending the running program first, its icon
# gone; an upgrade keeping "no shortcuts" and the folder the user chose. The uninstaller, with the
# program running: the program ends, and no file or key of ours is left but the user's list. The
# list stays byte for byte throughout. Last, the installer's pages taken with Enter: the Finish
# page's "Run Velmora Kestrunner", ticked, starts the program on the user's list.
# Usage: package_wine_test.sh <wine loader> <wine prefix to make> <folder> <setup.exe> <objdump>
# shellcheck disable=SC2317 # the predicates run through check
# shellcheck disable=SC2034 # E2E_KESTRUN is the program start_wine_kestrun starts
set -uo pipefail
# shellcheck source=../e2e/lib.sh
source "$(dirname "$0")/../e2e/lib.sh"

(($# == 5)) || {
  echo "usage: package_wine_test.sh <wine loader> <wine prefix> <folder> <setup.exe> <objdump>"
  exit 2
}
wine_enter_netns "$0" "$@"
folder=$3 setup=$4 objdump=$5
zip=${setup%-setup.exe}.zip
pe_resources=$(dirname "$(readlink -f "$0")")/pe_resources.py
[[ -d "$folder" ]] || e2e_skip "no package folder at $folder (build the mingw preset)"
[[ -f "$setup" && -f "$zip" ]] || e2e_skip "no installer or zip beside $setup (scripts/windows makes them)"
command -v "$objdump" >/dev/null || e2e_skip "no $objdump (Debian: binutils-mingw-w64-x86-64)"
# Debian's python3-pefile belongs to the system's Python, which may not be the first in PATH.
python=""
for candidate in /usr/bin/python3 python3; do
  "$candidate" -c 'import pefile' 2>/dev/null && python=$candidate && break
done
[[ -n "$python" ]] || e2e_skip "no python3-pefile"
e2e_setup "$folder/kestrun.exe"
rm -rf "$2"
wine_setup "$1" "$2"
wine() { "$WINE_LOADER" "$@"; }
# Runs a setup program or uninstaller to its end (it hands over to a copy of itself in the
# temporary folder and returns at once, so the wine session's end is what tells).
run_to_end() {
  wine "$@"
  timeout 120 "$WINE_SERVER" -w
}

lower() { tr '[:upper:]' '[:lower:]'; }
imports() { "$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p' | lower; }
pe() { "$python" "$pe_resources" "$@"; }

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

# The licences: Kestrun's, Qt's LGPL-3 with its version and source (and the GPL-3 it builds
# on), libjpeg-turbo's notice; a README that names every file of the folder.
has() { grep -qF -- "$2" "$folder/$1"; }
check "LICENSE.txt is the MIT licence" has LICENSE.txt "Permission is hereby granted, free of charge"
check "LICENSE.Qt.txt is the LGPL-3" has LICENSE.Qt.txt "GNU LESSER GENERAL PUBLIC LICENSE"
check "LICENSE.Qt.txt gives Qt's version" grep -qE '^Qt 6\.[0-9]+\.[0-9]+' "$folder/LICENSE.Qt.txt"
check "LICENSE.Qt.txt says where Qt's source is (Debian's qt6-base)" \
  grep -qE 'apt-get source qt6-base=6\.[0-9.]+\+dfsg-[0-9]+' "$folder/LICENSE.Qt.txt"
check "LICENSE.GPL-3.txt is the GPL-3" has LICENSE.GPL-3.txt "GNU GENERAL PUBLIC LICENSE"
check "LICENSE.libjpeg-turbo.txt acknowledges the IJG" \
  has LICENSE.libjpeg-turbo.txt "based in part on the work of the Independent JPEG Group"
unnamed=$(cd "$folder" && find . -type f -printf '%P\n' | tr / '\\' | while read -r f; do
  grep -qF -- "$f" README.txt || printf '%s ' "$f"
done)
check "README.txt names every file in the folder (not: ${unnamed:-none})" test -z "$unnamed"
lf_only=$(cd "$folder" && for f in *.txt; do grep -q $'[^\r]$' "$f" && printf '%s ' "$f"; done)
check "the texts have Windows line ends (not: ${lf_only:-none})" test -z "$lf_only"
zip_names() { "$python" -m zipfile -l "$zip" | awk 'NR > 1 && $1 !~ /\/$/ { print $1 }' | sed 's|^[^/]*/||' | sort; }
check "the zip holds the folder's files" \
  test "$(zip_names)" == "$(cd "$folder" && find . -type f -printf '%P\n' | sort)"

readonly SIZES=16,24,32,48,256
readonly WINDOWS10='{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'
version=$(basename "$folder" | sed -n 's/^kestrun-\([0-9.]*\)-win64$/\1/p')
check "kestrun.exe carries its icon at $SIZES px" pe "$folder/kestrun.exe" icons $SIZES
check "kestrun.exe has a manifest: as invoker, per-monitor DPI (v2), Windows 10/11" \
  pe "$folder/kestrun.exe" manifest 'level="asInvoker"' '>PerMonitorV2<' "$WINDOWS10"
check "kestrun.exe has its version information" pe "$folder/kestrun.exe" version \
  "ProductName=Velmora Kestrunner" "CompanyName=Velmora" "FileVersion=$version"
check "setup.exe carries the icon at $SIZES px" pe "$setup" icons $SIZES
check "setup.exe asks for no elevation" pe "$setup" manifest 'level="asInvoker"'
check "setup.exe has its version information" pe "$setup" version \
  "ProductName=Velmora Kestrunner" "CompanyName=Velmora" "FileVersion=$version" \
  "ProductVersion=$version"

# --- where an install for this user goes ---

user_dir=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1)
user=$(basename "$user_dir")
install_dir=$user_dir/AppData/Local/Programs/Kestrun
install_win="C:\\users\\$user\\AppData\\Local\\Programs\\Kestrun"
start_menu=$user_dir/AppData/Roaming/Microsoft/Windows/Start\ Menu
menu_link=$start_menu/Programs/Velmora/Velmora\ Kestrunner.lnk
startup_link=$start_menu/Programs/StartUp/Velmora\ Kestrunner.lnk
local_dir=$user_dir/AppData/Local/Kestrun
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrun'

# link_has LNK PATH: the shortcut stores PATH (its target or the folder it starts its program
# in) as one of its UTF-16 strings, after a length that strings shows when it is printable.
link_has() {
  strings -el "$1" | want=$2 awk 'BEGIN { want = tolower(ENVIRON["want"]) }
    { s = tolower($0) } s == want || substr(s, 2) == want { found = 1 } END { exit !found }'
}
starts_in_user_folder() { link_has "$1" "C:\\users\\$user\\AppData\\Local\\Kestrun"; }
targets() { link_has "$1" "$2\\kestrun.exe"; }
same_files() { diff -r "$folder" "$1" --exclude=Uninstall.exe >/dev/null; }
# reg_value NAME: "TYPE VALUE" of the registration's value NAME.
reg_value() {
  wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' |
    awk -v name="$1" '$1 == name { $1 = ""; print substr($0, 2) }'
}
registered() { wine reg query "$key" >/dev/null 2>&1; }
our_links() { find "$start_menu" -iname '*kestrun*' -o -iname '*velmora*' | sort; }
list_kept() { cmp -s "$local_dir/applications.dat" "$E2E_TMP/list"; }

# The user has a list from before.
mkdir -p "$local_dir"
write_record "$local_dir/applications.dat" Alpha 'C:\Tools\alpha.exe' 1
write_record "$local_dir/applications.dat" Beta 'C:\Tools\beta.exe' 0
cp "$local_dir/applications.dat" "$E2E_TMP/list"

# --- a silent install ---

run_to_end "$setup" /S
check "the install puts the whole folder in %LOCALAPPDATA%\\Programs\\Kestrun" same_files "$install_dir"
check "it writes an uninstaller there" test -f "$install_dir/Uninstall.exe"
check "nothing goes to Program Files" \
  test -z "$(find "$WINEPREFIX/drive_c/Program Files" -maxdepth 1 -iname kestrun)"
check "nothing is registered for all users" eval '! wine reg query "HKLM\\${key#HKCU\\}" >/dev/null 2>&1'
check "the one Start-menu entry is Velmora\\Velmora Kestrunner (got: $(our_links | paste -sd' '))" \
  test "$(our_links)" == "$(printf '%s\n' "$start_menu/Programs/Velmora" "$menu_link")"
check "it starts kestrun.exe from the install folder" targets "$menu_link" "$install_win"
check "it starts the program in %LOCALAPPDATA%\\Kestrun" starts_in_user_folder "$menu_link"
check "without /AUTOSTART there is no Startup shortcut" test ! -e "$startup_link"
check "the list is as it was" list_kept
for entry in "DisplayName|REG_SZ Velmora Kestrunner" "DisplayVersion|REG_SZ $version" \
  "Publisher|REG_SZ Velmora" "InstallLocation|REG_SZ $install_win" \
  "DisplayIcon|REG_SZ $install_win\\kestrun.exe,0" \
  "UninstallString|REG_SZ \"$install_win\\Uninstall.exe\"" \
  "URLInfoAbout|REG_SZ https://kestrunner.example.org/" \
  "NoModify|REG_DWORD 0x1" "NoRepair|REG_DWORD 0x1"; do
  name=${entry%%|*} wanted=${entry#*|}
  got=$(reg_value "$name")
  check "HKCU registration: $name is $wanted (got: ${got:-none})" test "$got" == "$wanted"
done
size=$(reg_value EstimatedSize)
kib=$(du -sk --apparent-size "$install_dir" | cut -f1)
# Within a tenth of the folder's size in KiB.
size_close() {
  [[ $size == "REG_DWORD 0x"* ]] || return 1
  local got=$((${size#REG_DWORD }))
  ((got > kib * 9 / 10 && got < kib * 11 / 10))
}
check "EstimatedSize is a DWORD of the folder's size in KiB (got: $size, folder $kib KiB)" size_close
check "the uninstaller carries the icon at $SIZES px" pe "$install_dir/Uninstall.exe" icons $SIZES

# --- upgrades ---

run_to_end "$setup" /S /AUTOSTART
check "installed again with /AUTOSTART, the Startup shortcut is there" test -f "$startup_link"
check "it starts the program in %LOCALAPPDATA%\\Kestrun too" starts_in_user_folder "$startup_link"

# The program waits in the tray, as after a logon, when the next version is installed.
start_xvfb
start_trayer
E2E_KESTRUN=$install_dir/kestrun.exe
start_wine_kestrun "$local_dir"
if wait_until 90 has_wine_tray_icon; then
  pass "the installed program docks its icon"
  wine "$setup" /S
  status=$?
  check "the silent upgrade succeeds (status $status)" test "$status" == 0
  check "it has ended the running program" wait_exit "$E2E_KESTRUN_PID" 10
  check "its icon goes" wait_until 10 eval '! has_wine_tray_icon'
  timeout 120 "$WINE_SERVER" -w
  E2E_KESTRUN_PID=""
else
  fail "the installed program docks its icon"
  run_to_end "$setup" /S
fi
check "the upgrade keeps the Startup shortcut" test -f "$startup_link"
check "the Start-menu entry is still there" test -f "$menu_link"
check "the folder is the package's" same_files "$install_dir"
check "the list is as it was" list_kept

# "Do not create shortcuts" on the Start-menu page is kept as the folder's name after ">"; an
# upgrade honours it. The folder the user chose last is kept too. As an install made so:
wine reg add "$key" /v StartMenuFolder /d '>Velmora' /f >/dev/null 2>&1
rm -r "$start_menu/Programs/Velmora"
elsewhere=$WINEPREFIX/drive_c/Tools/Kestrun
run_to_end "$setup" /S '/D=C:\Tools\Kestrun'
check "installed with /D, the program moves to that folder" same_files "$elsewhere"
check "the old folder is gone" test ! -e "$install_dir"
run_to_end "$setup" /S
check "an upgrade without /D stays in the chosen folder" same_files "$elsewhere"
check "nothing goes back to the default folder" test ! -e "$install_dir"
check "with \"no shortcuts\" chosen, an upgrade makes no Start-menu entry (got: $(our_links | paste -sd' '))" \
  test "$(our_links)" == "$startup_link"
check "the Startup shortcut stays" targets "$startup_link" 'C:\Tools\Kestrun'

# --- uninstalling while the program waits in the tray ---

E2E_KESTRUN=$elsewhere/kestrun.exe
start_wine_kestrun "$local_dir"
if wait_until 60 has_wine_tray_icon; then
  pass "the program docks its icon again"
else
  fail "the program docks its icon again"
fi
wine "$elsewhere/Uninstall.exe" /S
check "the uninstaller ends the running program" wait_exit "$E2E_KESTRUN_PID" 60
check "its icon goes" wait_until 10 eval '! has_wine_tray_icon'
E2E_KESTRUN_PID=""
timeout 120 "$WINE_SERVER" -w
check "the program's folder is gone" test ! -e "$elsewhere"
check "the shortcuts are gone (left: $(our_links | paste -sd' '))" test -z "$(our_links)"
check "the registration is gone" eval '! registered'
ours=$(find "$WINEPREFIX/drive_c" \( -ipath '*kestrun*' -o -ipath '*velmora*' \) -printf '%P\n' | sort)
check "no file of ours is left but the list (left: $(paste -sd' ' <<<"$ours"))" \
  test "$ours" == "$(printf '%s\n' "users/$user/AppData/Local/Kestrun" \
    "users/$user/AppData/Local/Kestrun/applications.dat")"
keys=$(grep -il 'kestrun\|velmora' "$WINEPREFIX"/*.reg | xargs -r -n1 basename | paste -sd' ')
check "no registry key or value of ours is left (in: ${keys:-none})" test -z "$keys"
check "the list is as it was" list_kept

# --- the installer's pages, as a user meets them ---
# Each page's default button, second from the right at the bottom, taken with a click: Next on
# the welcome page, I Agree on the licence, Next on the components and the folder, Install on
# the Start-menu page, then Finish on the Finish page, which comes with "Run Velmora Kestrunner"
# ticked. Each page's picture goes to the artifacts.
readonly SETUP_TITLE="Velmora Kestrunner Setup"
# The wizard's window, as it first showed (later pages may bring windows of the same title).
setup_window=""
default_button() {
  geometry "$setup_window" || return 1
  # Wine's buttons take a click once the pointer has come onto them.
  move_pointer $((GX + GW - 140)) $((GY + GH - 24))
  click_window "$setup_window" 1 $((GW - 136)) $((GH - 21))
}
# The welcome and Finish pages have the wizard's dark picture down their left side; the others
# a light page there.
side_picture_shown() {
  local pixel
  geometry "$setup_window" || return 1
  pixel=$(import -window root -crop "1x1+$((GX + 20))+$((GY + GH / 2))" txt:- 2>/dev/null | sed -n 2p)
  [[ $pixel =~ \#([0-9A-F]{2})([0-9A-F]{2}) ]] &&
    ((16#${BASH_REMATCH[1]} < 0x40 && 16#${BASH_REMATCH[2]} < 0x40))
}
wine "$setup" >>"$E2E_TMP/setup.log" 2>&1 &
setup_pid=$!
if wait_until 60 window_shown "$SETUP_TITLE"; then
  setup_window=$(visible_window "$SETUP_TITLE")
  for page in welcome licence components folder start-menu; do
    sleep 1
    screenshot "setup-$page"
    default_button
  done
  if wait_until 60 side_picture_shown; then
    sleep 0.5
    screenshot setup-finish
    default_button
  else
    fail "the Finish page comes after the install"
  fi
  check "the installer ends after Finish" wait_exit "$setup_pid" 30
  check "\"Run Velmora Kestrunner\", ticked, starts the program: its icon docks" \
    wait_until 60 has_wine_tray_icon
  # It waits on the list in %LOCALAPPDATA%\Kestrun: a second start there hands over to it.
  E2E_KESTRUN=$install_dir/kestrun.exe
  start_wine_kestrun "$local_dir"
  if wait_exit "$E2E_KESTRUN_PID" 30; then
    check "it runs in %LOCALAPPDATA%\\Kestrun: a second start there hands over (status $EXIT_STATUS)" \
      test "$EXIT_STATUS" == 0
  else
    fail "it runs in %LOCALAPPDATA%\\Kestrun: a second start there hands over"
  fi
else
  fail "the installer shows its window"
fi

e2e_finish
