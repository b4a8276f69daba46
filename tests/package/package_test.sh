#!/usr/bin/env bash
# Installing and packaging, checked from the outside:
#  1. cmake --install into a scratch prefix: the files, named by the application id; the desktop
#     entries (desktop-file-validate) and the AppStream file (appstreamcli validate, and compose
#     on the installed tree); the icon sizes; the cap_net_raw step (for the echo helper alone)
#     where unprivileged ICMP is off, open to all, and where setcap is refused; the hardening of
#     the build's own binaries;
#  2. the Debian package, built twice by dpkg-buildpackage from copies of the tree at two paths,
#     in other time zones, locales and umasks: the .debs are byte-identical; control fields,
#     contents, the postinst, lintian --pedantic and hardening-check;
#  3. the .deb installed by dpkg into a scratch root: the postinst grants the capability, leaves
#     a dpkg-statoverride alone, and says what to run where it cannot; the installed binary's
#     tray smoke test (icon, launch, Exit); its autostart entry started through GLib's launcher
#     (gio); and the program run as nobody with a session bus: it holds no capability and is no
#     secure-execution process (a style plugin of the test's, loaded through QT_PLUGIN_PATH,
#     finds no privilege to take), it docks, its echo helper answers the probe, its entry
#     starts with the environment it was given, and the helper ends when the program is killed.
# The ICMP settings are set inside network namespaces of the test's own (ping_group_range is per
# namespace), so the machine's setting neither matters nor changes. Needs root.
# Usage: package_test.sh <build directory> <path of the built kestrun> <the test's style plugin>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/lib.sh"
src=$(cd "$here/../.." && pwd)

build=${1:-}
[[ -f "$build/CMakeCache.txt" ]] || {
  printf 'FAIL: usage: %s <build directory> <kestrun binary> (no CMakeCache.txt in "%s")\n' "$0" "$build"
  exit 2
}
build=$(cd "$build" && pwd)
style_plugin=${3:-}
e2e_setup "${2:-}"
[[ -f "$style_plugin" ]] || e2e_skip "no style plugin built at '$style_plugin'"
((EUID == 0)) || e2e_skip "needs root (file capabilities, ICMP settings in namespaces, dpkg --root)"
for tool in dpkg-buildpackage dpkg-deb dpkg-parsechangelog dh lintian hardening-check appstreamcli \
  desktop-file-validate getcap setcap setpriv identify readelf dbus-daemon dbus-send; do
  command -v "$tool" >/dev/null || e2e_skip "missing $tool (scripts/deps test installs it)"
done
[[ -x /usr/libexec/appstreamcli-compose ]] ||
  e2e_skip "missing appstreamcli compose (Debian: appstream-compose; scripts/deps test installs it)"

app_id=org.example.kestrunner.Kestrun
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
# The files under a tree that hold any capability, as paths below it.
capable_files() { getcap -r "$1" 2>/dev/null | sed "s|^$1/||; s| .*||"; }
helper_path=libexec/kestrun/kestrun-echo-helper
said() { grep -qF -- "$1" "$out"; }

# --- 1. cmake --install ---

prefix=$E2E_TMP/prefix
if in_ns "1 0" cmake --install "$build" --prefix "$prefix" >"$out" 2>&1; then
  pass "cmake --install into a scratch prefix succeeds"
else
  fail "cmake --install into a scratch prefix succeeds" "$(tail -5 "$out")"
fi
check "the install grants cap_net_raw to the echo helper" \
  eval 'said "granted cap_net_raw" && has_net_raw "$prefix/$helper_path"'
check "getcap over the installed tree lists the echo helper alone (got: $(capable_files "$prefix" | xargs))" \
  test "$(capable_files "$prefix")" == "$helper_path"
expected=(bin/kestrun $helper_path share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml
  share/kestrun/autostart/$app_id.desktop share/icons/hicolor/scalable/apps/$app_id.svg
  share/man/man1/kestrun.1.gz share/doc/kestrun/copyright)
for size in 16 22 24 32 48 64; do expected+=("share/icons/hicolor/${size}x${size}/apps/$app_id.png"); done
installed=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
check "exactly the expected files are installed" \
  test "$installed" == "$(printf '%s\n' "${expected[@]}" | sort)"
