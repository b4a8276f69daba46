#!/usr/bin/env bash
# Installing and packaging, checked from the outside:
#  1. cmake --install into a scratch prefix: the files, the desktop entries (desktop-file-validate),
#     the icon sizes, and the cap_net_raw step where unprivileged ICMP is off, open to all, and
#     where setcap is refused (the install still succeeds);
#  2. cpack -G DEB: control fields and dependencies, contents, the postinst, lintian;
#  3. the .deb unpacked into a scratch root (dpkg -x): its postinst grants the capability, the
#     installed binary runs its tray smoke test under Xvfb + trayer (icon, launch, Exit), and its
#     autostart entry, enabled with a Path=, starts it there through GLib's launcher (gio).
# The ICMP settings are set inside network namespaces of the test's own (ping_group_range is per
# namespace), so the machine's setting neither matters nor changes. Needs root.
# Usage: package_test.sh <build directory> <path of the built kestrun>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/lib.sh"

build=${1:-}
[[ -f "$build/CPackConfig.cmake" ]] || {
  printf 'FAIL: usage: %s <build directory> <kestrun binary> (no CPackConfig.cmake in "%s")\n' "$0" "$build"
  exit 2
}
build=$(cd "$build" && pwd)
e2e_setup "${2:-}"
((EUID == 0)) || e2e_skip "needs root (file capabilities and ICMP settings in namespaces)"
for tool in cpack dpkg-deb dpkg-shlibdeps desktop-file-validate getcap setcap setpriv identify readelf; do
  command -v "$tool" >/dev/null || e2e_skip "missing $tool (scripts/deps test installs it)"
done

out=$E2E_TMP/out
# in_ns RANGE command...: runs the command in a new network namespace whose
# net.ipv4.ping_group_range is RANGE ("1 0" is off for everyone).
in_ns() {
  local range=$1
  shift
  unshare -n -- sh -c 'echo "$1" >/proc/sys/net/ipv4/ping_group_range && shift && exec "$@"' \
    sh "$range" "$@"
}
has_net_raw() { getcap "$1" 2>/dev/null | grep -q 'cap_net_raw=ep'; }
said() { grep -qF -- "$1" "$out"; }

# --- 1. cmake --install ---

prefix=$E2E_TMP/prefix
if in_ns "1 0" cmake --install "$build" --prefix "$prefix" >"$out" 2>&1; then
  pass "cmake --install into a scratch prefix succeeds"
else
  fail "cmake --install into a scratch prefix succeeds" "$(tail -5 "$out")"
fi
expected=(bin/kestrun share/applications/kestrun.desktop share/kestrun/kestrun-autostart.desktop
  share/icons/hicolor/scalable/apps/kestrun.svg share/man/man1/kestrun.1.gz
  share/doc/kestrun/copyright share/doc/kestrun/changelog.gz)
for size in 16 22 24 32 48 64; do expected+=("share/icons/hicolor/${size}x${size}/apps/kestrun.png"); done
installed=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
check "exactly the expected files are installed" \
  test "$installed" == "$(printf '%s\n' "${expected[@]}" | sort)"
check "the binary is executable" test -x "$prefix/bin/kestrun"
check "the installed binary is the one built" cmp -s "$prefix/bin/kestrun" "$E2E_KESTRUN"
for size in 16 22 24 32 48 64; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/kestrun.png
  got=$(identify -format '%m %wx%h' "$png" 2>/dev/null)
  check "the ${size}x${size} icon is a PNG of that size (got $got)" test "$got" == "PNG ${size}x${size}"
done
check "the scalable icon is an SVG" grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/kestrun.svg"
check "the manual page is gzip-compressed" gzip -t "$prefix/share/man/man1/kestrun.1.gz"

# Desktop entries: valid, with neither errors nor warnings (hints are allowed).
validate() {
  local report
  report=$(desktop-file-validate "$1" 2>&1) || { printf '%s\n' "$report"; return 1; }
  ! grep -E 'error:|warning:' <<<"$report"
}
key() { sed -n "s/^$2=//p" "$1"; }
menu=$prefix/share/applications/kestrun.desktop
check "the menu entry passes desktop-file-validate" validate "$menu"
check "the menu entry starts kestrun by name, with its icon, outside a terminal" \
  eval '[[ "$(key "$menu" Exec)|$(key "$menu" Icon)|$(key "$menu" Terminal)|$(key "$menu" Type)" == "kestrun|kestrun|false|Application" ]]'
check "the menu entry is in Network and Utility" \
  eval '[[ "$(key "$menu" Categories)" == *Network\;* && "$(key "$menu" Categories)" == *Utility\;* ]]'
check "the menu entry names the program" test "$(key "$menu" Name)" == Kestrun

