#!/usr/bin/env bash
# A session whose tray host comes up after the program (autostart entries race the panel):
# kestrun starts on a display without a tray, trayer appears five seconds later, and the icon
# must then show in it and work as usual.
# Usage: late_tray_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
start_xvfb

work=$E2E_TMP/work
mkdir "$work"
make_recorder "$work"
write_record "$work/applications.dat" "Never" "$work/rec.sh Never" 1
start_kestrun "$work"

# No tray yet: the program waits without any window of its own on the screen.
check "without a tray the program keeps running and shows nothing for 5 s" \
  stays_false 5 eval 'process_ended "$E2E_KESTRUN_PID" || [[ -n "$(kestrun_windows)" ]]'

start_trayer
if wait_until 20 has_tray_icon; then
  pass "the icon docks in the tray host that appeared after the program"
else
  fail "the icon docks in the tray host that appeared after the program"
  e2e_finish
fi
icon=$(tray_icon_window)
geometry "$icon"
check "the docked icon has a size (${GW}x${GH})" test "$GW" -ge 16 -a "$GH" -ge 16
check "it is the only window of the program (no error box)" \
  test "$(kestrun_windows)" == "$(to_dec "$icon")"
check "exactly one icon of ours is docked" test "$(tray_icon_window | wc -l)" == 1

# The late icon is a working one: the left button opens the main window.
click_window "$icon" 1
check "a left click on the late icon shows the main window" wait_until 5 window_shown "$TITLE"
key alt+o
check "\"&OK\" hides it again" wait_until 5 window_hidden "$TITLE"

# A tray that restarts gets the icon back.
stop_process "$E2E_TRAYER_PID"
E2E_TRAYER_PID=""
start_trayer
check "a restarted tray gets the icon back" wait_until 20 has_tray_icon
icon=$(tray_icon_window)
check "still exactly one icon" test "$(tray_icon_window | wc -l)" == 1

# The right button opens the tray menu; its last item ends the program.
if open_tray_menu "$icon"; then
  pass "a right click on the late icon opens the tray menu"
  if ! hover "$MENU" $((MW / 2)) $((MH * 7 / 8)); then
    fail "the pointer reaches \"E&xit\", the menu's last item"
  elif ! xdotool click 1; then
    fail "a click on \"E&xit\""
  elif wait_exit "$E2E_KESTRUN_PID" 10; then
    E2E_KESTRUN_PID=""
    check "\"E&xit\" ends the program with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  else
    fail "\"E&xit\" ends the program"
  fi
  check "the icon has left trayer" wait_until 3 no_embedded_window
else
  fail "a right click on the late icon opens the tray menu"
fi
# Once the program has ended: a launch of the enabled entry would have shown by then.
check "nothing was launched, though the recorder records" nothing_launched "$work"
check "no notice of waiting: the tray came within 10 s" \
  eval '! grep -q "waiting for a system tray" "$E2E_TMP/kestrun.log"'

e2e_finish