check "the binary is executable" test -x "$prefix/bin/kestrun"
check "the installed binary is the one built" cmp -s "$prefix/bin/kestrun" "$E2E_KESTRUN"
check "the installed echo helper is the one built, and links the C library alone" \
  eval 'cmp -s "$prefix/$helper_path" "$(dirname "$E2E_KESTRUN")/kestrun-echo-helper" &&
    [[ "$(readelf -d "$prefix/$helper_path" | sed -n "s/.*(NEEDED).*\[\(.*\)\]/\1/p")" == libc.so.6 ]]'
# An install over an older one whose kestrun held the capability takes it away.
setcap cap_net_raw+ep "$prefix/bin/kestrun"
in_ns "1 0" cmake --install "$build" --prefix "$prefix" >"$out" 2>&1
check "installing again takes away a capability an older install gave kestrun" \
  eval 'said "removed the capability" && test "$(capable_files "$prefix")" == "$helper_path"'

for size in 16 22 24 32 48 64; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$app_id.png
  got=$(identify -format '%m %wx%h' "$png" 2>/dev/null)
  check "the ${size}x${size} icon is a PNG of that size (got $got)" test "$got" == "PNG ${size}x${size}"
done
check "the scalable icon is an SVG" grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/$app_id.svg"
check "the manual page is gzip-compressed" gzip -t "$prefix/share/man/man1/kestrun.1.gz"
check "the copyright file gives the MIT (Expat) licence" \
  eval 'grep -qx "License: Expat" "$prefix/share/doc/kestrun/copyright" && grep -q "MIT" "$prefix/share/doc/kestrun/copyright"'

# Desktop entries: valid, with neither errors nor warnings (hints are allowed).
validate() {
  local report
  report=$(desktop-file-validate "$1" 2>&1) || { printf '%s\n' "$report"; return 1; }
  ! grep -E 'error:|warning:' <<<"$report"
}
key() { sed -n "s/^$2=//p" "$1"; }
menu=$prefix/share/applications/$app_id.desktop
check "the menu entry passes desktop-file-validate" validate "$menu"
check "the menu entry starts kestrun by name, with the icon named by the application id, outside a terminal" \
  eval '[[ "$(key "$menu" Exec)|$(key "$menu" Icon)|$(key "$menu" Terminal)|$(key "$menu" Type)" == "kestrun|$app_id|false|Application" ]]'
check "the menu entry is in Network and Utility" \
  eval '[[ "$(key "$menu" Categories)" == *Network\;* && "$(key "$menu" Categories)" == *Utility\;* ]]'
check "the menu entry names the program" test "$(key "$menu" Name)" == Kestrun

autostart=$prefix/share/kestrun/autostart/$app_id.desktop
check "the autostart entry passes desktop-file-validate" validate "$autostart"
check "the autostart entry waits for the panel and the session" \
  eval '[[ "$(key "$autostart" X-KDE-autostart-after)" == panel && "$(key "$autostart" X-GNOME-Autostart-Delay)" =~ ^[1-9][0-9]*$ ]]'
check "the autostart entry starts kestrun, with the application's icon" \
  test "$(key "$autostart" Exec)|$(key "$autostart" Icon)" == "kestrun|$app_id"
# Enabled as the README says: a copy with Path= naming the folder of the list.
enabled=$E2E_TMP/autostart/$app_id.desktop
mkdir -p "$(dirname "$enabled")"
{ cat "$autostart"; echo "Path=$E2E_TMP/my list"; } >"$enabled"
check "the enabled copy (with Path=) passes desktop-file-validate" validate "$enabled"
check "the enabled copy has exactly one Path=, the folder given" \
  test "$(grep -c '^Path=' "$enabled")|$(key "$enabled" Path)" == "1|$E2E_TMP/my list"

