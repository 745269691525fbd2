"""The tray item (platform/linux/status_notifier_item.*, dbus_menu.*) as a tray
host sees it: the driver program sets it up as the launcher does, on a bus of
the test's own, and tray_host.py plays the host.

The driver's path comes from QUILLARY_TRAY_ITEM_DRIVER.
"""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tray_host  # noqa: E402
from tray_host import Gio, GLib, TrayHost, scaled  # noqa: E402

DRIVER = os.environ.get("QUILLARY_TRAY_ITEM_DRIVER", "")
OPEN = "Открыть Quillary"
QUIT = "Выйти из Quillary"
ICON_SVG = ('<svg xmlns="http://www.w3.org/2000/svg" width="16" height="16">'
            '<circle cx="8" cy="8" r="7" fill="none" stroke="#000"/></svg>\n')
INVALID_ARGS = "org.freedesktop.DBus.Error.InvalidArgs"
NOT_SUPPORTED = "org.freedesktop.DBus.Error.NotSupported"


def read_line(fd, timeout=10.0):
    """One line from a descriptor, without its line feed; TimeoutError if none comes."""
    deadline = time.monotonic() + scaled(timeout)
    line = b""
    while not line.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
            raise TimeoutError(f"no line within {scaled(timeout)} s (so far {line!r})")
        byte = os.read(fd, 1)
        if not byte:
            raise EOFError(f"the stream ended (so far {line!r})")
        line += byte
    return line[:-1].decode()


class PrivateBus:
    """A dbus-daemon of the test's own, with no services to start. With
    sandboxed=True it lets nobody own a name but the tray's watcher, as a
    sandbox's bus proxy refuses an application the item's well-known name."""

    def __init__(self, directory, sandboxed=False):
        config = os.path.join(directory, "bus.conf")
        owners = f'<allow own="{tray_host.WATCHER}"/>' if sandboxed else '<allow own="*"/>'
        with open(config, "w") as file:
            file.write(f"""<busconfig>
  <type>session</type>
  <listen>unix:dir={directory}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <deny own="*"/>
    {owners}
  </policy>
</busconfig>
""")
        self.process = subprocess.Popen(
            ["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        self.address = read_line(self.process.stdout.fileno())
        self.connection = Gio.DBusConnection.new_for_address_sync(
            self.address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)

    def call(self, name, path, interface, method, signature=None, *args):
        return self.connection.call_sync(
            name, path, interface, method, GLib.Variant(signature, args) if signature else None, None,
            Gio.DBusCallFlags.NO_AUTO_START, int(scaled(10) * 1000), None).unpack()

    def wait_for_name(self, name, timeout=10.0):
        """Waits until `name` has an owner, watching the bus's announcements."""
        context = GLib.MainContext.new()
        context.push_thread_default()
        appeared = []
        watch = Gio.bus_watch_name_on_connection(
            self.connection, name, Gio.BusNameWatcherFlags.NONE, lambda *_: appeared.append(True), None)
        context.pop_thread_default()
        timer = GLib.Timeout(int(scaled(timeout) * 1000))
        timer.set_callback(lambda *_: appeared.append(False))
        timer.attach(context)
        try:
            while not appeared:
                context.iteration(True)
        finally:
            timer.destroy()
            Gio.bus_unwatch_name(watch)
        if not appeared[0]:
            raise TimeoutError(f"{name} did not appear on the bus")

    def close(self):
        self.connection.close_sync(None)
        self.process.terminate()
        self.process.wait(scaled(10))
        self.process.stdout.close()


class Driver:
    """The tray item driver (tests/tray_item_driver.cc) on the given bus, with
    its icon in `icon_directory`. With stdin=subprocess.PIPE its quit action
    keeps the main thread until a line is written to process.stdin."""

    def __init__(self, address, icon_directory, *extra_title, stdin=subprocess.DEVNULL):
        environment = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address)
        self.process = subprocess.Popen([DRIVER, icon_directory, *extra_title], env=environment,
                                        stdin=stdin, stdout=subprocess.PIPE, bufsize=0)
        self.bus_name = f"org.kde.StatusNotifierItem-{self.process.pid}-1"

    def next_action(self):
        return read_line(self.process.stdout.fileno())

    def stop(self):
        """Ends it as a session does; its exit status (ASan reports make it non-zero)."""
        if self.process.stdin:
            self.process.stdin.close()
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(scaled(10))
        finally:
            self.process.stdout.close()


class TrayItemTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.access(DRIVER, os.X_OK), "QUILLARY_TRAY_ITEM_DRIVER names the driver")
        self.directory = tempfile.mkdtemp(prefix="quillary-tray-")
        self.addCleanup(shutil.rmtree, self.directory, True)
        self.icons = os.path.join(self.directory, "icons")
        self.icon = os.path.join(self.icons, "hicolor/scalable/apps/quillary-symbolic.svg")
        os.makedirs(os.path.dirname(self.icon))
        with open(self.icon, "w") as file:
            file.write(ICON_SVG)
        self.bus = PrivateBus(self.directory)
        self.addCleanup(lambda: self.bus.close())  # the bus of the moment

    def host(self, **options):
        host = TrayHost(self.bus.address, **options)
        self.addCleanup(host.close)
        return host

    def start_driver(self, *extra_title, **options):
        driver = Driver(self.bus.address, self.icons, *extra_title, **options)
        # Checked after the test's own cleanups, which may need the driver.
        self.addCleanup(lambda: self.assertEqual(driver.stop(), 0, "the driver's exit status"))
        return driver

    def assertDBusError(self, name, call, *args):
        with self.assertRaises(GLib.Error) as raised:
            call(*args)
        self.assertEqual(Gio.DBusError.get_remote_error(raised.exception), name, raised.exception.message)

    def item(self, *extra_title, **options):
        """The driver's item, registered with a tray that was there first."""
        self.tray = self.host()
        self.driver = self.start_driver(*extra_title, **options)
        return self.tray.wait_for_item()


