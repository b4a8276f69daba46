#!/usr/bin/env bash
# The notification that the program waits for a tray, with a notification service slow to answer
# (a busy shell): the service shows it at once but gives its id only later, and the id is what
# takes it back. A tray that comes while the answer is on its way takes it back once the answer
# comes; a copy that ends while it is on its way waits for it a moment and takes it back too.
# On X11 with a session bus and no StatusNotifierItem watcher; trayer is the tray.
# Usage: tray_notification_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

readonly SUMMARY="Kestrun is waiting for the network"

e2e_setup "${1:-}"
e2e_need busctl dbus-daemon
start_xvfb
start_session_bus
E2E_WITH_BUS=1

# start_notifications DELAY LOG: the slow service, its log in LOG; sets NOTIFICATIONS_PID.
start_notifications() {
  /usr/bin/python3 "$(dirname "$0")/fake_notifications.py" "$1" >"$2" 2>&1 &
  NOTIFICATIONS_PID=$!
  E2E_OTHER_PIDS+=("$NOTIFICATIONS_PID")
  wait_until 10 eval 'busctl --user status org.freedesktop.Notifications >/dev/null 2>&1' ||
    e2e_skip "the notification service did not start (see $2)"
}
logged() { grep -qx "$2" "$1"; }

# --- the copy ends while the answer is on its way (1.5 s) ---

log=$E2E_TMP/notifications-1.log
start_notifications 1.5 "$log"
ending=$E2E_TMP/ending
mkdir "$ending"
make_recorder "$ending"
write_record "$ending/applications.dat" "Mail" "$ending/rec.sh Mail" 1
start_kestrun "$ending"
check "with no tray, after 10 s the program tells the user that it waits" \
  wait_until 15 logged "$log" "Notify $SUMMARY"
network_starts_list "$ending" Mail
check "the notification was answered" logged "$log" "answered 1"
check "and taken back by the copy that ended" wait_until 3 logged "$log" "CloseNotification 1"
stop_process "$NOTIFICATIONS_PID"

# --- a tray comes while the answer is on its way (3 s) ---

log=$E2E_TMP/notifications-2.log
start_notifications 3 "$log"
work=$E2E_TMP/work
mkdir "$work"
write_record "$work/applications.dat" "Never" "/nonexistent/never-started" 1
start_kestrun "$work"
check "with no tray, after 10 s the program tells the user that it waits" \
  wait_until 15 logged "$log" "Notify $SUMMARY"
start_trayer
check "a tray that comes meanwhile gets the icon" wait_until 10 has_tray_icon
check "the service answers 3 s after the notification" wait_until 10 logged "$log" "answered 1"
check "and the notification is taken back then" wait_until 5 logged "$log" "CloseNotification 1"
check "once" stays_false 2 eval '(( $(grep -c "^CloseNotification" "$log") != 1 ))'
check "the program still runs" eval '! process_ended "$E2E_KESTRUN_PID"'

e2e_finish