autostart=$prefix/share/kestrun/kestrun-autostart.desktop
check "the autostart entry passes desktop-file-validate" validate "$autostart"
check "the autostart entry waits for the panel and the session" \
  eval '[[ "$(key "$autostart" X-KDE-autostart-after)" == panel && "$(key "$autostart" X-GNOME-Autostart-Delay)" =~ ^[1-9][0-9]*$ ]]'
check "the autostart entry starts kestrun" test "$(key "$autostart" Exec)" == kestrun
# Enabled as the README says: a copy with Path= naming the folder of the list.
enabled=$E2E_TMP/autostart/kestrun.desktop
mkdir -p "$(dirname "$enabled")"
{ cat "$autostart"; echo "Path=$E2E_TMP/my list"; } >"$enabled"
check "the enabled copy (with Path=) passes desktop-file-validate" validate "$enabled"
check "the enabled copy has exactly one Path=, the folder given" \
  test "$(grep -c '^Path=' "$enabled")|$(key "$enabled" Path)" == "1|$E2E_TMP/my list"

# The capability step, in the three situations it meets.
check "where unprivileged ICMP is off, the install says so and grants cap_net_raw" \
  eval 'said "unprivileged ICMP is off here" && said "granted cap_net_raw" && has_net_raw "$prefix/bin/kestrun"'
prefix_open=$E2E_TMP/prefix-open
in_ns "0 2147483647" cmake --install "$build" --prefix "$prefix_open" >"$out" 2>&1
check "where unprivileged ICMP is open to every group, no capability is granted" \
  eval 'said "no capability needed" && ! has_net_raw "$prefix_open/bin/kestrun" && test -x "$prefix_open/bin/kestrun"'
# An install without the right to set file capabilities (as an ordinary user into a prefix of
# their own): setcap is refused, the install is not.
prefix_user=$E2E_TMP/prefix-user
if in_ns "1 0" setpriv --bounding-set=-setfcap cmake --install "$build" --prefix "$prefix_user" \
  >"$out" 2>&1; then
  pass "an install where setcap is refused still succeeds"
else
  fail "an install where setcap is refused still succeeds" "$(tail -5 "$out")"
fi
check "... and says setcap failed and what to run" \
  eval 'said "setcap failed" && said "sudo setcap cap_net_raw+ep $prefix_user/bin/kestrun" && test -x "$prefix_user/bin/kestrun" && ! has_net_raw "$prefix_user/bin/kestrun"'

# --- 2. the Debian package ---

pkgdir=$E2E_TMP/pkg
if cpack -G DEB --config "$build/CPackConfig.cmake" -B "$pkgdir" >"$out" 2>&1; then
  pass "cpack -G DEB builds a package"
else
  fail "cpack -G DEB builds a package" "$(tail -5 "$out")"
  e2e_finish