# AppStream: the file alone, strictly, then the installed tree as a software centre's catalog
# generator sees it. The one pedantic remark allowed is about the capitals of the chosen id.
allowed_remark="cid-contains-uppercase-letter"
metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
appstreamcli validate --pedantic --no-net --no-color "$metainfo" >"$out" 2>&1
check "the AppStream file passes appstreamcli validate --pedantic" \
  eval 'grep -q "Validation was successful" "$out" &&
    ! grep -E "^[EWIP]: " "$out" | grep -v "^P: $app_id:[0-9]*: $allowed_remark $app_id\$"'
check "... names the component, its desktop entry, MIT and the release 1.0.1.0 of the changelog's day" \
  eval 'grep -q "<id>$app_id</id>" "$metainfo" && grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" &&
    grep -q "<project_license>MIT</project_license>" "$metainfo" &&
    grep -q "<release version=\"1.0.1.0\" date=\"$(date -u -d "@$(dpkg-parsechangelog -l "$src/debian/changelog" -STimestamp)" +%F)\"" "$metainfo"'
# The README's pictures of the Linux program (those of the Windows build are not for a Linux
# software centre).
pictures=$(grep -o '](docs/[^)]*\.png)' "$src/README.md" | sed 's|^](docs/||; s|)$||' | grep -v '^windows-')
screenshots_match() {
  local p
  [[ -n "$pictures" && "$(grep -c "<caption>" "$metainfo")" == "$(wc -w <<<"$pictures")" ]] || return 1
  for p in $pictures; do
    grep -q ">https://kestrunner.example.org/screenshots/$p</image>" "$metainfo" || return 1
  done
}
check "... with a captioned screenshot for each of the README's $(wc -w <<<"$pictures") pictures, at the maker's site" \
  screenshots_match
compose=$E2E_TMP/compose
if appstreamcli compose --no-net --no-color --prefix=/ --origin=kestrun --result-root="$compose/out" \
  --hints-dir="$compose/hints" "$prefix" >"$out" 2>&1; then
  pass "appstreamcli compose reads the installed tree"
else
  fail "appstreamcli compose reads the installed tree" "$(tail -5 "$out")"
fi
# The hints file lists every known tag first, then what was found, unit by unit.
found=$(sed -n '/^- Unit:/,$p' "$compose/hints/kestrun.hints.yaml" 2>/dev/null | sed -n 's/^ *- tag: //p')
check "... with no hint but the id's capitals (got: ${found:-none})" \
  test "${found:-none}" == "asv-$allowed_remark"
catalog=$(zcat "$compose"/out/share/swcatalog/xml/kestrun.xml.gz 2>/dev/null)
check "... and the catalog lists the application with its icon and the menu entry's categories" \
  eval 'grep -q "<id>$app_id</id>" <<<"$catalog" && grep -q "<icon type=\"cached\" width=\"64\" height=\"64\">$app_id.png</icon>" <<<"$catalog" &&
    grep -q "<category>Network</category>" <<<"$catalog"'

# hardened BINARY: hardening-check passes, and finds each of the five. The echo helper calls
# only functions whose sizes the compiler proves, so it has no fortified call to find: for it
# (hardened_helper) the other four.
hardened() {
  hardening-check --nocfprotection "$1" >"$out" 2>&1 || { cat "$out"; return 1; }
  [[ "$(grep -cE '^ (Position Independent Executable|Stack protected|Fortify Source functions|Read-only relocations|Immediate binding): yes' "$out")" == 5 ]]
}
hardened_helper() {
  hardening-check --nocfprotection --nofortify "$1" >"$out" 2>&1 || { cat "$out"; return 1; }
  [[ "$(grep -cE '^ (Position Independent Executable|Stack protected|Read-only relocations|Immediate binding): yes' "$out")" == 4 ]]
}
# Optimised builds are hardened whatever their purpose. Debian 12's own C start files carry no
# control-flow (CET) note, so no program linked here can show one: that check is left out.
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
if [[ "$build_type" =~ ^(Release|RelWithDebInfo|MinSizeRel)$ ]]; then
  check "the build's own $build_type binary passes hardening-check (PIE, stack protector, fortify, relro, bindnow)" \
    hardened "$E2E_KESTRUN"
  check "... and so does its echo helper (PIE, stack protector, relro, bindnow)" \
    hardened_helper "$(dirname "$E2E_KESTRUN")/kestrun-echo-helper"
