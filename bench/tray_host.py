"""The benchmark's tray host, a stand-in for one, so that the item's
registration is timed without a panel's own work in the figure: the
StatusNotifierWatcher that tray items register with (a bus name, the item
then at /StatusNotifierItem, or an object path on the caller's connection),
and a client that reads and clicks what registered, as a host does. It
answers only while the bench waits on it (wait_for_item), or (serve) always,
as the desktop tests' watcher whose host comes and goes. D-Bus errors are
raised as GLib.Error; a wait that times out, as TimeoutError.
"""

import os
import re
import sys
import threading
import time
from contextlib import contextmanager

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
ITEM_PATH = "/StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"
DEFAULT_TIMEOUT = 10.0

_WATCHER_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>
"""


def scaled(seconds):
    """`seconds` times QUILLARY_TEST_TIMEOUT_FACTOR."""
    return seconds * float(os.environ.get("QUILLARY_TEST_TIMEOUT_FACTOR") or 1)


def _milliseconds(timeout):
    return int(scaled(DEFAULT_TIMEOUT if timeout is None else timeout) * 1000)


class TrayHost:
    def __init__(self, address, host=True):
        """`host`: whether it says that a host is registered (set_host changes it); None: it cannot say, having no
        such property."""
        self.registrations = []
        self.host, self.host_asked = host, 0
        self._loop = None
        # A context of its own: the host's callbacks run exactly when a test
        # waits on it, and never inside some other main loop of the test.
        self._context = GLib.MainContext.new()
        self.connection = Gio.DBusConnection.new_for_address_sync(
            address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)
        xml = _WATCHER_XML if host is not None else re.sub(r".*IsStatusNotifierHostRegistered.*\n", "", _WATCHER_XML)
        info = Gio.DBusNodeInfo.new_for_xml(xml).interfaces[0]
        with self._serving():
            self._registration = self.connection.register_object(
                WATCHER_PATH, info, self._on_call, self._on_get_property, None)
        # Owned before the constructor returns, so that a test knows the
        # tray is there when it starts the program.
        (reply,) = self._bus_call("RequestName", "(su)", WATCHER, 4)  # DO_NOT_QUEUE
        if reply != 1:
            raise RuntimeError(f"{WATCHER} is taken on this bus")

    def wait_until(self, predicate, timeout=None):
        deadline = time.monotonic() + _milliseconds(timeout) / 1000
        while True:
            value = predicate()
            if value:
                return value
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"the tray host waited {_milliseconds(timeout)} ms in vain")
            timer = GLib.Timeout(max(1, int(remaining * 1000)))
            timer.set_callback(lambda *_: GLib.SOURCE_REMOVE)
            timer.attach(self._context)
            self._context.iteration(True)
            timer.destroy()

    def wait_for_item(self, count=1, timeout=None):
        # And the item's question whether a host is registered answered, which
        # would otherwise time out in the launcher while the bench measures.
        self.wait_until(lambda: len(self.registrations) >= count and (self.host is None or self.host_asked >= count),
                        timeout)
        return self.registrations[count - 1]

    def serve(self):
        """Answers from now on, on a thread of its own, whether or not anyone waits on it."""
        self._loop = GLib.MainLoop(self._context)
        threading.Thread(target=self._loop.run, daemon=True).start()

    def set_host(self, registered):
        self.host = registered
        self.connection.emit_signal(None, WATCHER_PATH, WATCHER,
                                    "StatusNotifierHost" + ("Registered" if registered else "Unregistered"), None)

    def close(self):
        if self._loop:
            self._loop.quit()
        if self.connection.is_closed():
            return
        self.connection.unregister_object(self._registration)
        # Released before the connection goes, so that a host started right
        # after this one can take the name at once. A connection that the
        # bus has closed meanwhile has lost the name already.
        try:
            self._bus_call("ReleaseName", "(s)", WATCHER)
            self.connection.close_sync(None)
        except GLib.Error as error:
            if not self.connection.is_closed():
                raise
            print(f"tray host: the connection closed first ({error.message})", file=sys.stderr)

    @contextmanager
    def _serving(self):
        """GDBus delivers to the thread-default context at subscription time."""
        self._context.push_thread_default()
        try:
            yield
        finally:
            self._context.pop_thread_default()

    def _bus_call(self, method, signature, *args):
        return self.connection.call_sync(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
            GLib.Variant(signature, args), None, Gio.DBusCallFlags.NONE, _milliseconds(None), None).unpack()

    def _on_call(self, connection, sender, path, interface, method, parameters, invocation):
        if method == "RegisterStatusNotifierHost":
            invocation.return_value(None)
            return
        (service,) = parameters.unpack()
        if service.startswith("/"):
            item = TrayItem(self, sender, service)
        else:
            item = TrayItem(self, service, ITEM_PATH)
        self.registrations.append(item)
        invocation.return_value(None)
        connection.emit_signal(None, WATCHER_PATH, WATCHER, "StatusNotifierItemRegistered",
                               GLib.Variant("(s)", (item.bus_name + item.object_path,)))

    def _on_get_property(self, connection, sender, path, interface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", [item.bus_name + item.object_path for item in self.registrations])
        if name == "IsStatusNotifierHostRegistered":
            self.host_asked += 1
            return GLib.Variant("b", self.host)
        if name == "ProtocolVersion":
            return GLib.Variant("i", 0)
        return None


class TrayItem:
    def __init__(self, host, bus_name, object_path):
        self.host = host
        self.bus_name = bus_name
        self.object_path = object_path

    def get(self, name):
        return self._call(self.object_path, "org.freedesktop.DBus.Properties", "Get",
                          "(ss)", (ITEM_INTERFACE, name))[0]

    def call(self, method, signature=None, *args):
        return self._call(self.object_path, ITEM_INTERFACE, method, signature, args)

    def menu_get(self, name):
        return self._call(self.get("Menu"), "org.freedesktop.DBus.Properties", "Get",
                          "(ss)", (MENU_INTERFACE, name))[0]

    def menu_call(self, method, signature=None, *args):
        return self._call(self.get("Menu"), MENU_INTERFACE, method, signature, args)

    def layout(self, parent=0, depth=-1, names=()):
        return self.menu_call("GetLayout", "(iias)", parent, depth, list(names))

    def labels(self):
        return [label for _, label in self._entries()]

    def click(self, label):
        for item_id, shown in self._entries():
            if shown == label:
                self.menu_call("Event", "(isvu)", item_id, "clicked", GLib.Variant("s", ""), 0)
                return
        raise LookupError(f"no menu entry {label!r} in {self.labels()}")

    def _entries(self):
        """(id, label as shown) of the top-level entries."""
        _, (_, _, children) = self.layout(0, 1, ["type", "label"])
        entries = []
        for item_id, properties, _ in children:
            if properties.get("type") == "separator":
                entries.append((item_id, "-"))
            else:
                # "__" shows as "_"; a single "_" marks the access key and is not shown.
                entries.append((item_id, re.sub(r"_(_?)", r"\1", properties.get("label", ""))))
        return entries

    def _call(self, path, interface, method, signature, args):
        reply = self.host.connection.call_sync(
            self.bus_name, path, interface, method, GLib.Variant(signature, tuple(args)) if signature else None,
            None, Gio.DBusCallFlags.NO_AUTO_START, _milliseconds(None), None)
        return reply.unpack() if reply else ()