class Registration(TrayItemTest):
    def assertOurs(self, item, driver):
        self.assertEqual(item.bus_name, driver.bus_name, "the well-known name, <pid>-1")
        self.assertEqual(item.object_path, "/StatusNotifierItem")
        self.assertEqual(item.get("Id"), "quillary", "the name leads to the item")

    def test_with_a_watcher_there_before_the_item(self):
        host = self.host()
        driver = self.start_driver()
        item = host.wait_for_item()
        self.assertOurs(item, driver)
        self.assertEqual(host.items, [item])
        self.assertEqual(driver.stop(), 0, "the exit status")
        host.wait_until(lambda: not host.items)

    def test_with_a_watcher_that_appears_after_the_item(self):
        driver = self.start_driver()
        self.bus.wait_for_name(driver.bus_name)
        # An answer from the item comes after the bus has answered the item's
        # own question whether a watcher is there: the watcher is late for sure.
        self.bus.call(driver.bus_name, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                      "(ss)", "org.kde.StatusNotifierItem", "Id")
        host = self.host()
        self.assertOurs(host.wait_for_item(), driver)

    def test_again_when_the_watcher_restarts(self):
        first = self.host()
        driver = self.start_driver()
        first.wait_for_item()
        first.close()
        second = self.host()
        self.assertOurs(second.wait_for_item(), driver)

    def test_a_refused_registration_is_not_fatal(self):
        refusing = self.host(accept=False)
        driver = self.start_driver()
        refused = refusing.wait_for_item()
        self.assertFalse(refusing.items)
        self.assertEqual(refused.labels(), [OPEN, "-", QUIT], "the item goes on serving")
        refusing.close()
        accepting = self.host()
        self.assertOurs(accepting.wait_for_item(), driver)

    def test_by_the_unique_name_where_the_well_known_name_is_refused(self):
        self.bus.close()
        self.bus = PrivateBus(self.directory, sandboxed=True)
        host = self.host()
        driver = self.start_driver()
        item = host.wait_for_item()
        self.assertEqual((item.bus_name, item.object_path), (item.sender, "/StatusNotifierItem"))
        self.assertEqual(item.get("Id"), "quillary", "the name leads to the item")
        self.assertEqual(driver.stop(), 0, "the exit status")

    def test_the_host_takes_an_object_path_on_the_callers_connection(self):
        host = self.host()
        # Not waited for here: the host answers only while the test waits on it.
        self.bus.connection.call(tray_host.WATCHER, tray_host.WATCHER_PATH, tray_host.WATCHER,
                                 "RegisterStatusNotifierItem", GLib.Variant("(s)", ("/Elsewhere/Item",)),
                                 None, Gio.DBusCallFlags.NONE, -1, None, None)
        item = host.wait_for_item()
        self.assertEqual((item.bus_name, item.object_path),
                         (self.bus.connection.get_unique_name(), "/Elsewhere/Item"))

    def test_destroying_the_item_takes_it_off_the_bus(self):
        item = self.item()
        self.driver.process.send_signal(signal.SIGUSR2)
        self.assertEqual(self.driver.next_action(), "destroyed")
        self.tray.wait_until(lambda: not self.tray.items)
        # Asked of the connection, which stays: the objects are gone from it.
        for path, interface in [("/StatusNotifierItem", tray_host.ITEM_INTERFACE),
                                ("/MenuBar", tray_host.MENU_INTERFACE)]:
            with self.subTest(path=path):
                self.assertDBusError("org.freedesktop.DBus.Error.UnknownMethod", self.bus.call, item.sender, path,
                                     "org.freedesktop.DBus.Properties", "GetAll", "(s)", interface)


