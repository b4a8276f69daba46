#!/usr/bin/env bash
# Editing the list through the windows, end to end: adds from an empty directory (the record's
# bytes on disk), a refused add with its "Error" notice, the enabled byte toggled by the space bar,
# an update that keeps the record's place, a delete through "Confirm Delete" ("&No", then "&Yes"),
# and the About box. The program keeps running with its icon until "E&xit".
# Usage: edit_test.sh <path of the kestrun binary>
# shellcheck disable=SC2317 # the predicates run through check and wait_until
set -uo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"

readonly ADD="Add New Application"
readonly NOTICE="Error"
readonly CONFIRM="Confirm Delete"
readonly ABOUT="About Velmora Kestrunner"

e2e_setup "${1:-}"
start_xvfb
start_trayer

work=$E2E_TMP/work
mkdir "$work"
list=$work/applications.dat
start_kestrun "$work"

# --- the list file, read back byte by byte ---

size_is() { [[ "$(size_of "$list")" == "$1" ]]; }

record_is() { [[ "$(record "$list" "$1")" == "$2" ]]; }
enabled_is() { [[ "$(record "$list" "$1")" == *"|$2" ]]; }

# The raw bytes of record I of FILE, for byte-for-byte comparisons.
record_bytes() { od -An -v -tx1 -j $(($2 * REC)) -N "$REC" "$1"; }

# changed_bytes A B: the (1-based) offsets where two files of the same size differ.
changed_bytes() { cmp -l "$1" "$2" | awk '{ print $1 }' | paste -sd' '; }

snapshot_list() { cp "$list" "$E2E_TMP/$1"; }
list_unchanged() { cmp -s "$list" "$E2E_TMP/$1"; }
no_scratch_file() { [[ ! -e "$work/temp.dat" ]]; }

# --- the windows ---

running() { ! process_ended "$E2E_KESTRUN_PID"; }

# click_client WINDOW X Y: a left click at client coordinates of a window; the main window's
# client area lies under its menu bar, 224 high.
click_client() {
  geometry "$1" || return 1
  local top=0
  [[ "$1" == "$main" ]] && top=$((GH - 224))
  move_pointer $((GX + $2)) $((GY + top + $3)) && xdotool click 1
}

# The check list: 136,8 in the client area, 193 x 209. Its picture, for "something shows".
grab_list() {
  geometry "$main" &&
    grab_area $((GX + 136)) $((GY + GH - 224 + 8)) 193 209 "$E2E_TMP/$1.png"
}
list_picture_changed() {
  grab_list now && [[ "$(pixels_differ "$E2E_TMP/now.png" "$E2E_TMP/$1.png")" != 0 ]]
}
list_picture_is() {
  grab_list now && [[ "$(pixels_differ "$E2E_TMP/now.png" "$E2E_TMP/$1.png")" == 0 ]]
}

# The dialog's fields, in its client coordinates: app_name at 8,32 and app_path at 8,88, both
# 393 x 21. A click puts the focus in a field; Ctrl+A selects what it holds, typing replaces it.
fill_field() {
  click_client "$dialog" 200 "$1" && key ctrl+a && xdotool type --delay 20 -- "$2"
}

# open_add KEYS...: shows the add dialog with the given action; sets dialog.
open_add() {
  dialog=""
  "$@"
  wait_until 5 window_shown "$ADD" && dialog=$(visible_window "$ADD") &&
    wait_until 3 has_focus "$ADD"
}

park_pointer() { move_pointer 900 700; }

# refocus TITLE: with no window manager here, nothing hands the focus back to the window under
# a dialog that closed; keys meant for that window need it given back.
refocus() {
  xdotool windowfocus --sync "$(visible_window "$1")" 2>/dev/null
  wait_until 3 has_focus "$1"
}
focus_main() { refocus "$TITLE"; }

# --- start-up: an empty directory, the main window ---

open_main_from_icon
park_pointer
grab_list empty

# --- the first add: Alt+N, the name typed straight into the first field, Enter ---

if open_add key alt+n; then
  pass "Alt+N opens \"$ADD\" with the focus"
  geometry "$dialog"
  check "the dialog is 512 x 120 (got ${GW}x${GH})" test "$GW" == 512 -a "$GH" == 120
  # No click first: the name field has the focus when the dialog first opens.
  xdotool type --delay 20 -- "Alpha"
  key Tab
  xdotool type --delay 20 -- "/bin/true"
  key Return
  check "Enter in the path field confirms and closes the dialog" wait_until 5 window_hidden "$ADD"
  if wait_until 5 size_is $REC; then
    pass "applications.dat is created with one 223-byte record"
    check "the record is Alpha, /bin/true, enabled 1 (got \"$(record "$list" 0)\")" \
      record_is 0 "Alpha|/bin/true|1"
  else
    fail "applications.dat is created with one 223-byte record" "size $(size_of "$list")"
  fi
  check "no temp.dat is left behind" no_scratch_file
  check "the check list shows a line" wait_until 3 list_picture_changed empty
