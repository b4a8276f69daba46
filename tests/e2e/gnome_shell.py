#!/usr/bin/python3
"""Asks a GNOME Shell on the session bus what a user sees, through the shell's own D-Bus
services: the windows with the application each belongs to (org.gnome.Shell.Introspect) and the
screen (org.gnome.Shell.Screenshot); and clicks as a user would (org.gnome.Mutter.RemoteDesktop).

The shell answers these only to the desktop portal, so this program takes the portal's bus name
first; run it only on a private session bus.

  gnome_shell.py windows           one line per window: app-id, title, hidden (tab-separated)
  gnome_shell.py screenshot FILE   the whole screen as a PNG
  gnome_shell.py pointer W H       clicks as a user would on a W x H screen, as told on
                                   standard input (below)
"""

import sys
import time

from gi.repository import Gio, GLib

PORTAL = "org.freedesktop.impl.portal.desktop.gtk"


def shell_call(bus, path, interface, method, args, reply_type):
    # The shell learns of the name's new owner from a signal; a call that overtakes it is
    # refused and tried again.
    deadline = time.monotonic() + 5
    while True:
        try:
            return bus.call_sync("org.gnome.Shell", path, interface, method, args,
                                 GLib.VariantType(reply_type), Gio.DBusCallFlags.NONE, 10000,
                                 None).unpack()
        except GLib.Error as error:
            if "AccessDenied" not in error.message or time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def main(argv):
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    owned = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "RequestName", GLib.Variant("(su)", (PORTAL, 4)),
                          GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 5000, None).unpack()
    if owned[0] != 1:
        print(f"gnome_shell.py: {PORTAL} is taken", file=sys.stderr)
        return 1
    if argv[1:] == ["windows"]:
        (windows,) = shell_call(bus, "/org/gnome/Shell/Introspect", "org.gnome.Shell.Introspect",
                                "GetWindows", None, "(a{ta{sv}})")
        for properties in windows.values():
            print("\t".join([properties.get("app-id", ""), properties.get("title", ""),
                             "hidden" if properties.get("is-hidden") else "shown"]))
        return 0
    if len(argv) == 3 and argv[1] == "screenshot":
        ok, _ = shell_call(bus, "/org/gnome/Shell/Screenshot", "org.gnome.Shell.Screenshot",
                           "Screenshot", GLib.Variant("(bbs)", (False, False, argv[2])), "(bs)")
        return 0 if ok else 1
    if len(argv) == 4 and argv[1] == "pointer":
        return pointer(bus, int(argv[2]), int(argv[3]))
    print(__doc__, file=sys.stderr)
    return 2


def pointer(bus, width, height):
    """A pointer of its own (a remote desktop session, which the shell shows in the top bar while
    it lasts), driven by lines on standard input, each answered by "ok" once done:
    "screenshot FILE", "click X Y N" (the left button N times at X, Y; 0: the pointer moves)."""
    def call(path, interface, method, args=None, reply="()"):
        return bus.call_sync("org.gnome.Mutter.RemoteDesktop", path, interface, method, args,
                             GLib.VariantType(reply), Gio.DBusCallFlags.NONE, 5000,
                             None).unpack()
    (session,) = call("/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
                      "CreateSession", None, "(o)")
    interface = "org.gnome.Mutter.RemoteDesktop.Session"
    call(session, interface, "Start")
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["screenshot"] and len(words) == 2:
            shell_call(bus, "/org/gnome/Shell/Screenshot", "org.gnome.Shell.Screenshot",
                       "Screenshot", GLib.Variant("(bbs)", (False, False, words[1])), "(bs)")
        elif words[:1] == ["click"] and len(words) == 4:
            x, y, count = (int(word) for word in words[1:])
            # Without a screen cast there is only relative motion: to the lower right corner
            # first (the upper left one would open the overview).
            for dx, dy in ((10000, 10000), (x - width + 1, y - height + 1)):
                call(session, interface, "NotifyPointerMotionRelative",
                     GLib.Variant("(dd)", (dx, dy)))
            for _ in range(count):
                for pressed in (True, False):
                    call(session, interface, "NotifyPointerButton",
                         GLib.Variant("(ib)", (0x110, pressed)))  # BTN_LEFT
                    time.sleep(0.03)
        else:
            print(f"gnome_shell.py: not understood: {line.strip()}", file=sys.stderr)
            return 2
        print("ok", flush=True)
    call(session, interface, "Stop")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
