#!/usr/bin/env bash
# Runs one Windows test program under wine, always inside a network namespace of its own:
# loopback up and 8.8.8.8 on it, so the real IcmpSendEcho gets its answers there and no packet
# leaves. Wine's ICMP runs in its server's helper processes, so the wine server of the prefix
# must be one this namespace started: any other is stopped first, ours is stopped at the end.
# Usage: wine_test.sh <wine loader> <wine prefix directory> <program.exe> [arguments]
# Exits 77 (skip) where wine or a network namespace is not available; in CI that is a failure.
set -uo pipefail

skip() {
  if [[ "${CI:-}" == "true" ]]; then
    printf 'FAIL: cannot run the Windows tests under wine in CI: %s\n' "$*"
    exit 1
  fi
  printf 'SKIP: %s\n' "$*"
  exit 77
}

(($# >= 3)) || {
  echo "usage: wine_test.sh <wine loader> <wine prefix> <program.exe> [arguments]" >&2
  exit 2
}
wine=$1 prefix=$2 program=$3
shift 3

if [[ -z "${KESTRUN_WINE_NETNS:-}" ]]; then
  [[ -x "$wine" ]] || skip "no wine loader at $wine (Debian: wine64)"
  for tool in unshare ip; do
    command -v "$tool" >/dev/null || skip "missing $tool"
  done
  # Root makes a plain network namespace; anyone else needs a user namespace to own one.
  if unshare -n true 2>/dev/null; then
    ns=(unshare -n)
  elif unshare -r -n true 2>/dev/null; then
    ns=(unshare -r -n)
  else
    skip "cannot make a network namespace (unshare -n needs root or user namespaces)"
  fi
  exec "${ns[@]}" -- env KESTRUN_WINE_NETNS=1 bash "$0" "$wine" "$prefix" "$program" "$@"
fi

# Inside: refuse to go on unless loopback is the only interface, whatever started us.
links=$(ip -o link show | awk -F': ' '{ print $2 }')
if [[ "$links" != "lo" ]]; then
  echo "FAIL: not in a network namespace of our own (interfaces: ${links//$'\n'/ })"
  exit 1
fi
ip link set lo up && ip addr add 8.8.8.8/32 dev lo || {
  echo "FAIL: cannot bring up the namespace's loopback"
  exit 1
}
# A link without carrier: echoes to 192.0.2.2 leave the socket and are never answered.
if ip tuntap add dev ksilent0 mode tun 2>/dev/null && ip addr add 192.0.2.1/24 dev ksilent0 &&
  ip link set ksilent0 up; then
  export KESTRUN_SILENT_ADDRESS=192.0.2.2
else
  echo "# no tun device here: the timeout test is skipped"
fi

# KESTRUN_WINE_USER=nobody: the program runs as that user, for the cases root passes for the
# wrong reason (root may write read-only files, under wine as on POSIX). It gets a copy of the
# program (linked statically) and a prefix of its own under /tmp, which it can reach wherever
# the build is.
as_user=()
if [[ -n "${KESTRUN_WINE_USER:-}" && $EUID -eq 0 ]]; then
  user=$KESTRUN_WINE_USER
  id "$user" >/dev/null 2>&1 || skip "no user $user here"
  home=/tmp/kestrun-wine-$user
  mkdir -p "$home" && chown "$user:" "$home" && chmod 0700 "$home" || exit 1
  prefix=$home/prefix
  cp "$program" "$home/" && chown "$user:" "$home/$(basename "$program")" || exit 1
  program=$home/$(basename "$program")
  as_user=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups env HOME="$home")
fi

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINESERVER
WINESERVER=$(dirname "$wine")/wineserver
unset DISPLAY WAYLAND_DISPLAY
[[ -x "$WINESERVER" ]] || skip "no wine server beside $wine"
"${as_user[@]}" mkdir -p "$prefix"
# A server left from elsewhere (started outside this namespace) would send our echoes there.
"${as_user[@]}" "$WINESERVER" -k 2>/dev/null
"${as_user[@]}" "$WINESERVER" -w 2>/dev/null
if [[ ! -f "$prefix/system.reg" ]]; then
  start=$SECONDS
  "${as_user[@]}" "$wine" wineboot --init >/dev/null 2>&1 ||
    skip "wine cannot set up a prefix in $prefix"
  echo "# wine prefix made in $((SECONDS - start)) s: $prefix"
fi

cd "$(dirname "$program")" || exit 1
"${as_user[@]}" "$wine" "$program" "$@"
status=$?
"${as_user[@]}" "$WINESERVER" -k 2>/dev/null
"${as_user[@]}" "$WINESERVER" -w 2>/dev/null
exit "$status"
