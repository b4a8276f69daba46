#!/usr/bin/env bash
# The tray on X11 with Xfce's panel, whose notification area takes both kinds of icon: with the
# session bus the program registers a StatusNotifierItem, without it an XEmbed icon docks. The
# panel may start after the program (as at login); either way there is exactly one icon, and it
# opens the main window.
# Usage: xfce_panel_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
e2e_need xfce4-panel busctl dbus-daemon jq
start_xvfb
start_session_bus

work=$E2E_TMP/work
mkdir "$work"
write_record "$work/applications.dat" "Never" "/nonexistent/never-started" 1
running() { ! process_ended "$E2E_KESTRUN_PID"; }
icons() { { sni_items_of; docked_icons_of; } | grep -c .; }
now_ms() { date +%s%3N; }

# exit_by_menu: "Exit" from the host's menu (StatusNotifierItem) or the tray menu (XEmbed).
exit_by_menu() {
  local item icon
  item=$(sni_items_of)
  if [[ -n "$item" ]]; then
    sni_click "$item" E_xit >/dev/null
  elif icon=$(docked_icons_of | head -n1) && [[ -n "$icon" ]] && open_tray_menu "$icon"; then
    key x
  fi
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    E2E_KESTRUN_PID=""
    check "$1: \"Exit\" ends the program with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  else
    fail "$1: \"Exit\" ends the program"
  fi
}

# --- the panel five seconds after the program, on the bus ---

E2E_WITH_BUS=1
start_kestrun "$work"
check "before the panel comes the program waits without an icon (5 s)" \
  stays_false 5 eval '! running || [[ $(icons) != 0 ]]'
start_xfce4_panel
host_at=$(now_ms)
if wait_until 10 eval '[[ $(icons) != 0 ]]'; then
  kind="StatusNotifierItem"
  [[ -z "$(sni_items_of)" ]] && kind="XEmbed"
  pass "the icon comes to the panel that came later, as a $kind ($(($(now_ms) - host_at)) ms after its host)"
else
  fail "the icon comes to the panel that came later"
  e2e_finish
fi
stays_false 1 eval '[[ $(icons) != 1 ]]'
check "exactly one icon of either kind" test "$(icons)" == 1
import -window root "$E2E_ARTIFACTS/xfce-late.png" 2>/dev/null
exit_by_menu "late panel"

# --- the panel first: a StatusNotifierItem ---

# With no icon theme at all the item names no theme icon; its pixmaps are every size we have.
E2E_ENV=(XDG_DATA_DIRS="$E2E_TMP/no-share")
start_kestrun "$work"
E2E_ENV=()
if wait_until 10 has_sni_item; then
  pass "with the panel there and a bus, the icon is a StatusNotifierItem"
  check "and the only icon" test "$(icons)" == 1
  item=$(sni_items_of)
  check "without the theme icon installed it names none (got $(sni_get "$item" IconName))" \
    test "$(sni_get "$item" IconName)" == 's ""'
  sizes=$(sni_pixmap_sizes "$item" | paste -sd' ')
  check "its pixmaps are 16 to 64 px (got $sizes)" test "$sizes" == "16x16 22x22 24x24 32x32 48x48 64x64"
  sni_call "$(sni_items_of)" Activate ii 0 0 >/dev/null
  check "Activate shows the main window" wait_until 5 window_shown "$TITLE"
  key alt+o
  check "\"&OK\" hides it" wait_until 5 window_hidden "$TITLE"
  stop_host
  start_xfce4_panel
  check "a restarted panel gets the icon back" wait_until 10 has_sni_item
  check "still exactly one icon" test "$(icons)" == 1
else
  fail "with the panel there and a bus, the icon is a StatusNotifierItem"
fi
exit_by_menu "StatusNotifierItem"

# --- installed: the item names the theme icon too ---

