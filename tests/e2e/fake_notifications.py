#!/usr/bin/python3
"""A desktop notification service on the session bus that is slow to answer, as a busy shell
can be: each Notify is answered DELAY seconds after it came, with the next id from 1 on; the
service answers other calls meanwhile. It writes what it gets and gives on stdout, one a line:
"Notify SUMMARY", "answered ID", "CloseNotification ID".

  fake_notifications.py DELAY
"""

import sys

from gi.repository import Gio, GLib

SERVICE = "org.freedesktop.Notifications"
INTERFACE = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
  </interface>
</node>
"""


def main(argv):
    delay_ms = int(float(argv[1]) * 1000)
    last_id = [0]

    def answer(invocation, notification):
        print("answered", notification, flush=True)
        invocation.return_value(GLib.Variant("(u)", (notification,)))
        return GLib.SOURCE_REMOVE

    def on_call(connection, sender, path, interface, method, params, invocation):
        if method == "Notify":
            print("Notify", params.unpack()[3], flush=True)
            last_id[0] += 1
            GLib.timeout_add(delay_ms, answer, invocation, last_id[0])
        elif method == "CloseNotification":
            print("CloseNotification", params.unpack()[0], flush=True)
            invocation.return_value(None)
        elif method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["body"],)))
        else:
            invocation.return_value(GLib.Variant("(ssss)", ("fake", "test", "1", "1.2")))

    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    bus.register_object("/org/freedesktop/Notifications", info, on_call, None, None)
    Gio.bus_own_name_on_connection(bus, SERVICE, Gio.BusNameOwnerFlags.NONE, None, None)
    GLib.MainLoop().run()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
