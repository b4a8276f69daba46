#!/usr/bin/env bash
# A tray host that is busy as the program starts (a desktop shell still coming up, a loaded
# machine) and answers the first question about itself late: the icon still comes to it.
# Usage: busy_host_test.sh <path of the kestrun binary>
set -uo pipefail
source "$(dirname "$0")/lib.sh"

e2e_setup "${1:-}"
e2e_need busctl dbus-daemon
start_xvfb
start_session_bus
start_fake_watcher --busy-first 2
E2E_WITH_BUS=1

work=$E2E_TMP/work
mkdir "$work"
start_kestrun "$work"
check "the icon registers with a host whose first answer takes 2 s" wait_until 15 has_sni_item
check "exactly once" test "$(sni_items_of | wc -l)" == 1
check "the program never said it waits for a tray" \
  eval '! grep -q "waiting for a system tray" "$E2E_TMP/kestrun.log"'

e2e_finish