class ItemProperties(TrayItemTest):
    def expected(self, **changes):
        properties = {
            "Category": "ApplicationStatus",
            "Id": "quillary",
            "Title": "Quillary",
            "Status": "Active",
            "WindowId": 0,
            "ItemIsMenu": True,
            "Menu": "/MenuBar",
            "IconName": "quillary-symbolic",
            "IconThemePath": self.icons,
            "IconPixmap": [],
            "OverlayIconName": "",
            "OverlayIconPixmap": [],
            "AttentionIconName": "",
            "AttentionIconPixmap": [],
            "AttentionMovieName": "",
            "ToolTip": ("", [], "Quillary", ""),
            "XAyatanaLabel": "",
            "XAyatanaLabelGuide": "",
        }
        properties.update(changes)
        return properties

    def assertProperties(self, item, expected, case):
        everything = item.properties()
        self.assertEqual(sorted(everything), sorted(expected), f"{case}: GetAll has every property")
        for name, value in expected.items():
            with self.subTest(case=case, property=name):
                self.assertEqual(everything[name], value, "GetAll")
                self.assertEqual(item.get(name), value, "Get")

    def test_with_the_icon(self):
        self.assertProperties(self.item(), self.expected(), "with the icon")

    def test_without_the_icon(self):
        no_icon = self.expected(IconName="", IconThemePath="", XAyatanaLabel="Quillary",
                                XAyatanaLabelGuide="Quillary")
        cases = [
            ("the file is missing", lambda: os.remove(self.icon)),
            ("a directory in the file's place", lambda: (os.remove(self.icon), os.mkdir(self.icon))),
            ("the directory is missing", lambda: shutil.rmtree(self.icons)),
        ]
        for case, remove_icon in cases:
            if os.path.isdir(self.icons):
                shutil.rmtree(self.icons)
            os.makedirs(os.path.dirname(self.icon))
            with open(self.icon, "w") as file:
                file.write(ICON_SVG)
            remove_icon()
            host = self.host()
            driver = Driver(self.bus.address, self.icons)
            try:
                self.assertProperties(host.wait_for_item(), no_icon, case)
            finally:
                self.assertEqual(driver.stop(), 0, f"{case}: the driver's exit status")
                host.close()

    def test_the_unused_methods_act_on_nothing(self):
        item = self.item()
        cases = [
            ("Activate", "(ii)", (10, 20), NOT_SUPPORTED),
            ("SecondaryActivate", "(ii)", (10, 20), NOT_SUPPORTED),
            ("ContextMenu", "(ii)", (10, 20), NOT_SUPPORTED),
            ("Scroll", "(is)", (120, "vertical"), None),
            ("Scroll", "(is)", (-120, "horizontal"), None),
        ]
        for method, signature, args, error in cases:
            with self.subTest(method=method, args=args):
                if error:
                    self.assertDBusError(error, item.call, method, signature, *args)
                else:
                    self.assertEqual(item.call(method, signature, *args), ())
        # Actions run in the order of the calls: had any of those taken one,
        # it would come before this.
        item.click(OPEN)
        self.assertEqual(self.driver.next_action(), "openUI")


