# shellcheck shell=bash
# Helpers for the end-to-end tests: a private X server (Xvfb) with trayer as the XEmbed tray
# host, the real kestrun started in a network namespace of its own, and xdotool to drive it.
#
# A test sources this file, then:
#   e2e_setup "$1"            # $1: the kestrun binary; skips (77) where Xvfb/trayer/unshare can't run
#   start_xvfb; start_trayer
#   start_kestrun "$dir"      # in $dir, which holds (or not) an applications.dat
#   check "what" some_command ...; pass/fail ...
#   e2e_finish                # prints "N passed, N failed" and exits
#
# kestrun sends an ICMP echo to public addresses every 5 s, so it never runs on this machine's own
# network: start_kestrun always puts it into a new network namespace (loopback only, and down).
# The X server still reaches it through its filesystem socket: abstract unix sockets belong to a
# network namespace, so the client's first try fails and libxcb falls back to /tmp/.X11-unix/X<n>.

E2E_PASSED=0
E2E_FAILED=0
E2E_TMP=""
E2E_KESTRUN=""
E2E_KESTRUN_PID=""
E2E_XVFB_PID=""
E2E_TRAYER_PID=""
E2E_TRAYER_WIN=""
E2E_BUS_PID=""
E2E_SWAY_PID=""
E2E_HOST_PID=""
E2E_OTHER_PIDS=()
# How start_kestrun runs the program: its Qt platform, and whether it sees the session bus.
E2E_PLATFORM=xcb
E2E_WITH_BUS=0
# More environment for start_kestrun, as NAME=VALUE words.
E2E_ENV=()
E2E_UNSHARE=()
E2E_NSENTER=()
E2E_SHOT=0
# The main window's caption, as the tests look for it.
readonly TITLE="Velmora Kestrun"

e2e_log() { printf '# %s\n' "$*"; }

# Leaves with 77 (registered as SKIP_RETURN_CODE). In CI the tools are installed and we are root,
# so a skip there would hide a broken set-up: it fails instead.
e2e_skip() {
  if [[ "${CI:-}" == "true" ]]; then
    printf 'FAIL: cannot run end-to-end tests in CI: %s\n' "$*"
    exit 1
  fi
  printf 'SKIP: %s\n' "$*"
  exit 77
}

pass() {
  E2E_PASSED=$((E2E_PASSED + 1))
  printf 'ok   - %s\n' "$1"
}

# fail "what" ["detail"]: counts the failure and keeps a screenshot of the screen at that moment.
fail() {
  E2E_FAILED=$((E2E_FAILED + 1))
  printf 'FAIL - %s%s\n' "$1" "${2:+: $2}"
  if [[ -n "${DISPLAY:-}" && -n "$E2E_XVFB_PID" ]] && screenshot fail; then
    printf '       screen: %s\n' "$SHOT"
  fi
}

# check "what" command...: passes when the command succeeds.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# wait_until SECONDS command...: polls the command every 0.1 s until it succeeds or time runs out.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  while true; do
    "$@" && return 0
    ((SECONDS >= deadline)) && return 1
    sleep 0.1
  done
}

# Succeeds only if the command keeps failing for the whole time (for "nothing appears").
stays_false() {
  local deadline=$((SECONDS + $1))
  shift
  while ((SECONDS < deadline)); do
    "$@" && return 1
    sleep 0.1
  done
  ! "$@"
}

