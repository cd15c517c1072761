"""A desktop notification service for the e2e bus: owns
org.freedesktop.Notifications, appends each Notify call as a JSON line
{"app", "summary", "body"} to the file named in argv[1], and prints "ready"
once it owns the name. Needs the system's Python (GObject introspection)."""
import json
import sys

from gi.repository import Gio, GLib

XML = """<node><interface name="org.freedesktop.Notifications">
<method name="GetCapabilities"><arg direction="out" type="as"/></method>
<method name="Notify"><arg direction="in" type="s"/><arg direction="in" type="u"/>
<arg direction="in" type="s"/><arg direction="in" type="s"/><arg direction="in" type="s"/>
<arg direction="in" type="as"/><arg direction="in" type="a{sv}"/><arg direction="in" type="i"/>
<arg direction="out" type="u"/></method>
<method name="CloseNotification"><arg direction="in" type="u"/></method>
<method name="GetServerInformation"><arg direction="out" type="s"/><arg direction="out" type="s"/>
<arg direction="out" type="s"/><arg direction="out" type="s"/></method>
</interface></node>"""

record = sys.argv[1]
shown = 0


def call(connection, sender, path, interface, method, args, invocation):
    global shown
    if method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["body", "actions"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("e2e", "zormak", "1", "1.2")))
    elif method == "Notify":
        app, _, _, summary, body = args.unpack()[:5]
        with open(record, "a", encoding="utf-8") as f:
            f.write(json.dumps({"app": app, "summary": summary, "body": body}) + "\n")
        shown += 1
        invocation.return_value(GLib.Variant("(u)", (shown,)))
    else:
        invocation.return_value(None)


def acquired(connection, name):
    print("ready", flush=True)


def bus_acquired(connection, name):
    info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    connection.register_object("/org/freedesktop/Notifications", info, call, None, None)


Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.Notifications", Gio.BusNameOwnerFlags.NONE,
                 bus_acquired, acquired, lambda *a: sys.exit(1))
GLib.MainLoop().run()
