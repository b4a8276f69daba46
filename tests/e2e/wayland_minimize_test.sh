#!/usr/bin/env bash
# Minimizing on Wayland: on KWin (a compositor that minimizes; sway cannot) the main window,
# shown by a second start, is minimized by the compositor as its title-bar button does; the
# program must count it as hidden, so that the network coming up still starts the list.
# Usage: wayland_minimize_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
e2e_need kwin_wayland busctl dbus-daemon
start_session_bus
start_kwin
E2E_PLATFORM=wayland
E2E_WITH_BUS=1

work=$E2E_TMP/work
mkdir "$work"
make_recorder "$work"
write_record "$work/applications.dat" "Mail" "$work/rec.sh Mail" 1

start_kestrun "$work"
first=$E2E_KESTRUN_PID
wait_until 10 eval 'compgen -G "$E2E_TMP/runtime/kestrun-*.sock" >/dev/null' ||
  fail "the program claims its folder"
# hand_over: a further start in the folder, which shows the first copy's window and ends.
hand_over() {
  start_kestrun "$work"
  local again=$E2E_KESTRUN_PID
  E2E_OTHER_PIDS+=("$again")
  E2E_KESTRUN_PID=$first
  wait_exit "$again" 10 && [[ "$EXIT_STATUS" == 0 ]]
}
kwin_no_window() { [[ -z "$(kwin_window_state "$1")" ]]; }
minimize() { kwin_run 'for (const w of workspace.clientList()) if (w.caption == "'"$TITLE"'") w.minimized = true;'; }

check "a second start hands over" hand_over
check "the main window is shown on KWin" wait_until 10 kwin_window_shown "$TITLE"
minimize
check "minimized by KWin, the window is hidden: KWin has no such window left" \
  wait_until 5 kwin_no_window "$TITLE"
check "a later start shows it again" hand_over
check "in its normal state" wait_until 10 kwin_window_shown "$TITLE"
network_up
check "while it is shown the list is not started (6 s)" \
  stays_false 6 eval '[[ -n "$(launched_in "$work")" ]]'

minimize
if wait_exit "$E2E_KESTRUN_PID" 15; then
  E2E_KESTRUN_PID=""
  check "minimized, it counts as hidden: the list starts and the program ends (status $EXIT_STATUS)" \
    test "$EXIT_STATUS" == 0
  check "having started the entry" test "$(launched_in "$work")" == Mail
else
  fail "minimized, the window counts as hidden: the list starts and the program ends"
fi

e2e_finish