else
  e2e_log "the build tree is a ${build_type:-plain} build: its binary is not hardened, not checked"
fi

# The capability step where ICMP is open to all (the setting may change later: granted as ping
# is), and where setcap is refused.
prefix_open=$E2E_TMP/prefix-open
in_ns "0 2147483647" cmake --install "$build" --prefix "$prefix_open" >"$out" 2>&1
check "where unprivileged ICMP is open to every group, the echo helper is granted all the same" \
  eval 'said "granted cap_net_raw" && test "$(capable_files "$prefix_open")" == "$helper_path"'
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
  eval 'said "setcap failed" && said "sudo setcap cap_net_raw+ep $prefix_user/$helper_path" && test -x "$prefix_user/$helper_path" && test -z "$(capable_files "$prefix_user")"'

# --- 2. the Debian package, twice ---

# copy_tree DIR: the tree's own files (tracked, or new and not ignored), without build trees.
copy_tree() {
  mkdir -p "$1"
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
      (cd "$src" && xargs -0 cp --parents -P -t "$1" 2>/dev/null)
  else
    (cd "$src" && find . -path './build*' -prune -o -path './obj-*' -prune -o -type f -print0 -o -type l -print0 |
      xargs -0 cp --parents -P -t "$1")
  fi
}
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -SVersion)
epoch=$(dpkg-parsechangelog -l "$src/debian/changelog" -STimestamp)
# build_deb DIR TZ LOCALE UMASK: dpkg-buildpackage -us -uc -b on a copy of the tree in DIR;
# SOURCE_DATE_EPOCH is never given, so it comes from debian/changelog.
build_deb() {
  local start=$SECONDS
  copy_tree "$1/kestrun-$version"
  (cd "$1/kestrun-$version" && umask "$4" &&
    exec env -u SOURCE_DATE_EPOCH -u MAKEFLAGS TZ="$2" LC_ALL="$3" \
      DEB_BUILD_OPTIONS="parallel=$(nproc)" nice -n 10 dpkg-buildpackage -us -uc -b) \
    >"$1/build.log" 2>&1
  local status=$?
  e2e_log "dpkg-buildpackage in $1 took $((SECONDS - start)) s"
  return $status
}
first=$E2E_TMP/deb-a
second=$E2E_TMP/deb-b/another/path
for dir in "$first" "$second"; do
  if [[ "$dir" == "$first" ]]; then build_deb "$dir" UTC C 0022; else build_deb "$dir" Pacific/Kiritimati C.UTF-8 0002; fi ||
    {
      fail "dpkg-buildpackage -us -uc -b builds the package in $dir" "$(tail -5 "$dir/build.log")"
      e2e_finish
    }