else
  fail "Alt+N opens \"$ADD\" with the focus"
fi
grab_list one-entry

# --- the second add: the button, clicked ---

if open_add click_client "$main" 60 24; then
  pass "a click on \"&New Application\" opens the dialog"
  fill_field 42 "Beta"
  fill_field 98 "/bin/false"
  snapshot_list before-second
  key Return
  check "Enter in the name field confirms too" wait_until 5 window_hidden "$ADD"
  if wait_until 5 size_is $((2 * REC)); then
    pass "the second add appends a record (446 bytes)"
    check "the new last record is Beta, /bin/false, enabled 1 (got \"$(record "$list" 1)\")" \
      record_is 1 "Beta|/bin/false|1"
    check "the first record is untouched, byte for byte" \
      test "$(record_bytes "$list" 0)" == "$(record_bytes "$E2E_TMP/before-second" 0)"
  else
    fail "the second add appends a record (446 bytes)" "size $(size_of "$list")"
  fi
  check "the check list shows one more line" wait_until 3 list_picture_changed one-entry
else
  fail "a click on \"&New Application\" opens the dialog"
fi

# --- the notice: "&Edit Launch" with no line selected, then an add with a missing path ---

# grab_notice NAME: once the notice is up, sets notice and keeps its picture as NAME.png.
grab_notice() {
  wait_until 5 window_shown "$NOTICE" || return 1
  notice=$(visible_window "$NOTICE")
  park_pointer
  import -window "$notice" "$E2E_TMP/$1.png" 2>/dev/null
}
notice_picture_same() { [[ "$(pixels_differ "$E2E_TMP/$1.png" "$E2E_TMP/$2.png")" == 0 ]]; }

snapshot_list two-entries
# "&Edit Launch": the button at 8,48. No line has been selected yet.
click_client "$main" 60 64
if grab_notice resting; then
  pass "\"&Edit Launch\" with no line selected brings up the \"$NOTICE\" notice"
  geometry "$notice"
  check "the notice is 228 x 72 (got ${GW}x${GH})" test "$GW" == 228 -a "$GH" == 72
  key Return
  check "Enter (its only button, OK, has the focus) closes it" wait_until 5 window_hidden "$NOTICE"
else
  fail "\"&Edit Launch\" with no line selected brings up the \"$NOTICE\" notice"
fi
check "the add dialog did not open" window_hidden "$ADD"

focus_main
if open_add key alt+n; then
  fill_field 42 "Gamma"
  fill_field 98 "$work/no-such-program"
  key Return
  if grab_notice missing; then
    pass "a missing path brings up the \"$NOTICE\" notice"
    check "with another text than the resting one" eval '! notice_picture_same resting missing'
    # Its "OK", at 64,40 (75 x 25), closes it.
    click_client "$notice" 101 52
    check "its OK closes the notice" wait_until 5 window_hidden "$NOTICE"
    check "the add dialog stays open after the notice" window_shown "$ADD"
  else
    fail "a missing path brings up the \"$NOTICE\" notice"
  fi
  check "nothing was written by the refused add" list_unchanged two-entries
  check "no temp.dat either" no_scratch_file
  refocus "$ADD"
  key Escape
  check "Esc closes the add dialog" wait_until 5 window_hidden "$ADD"
  check "the list is still unchanged after Esc" list_unchanged two-entries
else
  fail "Alt+N opens the add dialog a third time"
fi

focus_main
key alt+e
if grab_notice resting-again; then
  check "the next notice shows the resting text again" notice_picture_same resting resting-again
  key Return
  wait_until 5 window_hidden "$NOTICE" || fail "the notice closes again"
else
  fail "Alt+E with no line selected brings up the notice again"
fi

# --- the toggle: the first line, selected by a click on its text, flipped by the space bar ---