# e2e_need TOOL...: skips (fails in CI) unless every tool is there.
e2e_need() {
  local tool missing=()
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
  done
  ((${#missing[@]} == 0)) || e2e_skip "missing ${missing[*]} (scripts/deps test installs them)"
}

e2e_setup() {
  E2E_KESTRUN=${1:-}
  if [[ -z "$E2E_KESTRUN" || ! -x "$E2E_KESTRUN" ]]; then
    printf 'FAIL: usage: %s <path of the kestrun binary> (got "%s")\n' "$0" "$E2E_KESTRUN"
    exit 2
  fi
  E2E_KESTRUN=$(readlink -f "$E2E_KESTRUN")
  e2e_need Xvfb trayer xdotool xwininfo xdpyinfo xprop import compare unshare nsenter ip
  # Root makes a plain network namespace; anyone else needs a user namespace to own one.
  if unshare -n true 2>/dev/null; then
    E2E_UNSHARE=(unshare -n)
    E2E_NSENTER=(nsenter -n)
  elif unshare -r -n true 2>/dev/null; then
    E2E_UNSHARE=(unshare -r -n)
    E2E_NSENTER=(nsenter -U -n --preserve-credentials)
  else
    e2e_skip "cannot make a network namespace (unshare -n needs root or user namespaces)"
  fi
  E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/kestrun-e2e.XXXXXX")
  mkdir -m 700 "$E2E_TMP/runtime"
  E2E_ARTIFACTS=${E2E_ARTIFACTS:-$E2E_TMP/artifacts}
  mkdir -p "$E2E_ARTIFACTS"
  rm -f "$E2E_ARTIFACTS"/*.png "$E2E_ARTIFACTS"/*.log
  trap e2e_cleanup EXIT
  trap 'exit 130' INT TERM HUP
}

# Stops what we started, newest first. The temporary directory stays when something failed.
e2e_cleanup() {
  local status=$?
  trap - EXIT
  local pid
  for pid in "$E2E_KESTRUN_PID" "${E2E_OTHER_PIDS[@]}" "$E2E_HOST_PID" "$E2E_TRAYER_PID" \
    "$E2E_SWAY_PID" "$E2E_XVFB_PID" "$E2E_BUS_PID"; do
    [[ -n "$pid" ]] && stop_process "$pid"
  done
  if [[ -n "$E2E_TMP" ]]; then
    # After a failure the logs join the screenshots; a temporary directory that holds the
    # artifacts themselves stays.
    if ((E2E_FAILED > 0 || status != 0)); then
      cp "$E2E_TMP"/*.log "$E2E_ARTIFACTS/" 2>/dev/null
      e2e_log "screenshots and logs in $E2E_ARTIFACTS"
    fi
    [[ "$E2E_ARTIFACTS" == "$E2E_TMP"/* ]] && ((E2E_FAILED > 0 || status != 0)) || rm -rf "$E2E_TMP"
  fi
  exit "$status"
}

e2e_finish() {
  if ((E2E_FAILED > 0)) && [[ -s "$E2E_TMP/kestrun.log" ]]; then
    e2e_log "kestrun's output:"
    sed 's/^/#   /' "$E2E_TMP/kestrun.log"
  fi
  printf '%d passed, %d failed\n' "$E2E_PASSED" "$E2E_FAILED"
  ((E2E_FAILED == 0 && E2E_PASSED > 0))
  exit $?
}

# A process of ours has ended when it is gone or a zombie.
process_ended() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 0
  [[ -z "$state" || "$state" == Z ]]
}

# stop_process PID: TERM, then KILL after 3 s; reaps it.
stop_process() {
  local pid=$1
  if ! process_ended "$pid"; then
    kill -TERM "$pid" 2>/dev/null
    wait_until 3 process_ended "$pid" || kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  return 0
}

# wait_exit PID SECONDS: waits for a child of ours to end; sets EXIT_STATUS.
wait_exit() {
  EXIT_STATUS=""
  wait_until "$2" process_ended "$1" || return 1
  EXIT_STATUS=0
  wait "$1" || EXIT_STATUS=$?
}

x_ready() { xdpyinfo >/dev/null 2>&1; }

# Starts Xvfb on a free display and sets DISPLAY. We choose the number, not Xvfb: left to pick
# one itself (-displayfd alone), a server in a network namespace of its own (the wine tests')
# sees only that namespace's abstract sockets, takes a number another server already serves and
# removes that server's socket file. Given a number, it checks the lock file first, and a
# server that lost a race for the number ends at once: the next one is tried.
xvfb_settled() { grep -qs '^[0-9][0-9]*$' "$1" || process_ended "$E2E_XVFB_PID"; }
start_xvfb() {
  local numfile=$E2E_TMP/display n
  for ((n = 20; n < 100; n++)); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    : >"$numfile"
    Xvfb ":$n" -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 \
      3>"$numfile" >"$E2E_TMP/xvfb.log" 2>&1 &
    E2E_XVFB_PID=$!
    # The number is written once the server accepts connections.
    wait_until 15 xvfb_settled "$numfile" || break
    grep -qs '^[0-9][0-9]*$' "$numfile" && break
  done
  if ! grep -qs '^[0-9][0-9]*$' "$numfile"; then
    sed 's/^/#   /' "$E2E_TMP/xvfb.log"
    e2e_skip "Xvfb did not start"
  fi
  export DISPLAY=":$(head -n1 "$numfile")"
  wait_until 10 x_ready || e2e_skip "Xvfb on $DISPLAY does not accept connections"
  e2e_log "Xvfb on $DISPLAY"
}

trayer_panel() { xdotool search --onlyvisible --classname '^panel$' 2>/dev/null | head -n1; }
has_trayer_panel() { [[ -n "$(trayer_panel)" ]]; }

# Starts trayer as the tray host at the top edge, 560 px from the left: clear of the windows near
# the top-left corner, and with room for a menu (and a submenu) to open with its top-left corner
# at the pointer, which it does only where it fits.
start_trayer() {
  trayer --edge top --align left --margin 560 --widthtype request --height 24 \
    --transparent false --tint 0xffffff >"$E2E_TMP/trayer.log" 2>&1 &
  E2E_TRAYER_PID=$!
  if ! wait_until 10 has_trayer_panel; then
    sed 's/^/#   /' "$E2E_TMP/trayer.log"
    e2e_skip "trayer did not map its panel"
  fi
  E2E_TRAYER_WIN=$(trayer_panel)
}

# start_kestrun DIR [args...]: starts the binary in DIR (its list is DIR/applications.dat) in a new
# network namespace, with a clean desktop environment: on X11 (E2E_PLATFORM=xcb) or on the
# Wayland display of start_sway (E2E_PLATFORM=wayland); with the session bus of
# start_session_bus when E2E_WITH_BUS=1, else none (so the tray icon is an XEmbed one). Its
# runtime folder is E2E_RUNTIME when set, else $E2E_TMP/runtime. Its output goes to kestrun.log;
# sets E2E_KESTRUN_PID.
start_kestrun() {
  local dir=$1
  shift
  local bus=() display=(-u WAYLAND_DISPLAY DISPLAY="${DISPLAY:-}")
  ((E2E_WITH_BUS)) && bus=(DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS")
  [[ "$E2E_PLATFORM" == wayland ]] && display=(-u DISPLAY WAYLAND_DISPLAY="$WAYLAND_DISPLAY")
  (cd "$dir" && exec env -u DBUS_SESSION_BUS_ADDRESS -u SESSION_MANAGER -u QT_QPA_PLATFORMTHEME \
    -u QT_STYLE_OVERRIDE -u QT_SCALE_FACTOR "${display[@]}" "${bus[@]}" \
    QT_QPA_PLATFORM="$E2E_PLATFORM" XDG_RUNTIME_DIR="${E2E_RUNTIME:-$E2E_TMP/runtime}" \
    XDG_CONFIG_HOME="$E2E_TMP/config" "${E2E_ENV[@]}" "${E2E_UNSHARE[@]}" -- "$E2E_KESTRUN" "$@") \
    >>"$E2E_TMP/kestrun.log" 2>&1 &
  E2E_KESTRUN_PID=$!
  e2e_log "kestrun started (pid $E2E_KESTRUN_PID) in $dir"
}

# Runs a command inside kestrun's network namespace.
in_kestrun_netns() { "${E2E_NSENTER[@]}" -t "$E2E_KESTRUN_PID" -- "$@"; }

# network_up [ADDRESS]: "the network comes up" inside the namespace: loopback goes up and ADDRESS
# (8.8.8.8, the first probe address, unless given) answers there. No packet leaves the namespace.
network_up() {
  in_kestrun_netns ip link set lo up && in_kestrun_netns ip addr add "${1:-8.8.8.8}/32" dev lo
}

# --- windows ---

# Child window ids (hex) of a window, in stacking order.
window_children() {
  [[ -n "$1" ]] || return 1 # xwininfo without an id waits for a click
  xwininfo -children -id "$1" 2>/dev/null | sed -n 's/^ *\(0x[0-9a-f]*\) .*/\1/p'
}

# Windows trayer has embedded: trayer wraps each client in a socket window of its own.
embedded_windows() {
  local socket
  [[ -n "$E2E_TRAYER_WIN" ]] || return 0
  for socket in $(window_children "$E2E_TRAYER_WIN"); do
    window_children "$socket"
  done
}

window_pid() { xprop -id "$1" _NET_WM_PID 2>/dev/null | sed -n 's/.* = \([0-9]*\)$/\1/p'; }

# docked_icons_of [PID]: windows of PID (default kestrun) that a tray host has embedded in a
# window of its own (XEmbed), in hex.
docked_icons_of() {
  local pid=${1:-$E2E_KESTRUN_PID} w root parent
  root=$(xwininfo -root 2>/dev/null | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')
  for w in $(xdotool search --all --onlyvisible --pid "$pid" --name '' 2>/dev/null); do
    parent=$(xwininfo -children -id "$w" 2>/dev/null | sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p')
    [[ -n "$parent" && "$parent" != "$root" ]] && printf '0x%x\n' "$w"
  done
}

# The tray icon: kestrun's window docked in a tray host (trayer, xfce4-panel). All of them are
# printed, so a second icon shows (and breaks the callers that expect one).
tray_icon_window() {
  local icons
  icons=$(docked_icons_of)
  [[ -n "$icons" ]] && printf '%s\n' "$icons"
}

has_tray_icon() { tray_icon_window >/dev/null; }
no_embedded_window() { [[ -z "$(embedded_windows)" ]]; }

# geometry ID: sets GX GY (absolute top-left) GW GH.
geometry() {
  local info
  [[ -n "$1" ]] || return 1
  info=$(xwininfo -id "$1" 2>/dev/null) || return 1
  GX=$(sed -n 's/.*Absolute upper-left X: *\(-*[0-9]*\)/\1/p' <<<"$info")
  GY=$(sed -n 's/.*Absolute upper-left Y: *\(-*[0-9]*\)/\1/p' <<<"$info")
  GW=$(sed -n 's/.*Width: *\([0-9]*\)/\1/p' <<<"$info")
  GH=$(sed -n 's/.*Height: *\([0-9]*\)/\1/p' <<<"$info")
  [[ -n "$GX" && -n "$GY" && -n "$GW" && -n "$GH" ]]
}

is_override_redirect() { xwininfo -id "$1" 2>/dev/null | grep -q 'Override Redirect State: yes'; }
window_type() { xprop -id "$1" _NET_WM_WINDOW_TYPE 2>/dev/null; }
transient_for() { xprop -id "$1" WM_TRANSIENT_FOR 2>/dev/null | sed -n 's/.*# \(0x[0-9a-f]*\)$/\1/p'; }
to_dec() { printf '%d\n' "$1"; }

# Visible (mapped and viewable) windows of kestrun, in decimal as xdotool prints them.
kestrun_windows() { xdotool search --all --onlyvisible --pid "$E2E_KESTRUN_PID" --name '' 2>/dev/null | sort -n; }

# Visible top-level window whose title is exactly TITLE (as xdotool prints ids: decimal).
visible_window() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1; }
window_shown() { [[ -n "$(visible_window "$1")" ]]; }
window_hidden() { [[ -z "$(visible_window "$1")" ]]; }
has_focus() { [[ "$(xdotool getwindowfocus 2>/dev/null)" == "$(visible_window "$1")" ]]; }

# open_main_from_icon: waits for kestrun's icon in trayer, left-clicks it and waits for the main
# window with the focus; sets icon and main. Without the icon or the window the test ends there.
open_main_from_icon() {
  if ! wait_until 20 has_tray_icon; then
    fail "the tray icon is embedded in trayer"
    e2e_finish
  fi
  icon=$(tray_icon_window | head -n1)
  click_window "$icon" 1
  if ! wait_until 5 window_shown "$TITLE"; then
    fail "a left click on the icon shows the main window"
    e2e_finish
  fi
  main=$(visible_window "$TITLE")
  check "the main window has the focus" wait_until 3 has_focus "$TITLE"
}

# exit_by_tray_menu: "E&xit" from the tray menu of $icon; the program ends with status 0.
exit_by_tray_menu() {
  if ! open_tray_menu "$icon"; then
    fail "the tray menu opens for \"E&xit\""
    return
  fi
  key x
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    E2E_KESTRUN_PID=""
    check "\"E&xit\" in the tray menu ends it with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  else
    fail "\"E&xit\" in the tray menu ends the program"
  fi
}

# Windows of kestrun that became visible since a snapshot (kestrun_windows output in $1).
new_windows() { comm -13 <(printf '%s\n' "$1") <(kestrun_windows); }
no_new_windows() { [[ -z "$(new_windows "$1")" ]]; }

# new_popup BEFORE: prints the first override-redirect window that is new since BEFORE and is not
# a tooltip (menus are override-redirect windows without a frame).
new_popup() {
  local w
  for w in $(new_windows "$1"); do
    is_override_redirect "$w" || continue
    window_type "$w" | grep -q TOOLTIP && continue
    printf '%s\n' "$w"
    return 0
  done
  return 1
}

# Menus of kestrun now open: its visible override-redirect windows but for the icon and tooltips.
open_popups() {
  local w icon
  icon=$(tray_icon_window | head -n1) && icon=$(to_dec "$icon")
  for w in $(kestrun_windows); do
    [[ "$w" == "$icon" ]] && continue
    is_override_redirect "$w" || continue
    window_type "$w" | grep -q TOOLTIP && continue
    printf '%s\n' "$w"
  done
}
no_open_popup() { [[ -z "$(open_popups)" ]]; }

# open_tray_menu ICON: right click near the icon's bottom-right corner (so a menu opening at the
# pointer covers none of the rest of the picture); sets MENU, its MX MY MW MH, and PX PY, where
# the pointer was.
open_tray_menu() {
  aim_at_tray_icon "$1" && right_click_for_menu
}

# aim_at_tray_icon ICON: the first half of open_tray_menu, all but the click: no popup open, the
# pointer in place, the windows noted.
aim_at_tray_icon() {
  MENU=""
  wait_until 5 no_open_popup || return 1
  # Two presses within the double-click time make a double click, which the icon does not answer.
  sleep 0.5
  AIM_SNAPSHOT=$(kestrun_windows)
  geometry "$1" || return 1
  move_pointer $((GX + GW - 2)) $((GY + GH - 2)) || return 1
  pointer
}

# right_click_for_menu: the second half: the click, and the menu that opens.
right_click_for_menu() {
  xdotool click 3
  wait_until 5 eval 'MENU=$(new_popup "$AIM_SNAPSHOT")' || return 1
  geometry "$MENU" && MX=$GX MY=$GY MW=$GW MH=$GH
}

# new_tooltip BEFORE OWNER: a tooltip window, new since BEFORE, that belongs to window OWNER.
new_tooltip() {
  local w owner
  owner=$(to_dec "$2")
  for w in $(new_windows "$1"); do
    window_type "$w" | grep -q _NET_WM_WINDOW_TYPE_TOOLTIP || continue
    [[ "$(to_dec "$(transient_for "$w")" 2>/dev/null)" == "$owner" ]] || continue
    printf '%s\n' "$w"
    return 0
  done
  return 1
}

# --- pointer and keyboard ---

# move_pointer X Y: moves the pointer and waits until it is there. xdotool's --sync waits for a
# motion event, and none comes when the pointer is already in place (it gives up after 15 s).
move_pointer() {
  local at
  at=$(xdotool getmouselocation --shell | sed -n 's/^[XY]=//p' | paste -sd,)
  [[ "$at" == "$1,$2" ]] || xdotool mousemove --sync "$1" "$2"
}

# click_window ID BUTTON [DX DY]: clicks at the window's centre, or at DX,DY from its top-left.
click_window() {
  geometry "$1" || return 1
  move_pointer $((GX + ${3:-$((GW / 2))})) $((GY + ${4:-$((GH / 2))})) && xdotool click "$2"
}

# hover ID DX DY: moves the pointer to DX,DY from the window's top-left.
hover() {
  geometry "$1" || return 1
  move_pointer $((GX + $2)) $((GY + $3))
}

# pointer: sets PX PY.
pointer() {
  eval "$(xdotool getmouselocation --shell | sed -n 's/^X=/PX=/p; s/^Y=/PY=/p')"
}

key() { xdotool key --clearmodifiers "$@"; }

# --- pictures ---

# screenshot NAME: saves the whole screen as NAME-<n>.png in the artifacts; sets SHOT to its path.
screenshot() {
  E2E_SHOT=$((E2E_SHOT + 1))
  SHOT=$E2E_ARTIFACTS/$1-$E2E_SHOT.png
  import -window root "$SHOT" 2>/dev/null
}

# grab_area X Y W H FILE: saves that part of the screen.
grab_area() { import -window root -crop "$3x$4+$1+$2" +repage "$5" 2>/dev/null; }

# Number of pixels that differ between two pictures of the same size.
pixels_differ() { compare -metric AE "$1" "$2" null: 2>&1 | sed 's/ .*//'; }

# --- programs the entries start ---

# make_recorder DIR: DIR/rec.sh appends its first argument to DIR/launched.txt; entries whose
# command is "DIR/rec.sh NAME" show there when and in which order they were started.
make_recorder() {
  printf '#!/bin/sh\necho "$1" >>"%s/launched.txt"\n' "$1" >"$1/rec.sh"
  chmod +x "$1/rec.sh"
}

# launched_in DIR: the names the recorder of DIR wrote, one line each, in order.
launched_in() { cat "$1/launched.txt" 2>/dev/null; }

# launched_or_ended DIR: an entry was started through the recorder of DIR, or kestrun has ended
# (for "nothing starts, and the program waits").
launched_or_ended() { [[ -n "$(launched_in "$1")" ]] || process_ended "$E2E_KESTRUN_PID"; }

no_recorder_running() { ! pgrep -f -- "$1/rec.sh" >/dev/null; }

# nothing_launched DIR: no entry was started through the recorder of DIR. Call it once the
# program has ended: all it started has started by then, and a run still going is waited for.
# A run of our own then shows that the recorder records where launched_in reads (and is
# taken back out), so an empty record means that nothing ran.
nothing_launched() {
  wait_until 5 no_recorder_running "$1" || return 1
  [[ -z "$(launched_in "$1")" ]] || return 1
  "$1/rec.sh" "our own run" && [[ "$(launched_in "$1")" == "our own run" ]] || return 1
  rm -f "$1/launched.txt"
}

# --- session bus and StatusNotifierItem hosts ---

# Starts a session bus at a socket path (an abstract one would not reach into kestrun's network
# namespace) and exports DBUS_SESSION_BUS_ADDRESS for the hosts and for busctl.
start_session_bus() {
  local socket=$E2E_TMP/bus
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$socket" \
    >"$E2E_TMP/dbus.log" 2>&1 &
  E2E_BUS_PID=$!
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$socket"
  wait_until 10 eval 'busctl --user list >/dev/null 2>&1' || e2e_skip "dbus-daemon did not start"
}

watcher_property() {
  busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.kde.StatusNotifierWatcher "$1" 2>/dev/null
}
host_registered() { [[ "$(watcher_property IsStatusNotifierHostRegistered)" == "b true" ]]; }

# sni_items_of [PID]: the bus name of every item registered with the watcher whose process is
# PID (default: kestrun's). Watchers list an item as its bus name and path, or (GNOME's
# extension) as NAME@PATH.
sni_items_of() {
  local pid=${1:-$E2E_KESTRUN_PID} item name
  for item in $(watcher_property RegisteredStatusNotifierItems | grep -o '"[^"]*"' | tr -d '"'); do
    name=${item%%/*}
    name=${name%@}
    [[ "$(busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
      GetConnectionUnixProcessID s "$name" 2>/dev/null)" == "u $pid" ]] && printf '%s\n' "$name"
  done
}
has_sni_item() { [[ -n "$(sni_items_of "$@")" ]]; }
# sni_listed NAME: the watcher lists an item of that bus name (of a process alive or not).
sni_listed() { watcher_property RegisteredStatusNotifierItems | grep -q "\"$1[/@]"; }
no_sni_item() { [[ -z "$(sni_items_of "$@")" ]]; }

# one_icon_titled_as_entry HOST: kestrun's icon registers with HOST within 15 s (else the test
# ends there), exactly once, titled with the menu entry's name; sets item, its bus name.
one_icon_titled_as_entry() {
  if ! wait_until 15 has_sni_item; then
    fail "the icon registers with $1"
    e2e_finish
  fi
  check "exactly one icon" stays_false 1 eval '[[ $(sni_items_of | wc -l) != 1 ]]'
  item=$(sni_items_of)
  check "its title is the menu entry's name (got $(sni_get "$item" Title))" \
    test "$(sni_get "$item" Title)" == 's "Kestrun"'
}

# sni_get NAME PROPERTY: a property of the item, as busctl prints it.
sni_get() {
  busctl --user get-property "$1" /StatusNotifierItem org.kde.StatusNotifierItem "$2" 2>/dev/null
}
# sni_call NAME METHOD SIGNATURE ARGS...: calls a method of the item, as a host does.
sni_call() {
  local name=$1 method=$2
  shift 2
  busctl --user call "$name" /StatusNotifierItem org.kde.StatusNotifierItem "$method" "$@"
}
# sni_pixmap_sizes NAME: the sizes of the item's IconPixmap, one "WxH" a line.
sni_pixmap_sizes() {
  busctl --user --json=short get-property "$1" /StatusNotifierItem org.kde.StatusNotifierItem \
    IconPixmap 2>/dev/null | jq -r '.data[] | "\(.[0])x\(.[1])"'
}
sni_menu_path() { sni_get "$1" Menu | sed -n 's/^o "\(.*\)"$/\1/p'; }

# exit_by_host_menu ITEM: "Exit" from the host's menu of the item; the program ends with status 0.
exit_by_host_menu() {
  if ! sni_click "$1" E_xit >/dev/null; then
    fail "the host's menu takes a click on \"Exit\""
  elif wait_exit "$E2E_KESTRUN_PID" 10; then
    E2E_KESTRUN_PID=""
    check "\"Exit\" ends the program with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  else
    fail "\"Exit\" ends the program"
  fi
}

# sni_menu NAME: the item's exported menu, one line per item: depth, id, enabled, label (tabs).
sni_menu() {
  local path
  path=$(sni_menu_path "$1")
  [[ -n "$path" ]] || return 1
  busctl --user --json=short call "$1" "$path" com.canonical.dbusmenu GetLayout iias -- 0 -1 0 |
    jq -r 'def items($depth): . as [$id, $props, $children]
             | [$depth, $id, ($props.enabled.data // true), ($props.label.data // "")],
               ($children[] | .data | items($depth + 1));
           .data[1] | items(0) | @tsv'
}
# sni_menu_labels NAME DEPTH: the labels at that depth, each followed by a blank.
sni_menu_labels() { sni_menu "$1" | awk -F'\t' -v d="$2" '$1 == d { printf "%s ", $4 }'; }
# sni_click NAME LABEL: what a host sends when the user picks the item labelled LABEL.
sni_click() {
  local path id
  path=$(sni_menu_path "$1")
  id=$(sni_menu "$1" | awk -F'\t' -v l="$2" '$4 == l { print $2; exit }')
  [[ -n "$path" && -n "$id" ]] || return 1
  busctl --user call "$1" "$path" com.canonical.dbusmenu Event isvu "$id" clicked s "" 0
}

# start_wayland_session sway|kwin: a session bus and that compositor, and kestrun started on
# both (E2E_PLATFORM=wayland, E2E_WITH_BUS=1).
start_wayland_session() {
  start_session_bus
  "start_$1"
  E2E_PLATFORM=wayland
  E2E_WITH_BUS=1
}

# start_sway: a headless sway (Wayland) whose sockets are in kestrun's XDG_RUNTIME_DIR; sets
# WAYLAND_DISPLAY and SWAYSOCK. sway refuses to run as root, so root starts it in a user namespace
# as uid 1000, which owns the runtime folder there.
start_sway() {
  local as_user=()
  ((EUID == 0)) && as_user=(unshare --user --map-user=1000 --map-group=1000)
  printf 'output HEADLESS-1 resolution 1024x768\nxwayland disable\n' >"$E2E_TMP/sway.conf"
  env -u DISPLAY XDG_RUNTIME_DIR="$E2E_TMP/runtime" WLR_BACKENDS=headless WLR_RENDERER=pixman \
    WLR_LIBINPUT_NO_DEVICES=1 "${as_user[@]}" sway -c "$E2E_TMP/sway.conf" \
    >"$E2E_TMP/sway.log" 2>&1 &
  E2E_SWAY_PID=$!
  wait_until 15 eval 'compgen -G "$E2E_TMP/runtime/sway-ipc.*.sock" >/dev/null' ||
    e2e_skip "sway did not start (see sway.log)"
  SWAYSOCK=$(compgen -G "$E2E_TMP/runtime/sway-ipc.*.sock" | head -n1)
  export SWAYSOCK WAYLAND_DISPLAY=wayland-1
  wait_until 5 test -S "$E2E_TMP/runtime/$WAYLAND_DISPLAY" || e2e_skip "sway made no $WAYLAND_DISPLAY"
}

# start_kwin: KWin's Wayland compositor on a virtual output (it minimizes windows, sway does
# not), its socket in kestrun's XDG_RUNTIME_DIR, on the session bus of start_session_bus (for
# kwin_run); sets WAYLAND_DISPLAY. The package gives kwin_wayland a file capability that a
# container may not grant, and exec then fails: a copy without it runs instead.
start_kwin() {
  mkdir -p "$E2E_TMP/kwin"
  cp /usr/bin/kwin_wayland "$E2E_TMP/kwin/kwin_wayland"
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$E2E_TMP/runtime" HOME="$E2E_TMP" \
    XDG_CONFIG_HOME="$E2E_TMP/config" "$E2E_TMP/kwin/kwin_wayland" --virtual --no-lockscreen \
    --socket wayland-kwin --width 1024 --height 768 >"$E2E_TMP/kwin.log" 2>&1 &
  E2E_SWAY_PID=$!
  wait_until 20 test -S "$E2E_TMP/runtime/wayland-kwin" || e2e_skip "KWin did not start (see kwin.log)"
  wait_until 10 eval 'busctl --user status org.kde.KWin >/dev/null 2>&1' ||
    e2e_skip "KWin did not take its bus name (see kwin.log)"
  export WAYLAND_DISPLAY=wayland-kwin
}

# kwin_run SCRIPT: runs a KWin script (JavaScript); what it print()s lands in kwin.log.
kwin_run() {
  # KWin loads a name once; callers may run in subshells, so the name is not a counter.
  local name file
  name=e2e-$(date +%s%N)
  file=$E2E_TMP/kwin/$name.js
  printf '%s\n' "$1" >"$file"
  busctl --user call org.kde.KWin /Scripting org.kde.kwin.Scripting loadScript ss "$file" \
    "$name" >/dev/null &&
    busctl --user call org.kde.KWin /Scripting org.kde.kwin.Scripting start >/dev/null
}

# kwin_window_state TITLE: "shown", "minimized" or nothing, for KWin's window of that caption.
kwin_window_state() {
  local mark="e2e-state-$RANDOM$RANDOM"
  kwin_run "for (const w of workspace.clientList()) if (w.caption == \"$1\") print(\"$mark \" + (w.minimized ? \"minimized\" : \"shown\"));" || return 1
  wait_until 2 grep -q "$mark" "$E2E_TMP/kwin.log" || return 1
  sed -n "s/.*$mark \([a-z]*\).*/\1/p" "$E2E_TMP/kwin.log" | tail -n1
}
kwin_window_shown() { [[ "$(kwin_window_state "$1")" == shown ]]; }
kwin_window_minimized() { [[ "$(kwin_window_state "$1")" == minimized ]]; }

# sway_window_shown TITLE: a window of sway's with exactly that title is mapped and visible.
sway_window_shown() {
  swaymsg -t get_tree 2>/dev/null |
    jq -e --arg t "$1" '[.. | objects | select(.name? == $t and .visible? == true)] | length > 0' \
      >/dev/null
}

# sway_workspace_of TITLE: the name of the workspace that holds sway's window of that title.
sway_workspace_of() {
  swaymsg -t get_tree 2>/dev/null | jq -r --arg t "$1" \
    '.. | objects | select(.type? == "workspace") | select([.. | objects | .name?] | index($t)) | .name'
}

# sway_screenshot NAME: the Wayland screen as NAME-<n>.png in the artifacts; sets SHOT.
sway_screenshot() {
  E2E_SHOT=$((E2E_SHOT + 1))
  SHOT=$E2E_ARTIFACTS/$1-$E2E_SHOT.png
  XDG_RUNTIME_DIR="$E2E_TMP/runtime" grim "$SHOT" 2>/dev/null
}

# start_waybar: waybar with only its tray, on sway; waits until its StatusNotifierItem host is
# registered. Sets E2E_HOST_PID.
start_waybar() {
  printf '{ "layer": "top", "height": 28, "modules-right": ["tray"], "tray": { "spacing": 4 } }\n' \
    >"$E2E_TMP/waybar.json"
  XDG_RUNTIME_DIR="$E2E_TMP/runtime" waybar -c "$E2E_TMP/waybar.json" >>"$E2E_TMP/waybar.log" 2>&1 &
  E2E_HOST_PID=$!
  wait_until 20 host_registered || e2e_skip "waybar registered no StatusNotifierItem host"
}

# start_fake_watcher [OPTION...]: the StatusNotifierItem watcher of fake_watcher.py (its options),
# its log in watcher.log; waits until it owns its name. Sets E2E_HOST_PID.
start_fake_watcher() {
  /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/fake_watcher.py" "$@" >"$E2E_TMP/watcher.log" 2>&1 &
  E2E_HOST_PID=$!
  wait_until 10 eval 'busctl --user status org.kde.StatusNotifierWatcher >/dev/null 2>&1' ||
    e2e_skip "the watcher did not start (see watcher.log)"
}

# start_xfce4_panel: Xfce's panel, whose notification area takes both kinds of icon (XEmbed and
# StatusNotifierItem), on the X server of start_xvfb and the bus of start_session_bus. Waits
# until its StatusNotifierItem host is registered. Sets E2E_HOST_PID.
start_xfce4_panel() {
  env HOME="$E2E_TMP" XDG_CONFIG_HOME="$E2E_TMP/config" XDG_RUNTIME_DIR="$E2E_TMP/runtime" \
    xfce4-panel --disable-wm-check >>"$E2E_TMP/xfce4-panel.log" 2>&1 &
  E2E_HOST_PID=$!
  wait_until 30 host_registered || e2e_skip "xfce4-panel registered no StatusNotifierItem host"
}

# start_accessibility_bus: the accessibility bus of start_session_bus's session, with its socket
# in kestrun's XDG_RUNTIME_DIR (never an abstract one, which kestrun's network namespace would
# not see), and the registry on it. kestrun joins it with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1.
a11y_bus_up() {
  busctl --user call org.a11y.Bus /org/a11y/bus org.a11y.Bus GetAddress 2>/dev/null | grep -q 'unix:path='
}
start_accessibility_bus() {
  XDG_RUNTIME_DIR="$E2E_TMP/runtime" /usr/libexec/at-spi-bus-launcher --launch-immediately \
    --a11y=1 >"$E2E_TMP/at-spi.log" 2>&1 &
  E2E_OTHER_PIDS+=($!)
  wait_until 10 a11y_bus_up || e2e_skip "the accessibility bus did not start (see at-spi.log)"
}

# window_icon_sizes ID: the sizes a window's _NET_WM_ICON holds, one "WxH" a line.
window_icon_sizes() {
  xprop -id "$1" -notype _NET_WM_ICON 2>/dev/null | sed -n 's/.*Icon (\([0-9]*\) x \([0-9]*\)):.*/\1x\2/p'
}

# --- the desktop's own shells: the menu entry, GNOME Shell, KDE Plasma ---

readonly APP_ID=org.example.kestrunner.Kestrun

# install_menu_entry: the menu entry (starting the binary under test) and the hicolor icons as
# packaging installs them, under $E2E_TMP/share; hosts and shells find them with
# XDG_DATA_DIRS="$E2E_SHARE:/usr/share".
E2E_SHARE=""
install_menu_entry() {
  local root size theme
  root=$(dirname "${BASH_SOURCE[0]}")/../..
  E2E_SHARE=$E2E_TMP/share
  theme=$E2E_SHARE/icons/hicolor
  mkdir -p "$E2E_SHARE/applications" "$theme/scalable/apps"
  sed "s|^Exec=.*|Exec=$E2E_KESTRUN|" "$root/packaging/$APP_ID.desktop" \
    >"$E2E_SHARE/applications/$APP_ID.desktop"
  cp /usr/share/icons/hicolor/index.theme "$theme/"
  for size in 16 22 24 32 48 64; do
    mkdir -p "$theme/${size}x${size}/apps"
    cp "$root/resources/icons/kestrun-$size.png" "$theme/${size}x${size}/apps/$APP_ID.png"
  done
  cp "$root/resources/icons/kestrun.svg" "$theme/scalable/apps/$APP_ID.svg"
}

# start_again DIR: a further start in DIR while E2E_KESTRUN_PID runs; sets AGAIN_PID (one of
# E2E_OTHER_PIDS), and E2E_KESTRUN_PID stays the first copy's.
start_again() {
  local first=$E2E_KESTRUN_PID
  start_kestrun "$1"
  AGAIN_PID=$E2E_KESTRUN_PID
  E2E_OTHER_PIDS+=("$AGAIN_PID")
  E2E_KESTRUN_PID=$first
}

# second_start DIR: a further start in DIR, which hands over to the copy running there and ends
# with status 0.
second_start() {
  start_again "$1"
  if wait_exit "$AGAIN_PID" 10; then
    check "a second start ends with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  else
    fail "a second start ends"
  fi
}

# network_starts_list DIR ENTRY...: the network comes up; the program starts the entries of the
# list in DIR, and only those, in that order, and ends with status 0.
network_starts_list() {
  local dir=$1
  shift
  local expected="$*"
  network_up
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    E2E_KESTRUN_PID=""
    check "the network starts the list and ends the program with status 0 (got $EXIT_STATUS)" \
      test "$EXIT_STATUS" == 0
    check "having started $expected only" \
      wait_until 3 eval '[[ "$(launched_in "$dir" | paste -sd" ")" == "$expected" ]]'
  else
    fail "the network starts the list and ends the program"
  fi
}

# start_bus_monitor: records every message on the session bus (JSON, one a line) in bus.json.
start_bus_monitor() {
  busctl --user monitor --json=short >"$E2E_TMP/bus.json" 2>"$E2E_TMP/bus-monitor.log" &
  E2E_OTHER_PIDS+=($!)
  wait_until 5 grep -qs Monitoring "$E2E_TMP/bus-monitor.log" || e2e_skip "busctl cannot monitor the bus"
}

# notifications: every Notify call to the notification service that names the program
# ("Kestrun"; not the service's own calls to the shell that draws them), one a line: summary,
# body and the answer (the notification's id, the error's name, or "none" while it has not
# come), tab-separated.
notifications() {
  jq -rs '(map(select(.type == "method_return" or .type == "error"))
        | map({key: "\(.destination) \(.reply_cookie)",
               value: (if .type == "error" then .error_name else (.payload.data[0] | tostring) end)})
        | from_entries) as $answers
      | .[] | select(.type == "method_call" and .member == "Notify"
          and .destination == "org.freedesktop.Notifications" and .payload.data[0] == "Kestrun")
      | [.payload.data[3], .payload.data[4], ($answers["\(.sender) \(.cookie)"] // "none")] | @tsv' \
    "$E2E_TMP/bus.json" 2>/dev/null
}

# start_system_bus: a system bus of the test's own at a socket path, for the shells that want
# one (they ask it for the machine's state and do without the answers); sets E2E_SYSTEM_BUS.
start_system_bus() {
  E2E_SYSTEM_BUS="unix:path=$E2E_TMP/system_bus"
  dbus-daemon --session --nofork --nopidfile --address="$E2E_SYSTEM_BUS" \
    >"$E2E_TMP/system-dbus.log" 2>&1 &
  E2E_OTHER_PIDS+=($!)
  wait_until 10 test -S "$E2E_TMP/system_bus" || e2e_skip "the system bus did not start"
}

# start_gnome_shell [EXTENSION...]: GNOME Shell as a headless Wayland compositor on a virtual
# monitor, on the session bus of start_session_bus and a system bus of its own, its socket in
# kestrun's XDG_RUNTIME_DIR and no X server; its settings (the extensions it runs) in a keyfile
# of the test's, the menu entry of install_menu_entry among its applications. Waits until the
# shell is up and each extension is enabled; sets WAYLAND_DISPLAY.
start_gnome_shell() {
  local extension
  gnome_extensions "$@"
  # No banner saying that the screen lock needs GDM: shown already.
  mkdir -p "$E2E_TMP/.local/share/gnome-shell"
  : >"$E2E_TMP/.local/share/gnome-shell/lock-warning-shown"
  [[ -n "$E2E_SHARE" ]] || install_menu_entry
  start_system_bus
  # As root the shell shows a lasting warning banner that holds back every other one: root
  # runs it in a user namespace as uid 1000, which owns the runtime folder there.
  local as_user=()
  ((EUID == 0)) && as_user=(unshare --user --map-user=1000 --map-group=1000)
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$E2E_TMP/runtime" HOME="$E2E_TMP" \
    XDG_CONFIG_HOME="$E2E_TMP/gnome" GSETTINGS_BACKEND=keyfile \
    XDG_DATA_DIRS="$E2E_SHARE:/usr/share" DBUS_SYSTEM_BUS_ADDRESS="$E2E_SYSTEM_BUS" \
    XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME \
    "${as_user[@]}" gnome-shell --headless --wayland --no-x11 --wayland-display=wayland-gnome \
    --virtual-monitor 1024x768 >"$E2E_TMP/gnome-shell.log" 2>&1 &
  E2E_SWAY_PID=$!
  wait_until 30 test -S "$E2E_TMP/runtime/wayland-gnome" ||
    e2e_skip "GNOME Shell did not start (see gnome-shell.log)"
  wait_until 30 eval 'busctl --user status org.gnome.Shell >/dev/null 2>&1' ||
    e2e_skip "GNOME Shell did not take its bus name (see gnome-shell.log)"
  for extension in "$@"; do
    wait_until 20 gnome_extension_enabled "$extension" ||
      e2e_skip "GNOME Shell did not enable $extension (see gnome-shell.log)"
  done
  export WAYLAND_DISPLAY=wayland-gnome
}

# GNOME Shell's StatusNotifierItem host, Debian's AppIndicator extension; need_appindicator
# skips where it is not installed.
readonly APPINDICATOR=ubuntu-appindicators@ubuntu.com
need_appindicator() {
  [[ -d /usr/share/gnome-shell/extensions/$APPINDICATOR ]] ||
    e2e_skip "no AppIndicator extension (Debian: gnome-shell-extension-appindicator)"
}

# gnome_extensions [EXTENSION...]: the extensions the shell runs (it follows a change at once),
# in its settings, which show no welcome tour.
gnome_extensions() {
  local extensions="" extension
  for extension in "$@"; do extensions+="${extensions:+, }'$extension'"; done
  mkdir -p "$E2E_TMP/gnome/glib-2.0/settings"
  printf '[org/gnome/shell]\nenabled-extensions=[%s]\nwelcome-dialog-last-shown-version=%s\n' \
    "$extensions" "'999'" >"$E2E_TMP/gnome/glib-2.0/settings/keyfile"
}

# gnome_extension_enabled UUID: the shell runs the extension (its state 1, ENABLED).
gnome_extension_enabled() {
  busctl --user --json=short call org.gnome.Shell /org/gnome/Shell org.gnome.Shell.Extensions \
    GetExtensionInfo s "$1" 2>/dev/null | jq -e '.data[0].state.data == 1' >/dev/null
}

# gnome_windows: the shell's windows, one a line: the application it counts the window to, the
# title, "shown" or "hidden" (tab-separated).
gnome_windows() { "$(dirname "${BASH_SOURCE[0]}")/gnome_shell.py" windows; }
# gnome_window_app TITLE: the application of the shown window with that title.
gnome_window_app() { gnome_windows | awk -F'\t' -v t="$1" '$2 == t && $3 == "shown" { print $1; exit }'; }
gnome_window_shown() { [[ -n "$(gnome_window_app "$1")" ]]; }

# start_gnome_pointer: a pointer of the test's own in the shell (a remote desktop session, which
# the shell shows in the top bar while it lasts); gnome_pointer then drives it: "screenshot FILE",
# "click X Y N" (the left button N times at X, Y; 0: only the pointer moves).
start_gnome_pointer() {
  coproc GNOME_POINTER { "$(dirname "${BASH_SOURCE[0]}")/gnome_shell.py" pointer 1024 768 2>>"$E2E_TMP/pointer.log"; }
  E2E_OTHER_PIDS+=("$GNOME_POINTER_PID")
}
gnome_pointer() {
  local reply
  printf '%s\n' "$*" >&"${GNOME_POINTER[1]}" && read -r -t 10 reply <&"${GNOME_POINTER[0]}" &&
    [[ "$reply" == ok ]]
}

# closed_notifications: the ids of the notifications taken back (CloseNotification), one a line.
closed_notifications() {
  jq -r 'select(.type == "method_call" and .destination == "org.freedesktop.Notifications"
      and .member == "CloseNotification") | .payload.data[0]' "$E2E_TMP/bus.json" 2>/dev/null
}

# calls_to NAME MEMBER: how many calls of that method the bus monitor saw going to NAME.
calls_to() {
  jq -s --arg n "$1" --arg m "$2" \
    'map(select(.type == "method_call" and .destination == $n and .member == $m)) | length' \
    "$E2E_TMP/bus.json" 2>/dev/null
}

# gnome_screenshot NAME: the shell's screen as NAME-<n>.png in the artifacts; sets SHOT.
gnome_screenshot() {
  E2E_SHOT=$((E2E_SHOT + 1))
  SHOT=$E2E_ARTIFACTS/$1-$E2E_SHOT.png
  "$(dirname "${BASH_SOURCE[0]}")/gnome_shell.py" screenshot "$SHOT" 2>/dev/null
}

# start_plasmashell: KDE Plasma's desktop and panel (plasmashell, with Qt Quick's software
# renderer) on the X server of start_xvfb and the bus of start_session_bus. Its system tray is
# the StatusNotifierItem host; the watcher is a module of kded, which the session manager would
# load: the test asks kded for it. Waits until the host is registered. Sets E2E_HOST_PID.
start_plasmashell() {
  [[ -n "$E2E_SHARE" ]] || install_menu_entry
  env HOME="$E2E_TMP" XDG_CONFIG_HOME="$E2E_TMP/config" XDG_RUNTIME_DIR="$E2E_TMP/runtime" \
    XDG_DATA_DIRS="$E2E_SHARE:/usr/share" XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true \
    KDE_SESSION_VERSION=5 QT_QUICK_BACKEND=software QT_XCB_GL_INTEGRATION=none \
    plasmashell --no-respawn >>"$E2E_TMP/plasmashell.log" 2>&1 &
  E2E_HOST_PID=$!
  wait_until 30 eval 'busctl --user status org.kde.plasmashell >/dev/null 2>&1' ||
    e2e_skip "plasmashell did not start (see plasmashell.log)"
  busctl --user call org.kde.kded5 /kded org.kde.kded5 loadModule s statusnotifierwatcher \
    >/dev/null 2>&1 || e2e_skip "kded has no StatusNotifierItem watcher"
  wait_until 30 host_registered || e2e_skip "Plasma registered no StatusNotifierItem host"
}

# find_picture FILE X Y W H [SCREEN]: where in that part of the screen (of the X server, or the
# picture SCREEN) the picture FILE shows, as a host draws it on its background (the colour at
# the part's lower left corner); sets FX FY, the picture's centre on the screen.
find_picture() {
  local area=$E2E_TMP/area.png picture=$E2E_TMP/picture.png background match score size
  if [[ -n "${6:-}" ]]; then
    convert "$6" -crop "$4x$5+$2+$3" +repage "$area" || return 1
  else
    grab_area "$2" "$3" "$4" "$5" "$area" || return 1
  fi
  background=$(convert "$area" -format "%[pixel:p{1,$(($5 - 2))}]" info:)
  convert "$1" -background "$background" -flatten "$picture" || return 1
  match=$(compare -metric RMSE -subimage-search "$area" "$picture" null: 2>&1 |
    sed -n 's/.*(\([0-9.e-]*\)) @ \([0-9]*\),\([0-9]*\).*/\1 \2 \3/p')
  [[ -n "$match" ]] || return 1
  read -r score FX FY <<<"$match"
  awk -v s="$score" 'BEGIN { exit !(s < 0.05) }' || return 1
  size=$(identify -format '%w' "$1")
  FX=$(($2 + FX + size / 2)) FY=$(($3 + FY + size / 2))
}

# stop_host: ends the host of start_waybar or start_xfce4_panel; waits until its watcher is gone.
stop_host() {
  stop_process "$E2E_HOST_PID"
  E2E_HOST_PID=""
  wait_until 10 eval '! busctl --user status org.kde.StatusNotifierWatcher >/dev/null 2>&1'
}

# --- list file ---

readonly REC=223
size_of() { stat -c %s "$1" 2>/dev/null || echo none; }

# byte FILE OFFSET: the unsigned value of one byte.
byte() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }

# record FILE I: prints "name|path|enabled" of record I, the texts cut at their length bytes.
record() {
  local file=$1 base=$(($2 * REC))
  (($(size_of "$file") >= base + REC)) || return 1
  local name_len path_len
  name_len=$(byte "$file" "$base") path_len=$(byte "$file" $((base + 21)))
  printf '%s|%s|%s\n' "$(tail -c +$((base + 2)) "$file" | head -c "$name_len")" \
    "$(tail -c +$((base + 23)) "$file" | head -c "$path_len")" "$(byte "$file" $((base + 222)))"
}

# write_record FILE NAME PATH ENABLED: appends one 223-byte record: name length, 20 name bytes,
# path length, 200 path bytes, enabled byte (the fields padded with zeros).
# shellcheck source=../../scripts/list_record.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/list_record.sh"

# ==== Windows programs under wine (tests/windows) ====
# The same X server, trayer and xdotool, with the program run by wine. The whole test runs in a
# network namespace of its own (wine_enter_netns), because wine's ICMP goes through helper
# processes that the wine server starts: they must be born in the namespace, like the program.
# Wine's explorer.exe hosts the tray icons: the window embedded in trayer is its own, not the
# program's, so the icon is found among the embedded windows rather than by the program's pid.
#   e2e_setup <kestrun.exe>; wine_setup <wine loader> <prefix>
#   start_xvfb; start_trayer; start_wine_kestrun DIR; ...; e2e_finish

WINE_LOADER=""
WINE_SERVER=""

# wine_enter_netns "$0" "$@": runs the calling test again in a new network namespace (loopback
# only, down), unless it already runs in one; the caller's arguments are passed on.
wine_enter_netns() {
  local script=$1
  shift
  [[ -n "${KESTRUN_WINE_NETNS:-}" ]] && return 0
  if unshare -n true 2>/dev/null; then
    exec unshare -n -- env KESTRUN_WINE_NETNS=1 bash "$script" "$@"
  elif unshare -r -n true 2>/dev/null; then
    exec unshare -r -n -- env KESTRUN_WINE_NETNS=1 bash "$script" "$@"
  fi
  e2e_skip "cannot make a network namespace (unshare -n needs root or user namespaces)"
}

# wine_setup LOADER PREFIX: checks that we are in a namespace of our own, stops any server of
# the prefix that was started elsewhere and makes the prefix when it is new. The program is
# then started without another namespace: it shares ours (in_kestrun_netns still works).
wine_setup() {
  WINE_LOADER=$1
  [[ -x "$WINE_LOADER" ]] || e2e_skip "no wine loader at $WINE_LOADER (Debian: wine64)"
  WINE_SERVER=$(dirname "$WINE_LOADER")/wineserver
  [[ -x "$WINE_SERVER" ]] || e2e_skip "no wine server beside $WINE_LOADER"
  local links
  links=$(ip -o link show | awk -F': ' '{ print $2 }')
  if [[ "$links" != "lo" ]]; then
    printf 'FAIL: not in a network namespace of our own (interfaces: %s)\n' "${links//$'\n'/ }"
    exit 1
  fi
  E2E_UNSHARE=(env)
  E2E_NSENTER=(nsenter -n)
  # No Gecko or Mono prompts; no menu entries on the host for the shortcuts a test makes.
  export WINEPREFIX=$2 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export WINESERVER=$WINE_SERVER
  mkdir -p "$WINEPREFIX"
  "$WINE_SERVER" -k 2>/dev/null
  "$WINE_SERVER" -w 2>/dev/null
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    local start=$SECONDS
    DISPLAY="" "$WINE_LOADER" wineboot --init >/dev/null 2>&1 ||
      e2e_skip "wine cannot set up a prefix in $WINEPREFIX"
    "$WINE_SERVER" -w 2>/dev/null
    e2e_log "wine prefix made in $((SECONDS - start)) s: $WINEPREFIX"
  fi
  trap wine_cleanup EXIT
}

# Ends the wine session (the program, explorer.exe and the rest) before the X server goes.
wine_cleanup() {
  local status=$?
  [[ -n "$WINE_SERVER" ]] && "$WINE_SERVER" -k 2>/dev/null
  (exit "$status")
  e2e_cleanup
}

# start_wine_kestrun DIR [args...]: the program in DIR (its list is DIR\applications.dat).
start_wine_kestrun() {
  local dir=$1
  shift
  (cd "$dir" && exec env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    -u QT_QPA_PLATFORMTHEME -u QT_STYLE_OVERRIDE -u QT_SCALE_FACTOR -u QT_PLUGIN_PATH \
    DISPLAY="$DISPLAY" "$WINE_LOADER" "$E2E_KESTRUN" "$@") >>"$E2E_TMP/kestrun.log" 2>&1 &
  E2E_KESTRUN_PID=$!
  e2e_log "kestrun.exe started under wine (pid $E2E_KESTRUN_PID) in $dir"
}

# The icon explorer.exe docked in trayer for the program (the only program of the session).
wine_tray_icon() {
  local icons
  icons=$(embedded_windows)
  [[ -n "$icons" && $(wc -l <<<"$icons") == 1 ]] && printf '%s\n' "$icons"
}
has_wine_tray_icon() { [[ -n "$(wine_tray_icon)" ]]; }

# Windows path of a Unix one (wine maps / to Z:).
wine_path() { printf 'Z:%s\n' "${1//\//\\}"; }