# The hicolor theme as packaging installs the icon into it.
theme=$E2E_TMP/share/icons/hicolor
mkdir -p "$theme"
cp /usr/share/icons/hicolor/index.theme "$theme/"
for size in 16 32 64; do
  mkdir -p "$theme/${size}x${size}/apps"
  cp "$(dirname "$0")/../../resources/icons/kestrun-$size.png" \
    "$theme/${size}x${size}/apps/org.example.kestrunner.Kestrun.png"
done
E2E_ENV=(XDG_DATA_DIRS="$E2E_TMP/share")
start_kestrun "$work"
E2E_ENV=()
if wait_until 10 has_sni_item; then
  item=$(sni_items_of)
  # The icon shows with the program's own pictures; the theme is looked up right after.
  names_theme_icon() { [[ $(sni_get "$item" IconName) == 's "org.example.kestrunner.Kestrun"' ]]; }
  check "with the theme icon installed the item names it" \
    wait_until 5 names_theme_icon
  sizes=$(sni_pixmap_sizes "$item" | paste -sd' ')
  check "and still sends pixmaps (got $sizes)" test -n "$sizes"
else
  fail "with the theme icon installed the icon is a StatusNotifierItem"
fi
exit_by_menu "theme icon"

# --- picked in the host's menu while start-up still shows an error box ---

broken=$E2E_TMP/broken
mkdir "$broken"
cp "$work/applications.dat" "$broken/"
chown nobody "$broken/applications.dat" # another user's list is refused
box_shown() { window_shown kestrun; }
start_kestrun "$broken"
if wait_until 10 box_shown && wait_until 10 has_sni_item; then
  pass "a list that is refused shows the error box at start-up, with the icon there"
  item=$(sni_items_of)
  sni_click "$item" _Disable >/dev/null
  wait_until 5 eval 'sni_menu_labels "$item" 1 | grep -q "_Enable "' || fail "the item reads Enable"
  xdotool windowfocus --sync "$(visible_window kestrun)" 2>/dev/null && key Return
  wait_until 5 eval '! box_shown' || fail "Return closes the error box"
  network_up
  # With the automatic launch on, the next tick would try the refused list and show the box.
  check "\"Disable\" picked while the box was up holds: no tick tries the list (7 s)" \
    stays_false 7 box_shown
  sni_click "$item" _Enable >/dev/null
  check "once enabled, the next tick does try it" wait_until 10 box_shown
else
  fail "a list that is refused shows the error box at start-up, with the icon there"
fi
sni_click "$(sni_items_of)" E_xit >/dev/null
wait_exit "$E2E_KESTRUN_PID" 10 && E2E_KESTRUN_PID=""
start_kestrun "$broken"
if wait_until 10 box_shown && wait_until 10 has_sni_item; then
  sni_click "$(sni_items_of)" E_xit >/dev/null
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    E2E_KESTRUN_PID=""
    check "\"Exit\" picked while the start-up box is up ends the program, status 0 (got $EXIT_STATUS)" \
      test "$EXIT_STATUS" == 0
  else
    fail "\"Exit\" picked while the start-up error box is up ends the program"
  fi
else
  fail "the start-up error box shows again"
fi

# --- without the bus: an XEmbed icon docks in the same panel ---

E2E_WITH_BUS=0
start_kestrun "$work"
if wait_until 10 eval '[[ -n "$(docked_icons_of)" ]]'; then
  pass "without a bus the icon docks in the panel through XEmbed"
  check "and is the only icon" test "$(icons)" == 1
  click_window "$(docked_icons_of | head -n1)" 1
  check "a left click on it shows the main window" wait_until 5 window_shown "$TITLE"
  key alt+o
  wait_until 5 window_hidden "$TITLE"
else
  fail "without a bus the icon docks in the panel through XEmbed"
fi
exit_by_menu "XEmbed"
check "no notice of waiting: a host was there within 10 s each time" \
  eval '! grep -q "waiting for a system tray" "$E2E_TMP/kestrun.log"'

e2e_finish