done
pass "dpkg-buildpackage -us -uc -b builds the package, twice"
arch=$(dpkg --print-architecture)
debs=$(cd "$first" && ls ./*.deb | sort | tr '\n' ' ')
check "two packages, kestrun and its debug symbols (got $debs)" \
  test "$debs" == "./kestrun-dbgsym_${version}_$arch.deb ./kestrun_${version}_$arch.deb "
for name in $debs; do
  check "the two builds' $(basename "$name") are byte-identical" cmp "$first/$name" "$second/$name"
done
deb=$first/kestrun_${version}_$arch.deb
changes=$first/kestrun_${version}_$arch.changes
check "every file of the package has the changelog's time (SOURCE_DATE_EPOCH $epoch)" \
  test -z "$(dpkg-deb --fsys-tarfile "$deb" | tar -tv --full-time --utc |
    awk -v want="$(date -u -d "@$epoch" '+%F %T')" '$4 " " $5 != want')"

field() { dpkg-deb -f "$deb" "$1"; }
check "Package, Version, Architecture, Section, Priority" \
  test "$(field Package)|$(field Version)|$(field Architecture)|$(field Section)|$(field Priority)" == "kestrun|1.0.1.0|$arch|net|optional"
check "Maintainer and Homepage" \
  test "$(field Maintainer)|$(field Homepage)" == "Velmora <kestrun@kestrunner.example.org>|https://kestrunner.example.org/"
depends=$(field Depends)
for dep in libcap2-bin libqt6widgets6 libqt6gui6 libqt6dbus6 libqt6core6 libjpeg62-turbo qt6-qpa-plugins libc6; do
  check "Depends names $dep" eval '[[ ", $depends," == *", $dep "* || ", $depends," == *", $dep,"* ]]'
done
check "Recommends a face of the designed width and Qt's Wayland plugin" \
  test "$(field Recommends)" == "fonts-liberation2, qt6-wayland"
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
# Lintian overrides travel in the package when debian/ has any.
overrides=()
compgen -G "$src/debian/*lintian-overrides" >/dev/null && overrides=(share/lintian/overrides/kestrun)
check "the package holds the installed files under /usr, the changelog and any lintian overrides" \
  test "$contents" == "$(printf 'usr/%s\n' "${expected[@]}" share/doc/kestrun/changelog.gz "${overrides[@]}" | sort)"
check "files and directories belong to root" \
  test -z "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')"
control=$E2E_TMP/control
dpkg-deb -e "$deb" "$control"
check "the postinst is executable" test -x "$control/postinst"
check "the postinst is debian/kestrun.postinst (debhelper adds nothing)" \
  eval 'sed "s/^#DEBHELPER#\$//" "$src/debian/kestrun.postinst" | cmp -s - "$control/postinst"'
check "... and reads nothing of the host's /proc (it may run in a chroot or under DPKG_ROOT)" \
  eval '! grep -v "^ *#" "$control/postinst" | grep -q /proc'

# lintian warns that it runs as root; only its tags count. Each override carries its reason on
# the comment line above it.
lint_status=0
lintian --pedantic --show-overrides --fail-on none "$changes" >"$out" 2>&1 || lint_status=$?
check "lintian --pedantic on the .changes: no error, warning or pedantic tag" \
  eval '[[ $lint_status == 0 ]] && ! grep -E "^[EWPX]: " "$out"'
check "... and every lintian override says why, on the line above it" \
  eval '! cat "$src"/debian/*lintian-overrides 2>/dev/null | awk "!/^#/ && NF && prev !~ /^#/ { bad = 1 } { prev = \$0 } END { exit !bad }"'
unpacked=$E2E_TMP/unpacked
dpkg -x "$deb" "$unpacked"
check "the packaged binary passes hardening-check (PIE, stack protector, fortify, relro, bindnow)" \
  hardened "$unpacked/usr/bin/kestrun"
check "the packaged binary is stripped" eval '! readelf -S "$unpacked/usr/bin/kestrun" | grep -q "\.debug_info"'
check "the packaged echo helper is hardened (PIE, stack protector, relro, bindnow) and stripped" \
  eval 'hardened_helper "$unpacked/usr/$helper_path" && ! readelf -S "$unpacked/usr/$helper_path" | grep -q "\.debug_info"'

# --- 3. the package installed into a scratch root ---

root=$E2E_TMP/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
# The root knows this machine's packages that kestrun depends on, so dpkg checks Depends for real.
dep_names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (|].*//' | sort -u)
# shellcheck disable=SC2086
dpkg-query -s $dep_names >"$admin/status" 2>/dev/null
for pkg in $dep_names; do touch "$admin/info/$pkg.list" "$admin/info/$pkg:$arch.list"; done
# dpkg_install RANGE: installs (again) the package into the scratch root; sets STATUS.
dpkg_install() {
  STATUS=0
  in_ns "$1" dpkg --root="$root" --force-script-chrootless --log=/dev/null -i "$deb" >"$out" 2>&1 ||
    STATUS=$?
}
bin=$root/usr/bin/kestrun
helper=$root/usr/$helper_path
dpkg_install "0 2147483647"
check "dpkg -i into the scratch root, its dependencies met, ICMP open to every group: the echo helper alone gets cap_net_raw" \
  eval '[[ $STATUS == 0 && "$(dpkg-query --root="$root" -W -f="\${Status}" kestrun)" == "install ok installed" ]] && test "$(capable_files "$root")" == "usr/$helper_path"'
setcap -r "$root/usr/$helper_path"
# postinst RANGE [PATH]: runs the installed postinst's configure step by hand; sets STATUS.
postinst() {
  STATUS=0
  in_ns "$1" env DPKG_ROOT="$root" PATH="${2:-$PATH}" /bin/sh "$admin/info/kestrun.postinst" configure \
    >"$out" 2>&1 || STATUS=$?
}
nosetcap=$E2E_TMP/nosetcap
mkdir "$nosetcap" && ln -s "$(command -v cat)" "$(command -v dpkg-statoverride)" "$nosetcap/"
postinst "1 0" "$nosetcap"
check "postinst without setcap: exits 0 and says what to run" \
  eval '[[ $STATUS == 0 ]] && said "setcap cap_net_raw+ep $helper" && test -z "$(capable_files "$root")"'
dpkg-statoverride --root="$root" --add root root 0750 "/usr/$helper_path"
dpkg_install "1 0"
check "an administrator's dpkg-statoverride: the mode is theirs, no capability is added, and it says so" \
  eval '[[ $STATUS == 0 && "$(stat -c %a "$helper")" == 750 ]] && said "has a dpkg-statoverride" && test -z "$(capable_files "$root")"'
dpkg-statoverride --root="$root" --remove "/usr/$helper_path"
dpkg_install "1 0"
check "dpkg -i, ICMP off: exits 0 and grants cap_net_raw to the echo helper alone" \
  eval '[[ $STATUS == 0 ]] && test "$(capable_files "$root")" == "usr/$helper_path"'

# The installed, capable helper as any local user could drive it: nobody, with a socket pair of
# their own, in a namespace where both probe addresses answer. It sends nothing for requests
# that name addresses of their own or for random messages, and paces a flood.
chmod 755 "$E2E_TMP"
in_ns "1 0" sh -c 'ip link set lo up && ip addr add 8.8.8.8/32 dev lo && ip addr add 1.1.1.1/32 dev lo &&
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/python3 "$1" "$2"' \
  sh "$src/tests/package/helper_client.py" "$helper" >"$out" 2>&1
client() { sed -n "s/^$1=//p" "$out"; }
check "as nobody the capable helper starts and says it is ready (got: $(client greeting))" \
  test "$(client greeting)" == 1
check "... refuses each of 30 requests naming addresses, timeouts and payloads of their own, and sends nothing (sent: $(client elsewhere_echoes))" \
  test "$(client elsewhere_refused)|$(client elsewhere_echoes)" == "30|0"
check "... refuses 2,000 random messages with no request's id, and sends nothing (sent: $(client random_echoes))" \
  test "$(client random_refused)|$(client random_echoes)" == "2000|0"
check "... answers a 2 s flood ($(client flood_requests) requests) with at most 12 + 2 s at 2.5 a second echoes (sent: $(client flood_echoes)), the rest refused as paced" \
  eval '(( $(client flood_echoes) >= 12 && $(client flood_echoes) <= 18 && $(client flood_answered) == $(client flood_echoes) && $(client flood_paced) + $(client flood_answered) == $(client flood_requests) ))'
check "... and ends when its channel closes (status $(client helper_status))" test "$(client helper_status)" == 0

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
  entry=$home/.config/autostart/$app_id.desktop
  { cat "$root/usr/share/kestrun/autostart/$app_id.desktop"; echo "Path=$lists"; } >"$entry"
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

# As an ordinary user (nobody) with a session bus at a socket path. The namespace's own
# ping_group_range is "1 0" (off), so the probe answers only through the echo helper's raw
# socket. kestrun itself holds nothing to take: a style plugin that any user could hand it
# (QT_PLUGIN_PATH, -style) finds no capability and no raw socket to open, and the programs it
# starts get the environment it was given.
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
chmod 755 "$E2E_TMP"
mine=$E2E_TMP/nobody
mkdir -m 755 "$mine" "$mine/work"
cat >"$mine/work/started.sh" <<EOF
#!/bin/sh
env >"$mine/work/env.txt"
grep '^Cap' /proc/self/status >"$mine/work/caps.txt"
EOF
mkdir -p "$mine/plugins/styles" "$mine/lib"
cp "$style_plugin" "$mine/plugins/styles/"
chmod 755 "$mine/work/started.sh"
write_record "$mine/work/applications.dat" "Caps" "$mine/work/started.sh" 1
chown -R nobody:nogroup "$mine" "$E2E_TMP/runtime"
bus=$E2E_TMP/runtime/bus
# Services the bus starts (xfconfd for the panel below) get nobody's own folders.
"${as_nobody[@]}" env HOME="$mine" XDG_CONFIG_HOME="$mine/config" dbus-daemon --session --nofork \
  --nopidfile --address="unix:path=$bus" >"$E2E_TMP/dbus.log" 2>&1 &
bus_pid=$!
bus_call() {
  "${as_nobody[@]}" dbus-send --bus="unix:path=$bus" --print-reply --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus "org.freedesktop.DBus.$1" "${@:2}" 2>/dev/null
}
# Prints the pids of the bus's clients.
bus_client_pids() {
  local name
  for name in $(bus_call ListNames | sed -n 's/^ *string "\(:[^"]*\)"$/\1/p'); do
    bus_call GetConnectionUnixProcessID "string:$name" | sed -n 's/^ *uint32 //p'
  done
}
# Field 23 of the auxiliary vector, AT_SECURE.
at_secure() { od -An -tu8 -w16 -v "/proc/$1/auxv" | awk '$1 == 23 { print $2 }'; }
if wait_until 10 test -S "$bus"; then
  unshare_root=("${E2E_UNSHARE[@]}")
  E2E_UNSHARE=("${unshare_root[@]}" -- "${as_nobody[@]}")
  report=$mine/work/plugin.txt
  given_tmp="$mine/tmp dir"
  given_libs="$mine/lib:/nonexistent/lib"
  mkdir -p "$given_tmp"
  chown -R nobody:nogroup "$mine"
  HOME=$mine TMPDIR=$given_tmp LD_LIBRARY_PATH=$given_libs QT_PLUGIN_PATH=$mine/plugins \
    KESTRUN_TEST_PLUGIN_REPORT=$report start_kestrun "$mine/work" -style kestrunprobe
  E2E_UNSHARE=("${unshare_root[@]}")
  check "as nobody: the installed binary's icon appears in trayer" wait_until 20 has_tray_icon
  check "... it runs as nobody, with no capability, not in secure execution (AT_SECURE $(at_secure "$E2E_KESTRUN_PID"))" \
    eval '[[ "$(awk "/^Uid:/ { print \$2 }" "/proc/$E2E_KESTRUN_PID/status")" == 65534 &&
      "$(grep -cE "^Cap(Prm|Eff|Amb):\s+0+$" "/proc/$E2E_KESTRUN_PID/status")" == 3 &&
      "$(at_secure "$E2E_KESTRUN_PID")" == 0 ]]'
  plugin_said() { grep -qx "$1" "$report"; }
  check "... a style plugin from QT_PLUGIN_PATH was loaded ($(tr '\n' ' ' <"$report" 2>/dev/null))" test -s "$report"
  check "... and found CapEff, CapPrm and CapAmb all 0, AT_SECURE 0" \
    eval 'plugin_said CapEff=0000000000000000 && plugin_said CapPrm=0000000000000000 &&
      plugin_said CapAmb=0000000000000000 && plugin_said AT_SECURE=0'
  check "... and its packet socket and raw ICMP socket were refused (EPERM)" \
    eval 'plugin_said AF_PACKET=EPERM && plugin_said SOCK_RAW=EPERM'
  check "... it is connected to the session bus (found through XDG_RUNTIME_DIR)" \
    wait_until 10 eval 'bus_client_pids | grep -qx "$E2E_KESTRUN_PID"'
  # The first tick starts the echo helper: nobody's, with no capability left once its socket
  # is open.
  helper_pid=""
  echo_helper_of() { pgrep -P "$1" -x kestrun-echo-he; } # the kernel keeps 15 characters
  check "... its first probe starts the echo helper, as its child" \
    wait_until 10 eval 'helper_pid=$(echo_helper_of "$E2E_KESTRUN_PID"); [[ -n "$helper_pid" ]]'
  check "... which runs as nobody with no capability left" \
    eval '[[ "$(awk "/^Uid:/ { print \$2 }" "/proc/$helper_pid/status")" == 65534 &&
      "$(grep -cE "^Cap(Prm|Eff|Amb|Inh):\s+0+$" "/proc/$helper_pid/status")" == 4 ]]'
  network_up
  check "... once the network is up (through the helper only) it starts the entry of its list" \
    wait_until 15 test -s "$mine/work/caps.txt"
  check "... which runs with no capability (CapPrm, CapEff, CapAmb all 0)" \
    eval '[[ "$(grep -cE "^Cap(Prm|Eff|Amb):\s+0+$" "$mine/work/caps.txt")" == 3 ]]'
  check "... and gets TMPDIR and LD_LIBRARY_PATH exactly as kestrun was given them" \
    eval 'grep -qxF "TMPDIR=$given_tmp" "$mine/work/env.txt" && grep -qxF "LD_LIBRARY_PATH=$given_libs" "$mine/work/env.txt"'
  if wait_exit "$E2E_KESTRUN_PID" 10; then
    check "... and ends with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
    E2E_KESTRUN_PID=""
  else
    fail "... and ends"
  fi
  check "... and its echo helper ends with it" wait_until 5 process_ended "$helper_pid"
  # Killed while waiting: the helper goes too.
  E2E_UNSHARE=("${unshare_root[@]}" -- "${as_nobody[@]}")
  HOME=$mine start_kestrun "$mine/work"
  E2E_UNSHARE=("${unshare_root[@]}")
  helper_pid=""
  if wait_until 15 eval 'helper_pid=$(echo_helper_of "$E2E_KESTRUN_PID"); [[ -n "$helper_pid" ]]'; then
    kill -KILL "$E2E_KESTRUN_PID"
    wait "$E2E_KESTRUN_PID" 2>/dev/null
    E2E_KESTRUN_PID=""
    check "the echo helper ends when kestrun is killed" wait_until 5 process_ended "$helper_pid"
  else
    fail "the echo helper ends when kestrun is killed" "no helper started"
  fi
  # The same with a StatusNotifierItem host, nobody's too, on that bus (in trayer's place: both
  # would be XEmbed trays): the icon registers with it.
  stop_process "$E2E_TRAYER_PID"
  E2E_TRAYER_PID=""
  busctl() { "${as_nobody[@]}" busctl "$@"; } # the bus is nobody's
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$bus"
  "${as_nobody[@]}" env HOME="$mine" XDG_CONFIG_HOME="$mine/config" \
    XDG_RUNTIME_DIR="$E2E_TMP/runtime" xfce4-panel --disable-wm-check >"$E2E_TMP/xfce4-panel.log" 2>&1 &
  E2E_HOST_PID=$!
  if wait_until 30 host_registered; then
    E2E_WITH_BUS=1
    E2E_UNSHARE=("${unshare_root[@]}" -- "${as_nobody[@]}")
    HOME=$mine start_kestrun "$mine/work"
    E2E_UNSHARE=("${unshare_root[@]}")
    check "as nobody, with no capability: the icon registers with a StatusNotifierItem host" \
      wait_until 20 has_sni_item
    check "... exactly one" test "$(sni_items_of | wc -l)" == 1
    sni_click "$(sni_items_of)" E_xit >/dev/null
    if wait_exit "$E2E_KESTRUN_PID" 10; then
      check "... and its \"Exit\" ends it with status 0 (got $EXIT_STATUS)" test "$EXIT_STATUS" == 0
      E2E_KESTRUN_PID=""
    else
      fail "... and its \"Exit\" ends it"
    fi
  else
    fail "xfce4-panel as nobody registers a StatusNotifierItem host" \
      "$(tail -3 "$E2E_TMP/xfce4-panel.log")"
  fi
else
  fail "a session bus for nobody starts" "$(tail -3 "$E2E_TMP/dbus.log")"
fi
stop_process "$bus_pid"

e2e_finish
