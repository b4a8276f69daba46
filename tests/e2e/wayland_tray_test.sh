#!/usr/bin/env bash
# The tray on Wayland: a headless sway with waybar as the StatusNotifierItem host, on a session
# bus at a socket path; kestrun in a network namespace of its own. With no host at all the
# automatic launch still happens (and a notification tried where the session has no service for
# them breaks nothing); a host that starts after the program (as at login), a host that
# restarts and a host already there all show exactly one icon; the host's menu is the tray menu,
# its items work, and Activate shows the main window.
# Usage: wayland_tray_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

readonly NOTICE="waiting for a system tray"

e2e_setup "${1:-}"
e2e_need sway swaymsg waybar busctl dbus-daemon jq grim
start_wayland_session sway
start_bus_monitor

new_list() {
  mkdir "$1"
  make_recorder "$1"
  write_record "$1/applications.dat" "Mail" "$1/rec.sh Mail" 1
  write_record "$1/applications.dat" "Maps" "$1/rec.sh Maps" 0
}
running() { ! process_ended "$E2E_KESTRUN_PID"; }
notices() { grep -c "$NOTICE" "$E2E_TMP/kestrun.log"; }
now_ms() { date +%s%3N; }

# --- no host at all: the job is done all the same ---

new_list "$E2E_TMP/alone"
start_kestrun "$E2E_TMP/alone"
check "without a host the program waits, and says once after 10 s that it waits for a tray" \
  wait_until 15 eval '[[ $(notices) == 1 ]]'
check "it shows no window meanwhile" eval '! sway_window_shown "$TITLE" && running'
check "it tried one desktop notification, where the session has no service for them" \
  wait_until 3 eval '[[ $(notifications | wc -l) == 1 ]] && ! busctl --user status org.freedesktop.Notifications >/dev/null 2>&1'
network_up
if wait_exit "$E2E_KESTRUN_PID" 10; then
  E2E_KESTRUN_PID=""
  check "once the network is up it ends with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  check "having started the enabled entry only" test "$(launched_in "$E2E_TMP/alone")" == Mail
else
  fail "once the network is up the program starts its entries and ends"
fi
check "the notice was printed once" test "$(notices)" == 1
check "and the notification tried once" test "$(notifications | wc -l)" == 1

# --- the host five seconds after the program ---

work=$E2E_TMP/work
new_list "$work"
start_kestrun "$work"
check "before the host comes the program waits without an icon or a window (5 s)" \
  stays_false 5 eval '! running || has_sni_item || sway_window_shown "$TITLE"'
start_waybar
host_at=$(now_ms)
if wait_until 10 has_sni_item; then
  pass "the icon registers with the host that came later ($(($(now_ms) - host_at)) ms after it)"
else
  fail "the icon registers with the host that came later"
  e2e_finish
fi
check "exactly one icon" test "$(sni_items_of | wc -l)" == 1
item=$(sni_items_of)
check "its tip is \"Velmora Kestrunner\"" eval 'sni_get "$item" ToolTip | grep -q "\"Velmora Kestrunner\""'
check "no XEmbed fallback was tried" eval '! grep -q systemTrayWindowChanged "$E2E_TMP/kestrun.log"'

# The host draws the tray menu; "&" shows as "_" in the exported labels.
check "the host's menu holds Open, Run Application, Disable, Exit" \
  test "$(sni_menu_labels "$item" 1)" == "_Open _Run Application _Disable E_xit "
check "its submenu holds the entries, in file order" \
  test "$(sni_menu_labels "$item" 2 | tr -d _)" == "Mail Maps "

sni_call "$item" Activate ii 0 0 >/dev/null
check "Activate (a click on the icon) shows the main window" wait_until 5 sway_window_shown "$TITLE"
sway_screenshot wayland-main-window && e2e_log "screen: $SHOT"

pixmap() { sni_get "$item" IconPixmap | md5sum; }
enabled_pixmap=$(pixmap)
sni_click "$item" _Disable >/dev/null
check "\"Disable\" in the host's menu turns the item into \"Enable\"" \
  wait_until 5 eval 'sni_menu_labels "$item" 1 | grep -q "_Enable "'
check "and switches the icon's picture" eval '[[ "$(pixmap)" != "$enabled_pixmap" ]]'
sni_click "$item" _Enable >/dev/null
check "\"Enable\" switches back to the first picture" \
  wait_until 5 eval '[[ "$(pixmap)" == "$enabled_pixmap" ]]'

# --- the host restarts ---

stop_host
start_waybar
host_at=$(now_ms)
if wait_until 10 has_sni_item; then
  pass "a restarted host gets the icon back ($(($(now_ms) - host_at)) ms after it)"
else
  fail "a restarted host gets the icon back"
fi
check "still exactly one icon" test "$(sni_items_of | wc -l)" == 1
item=$(sni_items_of)

# --- the host already there; another folder is another list, and another copy ---

first=$E2E_KESTRUN_PID
new_list "$E2E_TMP/other"
start_at=$(now_ms)
start_kestrun "$E2E_TMP/other"
other=$E2E_KESTRUN_PID
E2E_OTHER_PIDS+=("$other")
E2E_KESTRUN_PID=$first
if wait_until 10 has_sni_item "$other"; then
  pass "with the host there a copy for another folder shows its own icon ($(($(now_ms) - start_at)) ms from start)"
  other_item=$(sni_items_of "$other")
  sni_click "$other_item" E_xit >/dev/null
  if wait_exit "$other" 10; then
    check "its \"Exit\" ends it with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  else
    fail "its \"Exit\" ends it"
  fi
  check "and takes its icon away" wait_until 5 no_sni_item "$other"
else
  fail "with the host there a copy for another folder shows its own icon"
fi
check "the first copy's icon stays" has_sni_item

# --- "Exit" in the host's menu ---

exit_by_host_menu "$item"
check "its item has left the watcher" wait_until 5 eval '[[ -z "$(sni_items_of "$first")" ]]'
check "nothing was started without the network" nothing_launched "$work"
check "no copy printed the notice but the one without a host" test "$(notices)" == 1
check "nor tried a notification" test "$(notifications | wc -l)" == 1

e2e_finish
