#!/usr/bin/env bash
# The windows without a mouse and through a screen reader's eyes, end to end: the main window
# opened from the icon (and from "&Open") takes Space on the check list's current line, which
# writes the file; an AT-SPI walk of the main window, the add dialog and the About box finds a
# name for every control the keys reach; the window's icon holds every size up to 64 px.
# Usage: access_test.sh <path of the kestrun binary>
# shellcheck disable=SC2317 # the predicates run through check and wait_until
set -uo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"

readonly ADD="Add New Application"
readonly ABOUT="About Velmora Kestrunner"
WALK=$(dirname "$0")/atspi_walk.py
readonly WALK

e2e_setup "${1:-}"
e2e_need dbus-daemon busctl
[[ -x /usr/libexec/at-spi-bus-launcher ]] || e2e_skip "missing at-spi2-core (scripts/deps test installs it)"
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || e2e_skip "missing python3-pyatspi (scripts/deps test installs it)"
start_xvfb
start_trayer
start_session_bus
start_accessibility_bus

work=$E2E_TMP/work
mkdir "$work"
list=$work/applications.dat
write_record "$list" "Alpha" "/bin/true" 1
write_record "$list" "Beta" "/bin/false" 1
# The session bus carries the accessibility bus's address; no StatusNotifierItem host is on it,
# so the icon is trayer's.
# shellcheck disable=SC2034 # start_kestrun reads them
E2E_WITH_BUS=1
# shellcheck disable=SC2034
E2E_ENV=(QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)
start_kestrun "$work"

enabled_is() { [[ "$(record "$list" "$1")" == *"|$2" ]]; }
walk() { /usr/bin/python3 "$WALK" Kestrun "$@" >"$E2E_TMP/walk.log" 2>&1; }
walked() {
  if wait_until 10 walk "$@"; then
    pass "$1: every control the keys reach has a name${2:+ (and ${*:2})}"
  else
    fail "$1: every control the keys reach has a name${2:+ (and ${*:2})}"
  fi
  sed 's/^/#   /' "$E2E_TMP/walk.log"
}

# --- from the icon: the keys go to the check list ---

open_main_from_icon
move_pointer 900 700
key space
check "Space toggles the first line: its enabled byte is 0 (got \"$(record "$list" 0)\")" \
  wait_until 5 enabled_is 0 0
check "the second line is untouched" enabled_is 1 1

# --- from "&Open": the same, with no click in the window ---

key alt+o # "&OK" hides the window
check "\"&OK\" hides the main window" wait_until 5 window_hidden "$TITLE"
if open_tray_menu "$icon"; then
  key o
  check "\"&Open\" shows the main window" wait_until 5 window_shown "$TITLE"
  # "&Open" does not move the window system's focus; nothing else here gives it either.
  xdotool windowfocus --sync "$(visible_window "$TITLE")" 2>/dev/null
  move_pointer 900 700
  key space
  check "Space after \"&Open\" toggles the first line back to 1 (got \"$(record "$list" 0)\")" \
    wait_until 5 enabled_is 0 1
else
  fail "the tray menu opens for \"&Open\""
fi

# --- the window's icon: every size of the resources ---

sizes=$(window_icon_sizes "$main" | paste -sd' ')
e2e_log "_NET_WM_ICON of the main window: $sizes"
for size in 16x16 22x22 24x24 32x32 48x48 64x64; do
  check "the window icon holds $size" grep -qw "$size" <<<"$sizes"
done

# --- a screen reader's view ---

walked "$TITLE" "list=Applications to run" "push button=New Application" "list item=Alpha"
key alt+n
if wait_until 5 window_shown "$ADD"; then
  walked "$ADD" "text=Application Name:" "text=Application executable path:"
  key alt+p
  xdotool type --delay 20 -- "/bin/true"
  check "Alt+P puts the typing into the path field" \
    wait_until 3 walk "$ADD" "Application executable path:~=/bin/true"
  key Escape
  check "Esc closes the add dialog" wait_until 5 window_hidden "$ADD"
else
  fail "Alt+N opens \"$ADD\""
fi

xdotool windowfocus --sync "$main" 2>/dev/null
key alt+h
sleep 0.5
key Return
if wait_until 5 window_shown "$ABOUT"; then
  walked "$ABOUT" "link=https://kestrunner.example.org/" "push button=OK"
  # The link: 232,160 in the client area, as wide as its text. Tab moves the focus from OK to
  # it, and a focus frame shows that.
  about=$(visible_window "$ABOUT")
  grab_link() { geometry "$about" && grab_area $((GX + 228)) $((GY + 156)) 160 24 "$E2E_TMP/$1.png"; }
  link_changed() { grab_link now && [[ "$(pixels_differ "$E2E_TMP/now.png" "$E2E_TMP/link.png")" != 0 ]]; }
  grab_link link
  key Tab
  check "Tab gives the link a focus frame" wait_until 3 link_changed
  screenshot about-link-focused
  e2e_log "screen: $SHOT"
  key Escape
  check "Esc closes the About box" wait_until 5 window_hidden "$ABOUT"
else
  fail "Help, About... shows \"$ABOUT\""
fi

# --- out through the tray menu ---

exit_by_tray_menu

e2e_finish
