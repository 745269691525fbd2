"""The launcher on the desktop stack, driven the ways a desktop drives it: its tray item called as tray hosts call it,
its D-Bus menus and actions, a second launch, and the whole road into a real browser. Real tray hosts show and use the
item in tests/interop; faults, signals and the alert are test_faults.py's table.

    test_launcher.py Class.test_name     one test on a desktop of its own
"""

import os
import shutil
import time
import unittest

from desktop import APP_ID, OPEN, QUIT, Desktop, Gio, GLib, read_lines, wait_for


class Tray(Desktop):
    def test_answers_every_call_a_host_makes(self):
        """What the panels in tests/interop do not ask or show: a shortcut, other hosts' calls, ids of no entry."""
        desktop = self.desktop
        desktop.start('echo "порт 7000"; idle')
        desktop.open_once_port_is_known(lambda: desktop.tray_click(OPEN))
        call, item, empty = desktop.tray_call, desktop.item_call, GLib.Variant("s", "")
        entry = {"enabled": True, "visible": True}
        bad_args, too_many = "org.freedesktop.DBus.Error.InvalidArgs", "org.freedesktop.DBus.Error.LimitsExceeded"
        calls = [
            ("the layout: no shortcuts in a tray", lambda: call("GetLayout", "(iias)", 0, -1, [])[1],
             (0, {"children-display": "submenu"}, [(1, dict(entry, label=OPEN), []), (2, {"type": "separator"}, []),
                                                   (3, dict(entry, label=QUIT), [])])),
            ("labels only, under the root alone", lambda: call("GetLayout", "(iias)", 0, 0, ["label"])[1], (0, {}, [])),
            ("under an item", lambda: call("GetLayout", "(iias)", 3, -1, [])[1], (3, dict(entry, label=QUIT), [])),
            ("under no item", lambda: call("GetLayout", "(iias)", 4, -1, []), bad_args),
            ("group properties, each id once however often asked",
             lambda: call("GetGroupProperties", "(aias)", [3, 99] * 500, ["label"] * 500), ([(3, {"label": QUIT})],)),
            # Nothing a desktop sends is near so large; GLib's menu exporter would answer each copy.
            ("a call larger than any host makes", lambda: call("GetGroupProperties", "(aias)", [3] * 200000, []), too_many),
            ("the main menu, a group asked for 2,000 times", lambda: desktop.call(
                APP_ID, "/org/quillary/Quillary/menus/menubar", "org.gtk.Menus", "Start", GLib.Variant("(au)", ([0] * 2000,))),
             too_many),
            ("a property of no item", lambda: call("GetProperty", "(is)", 9, "label"), bad_args),
            ("about to show a group", lambda: call("AboutToShowGroup", "(ai)", [0, 9]), ([], [9])),
            ("an event for no item", lambda: call("Event", "(isvu)", 9, "clicked", empty, 0), bad_args),
            ("an event group: one gesture, each action once", lambda: call(
                "EventGroup", "(a(isvu))", [(1, "clicked", empty, 0), (42, "clicked", empty, 0)] * 500), ([42],)),
            # The left click of LXQt, MATE, Cinnamon and Plasma: the first entry's open. Their menus are on the right.
            ("Activate", lambda: item("Activate", "(ii)", 0, 0), ()),
            ("the middle click", lambda: item("SecondaryActivate", "(ii)", 0, 0), "org.freedesktop.DBus.Error.NotSupported"),
            # MATE's applet shows a label, the empty one too, in place of the icon.
            ("no label beside the icon", lambda: [name for name in item("GetAll", "(s)", "org.kde.StatusNotifierItem",
                                                                       interface="org.freedesktop.DBus.Properties")[0]
                                                  if "Label" in name], []),
        ]
        for what, make, expected in calls:
            with self.subTest(what):
                if isinstance(expected, str):
                    with self.assertRaises(GLib.Error) as raised:
                        make()
                    self.assertEqual(Gio.DBusError.get_remote_error(raised.exception), expected)
                else:
                    self.assertEqual(make(), expected)
        # Of all those calls only the event group's clicks and Activate open anything, once each.
        self.assertEqual(desktop.settled_opens(3), ["http://localhost:7000"] * 3)
        if not os.environ.get("QUILLARY_SANITIZE"):
            self.assertLess(desktop.peak_kb(), 16 * 1024, "peak resident memory, in KiB")


class Open(Desktop):
    def main_menu(self):
        def start():  # the name is taken before the launch, the menus exported during it
            try:
                return self.desktop.call(APP_ID, "/org/quillary/Quillary/menus/menubar", "org.gtk.Menus", "Start",
                                         GLib.Variant("(au)", ([0, 1, 2, 3],)), "(a(uuaa{sv}))")
            except GLib.Error:
                return None
        menus = {(group, menu): items for group, menu, items in wait_for(start, what="the menus").unpack()[0]}
        (top,) = menus[(0, 0)]
        return [[(i["label"], i["action"], i["accel"]) for i in menus[section[":section"]]]
                for section in menus[top[":submenu"]]]

    def test_every_road_opens_the_interface(self):
        desktop = self.desktop
        desktop.start('echo "веб-интерфейс слушает порт 4242"; idle')
        self.assertEqual(self.main_menu(), [[(OPEN, "app.open", "<Primary>o")], [(QUIT, "app.quit", "<Primary>q")]])
        roads = {"the main menu": lambda: desktop.activate_action("open"),
                 "the tray": lambda: desktop.tray_click(OPEN),
                 "a second launch": lambda: self.assertEqual(desktop.launch_again(["--ключ", "file.txt"]), 0)}
        for what, road in roads.items():
            with self.subTest(what):
                self.assertEqual(desktop.open_once_port_is_known(road), "http://localhost:4242")
        maps = "\n".join(read_lines(f"/proc/{desktop.launcher.pid}/maps"))
        self.assertIn("libgio-2.0", maps, "the check reads the launcher")
        self.assertNotIn("libgtk", maps, "GTK is loaded only for the alert")
        desktop.tray_click(QUIT)
        self.assertEqual((desktop.wait_exit()[0], desktop.terms()), (0, 1))
        # The server's life, for a user who asks why it does not start.
        self.assertRegex(desktop.debug_log(), r"quillary-DEBUG[^\n]*: server started: \S+/quillary-bin, PID [0-9]+\n"
                         r"(.*\n)*.*: port learned: 4242\n(.*\n)*.*: sending SIGTERM to the server, then waiting at most 1500 ms\n"
                         r"(.*\n)*.*: server ended with status 0\n")


