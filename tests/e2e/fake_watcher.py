#!/usr/bin/python3
"""A StatusNotifierItem watcher on the session bus, with a host the test controls. Items register
with it and are listed; every property question it gets is written on stdout ("Get NAME").

  fake_watcher.py [--busy-first SECONDS] [--no-host]

--busy-first: the watcher is busy when first asked, as a desktop shell can be while it starts:
  its first answer to a property question comes after SECONDS, during which it answers nothing
  else.
--no-host: it starts with no host registered. SIGUSR1: a host registers and goes again at once
  (a panel that crashes as it starts): StatusNotifierHostRegistered, then
  StatusNotifierHostUnregistered, and no host is registered. SIGUSR2: a host registers and stays.
Without --no-host a host is registered from the start.
"""

import argparse
import signal
import sys
import time

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"
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
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>
"""


def main(argv):
    options = argparse.ArgumentParser()
    options.add_argument("--busy-first", type=float, default=0.0)
    options.add_argument("--no-host", action="store_true")
    args = options.parse_args(argv[1:])
    items = []
    first = [True]
    host = [not args.no_host]

    def on_call(connection, sender, path, interface, method, params, invocation):
        if method == "RegisterStatusNotifierItem":
            service = params.unpack()[0]
            name = service if service.startswith(":") else sender
            items.append(name + (service if service.startswith("/") else "/StatusNotifierItem"))
        invocation.return_value(None)

    def on_get(connection, sender, path, interface, name):
        print("Get", name, flush=True)
        if first[0]:
            first[0] = False
            time.sleep(args.busy_first)  # busy: nothing else is answered meanwhile
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", items)
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", host[0])
        return GLib.Variant("i", 0)

    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)

    def emit(member):
        bus.emit_signal(None, PATH, WATCHER, member, None)

    def host_flaps():
        emit("StatusNotifierHostRegistered")
        emit("StatusNotifierHostUnregistered")
        bus.flush_sync(None)
        print("host came and went", flush=True)
        return GLib.SOURCE_CONTINUE

    def host_stays():
        host[0] = True
        emit("StatusNotifierHostRegistered")
        bus.flush_sync(None)
        print("host registered", flush=True)
        return GLib.SOURCE_CONTINUE

    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    bus.register_object(PATH, info, on_call, on_get, None)
    Gio.bus_own_name_on_connection(bus, WATCHER, Gio.BusNameOwnerFlags.NONE, None, None)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, host_flaps)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR2, host_stays)
    GLib.MainLoop().run()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
