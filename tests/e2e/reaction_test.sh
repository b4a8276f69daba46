#!/usr/bin/env bash
# How quickly the list starts when the network comes up, and what network changes cost, end to
# end in kestrun's own network namespace (where unprivileged ICMP is off, so the echo helper
# makes the exchanges): the network brought up between two ticks starts the entry within
# 300 ms; loopback coming up with nothing that answers starts nothing and sends few echoes; a
# change while the main window is shown, or the switch is off, sends none; 10 s of IPv6
# addresses, routes in another table and links going down cost no echo beyond the ticks'; a
# storm of 2,000 address changes in 2 s costs about a probe a second, and the network that comes
# up after it still starts the entry before the next tick; a stopped echo helper is replaced
# without the window noticing. Echoes are counted in the namespace's /proc/net/snmp (OutEchos).
# Usage: reaction_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
start_xvfb
start_trayer

work=$E2E_TMP/work
mkdir "$work"
# The entry notes the moment it started, in nanoseconds.
cat >"$work/started.sh" <<EOF
#!/bin/sh
date +%s%N >>"$work/started.txt"
EOF
chmod +x "$work/started.sh"
write_record "$work/applications.dat" "Started" "$work/started.sh" 1

now_ns() { date +%s%N; }
# OutEchos, by the name the header line gives its column.
echoes_sent() {
  in_kestrun_netns awk '/^Icmp:/ && !n++ { for (i = 1; i <= NF; i++) if ($i == "OutEchos") c = i; next }
    /^Icmp:/ { print $c; exit }' /proc/net/snmp
}
started() { [[ -s "$work/started.txt" ]]; }
# The echo helper starts with the first probe, the first tick's: 5 s after the window is made.
helper_running() { pgrep -P "$E2E_KESTRUN_PID" -x kestrun-echo-he >/dev/null; }

# start_waiting: kestrun, its icon docked, its first tick's probe done.
start_waiting() {
  rm -f "$work/started.txt"
  start_kestrun "$work"
  wait_until 20 has_tray_icon || fail "the tray icon is embedded in trayer"
  icon=$(tray_icon_window)
  if ! wait_until 10 helper_running; then
    fail "the first tick starts the echo helper"
    e2e_finish
  fi
  TICK_NS=$(now_ns)
}
stop_kestrun() {
  [[ -n "$E2E_KESTRUN_PID" ]] && stop_process "$E2E_KESTRUN_PID"
  E2E_KESTRUN_PID=""
}
# expect_started_within MS WHAT COMMAND...: COMMAND brings the network up; the entry starts
# within MS milliseconds of it, and the program ends.
expect_started_within() {
  local limit=$1 what=$2 up_ns reaction_ms
  shift 2
  up_ns=$(now_ns)
  "$@"
  if wait_until $((limit / 1000 + 5)) started; then
    reaction_ms=$((($(head -n1 "$work/started.txt") - up_ns) / 1000000))
    check "$what within $limit ms (took $reaction_ms ms)" test "$reaction_ms" -lt "$limit"
    check "... and the program ends" wait_until 5 process_ended "$E2E_KESTRUN_PID"
    E2E_KESTRUN_PID=""
  else
    fail "$what"
    stop_kestrun
  fi
}

# --- the network comes up 1 s after a tick ---

start_waiting
sleep 1
expect_started_within 300 "the network up 1 s after a tick starts the entry" network_up

# --- loopback up, nothing answers ---

start_waiting
before=$(echoes_sent)
in_kestrun_netns ip link set lo up
check "loopback up alone starts nothing (6 s: a burst and a tick)" stays_false 6 started
sent=$(($(echoes_sent) - before))
# At most the burst's five probes and two ticks', two echoes each.
check "... and sends few echoes ($sent)" test "$sent" -le 14
stop_kestrun

# --- while the main window is shown, or the switch is off ---

start_waiting
click_window "$icon" 1
if wait_until 5 window_shown "$TITLE"; then
  before=$(echoes_sent)
  network_up
  check "a change while the main window is shown starts nothing (2 s)" stays_false 2 started
  check "... and sends no echo" test "$(($(echoes_sent) - before))" == 0
else
  fail "a left click on the icon shows the main window"
fi
stop_kestrun

start_waiting
if open_tray_menu "$icon"; then
  key d # "&Disable"
  wait_until 3 no_open_popup
  before=$(echoes_sent)
  network_up
  check "a change while the switch is off starts nothing (2 s)" stays_false 2 started
  check "... and sends no echo" test "$(($(echoes_sent) - before))" == 0
else
  fail "the tray menu opens for \"&Disable\""
fi
stop_kestrun

# --- a stopped echo helper ---

