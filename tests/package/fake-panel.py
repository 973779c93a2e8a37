#!/usr/bin/python3
"""A desktop panel's side of the tray, on a private session bus: owns the name
org.kde.StatusNotifierWatcher, waits for a tray item to register and chooses one entry of its
menu as a click does, then exits (0 when the item took the click).
Usage: fake-panel.py BUS_ADDRESS MENU_ID [SECONDS]"""
import sys

from gi.repository import Gio, GLib

WATCHER = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
<signal name="StatusNotifierHostRegistered"/>
</interface></node>"""

address, menu_id = sys.argv[1], int(sys.argv[2])
seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 10
bus = Gio.DBusConnection.new_for_address_sync(
    address,
    Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
    None, None)
loop = GLib.MainLoop()
outcome = {"status": 1, "items": []}


def clicked(conn, result, _):
    try:
        conn.call_finish(result)
        outcome["status"] = 0
    except GLib.Error as e:
        print("fake-panel: the click failed:", e.message, file=sys.stderr)
    loop.quit()


def on_call(conn, sender, path, interface, method, params, invocation):
    if method == "RegisterStatusNotifierItem":
        outcome["items"].append(params.unpack()[0])
        invocation.return_value(None)
        # The menu of the item that registered, at the path the item announces.
        conn.call(sender, "/MenuBar", "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (menu_id, "clicked", GLib.Variant("i", 0), 0)),
                  None, Gio.DBusCallFlags.NONE, 5000, None, clicked, None)
    else:
        invocation.return_value(None)


def on_get(conn, sender, path, interface, name):
    return {"IsStatusNotifierHostRegistered": GLib.Variant("b", True),
            "ProtocolVersion": GLib.Variant("i", 0),
            "RegisteredStatusNotifierItems": GLib.Variant("as", outcome["items"])}[name]


info = Gio.DBusNodeInfo.new_for_xml(WATCHER).interfaces[0]
bus.register_object("/StatusNotifierWatcher", info, on_call, on_get, None)
reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "RequestName", GLib.Variant("(su)", ("org.kde.StatusNotifierWatcher", 4)),
                      None, Gio.DBusCallFlags.NONE, 5000, None)
if reply.unpack()[0] != 1:
    sys.exit("fake-panel: org.kde.StatusNotifierWatcher is taken")


def timed_out():
    print("fake-panel: no tray item registered in %d s" % seconds, file=sys.stderr)
    loop.quit()


GLib.timeout_add_seconds(seconds, timed_out)
loop.run()
sys.exit(outcome["status"])
