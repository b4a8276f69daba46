#!/usr/bin/env bash
# Plain GNOME Shell, which has no tray: headless on a virtual monitor, the program a Wayland
# client of it, on a session bus at a socket path. After 10 s the program tells the user once,
# through the shell's notifications, that it waits for the network and that starting it again
# opens its window; a second start does so, and the shell counts the window to the menu entry;
# a tray that comes later takes the notification back; a copy that ends takes its own back.
# Usage: gnome_shell_no_tray_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

readonly SUMMARY="Kestrun is waiting for the network"

e2e_setup "${1:-}"
e2e_need gnome-shell gjs busctl dbus-daemon jq
need_appindicator
start_session_bus
start_bus_monitor
start_gnome_shell
check "the shell serves notifications" \
  wait_until 20 eval 'busctl --user status org.freedesktop.Notifications >/dev/null 2>&1'
check "and there is no tray" eval '! host_registered'
E2E_PLATFORM=wayland
E2E_WITH_BUS=1
E2E_ENV=(XDG_DATA_DIRS="$E2E_SHARE:/usr/share")

work=$E2E_TMP/work
mkdir "$work"
make_recorder "$work"
write_record "$work/applications.dat" "Mail" "$work/rec.sh Mail" 1
write_record "$work/applications.dat" "Maps" "$work/rec.sh Maps" 0
running() { ! process_ended "$E2E_KESTRUN_PID"; }
answered() { notifications | awk -F'\t' '$3 != "none"' | grep -q .; }

start_kestrun "$work"
check "for 9 s nothing is said" stays_false 9 eval '[[ -n "$(notifications)" ]] || ! running'
if wait_until 15 answered; then
  pass "after 10 s a notification goes to the shell"
  IFS=$'\t' read -r summary body answer <<<"$(notifications)"
  check "it says that Kestrun waits for the network (got \"$summary\")" test "$summary" == "$SUMMARY"
  check "and that starting it again opens its window (got \"$body\")" \
    eval '[[ "$body" == "To open its window, start Kestrun again"* ]]'
  check "the shell took it (id $answer)" eval '[[ "$answer" =~ ^[1-9][0-9]*$ ]]'
  sleep 1
  gnome_screenshot gnome-notification && e2e_log "screen: $SHOT"
else
  fail "after 10 s a notification goes to the shell" "$(notifications)"
fi
check "only once (10 s later)" stays_false 10 eval '(($(notifications | wc -l) != 1))'
check "beside the line on stderr, once" test "$(grep -c 'waiting for a system tray' "$E2E_TMP/kestrun.log")" == 1

second_start "$work"
check "and the first shows its main window" wait_until 5 gnome_window_shown "$TITLE"
check "which the shell counts to the menu entry (got $(gnome_window_app "$TITLE"))" \
  test "$(gnome_window_app "$TITLE")" == "$APP_ID.desktop"
gnome_screenshot gnome-no-tray-window && e2e_log "screen: $SHOT"
check "nothing more is said" test "$(notifications | wc -l)" == 1

# A tray that comes later (the AppIndicator extension switched on) gets the icon and takes the
# notification back.
gnome_extensions "$APPINDICATOR"
check "a tray that comes later gets the icon" wait_until 20 has_sni_item
check "and the notification is taken back" \
  wait_until 5 eval '(($(calls_to org.freedesktop.Notifications CloseNotification) == 1))'

# The window's "&OK" cannot be pressed here (no input on a headless shell). With the tray gone
# again, a third copy waits hidden in its own folder, says so once, and takes its notification
# back as the network starts its list and it ends.
gnome_extensions
check "the tray goes again" wait_until 20 eval '! host_registered'
first=$E2E_KESTRUN_PID
other=$E2E_TMP/other
mkdir "$other"
make_recorder "$other"
write_record "$other/applications.dat" "News" "$other/rec.sh News" 1
start_kestrun "$other"
E2E_OTHER_PIDS+=("$first")
check "a third copy with no tray says so after 10 s" \
  wait_until 15 eval '(($(notifications | awk -F"\t" "\$3 != \"none\"" | wc -l) == 2))'
third_notification=$(notifications | tail -n1 | cut -f3)
network_starts_list "$other" News
check "and takes its notification ($third_notification) back as it ends (got $(closed_notifications | paste -sd' '))" \
  wait_until 3 eval '[[ "$(closed_notifications | tail -n1)" == "$third_notification" ]] && (($(closed_notifications | wc -l) == 2))'

e2e_finish
