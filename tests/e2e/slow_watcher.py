#!/usr/bin/python3
"""A StatusNotifierItem watcher and host on the session bus that is busy when first asked, as a
desktop shell can be while it starts: its first answer to a property question comes after
DELAY seconds, during which it answers nothing else. Items register with it and are listed.

  slow_watcher.py DELAY
"""

import sys
import time

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
INTERFACE = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""


def main(argv):
    delay = float(argv[1])
    items = []
    first = [True]

    def on_call(connection, sender, path, interface, method, args, invocation):
        if method == "RegisterStatusNotifierItem":
            service = args.unpack()[0]
            name = service if service.startswith(":") else sender
            items.append(name + (service if service.startswith("/") else "/StatusNotifierItem"))
            invocation.return_value(None)
        else:
            invocation.return_value(None)

    def on_get(connection, sender, path, interface, name):
        if first[0]:
            first[0] = False
            time.sleep(delay)  # busy: nothing else is answered meanwhile
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", items)
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        return GLib.Variant("i", 0)

    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    bus.register_object("/StatusNotifierWatcher", info, on_call, on_get, None)
    Gio.bus_own_name_on_connection(bus, WATCHER, Gio.BusNameOwnerFlags.NONE, None, None)
    GLib.MainLoop().run()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