class Menu(TrayItemTest):
    ROOT = {"children-display": "submenu"}
    OPEN_ITEM = {"label": OPEN, "enabled": True, "visible": True}
    SEPARATOR = {"type": "separator"}
    QUIT_ITEM = {"label": QUIT, "enabled": True, "visible": True}

    def test_menu_properties(self):
        item = self.item()
        cases = [("Version", 3), ("TextDirection", "ltr"), ("Status", "normal"), ("IconThemePath", [])]
        for name, value in cases:
            with self.subTest(property=name):
                self.assertEqual(item.menu_get(name), value)
        self.assertEqual(item.get("Menu"), "/MenuBar")

    def test_get_layout(self):
        item = self.item()
        full = (0, self.ROOT, [(1, self.OPEN_ITEM, []), (2, self.SEPARATOR, []), (3, self.QUIT_ITEM, [])])
        cases = [
            ("everything", (0, -1, []), full),
            ("one level", (0, 1, []), full),
            ("the root alone", (0, 0, []), (0, self.ROOT, [])),
            ("only labels", (0, -1, ["label"]),
             (0, {}, [(1, {"label": OPEN}, []), (2, {}, []), (3, {"label": QUIT}, [])])),
            ("two properties", (0, -1, ["type", "children-display"]),
             (0, self.ROOT, [(1, {}, []), (2, self.SEPARATOR, []), (3, {}, [])])),
            ("an unknown property", (0, -1, ["x-nothing"]), (0, {}, [(1, {}, []), (2, {}, []), (3, {}, [])])),
            ("under an item", (3, -1, []), (3, self.QUIT_ITEM, [])),
        ]
        revisions = set()
        for case, args, layout in cases:
            with self.subTest(case=case):
                revision, got = item.layout(*args)
                revisions.add(revision)
                self.assertEqual(got, layout)
        self.assertEqual(len(revisions), 1, "one revision while the menu stays")
        for parent in (4, -1, 1000):
            with self.subTest(parent=parent):
                self.assertDBusError(INVALID_ARGS, item.layout, parent)

    def test_get_group_properties(self):
        item = self.item()
        cases = [
            ("all items", [], [], [(0, self.ROOT), (1, self.OPEN_ITEM), (2, self.SEPARATOR), (3, self.QUIT_ITEM)]),
            ("some, some properties", [3, 1], ["label", "visible"],
             [(3, {"label": QUIT, "visible": True}), (1, {"label": OPEN, "visible": True})]),
            ("unknown ids are left out", [2, 99, -5], [], [(2, self.SEPARATOR)]),
            ("only unknown ids", [99], [], []),
            ("an unknown property", [0], ["x-nothing"], [(0, {})]),
        ]
        for case, ids, names, expected in cases:
            with self.subTest(case=case):
                self.assertEqual(item.menu_call("GetGroupProperties", "(aias)", ids, names), (expected,))

    def test_get_property(self):
        item = self.item()
        cases = [
            (0, "children-display", "submenu"),
            (1, "label", OPEN),
            (1, "enabled", True),
            (1, "visible", True),
            (2, "type", "separator"),
            (3, "label", QUIT),
        ]
        for item_id, name, value in cases:
            with self.subTest(id=item_id, name=name):
                self.assertEqual(item.menu_call("GetProperty", "(is)", item_id, name), (value,))
        for item_id, name in [(4, "label"), (-1, "label"), (1, "x-nothing"), (2, "label")]:
            with self.subTest(id=item_id, name=name, expect="error"):
                self.assertDBusError(INVALID_ARGS, item.menu_call, "GetProperty", "(is)", item_id, name)

    def test_clicks(self):
        item = self.item()
        for label, action in [(OPEN, "openUI"), (QUIT, "terminate"), (OPEN, "openUI")]:
            with self.subTest(label=label):
                item.click(label)
                self.assertEqual(self.driver.next_action(), action)

    def test_a_click_is_answered_before_its_action_runs(self):
        # The driver's quit keeps the main thread until told to go on, as the
        # launcher's keeps it for up to 1.5 s: a reply that came after the
        # action would not come at all.
        item = self.item(stdin=subprocess.PIPE)
        item.click(QUIT)
        self.assertEqual(self.driver.next_action(), "terminate")
        self.driver.process.stdin.write(b"\n")
        self.assertEqual(item.labels(), [OPEN, "-", QUIT], "serving again afterwards")

    def test_a_submenu_and_underscores(self):
        item = self.item("Snake_case")
        submenu = {"label": "Snake__case", "enabled": True, "visible": True, "children-display": "submenu"}
        command = {"label": "Snake__case", "enabled": True, "visible": True}
        top = [(1, self.OPEN_ITEM, []), (2, self.SEPARATOR, []), (3, self.QUIT_ITEM, [])]
        cases = [
            ("everything", (0, -1), (0, self.ROOT, top + [(4, submenu, [(5, command, [])])])),
            ("two levels", (0, 2), (0, self.ROOT, top + [(4, submenu, [(5, command, [])])])),
            ("one level", (0, 1), (0, self.ROOT, top + [(4, submenu, [])])),
            ("the submenu", (4, -1), (4, submenu, [(5, command, [])])),
            ("the submenu alone", (4, 0), (4, submenu, [])),
        ]
        for case, (parent, depth), layout in cases:
            with self.subTest(case=case):
                self.assertEqual(item.layout(parent, depth)[1], layout)
        self.assertEqual(item.labels(), [OPEN, "-", QUIT, "Snake_case"], "as a host shows them")
        self.assertEqual(item.menu_call("Event", "(isvu)", 4, "clicked", GLib.Variant("s", ""), 0), (),
                         "the submenu's own entry")
        self.assertEqual(item.menu_call("Event", "(isvu)", 5, "clicked", GLib.Variant("s", ""), 0), ())
        self.assertEqual(self.driver.next_action(), "openUI", "the command in the submenu, and only it")

    def test_events_that_do_nothing(self):
        item = self.item()
        empty = GLib.Variant("s", "")
        quiet = [
            ("a click on the separator", 2, "clicked"),
            ("a click on the root", 0, "clicked"),
            ("hovered", 1, "hovered"),
            ("opened", 0, "opened"),
            ("closed", 0, "closed"),
            ("a vendor's event", 3, "x-vendor-thing"),
        ]
        for case, item_id, event in quiet:
            with self.subTest(case=case):
                self.assertEqual(item.menu_call("Event", "(isvu)", item_id, event, empty, 0), ())
        for item_id in (4, -1):
            with self.subTest(case="unknown id", id=item_id):
                self.assertDBusError(INVALID_ARGS, item.menu_call, "Event", "(isvu)", item_id, "clicked", empty, 0)
        # Actions run in the order of the calls: had any of those taken one,
        # it would come before this.
        item.click(QUIT)
        self.assertEqual(self.driver.next_action(), "terminate")

    def test_event_group(self):
        item = self.item()
        empty = GLib.Variant("s", "")
        (errors,) = item.menu_call("EventGroup", "(a(isvu))",
                                   [(3, "clicked", empty, 0), (42, "clicked", empty, 0),
                                    (2, "clicked", empty, 0), (1, "clicked", empty, 0)])
        self.assertEqual(errors, [42], "the unknown id")
        self.assertEqual([self.driver.next_action(), self.driver.next_action()], ["terminate", "openUI"],
                         "the known ones, in order")
        self.assertEqual(item.menu_call("EventGroup", "(a(isvu))", []), ([],), "no events")
        self.assertDBusError(INVALID_ARGS, item.menu_call, "EventGroup", "(a(isvu))",
                             [(42, "clicked", empty, 0), (43, "hovered", empty, 0)])

    def test_about_to_show(self):
        item = self.item()
        for item_id in (0, 1, 2, 3):
            with self.subTest(id=item_id):
                self.assertEqual(item.menu_call("AboutToShow", "(i)", item_id), (False,), "nothing to update")
        self.assertDBusError(INVALID_ARGS, item.menu_call, "AboutToShow", "(i)", 4)
        cases = [([], ([], [])), ([0, 1, 2, 3], ([], [])), ([0, 9, 3, -2], ([], [9, -2]))]
        for ids, expected in cases:
            with self.subTest(ids=ids):
                self.assertEqual(item.menu_call("AboutToShowGroup", "(ai)", ids), expected)