class Activation(Desktop):
    def test_each_open_hands_the_browser_its_own_activation_once(self):
        """What reaches the browser's environment by each road, where no X display is (test_focus.py: what it makes
        of it). The launcher's own token is for its own start, and never the browser's."""
        desktop = self.desktop
        desktop.set_browser(f"/bin/sh -c 'echo \"$XDG_ACTIVATION_TOKEN|$DESKTOP_STARTUP_ID\" >> {desktop.urls}' b %u")
        desktop.start('echo "порт 4242"; idle', env={"DISPLAY": "", "XDG_ACTIVATION_TOKEN": "own", "DESKTOP_STARTUP_ID": "own"})
        provide = lambda token: desktop.item_call("ProvideXdgActivationToken", "(s)", token)
        rows = [("no token: neither variable", lambda: desktop.activate_action("open"), "|"),
                ("an action's token", lambda: desktop.activate_action("open", "a"), "a|a"),
                ("a second launch's token, on the bus", lambda: desktop.launch_again(env={"XDG_ACTIVATION_TOKEN": "t"}), "t|t"),
                ("a second launch's startup ID", lambda: desktop.launch_again(env={"DESKTOP_STARTUP_ID": "s"}), "s|s"),
                ("the tray host's latest token", lambda: (provide("old"), provide("k"), desktop.tray_click(OPEN)), "k|k"),
                ("the tray's next open: its token used", lambda: desktop.tray_click(OPEN), "|"),
                ("a token is kept 30 s, no longer", lambda: (provide("late"), time.sleep(31), desktop.tray_click(OPEN)), "|")]
        for what, road, expected in rows:
            with self.subTest(what):
                self.assertEqual(desktop.open_once_port_is_known(road), expected)

    def test_on_x11_every_startup_sequence_given_ends(self):
        """The launcher's own, and a second launch's that opened nothing (no port yet): no busy cursor is left."""
        from Xlib import X, display
        x = display.Display(self.desktop.display)
        self.addCleanup(x.close)
        x.screen().root.change_attributes(event_mask=X.PropertyChangeMask)  # where startup messages go
        x.sync()
        self.desktop.start("idle", env={"DESKTOP_STARTUP_ID": "own_TIME1"})
        self.assertEqual(self.desktop.launch_again(env={"DESKTOP_STARTUP_ID": 'a "quoted" one'}), 0)
        sent = []

        def removed():  # the startup messages sent so far
            while x.pending_events():
                event = x.next_event()
                sent.append(bytes(event.data[1]) if event.type == X.ClientMessage else b"")
            return [m.decode() for m in b"".join(sent).split(b"\0") if m]
        self.assertEqual(wait_for(lambda: len(removed()) == 2 and removed()),
                         ['remove: ID="own_TIME1"', r'remove: ID="a \"quoted\" one"'])


CHROMIUM = ("chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
            "--disable-component-update --disable-sync --disable-quic --window-size=1024,768")


class BrowserRoad(Desktop):
    def test_tray_opens_the_sample_page_in_the_default_browser(self):
        desktop = self.desktop
        run = desktop.path("run")  # where the one open renders; "status" comes last
        with open(desktop.path("browser"), "w") as f:
            f.write(f"""#!/bin/sh
mkdir {run}
echo "$1" >> {desktop.urls}
HOME={run} {CHROMIUM} --user-data-dir={run}/profile --dump-dom --screenshot={run}/shot.png "$1" >{run}/dom 2>{run}/log
echo $? > {run}/status
""")
        os.chmod(desktop.path("browser"), 0o755)
        desktop.set_browser(desktop.path("browser") + " %u")
        desktop.start(os.environ["QUILLARY_SAMPLE_SERVER"], env={"QUILLARY_APP": "0"})
        url = desktop.open_once_port_is_known(lambda: desktop.tray_click(OPEN))
        wait_for(lambda: os.path.exists(os.path.join(run, "status")), timeout=60, what="Chromium to render the page")

        def read(name):
            with open(os.path.join(run, name), encoding="utf-8", errors="replace") as f:
                return f.read()

        os.makedirs(os.environ["QUILLARY_ARTIFACTS_DIR"], exist_ok=True)
        shutil.copyfile(os.path.join(run, "shot.png"),
                        os.path.join(os.environ["QUILLARY_ARTIFACTS_DIR"], "browser-road.png"))
        self.assertRegex(url, r"\Ahttp://localhost:[1-9][0-9]{0,4}\Z")
        self.assertEqual(read("status"), "0\n", read("log")[-3000:])
        dom = read("dom")
        self.assertIn("<title>Quillary</title>", dom)
        # The launcher's own QUILLARY_APP=1 wins over a stale value.
        self.assertIn("Сервер запущен лаунчером Quillary", dom)
        desktop.tray_click(QUIT)
        self.assertEqual(desktop.wait_exit()[0], 0)


if __name__ == "__main__":
    unittest.main()
