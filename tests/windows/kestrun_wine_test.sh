#!/usr/bin/env bash
# kestrun.exe from the Windows package folder, under wine, on Xvfb with trayer as the X tray that
# wine's explorer.exe docks the icon in, all in a network namespace of its own: the icon and its
# tip, a left click showing the main window, a right click opening the tray menu, an add through
# the dialog writing the same bytes as the Linux program, "E&xit" removing the icon; then, with a
# list of enabled and disabled entries, 8.8.8.8 coming up starting exactly the enabled ones,
# after which the program ends; last, a second start for the same folder handing over.
# Usage: kestrun_wine_test.sh <wine loader> <wine prefix> <kestrun.exe> <launch_target.exe>
# shellcheck disable=SC2317 # the predicates run through check and wait_until
set -uo pipefail
# shellcheck source=../e2e/lib.sh
source "$(dirname "$0")/../e2e/lib.sh"

readonly TITLE="Velmora Kestrun"
readonly TIP="Velmora Kestrunner"
readonly ADD="Add New Application"

(($# == 4)) || {
  echo "usage: kestrun_wine_test.sh <wine loader> <wine prefix> <kestrun.exe> <launch_target.exe>"
  exit 2
}
wine_enter_netns "$0" "$@"
e2e_setup "$3"
wine_setup "$1" "$2"
target_exe=$4
start_xvfb
start_trayer

running() { ! process_ended "$E2E_KESTRUN_PID"; }
no_wine_tray_icon() { [[ -z "$(embedded_windows)" ]]; }
park_pointer() { move_pointer 900 700; }

# The tip: wine's explorer.exe shows it in a tooltip window of its own, which has no name, once
# the pointer moves over the icon; its picture is kept in the artifacts.
visible_windows() { xdotool search --all --onlyvisible --name '' 2>/dev/null | sort; }
TIP_WINDOW=""
# Moves the pointer a pixel within the icon and looks for the tooltip; sets TIP_WINDOW.
tip_appeared() {
  local w
  hover "$icon" $((6 + SECONDS % 2)) 8
  for w in $(comm -13 <(printf '%s\n' "$before_tip") <(visible_windows)); do
    [[ "$w" == "$(to_dec "$icon")" ]] && continue
    xprop -id "$w" WM_CLASS 2>/dev/null | grep -q '"explorer.exe"' || continue
    TIP_WINDOW=$w
    return 0
  done
  return 1
}
# grab_tip FILE: the tooltip of the icon now docked, as a picture.
grab_tip() {
  park_pointer
  sleep 0.5 # the last tooltip fades
  before_tip=$(visible_windows)
  wait_until 15 tip_appeared && sleep 0.3 && import -window "$TIP_WINDOW" "$1" 2>/dev/null
}

# --- the first run: an empty folder ---

work=$E2E_TMP/work
mkdir "$work"
list=$work/applications.dat
# The dialog takes only a program that exists.
cp "$target_exe" "$work/alpha.exe"
alpha=$(wine_path "$work/alpha.exe")
start_wine_kestrun "$work"

# Wine's first start in a prefix sets up its session (explorer.exe, services) as well.
if ! wait_until 90 has_wine_tray_icon; then
  fail "the tray icon is docked in trayer"
  e2e_finish
fi
pass "the tray icon is docked in trayer"
icon=$(wine_tray_icon)
check "no window shows at start-up" window_hidden "$TITLE"
screenshot tray

if grab_tip "$E2E_ARTIFACTS/tip.png"; then
  # tip-reference.png is wine's tooltip reading "Velmora Kestrunner" (Debian 12's wine 8 and
  # its own fonts draw it the same every time); another text draws another picture.
  check "the icon's tip reads \"$TIP\" (the picture of tip-reference.png)" test "$(pixels_differ \
    "$E2E_ARTIFACTS/tip.png" "$(dirname "$0")/tip-reference.png")" == 0
else
  fail "the icon shows a tip when the pointer moves over it"
fi
park_pointer

click_window "$icon" 1
if wait_until 10 window_shown "$TITLE"; then
  pass "a left click on the icon shows \"$TITLE\""
  main=$(visible_window "$TITLE")
  screenshot main
else
  fail "a left click on the icon shows \"$TITLE\""
  e2e_finish
fi

if open_tray_menu "$icon"; then
  pass "a right click on the icon opens the tray menu (${MW}x${MH} at $MX,$MY)"
  check "the menu opens with its top-left corner at the pointer" \
    test "$MX,$MY" == "$PX,$PY"
  screenshot tray-menu
  key Escape
  check "Escape closes the tray menu" wait_until 5 no_open_popup
else
  fail "a right click on the icon opens the tray menu"
fi

# The add dialog: Alt+N in the main window, the name, Tab, the path, Enter.
xdotool windowfocus --sync "$main" 2>/dev/null
key alt+n
if wait_until 10 window_shown "$ADD"; then
  pass "Alt+N opens \"$ADD\""
  wait_until 3 has_focus "$ADD" || xdotool windowfocus --sync "$(visible_window "$ADD")"
  xdotool type --delay 30 -- "Alpha"
  key Tab
  xdotool type --delay 30 -- "$alpha"
  key Return
  check "Enter closes the dialog" wait_until 5 window_hidden "$ADD"
  write_record "$E2E_TMP/expected.dat" Alpha "$alpha" 1
  check "applications.dat holds the same 223 bytes as the Linux program writes" \
    wait_until 5 cmp -s "$list" "$E2E_TMP/expected.dat"
  check "no temp.dat is left behind" test ! -e "$work/temp.dat"
else
  fail "Alt+N opens \"$ADD\""
fi

# "E&xit", the menu's last item, picked with the right button (either button picks an item of
# the tray menu), ends the program and takes the icon away.
if open_tray_menu "$icon"; then
  move_pointer $((MX + MW / 2)) $((MY + MH - 10)) && xdotool click 3
  check "\"E&xit\" removes the icon" wait_until 10 no_wine_tray_icon
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    pass "the program ends after \"E&xit\" (status $EXIT_STATUS)"
  else
    fail "the program ends after \"E&xit\""
  fi
else
  fail "the tray menu opens for \"E&xit\""
fi
E2E_KESTRUN_PID=""

# --- the second run: the network comes up ---

work=$E2E_TMP/launch
mkdir "$work"
cp "$target_exe" "$work/launch_target.exe"
exe=$(wine_path "$work/launch_target.exe")
write_record "$work/applications.dat" First "$exe $(wine_path "$work/first.txt")" 1
write_record "$work/applications.dat" Off "$exe $(wine_path "$work/off.txt")" 0
write_record "$work/applications.dat" Second "$exe $(wine_path "$work/second.txt")" 1
start_wine_kestrun "$work"
if ! wait_until 60 has_wine_tray_icon; then
  fail "the icon is docked again"
  e2e_finish
fi
check "nothing starts while no address answers" stays_false 6 test -e "$work/first.txt"
check "the program waits while no address answers" running
network_up 8.8.8.8
both_started() { [[ -e "$work/first.txt" && -e "$work/second.txt" ]]; }
check "8.8.8.8 answering starts the enabled entries" wait_until 20 both_started
check "the first entry got its command line" \
  grep -qxF "$(wine_path "$work/first.txt")" "$work/first.txt"
if wait_exit "$E2E_KESTRUN_PID" 15; then
  pass "the program ends once the entries are started (status $EXIT_STATUS)"
else
  fail "the program ends once the entries are started"
fi
check "the disabled entry did not start" test ! -e "$work/off.txt"
check "the icon is gone" wait_until 10 no_wine_tray_icon
E2E_KESTRUN_PID=""

# --- a third run: a second start for the same folder hands over ---
# The first copy shows its window, the second ends at once with status 0.

work=$E2E_TMP/third
mkdir "$work"
start_wine_kestrun "$work"
if wait_until 60 has_wine_tray_icon; then
  first=$E2E_KESTRUN_PID
  start_wine_kestrun "$work"
  second=$E2E_KESTRUN_PID E2E_KESTRUN_PID=$first
  if wait_exit "$second" 30; then
    check "a second start in the same folder ends with status 0 (got $EXIT_STATUS)" \
      test "$EXIT_STATUS" == 0
  else
    fail "a second start in the same folder ends"
    stop_process "$second"
  fi
  check "it shows the first copy's window" wait_until 10 window_shown "$TITLE"
  check "the first copy goes on" running
else
  fail "the icon is docked for the third run"
fi

e2e_finish