class Changes(TrayItemTest):
    """What the item tells the tray when the launcher sets it up again (SIGUSR1)."""

    def test_losing_the_icon(self):
        item = self.item()
        revision, _ = item.layout()
        os.remove(self.icon)
        self.driver.process.send_signal(signal.SIGUSR1)
        self.assertEqual(item.wait_for_signal("NewIcon"), ())
        self.assertEqual((item.get("IconName"), item.get("IconThemePath")), ("", ""))
        self.assertEqual(item.wait_for_signal("XAyatanaNewLabel"), ("Quillary", "Quillary"))
        self.assertEqual(item.get("XAyatanaLabel"), "Quillary")
        new_revision, parent = item.wait_for_signal("LayoutUpdated")
        self.assertEqual(parent, 0, "the whole menu")
        self.assertGreater(new_revision, revision)
        self.assertEqual(item.layout()[0], new_revision, "GetLayout gives the announced revision")
        self.assertEqual(item.labels(), [OPEN, "-", QUIT])

    def test_gaining_the_icon(self):
        os.remove(self.icon)
        item = self.item()
        self.assertEqual(item.get("IconName"), "")
        with open(self.icon, "w") as file:
            file.write(ICON_SVG)
        self.driver.process.send_signal(signal.SIGUSR1)
        self.assertEqual(item.wait_for_signal("NewIcon"), ())
        self.assertEqual((item.get("IconName"), item.get("IconThemePath")), ("quillary-symbolic", self.icons))


if __name__ == "__main__":
    unittest.main(verbosity=2)
