#!/usr/bin/env bash
# Launching, end to end, in kestrun's own network namespace: nothing starts while the network is
# down, while the main window is shown or while the switch is off; once the namespace's network
# is up (here through the second probe address) the enabled entries start and the program ends.
# Then the "&Run Application" submenu: an item starts its entry, enabled or not, by its
# accelerator or by a click, and the program goes on.
# Usage: launch_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
start_xvfb
start_trayer

# Each entry runs the recorder of lib.sh, which appends its argument to launched.txt.
launched() { launched_in "$work"; }
# launched_are "A B ": these started, in this order; launched_set_is: in any order.
launched_are() { [[ "$(launched | tr '\n' ' ')" == "$1" ]]; }
launched_set_is() { [[ "$(launched | sort | tr '\n' ' ')" == "$1" ]]; }
something_launched() { [[ -s "$work/launched.txt" ]]; }
running() { ! process_ended "$E2E_KESTRUN_PID"; }

open_menu() { open_tray_menu "$icon"; }

start_and_wait_for_icon() {
  start_kestrun "$work"
  if ! wait_until 20 has_tray_icon; then
    fail "the tray icon is embedded in trayer"
    e2e_finish
  fi
  icon=$(tray_icon_window)
}

# --- the automatic launch: records enabled 1, 0, 2, 1 ---

work=$E2E_TMP/auto
mkdir "$work"
make_recorder "$work"
write_record "$work/applications.dat" "First" "$work/rec.sh First" 1
write_record "$work/applications.dat" "Second" "$work/rec.sh Second" 0
write_record "$work/applications.dat" "Third" "$work/rec.sh Third" 2
write_record "$work/applications.dat" "Fourth" "$work/rec.sh Fourth" 1
cp "$work/applications.dat" "$E2E_TMP/list-before"
start_and_wait_for_icon

# The first tick comes 5 s after start; with loopback down neither address answers.
check "nothing starts while the network is down (7 s)" stays_false 7 something_launched
check "the program waits on" running

click_window "$icon" 1
wait_until 5 window_shown "$TITLE" || fail "a left click shows the main window"
main=$(visible_window "$TITLE")
network_up 1.1.1.1 || fail "the namespace's network comes up"
check "nothing starts while the main window is shown, network or not (7 s)" \
  stays_false 7 something_launched

if open_menu; then
  key d
  wait_until 3 eval '! xwininfo -id "$MENU" 2>/dev/null | grep -q IsViewable'
else
  fail "the tray menu opens for \"&Disable\""
fi
xdotool windowfocus --sync "$main" 2>/dev/null
key alt+o
wait_until 5 window_hidden "$TITLE" || fail "\"&OK\" hides the main window"
check "nothing starts while the switch is off (7 s)" stays_false 7 something_launched
check "the program is still there" running

if open_menu; then
  key e
else
  fail "the tray menu opens for \"&Enable\""
fi
# Enabling starts the interval afresh: the next tick comes 5 s later.
if wait_exit "$E2E_KESTRUN_PID" 10; then
  E2E_KESTRUN_PID=""
  pass "once switched on again, the next tick finds the second address and the program ends"
  check "it ends with exit status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  if wait_until 3 launched_set_is "First Fourth "; then
    pass "the entries with enabled byte 1 started, the others not"
  else
    fail "the entries with enabled byte 1 started, the others not" "got: $(launched | tr '\n' ' ')"
  fi
  check "the icon has left trayer" wait_until 3 no_embedded_window
  check "the list file is as it was" cmp -s "$work/applications.dat" "$E2E_TMP/list-before"
else
  fail "once switched on again, the next tick finds the second address and the program ends"
fi

# --- the submenu: Mail, Messenger, Maps (Messenger unchecked) ---

work=$E2E_TMP/submenu
mkdir "$work"
make_recorder "$work"
write_record "$work/applications.dat" "Mail" "$work/rec.sh Mail" 1
write_record "$work/applications.dat" "Messenger" "$work/rec.sh Messenger" 0
write_record "$work/applications.dat" "Maps" "$work/rec.sh Maps" 1
start_and_wait_for_icon

# "&Run Application" by its key, then E: the accelerators are M, e and a, so E is Messenger.
if open_menu; then
  key r
  sleep 1
  key e
  check "R then E in the tray menu starts Messenger, the unchecked second entry" \
    wait_until 5 launched_are "Messenger "
else
  fail "the tray menu opens"
fi
check "the program goes on after starting one entry" stays_false 2 eval '! running'
check "its icon stays" has_tray_icon

# A click on the last item of the submenu starts the last entry.
if open_menu; then
  with_menu=$(kestrun_windows)
  move_pointer $((MX + MW / 2)) $((MY + MH * 3 / 8))
  sub=""
  if wait_until 5 eval 'sub=$(new_popup "$with_menu")'; then
    pass "pointing at \"&Run Application\" opens its submenu"
    geometry "$sub"
    check "the submenu has room for three items (${GW}x${GH})" test "$GH" -ge 45 -a "$GH" -le 110
    move_pointer $((GX + GW / 2)) $((GY + GH * 5 / 6)) && xdotool click 1
    check "a click on its last item starts Maps" \
      wait_until 5 launched_are "Messenger Maps "
  else
    fail "pointing at \"&Run Application\" opens its submenu"
  fi
else
  fail "the tray menu opens"
fi
check "the program still goes on" running

if open_menu; then
  key x
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    E2E_KESTRUN_PID=""
    check "\"E&xit\" ends it with status 0 (got $EXIT_STATUS), starting nothing more" \
      eval '[[ $EXIT_STATUS == 0 ]] && launched_are "Messenger Maps "'
  else
    fail "\"E&xit\" ends the program"
  fi
else
  fail "the tray menu opens for \"E&xit\""
fi

e2e_finish
