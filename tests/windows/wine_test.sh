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

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINESERVER
WINESERVER=$(dirname "$wine")/wineserver
unset DISPLAY WAYLAND_DISPLAY
[[ -x "$WINESERVER" ]] || skip "no wine server beside $wine"
mkdir -p "$prefix"
# A server left from elsewhere (started outside this namespace) would send our echoes there.
"$WINESERVER" -k 2>/dev/null
"$WINESERVER" -w 2>/dev/null
if [[ ! -f "$prefix/system.reg" ]]; then
  start=$SECONDS
  "$wine" wineboot --init >/dev/null 2>&1 || skip "wine cannot set up a prefix in $prefix"
  echo "# wine prefix made in $((SECONDS - start)) s: $prefix"
fi

cd "$(dirname "$program")" || exit 1
"$wine" "$program" "$@"
status=$?
"$WINESERVER" -k 2>/dev/null
"$WINESERVER" -w 2>/dev/null
exit "$status"