# The helper stops answering (SIGSTOP) while the network is down; the network comes up. The
# window keeps answering while a probe waits on the stopped helper, which is then killed, reaped
# and replaced: the entry starts within two ticks.
start_waiting
aim_at_tray_icon "$icon"
stopped=$(pgrep -P "$E2E_KESTRUN_PID" -x kestrun-echo-he)
kill -STOP "$stopped"
up_ns=$(now_ns)
network_up
waiting_ns=$(now_ns) # the first probe waits on the stopped helper for 1.5 s from about now
# Meanwhile the GUI thread is sampled every 20 ms: it waits in its event loop's poll (x86-64:
# poll 7, ppoll 271; restart_syscall 219 after a signal) or works, and is never found three
# samples in a row in another call (one that blocks on the helper: send, wait4); and a right
# click opens the tray menu.
samples=$E2E_TMP/gui-thread
deadline_us=$((waiting_ns / 1000 + 1400000))
(
  while ((${EPOCHREALTIME/./} < deadline_us)); do
    read -r call _ <"/proc/$E2E_KESTRUN_PID/syscall" 2>/dev/null || break
    echo "$call"
    sleep 0.02
  done >"$samples"
) &
sampler=$!
if right_click_for_menu; then
  pass "while a probe waits on the stopped helper, a right click opens the tray menu"
else
  fail "while a probe waits on the stopped helper, a right click opens the tray menu"
fi
wait "$sampler"
# The longest run of samples in one call other than the loop's wait.
blocked=$(awk '/^(7|271|219|running)$/ { run = 0; last = ""; next }
  { run = $0 == last ? run + 1 : 1; last = $0; if (run > most) most = run }
  END { print most + 0 }' "$samples")
check "... and the GUI thread waits only in its event loop (longest run elsewhere: $blocked of $(wc -l <"$samples") samples: $(sort -u "$samples" | xargs))" \
  eval '(($(wc -l <"$samples") >= 5 && blocked < 3))'
key Escape
if wait_until 12 started; then
  reaction_ms=$((($(head -n1 "$work/started.txt") - up_ns) / 1000000))
  check "the network up with the helper stopped starts the entry within two ticks (took $reaction_ms ms)" \
    test "$reaction_ms" -lt 10000
  check "... the stopped helper was killed and reaped" wait_until 5 eval '! kill -0 "$stopped" 2>/dev/null'
  check "... and the program ends" wait_until 5 process_ended "$E2E_KESTRUN_PID"
  E2E_KESTRUN_PID=""
else
  fail "the network up with the helper stopped starts the entry within two ticks"
  stop_kestrun
fi

# --- noise: nothing of it can bring IPv4 connectivity ---

# Every echo is sent and none answered (a route takes them to loopback). Thirty veth pairs rise
# first, and their burst ends before the count starts; then, for 10 s, an IPv6 address, a route
# in another table and a link going down, over and over.
start_waiting
in_kestrun_netns ip link set lo up
in_kestrun_netns ip route add default dev lo
for i in $(seq 0 29); do
  printf 'link add v%d type veth peer name w%d\nlink set v%d up\nlink set w%d up\n' "$i" "$i" "$i" "$i"
done >"$E2E_TMP/veths"
in_kestrun_netns ip -batch "$E2E_TMP/veths"
sleep 7
before=$(echoes_sent)
noise_start=$(now_ns)
for i in $(seq 0 29); do
  (($(now_ns) - noise_start >= 10000000000)) && break
  in_kestrun_netns ip -6 addr add "fd00::$((i + 1))/128" dev lo
  in_kestrun_netns ip route add "10.$((100 + i)).0.0/16" dev lo table 100
  in_kestrun_netns ip link set "v$i" down
  sleep 0.2
done
noise_ms=$((($(now_ns) - noise_start) / 1000000))
sent=$(($(echoes_sent) - before))
# A tick every 5 s, two echoes each, and one more of a tick the count cut in two; a burst would
# be five probes more.
check "$((noise_ms / 1000)) s of $i IPv6 addresses, routes in another table and links going down cost no echo beyond the ticks' ($sent echoes)" \
  test "$sent" -le $((2 * (noise_ms / 5000 + 1) + 1))
check "... and start nothing" eval '! started'
stop_kestrun

# --- a storm of changes, then the network ---

# Every echo is sent and none answered: a route takes them to loopback, where no address of
# theirs is.
start_waiting
in_kestrun_netns ip link set lo up
in_kestrun_netns ip route add default dev lo
sleep 6 # the burst of the route's change is over
batch=$E2E_TMP/storm
for i in $(seq 0 1999); do
  echo "addr add 10.77.$((i / 250)).$((i % 250 + 1))/32 dev lo"
done >"$batch"
before=$(echoes_sent)
storm_start=$(now_ns)
# 2,000 changes spread over about 2 s, in 20 batches of 100.
split -l 100 "$batch" "$batch."
for part in "$batch".*; do
  in_kestrun_netns ip -batch "$part"
  sleep 0.1
done
storm_s=$((($(now_ns) - storm_start) / 1000000000 + 1))
sleep 1
sent=$(($(echoes_sent) - before))
# The bucket's five probes, one a second after that, and a tick: two echoes each.
check "a storm of 2,000 address changes in ${storm_s} s costs about a probe a second ($sent echoes)" \
  test "$sent" -le $((2 * (5 + storm_s + 1 + 1)))
check "... and starts nothing" eval '! started'
expect_started_within 5000 "8.8.8.8 coming up after the storm starts the entry, before the next tick" \
  in_kestrun_netns ip addr add 8.8.8.8/32 dev lo

e2e_finish
