"""The launcher on the desktop stack, driven the ways a desktop or a person
drives it: the tray protocol, D-Bus menus and actions, a second launch.
Faults, signals and the alert are test_faults.py's table.

    test_launcher.py Class.test_name     one test on a desktop of its own
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from desktop import APP_ID, OPEN, QUIT, Desktop, GdkPixbuf, GLib, scaled, wait_for  # noqa: E402
from tray_host import Gio  # noqa: E402


class Tray(Desktop):
    def test_item_as_designed_again_after_a_tray_restart_and_its_quit(self):
        desktop, first = self.desktop, self.tray()
        desktop.start('echo "порт 1"; idle')
        item = first.wait_for_item()
        icons = os.path.join(desktop.bundle, "share/icons")
        self.assertEqual({name: item.get(name) for name in
                          ("Id", "Title", "Category", "Status", "ItemIsMenu", "IconName", "IconThemePath")},
                         {"Id": "quillary", "Title": "Quillary", "Category": "ApplicationStatus",
                          "Status": "Active", "ItemIsMenu": True, "IconName": "quillary-symbolic",
                          "IconThemePath": icons})
        self.assertTrue(os.path.isfile(os.path.join(icons, "hicolor/scalable/apps/quillary-symbolic.svg")))
        _, (_, _, children) = item.layout()
        self.assertFalse(any("shortcut" in props for _, props, _ in children), "no shortcuts in the tray")
        first.close()
        second = self.tray()
        item = second.wait_for_item()
        self.assertEqual(item.labels(), [OPEN, "-", QUIT])
        item.click(QUIT)
        self.assertEqual(desktop.wait_exit()[0], 0)
        self.assertEqual(desktop.terms(), 1)
        self.assertEqual(len(first.registrations + second.registrations), 2, "one registration per tray")

    def test_answers_every_call_a_host_makes(self):
        host = self.tray()
        self.desktop.start('echo "порт 7000"; idle')
        item = host.wait_for_item()
        self.desktop.open_once_port_is_known(lambda: item.click(OPEN))
        empty = GLib.Variant("s", "")
        root = {"children-display": "submenu"}
        entry = {"enabled": True, "visible": True}
        full = (0, root, [(1, dict(entry, label=OPEN), []), (2, {"type": "separator"}, []),
                          (3, dict(entry, label=QUIT), [])])
        bad_args, not_supported = "org.freedesktop.DBus.Error.InvalidArgs", "org.freedesktop.DBus.Error.NotSupported"
        calls = [
            ("the layout", lambda: item.layout()[1], full),
            ("the root alone", lambda: item.layout(0, 0)[1], (0, root, [])),
            ("labels only", lambda: item.layout(0, -1, ["label"])[1],
             (0, {}, [(1, {"label": OPEN}, []), (2, {}, []), (3, {"label": QUIT}, [])])),
            ("under an item", lambda: item.layout(3)[1], (3, dict(entry, label=QUIT), [])),
            ("under no item", lambda: item.layout(4), bad_args),
            ("group properties", lambda: item.menu_call("GetGroupProperties", "(aias)", [3, 99], ["label"]),
             ([(3, {"label": QUIT})],)),
            ("a property", lambda: item.menu_call("GetProperty", "(is)", 2, "type"), ("separator",)),
            ("a property of no item", lambda: item.menu_call("GetProperty", "(is)", 9, "label"), bad_args),
            ("about to show", lambda: item.menu_call("AboutToShow", "(i)", 0), (False,)),
            ("about to show a group", lambda: item.menu_call("AboutToShowGroup", "(ai)", [0, 9]), ([], [9])),
            ("the menu's properties", lambda: [item.menu_get(n) for n in ("Version", "TextDirection", "Status")],
             [3, "ltr", "normal"]),
            ("events that change nothing",
             lambda: [item.menu_call("Event", "(isvu)", i, e, empty, 0)
                      for i, e in ((2, "clicked"), (0, "opened"), (1, "hovered"), (0, "closed"))], [()] * 4),
            ("an event for no item", lambda: item.menu_call("Event", "(isvu)", 9, "clicked", empty, 0), bad_args),
            ("an event group", lambda: item.menu_call("EventGroup", "(a(isvu))",
                                                      [(1, "clicked", empty, 0), (42, "clicked", empty, 0)]), ([42],)),
            ("activate", lambda: item.call("Activate", "(ii)", 0, 0), not_supported),
            ("secondary activate", lambda: item.call("SecondaryActivate", "(ii)", 0, 0), not_supported),
            ("context menu", lambda: item.call("ContextMenu", "(ii)", 0, 0), not_supported),
            ("scroll", lambda: item.call("Scroll", "(is)", 1, "vertical"), ()),
        ]
        for what, call, expected in calls:
            with self.subTest(what):
                if isinstance(expected, str):
                    with self.assertRaises(GLib.Error) as raised:
                        call()
                    self.assertEqual(Gio.DBusError.get_remote_error(raised.exception), expected)
                else:
                    self.assertEqual(call(), expected)
        # Of all those calls only the event group's click opens anything.
        wait_for(lambda: len(self.desktop.opened()) == 2, what="the event group's open")
        time.sleep(scaled(0.3))  # lets anything opened in excess show up
        self.assertEqual(self.desktop.opened(), ["http://localhost:7000"] * 2)

    def test_text_instead_of_a_missing_icon(self):
        os.unlink(self.desktop.icon_path)
        host = self.tray()
        self.desktop.start("idle")
        item = host.wait_for_item()
        self.assertEqual((item.get("IconName"), item.get("XAyatanaLabel"), item.get("Title")),
                         ("", "Quillary", "Quillary"))
        # And as pixels (XFCE shows nothing without): ARGB, the dark part (over a light outline) shaped as the file.
        argb = {w: bytes(data) for w, h, data in item.get("IconPixmap") if len(data) == w * h * 4}[48]
        dark = [a * (255 - r) // (255 - 0x2e) for a, r in zip(argb[0::4], argb[1::4])]
        svg = GdkPixbuf.Pixbuf.new_from_file_at_size(os.environ["QUILLARY_ICON"], 48, 48).get_pixels()[3::4]
        self.assertLess(sum(abs(a - b) for a, b in zip(svg, dark)) / len(svg), 8)


class Open(Desktop):
    def main_menu(self):
        def start():  # the name is taken before the launch, the menus exported during it
            try:
                return self.desktop.call(APP_ID, "/org/quillary/Quillary/menus/menubar", "org.gtk.Menus", "Start",
                                         GLib.Variant("(au)", ([0, 1, 2, 3],)), "(a(uuaa{sv}))")
            except GLib.Error:
                return None
        reply = wait_for(start, what="the menus on the bus")
        menus = {(group, menu): items for group, menu, items in reply.unpack()[0]}
        (top,) = menus[(0, 0)]
        sections = menus[top[":submenu"]]
        return [[(i["label"], i["action"], i["accel"]) for i in menus[section[":section"]]] for section in sections]

    def test_every_road_opens_the_interface_only_once_the_port_is_known(self):
        desktop, host = self.desktop, self.tray()
        release = desktop.path("release")
        desktop.start(f'while [ ! -e {release} ]; do sleep 0.01; done; echo "веб-интерфейс слушает порт 4242"; idle')
        self.assertEqual(self.main_menu(), [[(OPEN, "app.open", "<Primary>o")], [(QUIT, "app.quit", "<Primary>q")]])
        item = host.wait_for_item()
        roads = {"the main menu": lambda: desktop.activate_action("open"),
                 "the tray": lambda: item.click(OPEN),
                 "a second launch": lambda: self.assertEqual(desktop.launch_again(["--ключ", "file.txt"]), 0)}
        for road in roads.values():
            road()  # each returns once the launcher has acted: no port yet
        open(release, "w").close()
        desktop.open_once_port_is_known(roads["the main menu"])
        time.sleep(scaled(0.3))  # lets anything opened in excess show up
        os.unlink(desktop.urls)
        for what, road in roads.items():
            with self.subTest(what):
                road()
                wait_for(desktop.opened, what="an open")
                os.rename(desktop.urls, desktop.urls + ".taken")
                with open(desktop.urls + ".taken") as f:
                    self.assertEqual(f.read(), "http://localhost:4242\n")
        time.sleep(scaled(0.3))  # lets anything opened in excess show up
        self.assertEqual(desktop.opened(), [])
        with open(f"/proc/{desktop.launcher.pid}/maps") as f:
            maps = f.read()
        self.assertIn("libgio-2.0", maps, "the check reads the launcher")
        self.assertNotIn("libgtk", maps, "GTK is loaded only for the alert")


if __name__ == "__main__":
    unittest.main()