park_pointer
grab_list before-toggle
# The first line's text: a few pixels under the list's top edge, right of the check box.
click_client "$main" 236 14
check "a click on a line's text changes nothing in the file" stays_false 1 eval '! list_unchanged two-entries'
park_pointer
grab_list first-selected
key space
if wait_until 5 enabled_is 0 0; then
  pass "space on the selected first line writes its enabled byte 0"
  check "only byte 222 of the first record changed (changed: $(changed_bytes "$E2E_TMP/two-entries" "$list"))" \
    test "$(changed_bytes "$E2E_TMP/two-entries" "$list")" == 223
  check "the line's check mark shows it" wait_until 3 list_picture_changed first-selected
else
  fail "space on the selected first line writes its enabled byte 0" "got \"$(record "$list" 0)\""
fi
key space
if wait_until 5 enabled_is 0 1; then
  pass "a second space writes 1 again"
  check "the file is back to its bytes before the toggles" list_unchanged two-entries
  check "the line looks as before the toggles" wait_until 3 list_picture_is first-selected
else
  fail "a second space writes 1 again" "got \"$(record "$list" 0)\""
fi
check "no temp.dat after the toggles" no_scratch_file

# --- the update: the second line, unchecked first, renamed through "&Edit Launch" ---

key Down
key space
check "Down then space unchecks the second entry" wait_until 5 enabled_is 1 0
snapshot_list before-update
if open_add key alt+e; then
  pass "Alt+E opens the dialog (same title) on the selected entry"
  fill_field 42 "Bravo"
  key Return
  check "Enter confirms the update and closes the dialog" wait_until 5 window_hidden "$ADD"
  if wait_until 5 record_is 1 "Bravo|/bin/false|1"; then
    pass "the record keeps its place with the new name, the path kept, enabled again"
  else
    fail "the record keeps its place with the new name, the path kept, enabled again" \
      "got \"$(record "$list" 1)\""
  fi
  check "the file still holds two records" size_is $((2 * REC))
  check "the first record is untouched, byte for byte" \
    test "$(record_bytes "$list" 0)" == "$(record_bytes "$E2E_TMP/before-update" 0)"
  check "no temp.dat after the update" no_scratch_file
else
  fail "Alt+E opens the dialog (same title) on the selected entry"
fi

# --- the delete: "&No" keeps everything, "&Yes" (Enter, as it has the focus) drops the entry ---

snapshot_list before-delete
click_client "$main" 236 14
park_pointer
# "&Delete Selected": the button at 8,88 (105 x 33).
click_client "$main" 60 104
if wait_until 5 window_shown "$CONFIRM"; then
  pass "\"&Delete Selected\" asks \"$CONFIRM\""
  key alt+n
  check "\"&No\" (Alt+N) closes it" wait_until 5 window_hidden "$CONFIRM"
  check "and changes nothing" list_unchanged before-delete
else
  fail "\"&Delete Selected\" asks \"$CONFIRM\""
fi
click_client "$main" 60 104
if wait_until 5 window_shown "$CONFIRM"; then
  key Return
  check "Enter answers \"&Yes\" and closes the confirmation" wait_until 5 window_hidden "$CONFIRM"
  if wait_until 5 size_is $REC; then
    pass "one record is left"
    check "it is the second one, byte for byte (\"$(record "$list" 0)\")" \
      test "$(record_bytes "$list" 0)" == "$(record_bytes "$E2E_TMP/before-delete" 1)"
  else
    fail "one record is left" "size $(size_of "$list")"
  fi
  check "no temp.dat after the delete" no_scratch_file
else
  fail "\"&Delete Selected\" asks \"$CONFIRM\" a second time"
fi

# --- Help, About... ---

focus_main
before_menu=$(kestrun_windows)
menu_opened() { [[ -n "$(new_popup "$before_menu")" ]]; }
key alt+h
if wait_until 5 menu_opened; then
  key Return
  if wait_until 5 window_shown "$ABOUT"; then
    pass "Help, About... shows \"$ABOUT\""
    about=$(visible_window "$ABOUT")
    geometry "$about"
    check "the About box has its size, 564 x 223 inside the frame (got ${GW}x${GH})" \
      test "$GW" == 564 -a "$GH" == 223
    # Its "OK" at 456,168 (75 x 25).
    click_client "$about" 493 180
    check "its OK closes it" wait_until 5 window_hidden "$ABOUT"
  else
    fail "Help, About... shows \"$ABOUT\""
  fi
else
  fail "Alt+H opens the Help menu"
fi

# --- still there; then out through the tray menu ---

check "the program still runs" running
check "its icon is still docked" has_tray_icon
check "the main window is still shown" window_shown "$TITLE"
check "the list is as the delete left it" size_is $REC
exit_by_tray_menu

e2e_finish
