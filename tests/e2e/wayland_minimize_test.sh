#!/usr/bin/env bash
# Minimizing on Wayland: on KWin (a compositor that minimizes; sway cannot) the main window,
# shown by a second start, is minimized by the compositor as its title-bar button does. The
# program is not told (xdg-shell has no such state), and it does not guess: the window still
# counts as shown, so with the network up nothing starts for two ticks and the program waits; a
# later start brings the window back, and closing it ends the program, having started nothing.
# Usage: wayland_minimize_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
e2e_need kwin_wayland busctl dbus-daemon
start_wayland_session kwin

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
network_up
minimize
check "KWin minimizes it" wait_until 5 kwin_window_minimized "$TITLE"
check "minimized, it still counts as shown: for two ticks (11 s) nothing starts, and the program waits" \
  stays_false 11 launched_or_ended "$work"
check "a later start shows it again" hand_over
check "in its normal state" wait_until 10 kwin_window_shown "$TITLE"

kwin_run 'for (const w of workspace.clientList()) if (w.caption == "'"$TITLE"'") w.closeWindow();'
if wait_exit "$E2E_KESTRUN_PID" 10; then
  E2E_KESTRUN_PID=""
  check "closing the window ends the program with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
else
  fail "closing the window ends the program"
fi
check "having started nothing" nothing_launched "$work"

e2e_finish
