#!/usr/bin/env bash
# KDE Plasma's panel (plasmashell on Xvfb) as the tray, on a session bus at a socket path. The
# icon registers once under the menu entry's name and shows in the panel; real pointer clicks:
# the left button opens the main window, the right button Plasma's own drawing of the tray menu,
# hovering shows the tip; the host's menu works, "Disable" shows the disabled picture in the
# panel, a second start shows the window, and the network starts the list and takes the icon
# away.
# Usage: plasma_tray_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
e2e_need plasmashell kded5 busctl dbus-daemon jq identify
start_xvfb
start_session_bus
start_plasmashell
E2E_WITH_BUS=1
E2E_ENV=(XDG_DATA_DIRS="$E2E_SHARE:/usr/share")
icons_dir=$(dirname "$0")/../../resources/icons

work=$E2E_TMP/work
mkdir "$work"
make_recorder "$work"
write_record "$work/applications.dat" "Mail" "$work/rec.sh Mail" 1
write_record "$work/applications.dat" "Maps" "$work/rec.sh Maps" 0
plasma_windows() { xdotool search --all --onlyvisible --pid "$E2E_HOST_PID" --name '' 2>/dev/null | sort -n; }
new_plasma_window() { comm -13 <(printf '%s\n' "$1") <(plasma_windows) | grep -q .; }

start_kestrun "$work"
one_icon_titled_as_entry "Plasma"
if wait_until 10 find_picture "$icons_dir/kestrun-22.png" 512 720 512 48; then
  pass "the panel shows the icon at 22 px"
  icon_x=$FX icon_y=$FY
else
  fail "the panel shows the icon at 22 px"
  e2e_finish
fi

# Hovering: Plasma shows a tip of its own drawing, with the item's tip.
before=$(plasma_windows)
move_pointer "$icon_x" "$icon_y"
check "hovering over the icon shows Plasma's tip" wait_until 5 new_plasma_window "$before"
check "the item's tip is \"Velmora Kestrunner\"" \
  eval 'sni_get "$item" ToolTip | grep -q "\"Velmora Kestrunner\""'
screenshot plasma-tip && e2e_log "screen: $SHOT"
move_pointer 300 300
sleep 1

# Left button: the main window.
xdotool mousemove --sync "$icon_x" "$icon_y" click 1
check "a left click on the icon shows the main window" wait_until 5 window_shown "$TITLE"
screenshot plasma-main-window && e2e_log "screen: $SHOT"
key alt+o
check "\"&OK\" hides it" wait_until 5 window_hidden "$TITLE"

# Right button: Plasma draws the tray menu.
before=$(plasma_windows)
xdotool mousemove --sync "$icon_x" "$icon_y" click 3
check "a right click opens Plasma's menu" wait_until 5 new_plasma_window "$before"
screenshot plasma-menu && e2e_log "screen: $SHOT"
key Escape
move_pointer 300 300
check "the host's menu holds Open, Run Application, Disable, Exit" \
  test "$(sni_menu_labels "$item" 1)" == "_Open _Run Application _Disable E_xit "

sni_click "$item" _Disable >/dev/null
check "\"Disable\" turns the item into \"Enable\"" \
  wait_until 5 eval 'sni_menu_labels "$item" 1 | grep -q "_Enable "'
check "the panel shows the disabled picture at 22 px" \
  wait_until 5 find_picture "$icons_dir/kestrun-disabled-22.png" 512 720 512 48
sni_click "$item" _Enable >/dev/null
check "\"Enable\" brings the first picture back" \
  wait_until 5 find_picture "$icons_dir/kestrun-22.png" 512 720 512 48

second_start "$work"
check "and the first shows its main window" wait_until 5 window_shown "$TITLE"
check "whose X11 class is the menu entry's StartupWMClass" \
  eval 'xprop -id "$(visible_window "$TITLE")" WM_CLASS | grep -q "\"Kestrun\"$"'
key alt+o
check "\"&OK\" hides it" wait_until 5 window_hidden "$TITLE"

network_starts_list "$work" Mail
check "the icon has left the watcher" wait_until 5 eval '! sni_listed "$item"'
check "and the panel" eval '! find_picture "$icons_dir/kestrun-22.png" 512 720 512 48'

e2e_finish
