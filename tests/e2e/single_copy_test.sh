#!/usr/bin/env bash
# One waiting copy per list folder: a second start in the same folder shows the first copy's
# main window and ends with status 0, so every entry starts once when the network comes up; a
# first copy killed outright leaves nothing that blocks the next start; a runtime folder too long
# for a socket's own path changes nothing; with no private folder at all a start says so. A peer
# of the same user that keeps its connection open, sending a byte every 0.5 s, is dropped, and
# meanwhile the tray menu opens and a later start is answered.
# Usage: single_copy_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
start_xvfb
start_trayer

work=$E2E_TMP/work
mkdir "$work"
make_recorder "$work"
write_record "$work/applications.dat" "Mail" "$work/rec.sh Mail" 1
write_record "$work/applications.dat" "Maps" "$work/rec.sh Maps" 0
write_record "$work/applications.dat" "News" "$work/rec.sh News" 1

start_kestrun "$work"
wait_until 20 has_tray_icon || fail "the first copy's icon docks"
icon=$(tray_icon_window)

# The trickling peer: a byte every 0.5 s, never a whole line; dropped, it connects again, and
# notes each drop in trickle.log.
socket=$(compgen -G "$E2E_TMP/runtime/kestrun-*.sock" | head -n1)
/usr/bin/python3 -c '
import socket, sys, time
while True:
    peer = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        peer.connect(sys.argv[1])
        while True:
            peer.send(b"s")
            time.sleep(0.5)
    except OSError:
        print("dropped", flush=True)
        time.sleep(0.1)
    finally:
        peer.close()
' "$socket" >"$E2E_TMP/trickle.log" 2>&1 &
trickler=$!
E2E_OTHER_PIDS+=("$trickler")
check "a peer that trickles is dropped (at its deadline)" \
  wait_until 5 grep -q dropped "$E2E_TMP/trickle.log"
# How fast it opens is measured beside a heartbeat in the gui tests (single_instance_test):
# here, that it opens at all while a peer trickles (a server that waited on the peer would hold
# the window for minutes).
if open_tray_menu "$icon"; then
  pass "while it trickles the tray menu opens"
  key Escape
  wait_until 3 no_open_popup
else
  fail "while a peer trickles the tray menu opens"
fi

start_again "$work"
if wait_exit "$AGAIN_PID" 10; then
  check "a second start in the same folder ends with status 0 (got $EXIT_STATUS)" \
    test "$EXIT_STATUS" == 0
else
  fail "a second start in the same folder ends"
fi
check "and the first copy shows its main window" wait_until 5 window_shown "$TITLE"
check "one icon only" test "$(tray_icon_window | wc -l)" == 1
check "the window is the first copy's" \
  test "$(window_pid "$(visible_window "$TITLE")")" == "$E2E_KESTRUN_PID"
check "all the while the peer trickled" eval '! process_ended "$trickler"'
stop_process "$trickler"

# A start while the window is up changes nothing but ends as well.
start_again "$work"
wait_exit "$AGAIN_PID" 10 && check "a third start ends with status 0 too (got $EXIT_STATUS)" \
  test "$EXIT_STATUS" == 0
key alt+o
wait_until 5 window_hidden "$TITLE" || fail "\"&OK\" hides the main window"

network_up
if wait_exit "$E2E_KESTRUN_PID" 10; then
  E2E_KESTRUN_PID=""
  pass "with the network up the first copy starts the list and ends (status $EXIT_STATUS)"
else
  fail "with the network up the first copy starts the list and ends"
fi
check "each enabled entry started exactly once" \
  wait_until 3 eval '[[ "$(launched_in "$work" | sort | tr "\n" " ")" == "Mail News " ]]'
stays_false 1 eval '[[ "$(launched_in "$work" | wc -l)" != 2 ]]'
check "and nothing more" test "$(launched_in "$work" | wc -l)" == 2

# --- a first copy killed outright ---

rm -f "$work/launched.txt"
start_kestrun "$work"
wait_until 20 has_tray_icon || fail "a new copy's icon docks"
kill -KILL "$E2E_KESTRUN_PID"
wait_exit "$E2E_KESTRUN_PID" 5
check "the runtime folder still holds the killed copy's socket" \
  eval 'compgen -G "$E2E_TMP/runtime/kestrun-*.sock" >/dev/null'
start_kestrun "$work"
check "the next start is not blocked by what the killed copy left: its icon docks" \
  wait_until 20 has_tray_icon
start_again "$work"
if wait_exit "$AGAIN_PID" 10; then
  check "and it answers a later start, which ends with status 0 (got $EXIT_STATUS)" \
    test "$EXIT_STATUS" == 0
else
  fail "the new copy answers a later start"
fi
check "by showing its window" wait_until 5 window_shown "$TITLE"
stop_process "$E2E_KESTRUN_PID"

# --- a runtime folder of 100 bytes: the socket's own path would not fit an address (108) ---

long=$E2E_TMP/runtime/r
long+=$(printf '%*s' $((100 - ${#long})) '' | tr ' ' x)
mkdir -m 700 "$long"
E2E_RUNTIME=$long
start_kestrun "$work"
wait_until 20 has_tray_icon || fail "a copy whose runtime folder has 100 bytes docks its icon"
start_again "$work"
if wait_exit "$AGAIN_PID" 10; then
  check "a second start beside it ends with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
else
  fail "a second start beside a copy with a 100-byte runtime folder ends"
fi
check "and the first copy shows its window" wait_until 5 window_shown "$TITLE"
check "one icon only" test "$(tray_icon_window | wc -l)" == 1
stop_process "$E2E_KESTRUN_PID"

# --- no private folder anywhere: the start goes on alone and says why ---

mkdir -m 755 "$E2E_TMP/open" "$E2E_TMP/open/tmp" "$E2E_TMP/open/tmp/kestrun-$EUID" \
  "$E2E_TMP/open/home" "$E2E_TMP/open/home/.cache" "$E2E_TMP/open/home/.cache/kestrun"
E2E_RUNTIME=$E2E_TMP/open
TMPDIR=$E2E_TMP/open/tmp HOME=$E2E_TMP/open/home start_kestrun "$work"
check "a start with no private folder says so" \
  wait_until 10 grep -q "no private folder to meet other copies in" "$E2E_TMP/kestrun.log"
check "and goes on: its icon docks" wait_until 20 has_tray_icon
check "it made nothing in the folders others may enter" \
  test -z "$(find "$E2E_TMP/open" -mindepth 1 -not -type d)"

e2e_finish
