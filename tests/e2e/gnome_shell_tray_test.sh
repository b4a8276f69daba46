#!/usr/bin/env bash
# GNOME Shell with the AppIndicator extension: headless on a virtual monitor, the program a
# Wayland client of it, all on a session bus at a socket path. The icon registers once under the
# menu entry's name, its menu works, "Disable" shows the disabled picture in the top bar, no
# notification is sent where the tray is, a second start shows the window as the menu entry's,
# a click opens the menu and a double click activates the item (no tip), and the network starts
# the list and takes the icon away.
# Usage: gnome_shell_tray_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
e2e_need gnome-shell busctl dbus-daemon jq
need_appindicator
start_session_bus
start_bus_monitor
start_gnome_shell "$APPINDICATOR"
check "the extension is the StatusNotifierItem host" wait_until 10 host_registered
E2E_PLATFORM=wayland
E2E_WITH_BUS=1
# As installed: the icon theme holds the program's icon.
E2E_ENV=(XDG_DATA_DIRS="$E2E_SHARE:/usr/share")

new_list() {
  mkdir "$1"
  make_recorder "$1"
  write_record "$1/applications.dat" "Mail" "$1/rec.sh Mail" 1
  write_record "$1/applications.dat" "Maps" "$1/rec.sh Maps" 0
}
# The top bar's right end, where the extension shows the icons.
icons_dir=$(dirname "$0")/../../resources/icons
# in_top_bar PICTURE: the shell's top bar shows the picture (the extension draws 16 px icons).
in_top_bar() { gnome_screenshot top-bar && find_picture "$icons_dir/$1" 0 0 1024 32 "$SHOT"; }

# --- the icon, its menu and the switch; the network ends it ---

work=$E2E_TMP/work
new_list "$work"
start_kestrun "$work"
start_at=$SECONDS
one_icon_titled_as_entry "the extension"
check "the host's menu holds Open, Run Application, Disable, Exit" \
  test "$(sni_menu_labels "$item" 1)" == "_Open _Run Application _Disable E_xit "
check "its submenu holds the entries, in file order" \
  test "$(sni_menu_labels "$item" 2 | tr -d _)" == "Mail Maps "
check "the top bar shows the icon" wait_until 5 in_top_bar kestrun-16.png

sni_click "$item" _Disable >/dev/null
check "\"Disable\" turns the item into \"Enable\"" \
  wait_until 5 eval 'sni_menu_labels "$item" 1 | grep -q "_Enable "'
sizes=$(sni_pixmap_sizes "$item" | paste -sd' ')
check "the disabled picture comes in every size (got $sizes)" \
  test "$sizes" == "16x16 22x22 24x24 32x32 48x48 64x64"
check "and names no theme icon, so the host draws it" test "$(sni_get "$item" IconName)" == 's ""'
check "the top bar shows it" wait_until 5 in_top_bar kestrun-disabled-16.png
sni_click "$item" _Enable >/dev/null
check "\"Enable\" names the theme icon again" \
  wait_until 5 eval '[[ "$(sni_get "$item" IconName)" == "s \"$APP_ID\"" ]]'
check "and the top bar shows the first picture again" wait_until 5 in_top_bar kestrun-16.png

check "where the tray is, no notification is sent (12 s after start)" \
  stays_false $((12 - SECONDS + start_at)) eval '[[ -n "$(notifications)" ]]'
network_starts_list "$work" Mail
check "the icon has left the watcher" wait_until 5 eval '! sni_listed "$item"'
check "and the top bar" wait_until 5 eval \
  'gnome_screenshot top-bar && ! find_picture "$icons_dir/kestrun-16.png" 0 0 1024 32 "$SHOT"'

# --- a second start shows the window, which is the menu entry's ---

again=$E2E_TMP/again
new_list "$again"
start_kestrun "$again"
wait_until 15 has_sni_item || fail "the icon registers again"
second_start "$again"
check "and the first shows its main window" wait_until 5 gnome_window_shown "$TITLE"
check "which the shell counts to the menu entry (got $(gnome_window_app "$TITLE"))" \
  test "$(gnome_window_app "$TITLE")" == "$APP_ID.desktop"
gnome_screenshot gnome-main-window && e2e_log "screen: $SHOT"
check "still exactly one icon" test "$(sni_items_of | wc -l)" == 1
item=$(sni_items_of)

# The pointer, as a user uses it: the extension shows no tip, opens the menu on a click, and
# activates the item on a double click.
start_gnome_pointer
screen=$E2E_TMP/pointer.png
if gnome_pointer screenshot "$screen" && find_picture "$icons_dir/kestrun-16.png" 0 0 1024 32 "$screen"; then
  pass "the top bar shows the icon at 16 px"
  gnome_pointer click "$FX" "$FY" 0 && sleep 2 && gnome_pointer screenshot "$screen.hover.png"
  for shot in "$screen" "$screen.hover.png"; do
    convert "$shot" -crop 240x80+$((FX - 120))+32 +repage "$shot.below.png"
  done
  check "hovering shows no tip below it" \
    eval '(($(pixels_differ "$screen.below.png" "$screen.hover.png.below.png") < 20))'
  menus=$(calls_to "$item" AboutToShow) activations=$(calls_to "$item" Activate)
  gnome_pointer click "$FX" "$FY" 1
  check "a click opens the menu" wait_until 3 eval '(($(calls_to "$item" AboutToShow) > menus))'
  check "and does not activate the item" stays_false 1 eval '(($(calls_to "$item" Activate) > activations))'
  gnome_pointer screenshot "$E2E_ARTIFACTS/gnome-menu.png"
  gnome_pointer click 500 500 1 # elsewhere: the menu closes
  sleep 0.5
  gnome_pointer click "$FX" "$FY" 2
  check "a double click activates it" wait_until 3 eval '(($(calls_to "$item" Activate) > activations))'
else
  fail "the top bar shows the icon at 16 px"
fi
exit_by_host_menu "$item"
check "nothing was started without the network" nothing_launched "$again"

e2e_finish
