#!/usr/bin/env bash
# The tray icon and its menu, driven through trayer with the pointer and the keyboard: the icon
# and its tip, the hidden start, the left click, the menu at the pointer with its four items in
# order, the Disable/Enable switch as the icon shows it, and Exit.
# Usage: tray_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
start_xvfb
start_trayer

work=$E2E_TMP/work
mkdir "$work"
start_kestrun "$work"

# --- start-up, with no list file ---

if ! wait_until 20 has_tray_icon; then
  fail "the tray icon is embedded in trayer"
  e2e_finish
fi
pass "the tray icon is embedded in trayer"
check "exactly one icon of ours is docked" test "$(tray_icon_window | wc -l)" == 1
icon=$(tray_icon_window | head -n1)
geometry "$icon"
ix=$GX iy=$GY iw=$GW ih=$GH
check "the tray icon has a size (${iw}x${ih})" test "$iw" -ge 16 -a "$ih" -ge 16
move_pointer 600 700
check "the main window stays hidden at start" stays_false 2 window_shown "$TITLE"
check "nothing but the icon is shown at start (no error box)" \
  test "$(kestrun_windows)" == "$(to_dec "$icon")"
check "starting without a list creates no applications.dat" test ! -e "$work/applications.dat"
# The icon's picture, but for its bottom-right corner, where the menu will open (see open_tray_menu).
grab_icon() { grab_area "$ix" "$iy" $((iw - 3)) $((ih - 3)) "$1"; }
grab_icon "$E2E_ARTIFACTS/icon-enabled.png"

# The tip: hovering the icon opens a tooltip window that belongs to it. Its text cannot be read
# back from the X server; its width must fit "Velmora Kestrunner" in a normal font.
before=$(kestrun_windows)
hover "$icon" $((iw / 2)) $((ih / 2))
tip=""
wait_until 6 eval 'tip=$(new_tooltip "$before" "$icon")'
if [[ -n "$tip" ]]; then
  pass "hovering the icon shows its tooltip"
  geometry "$tip"
  grab_area "$GX" "$GY" "$GW" "$GH" "$E2E_ARTIFACTS/tooltip.png"
  check "the tooltip is as wide as one short line (${GW}x${GH})" \
    test "$GW" -ge 70 -a "$GW" -le 320 -a "$GH" -le 40
else
  fail "hovering the icon shows its tooltip"
fi
move_pointer 600 700
wait_until 5 no_new_windows "$before"

# --- left button ---

click_window "$icon" 1
check "a left click on the icon shows the main window" wait_until 5 window_shown "$TITLE"
check "the main window comes up with the focus" wait_until 3 has_focus "$TITLE"
# No window manager here, so the window stands where the program puts it, without a frame.
if geometry "$(visible_window "$TITLE")"; then
  check "it stands at its place, 191,112 (got $GX,$GY)" test "$GX" == 191 -a "$GY" == 112
  check "it is 335 wide, with a 224-high client area under its menu bar (got ${GW}x${GH})" \
    test "$GW" == 335 -a "$GH" -gt 224 -a "$GH" -lt 260
fi
key alt+o
check "its \"&OK\" button (Alt+O) hides it again" wait_until 5 window_hidden "$TITLE"

# --- right button: the menu ---

open_menu() { open_tray_menu "$icon"; }

menu_closed() { ! xwininfo -id "$MENU" 2>/dev/null | grep -q IsViewable; }

# The four items have the same height: the centre of item I (from 0) lies at (2I+1)/8 of the menu.
item_y() { echo $((MH * (2 * $1 + 1) / 8)); }

# Darkest grey (0..1) of the text of item I: black when enabled, grey when disabled.
item_darkest() {
  local file=$E2E_TMP/item$1.png top=$((MY + MH * $1 / 4 + 3))
  grab_area $((MX + 4)) "$top" $((MW - 8)) $((MH / 4 - 6)) "$file" &&
    convert "$file" -colorspace Gray -format '%[fx:minima]' info:
}

near() { local d=$(($1 - $2)); ((d >= -3 && d <= 3)); }

if open_menu; then
  pass "a right click on the icon opens a menu"
  check "the menu opens with its top-left corner at the pointer (menu ${MX},${MY}; pointer ${PX},${PY})" \
    eval 'near "$MX" "$PX" && near "$MY" "$PY"'
  check "the menu is tall enough for four items (${MW}x${MH})" test "$MH" -ge 60 -a "$MH" -le 140
  screenshot menu-empty-list >/dev/null
  open_d=$(item_darkest 0) run_d=$(item_darkest 1) disable_d=$(item_darkest 2)
  check "\"&Run Application\" is grey while the list is empty (darkest text: Open $open_d, Run $run_d, Disable $disable_d)" \
    awk -v o="$open_d" -v r="$run_d" -v d="$disable_d" 'BEGIN { exit !(o < 0.3 && d < 0.3 && r > o + 0.2) }'
  before=$(kestrun_windows)
  hover "$MENU" $((MW / 2)) "$(item_y 1)"
  check "pointing at \"&Run Application\" opens no submenu" stays_false 2 eval '[[ -n "$(new_popup "$before")" ]]'
  hover "$MENU" $((MW / 2)) "$(item_y 0)"
  xdotool click 1
  check "the first item, \"&Open\", shows the main window" wait_until 5 window_shown "$TITLE"
  check "the menu closes after a choice" wait_until 3 menu_closed
else
  fail "a right click on the icon opens a menu"
fi

# --- the switch: "&Disable" shows the disabled icon, then reads "&Enable" ---

icon_is() { grab_icon "$E2E_TMP/icon-now.png" &&
  [[ "$(pixels_differ "$E2E_TMP/icon-now.png" "$1")" == 0 ]]; }
icon_is_not() { ! icon_is "$1"; }

if open_menu; then
  key d
  check "\"&Disable\" (key D) changes the tray icon" wait_until 5 icon_is_not "$E2E_ARTIFACTS/icon-enabled.png"
  grab_icon "$E2E_ARTIFACTS/icon-disabled.png"
else
  fail "the menu opens for \"&Disable\""
fi
if open_menu; then
  key d
  check "the item no longer answers to D once disabled" \
    stays_false 2 icon_is "$E2E_ARTIFACTS/icon-enabled.png"
  menu_closed && open_menu
  if icon_is_not "$E2E_ARTIFACTS/icon-enabled.png"; then
    hover "$MENU" $((MW / 2)) "$(item_y 2)"
    xdotool click 1
    check "the third item, now \"&Enable\", brings the enabled icon back" \
      wait_until 5 icon_is "$E2E_ARTIFACTS/icon-enabled.png"
  else
    fail "the third item, now \"&Enable\", brings the enabled icon back" "the icon never changed"
    key Escape
  fi
else
  fail "the menu opens for \"&Enable\""
fi

# --- the way out: the last item, "E&xit" ---

if open_menu; then
  hover "$MENU" $((MW / 2)) "$(item_y 3)"
  xdotool click 1
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    pass "the last item, \"E&xit\", ends the program"
    check "it ends with exit status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
    E2E_KESTRUN_PID=""
  else
    fail "the last item, \"E&xit\", ends the program"
  fi
  check "the icon has left trayer" wait_until 3 no_embedded_window
  check "no window of the program is left" test -z "$(xdotool search --onlyvisible --name "^$TITLE\$")"
  check "still no applications.dat" test ! -e "$work/applications.dat"
else
  fail "the menu opens for \"E&xit\""
fi

e2e_finish
