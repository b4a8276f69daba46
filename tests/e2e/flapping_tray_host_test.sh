#!/usr/bin/env bash
# A StatusNotifierItem host that registers and goes again at once (a panel that crashes as it
# starts): the program, still waiting for a tray, must not give its icon to the host that is
# gone, nor to the XEmbed tray Qt falls back to without one (none here, and on Wayland none can
# be); the host that comes next and stays gets the icon, a working one.
# Usage: flapping_tray_host_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
e2e_need busctl dbus-daemon jq
start_xvfb
start_session_bus
start_fake_watcher --no-host
E2E_WITH_BUS=1

work=$E2E_TMP/work
mkdir "$work"
write_record "$work/applications.dat" "Never" "/nonexistent/never-started" 1
running() { ! process_ended "$E2E_KESTRUN_PID"; }
questions() { grep -c '^Get IsStatusNotifierHostRegistered' "$E2E_TMP/watcher.log"; }
start_kestrun "$work"

# Once it says so, the program listens to the watcher: it waits for a host.
check "with no host the program says after 10 s that it waits for a tray" \
  wait_until 15 grep -q "waiting for a system tray" "$E2E_TMP/kestrun.log"
asked=$(questions)
kill -USR1 "$E2E_HOST_PID"
check "a host that came and went is looked at" wait_until 5 eval '(( $(questions) > asked ))'
check "and gets no icon, the program still running (3 s)" \
  stays_false 3 eval '! running || has_sni_item'

kill -USR2 "$E2E_HOST_PID"
if wait_until 10 has_sni_item; then
  pass "the host that came next and stays gets the icon"
else
  fail "the host that came next and stays gets the icon"
  e2e_finish
fi
check "exactly one icon" stays_false 1 eval '[[ $(sni_items_of | wc -l) != 1 ]]'
item=$(sni_items_of)
check "the host's menu is the tray menu" \
  test "$(sni_menu_labels "$item" 1)" == "_Open _Run Application _Disable E_xit "
check "its tip is \"Velmora Kestrunner\"" \
  eval 'sni_get "$item" ToolTip | grep -q "\"Velmora Kestrunner\""'
sni_call "$item" Activate ii 0 0 >/dev/null
check "Activate shows the main window" wait_until 5 window_shown "$TITLE"
exit_by_host_menu "$item"
check "the notice was printed once" \
  test "$(grep -c "waiting for a system tray" "$E2E_TMP/kestrun.log")" == 1

e2e_finish