fi
deb=$(ls "$pkgdir"/*.deb)
field() { dpkg-deb -f "$deb" "$1"; }
check "one package, kestrun_<version>_<arch>.deb (got $(basename "$deb"))" \
  test "$(basename "$deb")" == "kestrun_1.0.1.0_$(dpkg --print-architecture).deb"
check "Package, Version, Section, Priority" \
  test "$(field Package)|$(field Version)|$(field Section)|$(field Priority)" == "kestrun|1.0.1.0|net|optional"
check "a Maintainer with an address" eval '[[ "$(field Maintainer)" == ?*" <"?*@?*">" ]]'
depends=$(field Depends)
for dep in libqt6widgets6 libqt6gui6 libqt6dbus6 libqt6core6 libjpeg62-turbo qt6-qpa-plugins libc6; do
  check "Depends names $dep" eval '[[ ", $depends," == *", $dep "* || ", $depends," == *", $dep,"* ]]'
done
check "Recommends libcap2-bin (setcap, for the postinst) and a face of the designed width" test "$(field Recommends)" == "libcap2-bin, fonts-liberation2"
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
check "the package holds the installed files, under /usr" \
  test "$contents" == "$(printf 'usr/%s\n' "${expected[@]}" | sort)"
check "files and directories belong to root" \
  test -z "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')"
control=$E2E_TMP/control
dpkg-deb -e "$deb" "$control"
check "the postinst is executable" test -x "$control/postinst"
check "the postinst is the packaged one" cmp -s "$control/postinst" "$here/../../packaging/postinst"
if command -v lintian >/dev/null; then
  # lintian warns that it runs as root; only its tags count.
  lintian --fail-on error,warning "$deb" >"$out" 2>&1
  check "lintian finds no error or warning" eval '! grep -E "^[EW]: " "$out"'
else
  e2e_skip "missing lintian (scripts/deps test installs it)"
fi

# --- 3. the package unpacked into a scratch root ---

root=$E2E_TMP/root
dpkg -x "$deb" "$root"
bin=$root/usr/bin/kestrun
check "the packaged binary is stripped" eval '! readelf -S "$bin" | grep -q "\.debug_info"'
# postinst RANGE [PATH]: runs the postinst's configure step for the scratch root; sets STATUS.
postinst() {
  STATUS=0
  in_ns "$1" env DPKG_ROOT="$root" PATH="${2:-$PATH}" /bin/sh "$control/postinst" configure \
    >"$out" 2>&1 || STATUS=$?
}
postinst "0 2147483647"
check "postinst, ICMP open to every group: exits 0, no capability" \
  eval '[[ $STATUS == 0 ]] && ! has_net_raw "$bin"'
nosetcap=$E2E_TMP/nosetcap
mkdir "$nosetcap" && ln -s "$(command -v cat)" "$nosetcap/cat"
postinst "1 0" "$nosetcap"
check "postinst without setcap: exits 0 and says what to run" \
  eval '[[ $STATUS == 0 ]] && said "setcap cap_net_raw+ep $bin" && ! has_net_raw "$bin"'
postinst "1 0"
check "postinst, ICMP off: exits 0 and grants cap_net_raw" \
  eval '[[ $STATUS == 0 ]] && has_net_raw "$bin"'

# The tray smoke test with the installed binary, capability and all.
E2E_KESTRUN=$bin
start_xvfb
start_trayer
work=$E2E_TMP/work
mkdir "$work"
cat >"$work/started.sh" <<EOF
#!/bin/sh
echo started >"$work/started.txt"
EOF
chmod +x "$work/started.sh"
write_record "$work/applications.dat" "Started" "$work/started.sh" 1
start_kestrun "$work"
check "the installed binary's icon appears in trayer" wait_until 20 has_tray_icon
check "it shows no window but the icon" eval 'stays_false 2 eval "[[ \$(kestrun_windows | wc -l) != 1 ]]"'
icon=$(tray_icon_window)
if open_tray_menu "$icon"; then
  pass "a right click opens the tray menu"
  hover "$MENU" $((MW / 2)) $((MH * 7 / 8))
  xdotool click 1
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    check "\"E&xit\" ends the installed program with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
    E2E_KESTRUN_PID=""
  else
    fail "\"E&xit\" ends the installed program"
  fi
else
  fail "a right click opens the tray menu"
fi
check "nothing was launched while the network was down" test ! -e "$work/started.txt"

# Once more, until the namespace's network comes up: the installed probe answers and the entry
# starts.
start_kestrun "$work"
wait_until 20 has_tray_icon
network_up
check "once the network is up the installed program starts the entry" wait_until 15 test -e "$work/started.txt"
if wait_exit "$E2E_KESTRUN_PID" 10; then
  check "... and ends with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
  E2E_KESTRUN_PID=""
else
  fail "... and ends"
fi

# The autostart entry, enabled as the README says, started by GLib's desktop-entry launcher
# (what GNOME's session uses): it runs the installed kestrun in the Path= folder, which finds its
# list there. The launcher itself runs in a new network namespace, so kestrun does too.
if command -v gio >/dev/null; then
  home="$E2E_TMP/home with blanks"
  mkdir -p "$home/.config/autostart"
  rm -f "$work/started.txt"
  lists="$E2E_TMP/my lists"
  mkdir "$lists" && cp "$work/applications.dat" "$lists/"
  entry=$home/.config/autostart/kestrun.desktop
  { cat "$root/usr/share/kestrun/kestrun-autostart.desktop"; echo "Path=$lists"; } >"$entry"
  (cd / && exec env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY -u SESSION_MANAGER \
    QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$E2E_TMP/runtime" XDG_CONFIG_HOME="$home/.config" \
    HOME="$home" PATH="$root/usr/bin:$PATH" DISPLAY="$DISPLAY" "${E2E_UNSHARE[@]}" -- \
    gio launch "$entry") >>"$E2E_TMP/kestrun.log" 2>&1
  # Not our child: found as the owner of the icon trayer embeds.
  icon_owner() {
    local w
    for w in $(embedded_windows); do window_pid "$w"; done | head -n1
  }
  E2E_KESTRUN_PID=""
  if wait_until 20 eval 'E2E_KESTRUN_PID=$(icon_owner); [[ -n "$E2E_KESTRUN_PID" ]]'; then
    pass "the autostart entry starts the installed kestrun, whose icon docks"
    check "it runs in the folder Path= names" \
      test "$(readlink "/proc/$E2E_KESTRUN_PID/cwd")" == "$lists"
    check "it is the packaged binary" test "$(readlink "/proc/$E2E_KESTRUN_PID/exe")" == "$bin"
    network_up
    check "once the network is up it starts the entry of the list in that folder" \
      wait_until 15 test -e "$work/started.txt"
    check "... and ends" wait_until 10 process_ended "$E2E_KESTRUN_PID"
    E2E_KESTRUN_PID=""
  else
    fail "the autostart entry starts the installed kestrun, whose icon docks"
  fi
else
  e2e_skip "missing gio (Debian: libglib2.0-bin) for the autostart entry's launch"
fi

e2e_finish
