#!/usr/bin/env bash
# On Wayland the program is not told that its window was minimized, and a window that is neither
# active nor drawn may just be on another workspace. On a headless sway with waybar: the main
# window shown from the tray, the network up, a switch to another workspace hides nothing and
# starts nothing for two ticks, and the program waits; back on the first workspace the window
# is still there, and from another one a click on the icon brings it there.
# Usage: wayland_workspace_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
e2e_need sway swaymsg waybar busctl dbus-daemon jq grim
start_wayland_session sway

work=$E2E_TMP/work
mkdir "$work"
make_recorder "$work"
write_record "$work/applications.dat" "Mail" "$work/rec.sh Mail" 1

start_waybar
start_kestrun "$work"
if ! wait_until 10 has_sni_item; then
  fail "the icon registers with waybar"
  e2e_finish
fi
item=$(sni_items_of)
sni_call "$item" Activate ii 0 0 >/dev/null
check "Activate shows the main window" wait_until 5 sway_window_shown "$TITLE"
network_up

swaymsg -q workspace 2
check "on workspace 2 the main window is out of sight" \
  wait_until 5 eval '! sway_window_shown "$TITLE"'
check "for two ticks (11 s) nothing starts, and the program waits" stays_false 11 launched_or_ended "$work"

swaymsg -q workspace 1
check "back on workspace 1 the main window is still shown" wait_until 5 sway_window_shown "$TITLE"
swaymsg -q workspace 3
sni_call "$item" Activate ii 0 0 >/dev/null
check "from workspace 3 a click on the icon brings it there" \
  wait_until 5 eval 'sway_window_shown "$TITLE" && [[ "$(sway_workspace_of "$TITLE")" == 3 ]]'
sway_screenshot wayland-workspace && e2e_log "screen: $SHOT"

exit_by_host_menu "$item"
check "having started nothing" nothing_launched "$work"

e2e_finish
