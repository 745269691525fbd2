"""The launcher end to end on the desktop stack, driven only the ways a
desktop or a person drives it: D-Bus menus and actions, a second launch,
signals, the browser hand-off, and the alert through the accessibility bus.

Each test is its own CTest test (one process, one private session bus):
    test_launcher.py Class.test_name
"""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from desktop import APP_ID, Desktop, GdkPixbuf, GLib, press, read_alert, scaled, wait_for  # noqa: E402
from tray_host import Gio, TrayHost  # noqa: E402

HEADLINE = "Quillary не запустился"


class Tray(Desktop):
    OPEN, QUIT = "Открыть Quillary", "Выйти из Quillary"

    def host(self):
        host = TrayHost(self.bus.address)
        self.addCleanup(host.close)
        return host

    def test_item_as_designed_and_its_menu_opens_the_interface(self):
        host = self.host()
        release = self.path("release")
        self.start(f"await:{release};out:веб-интерфейс слушает порт 41823;wait")
        item = host.wait_for_item()
        icons = os.path.join(self.bundle, "share/icons")
        self.assertEqual({name: item.get(name) for name in
                          ("Id", "Title", "Category", "Status", "ItemIsMenu", "IconName", "IconThemePath")},
                         {"Id": "quillary", "Title": "Quillary", "Category": "ApplicationStatus",
                          "Status": "Active", "ItemIsMenu": True, "IconName": "quillary-symbolic",
                          "IconThemePath": icons})
        self.assertTrue(os.path.isfile(os.path.join(icons, "hicolor/scalable/apps/quillary-symbolic.svg")))
        self.assertEqual(item.labels(), [self.OPEN, "-", self.QUIT])
        _, (_, _, children) = item.layout()
        self.assertFalse(any("shortcut" in props for _, props, _ in children), "no shortcuts in the tray")

        item.click(self.OPEN)  # before the port: nothing
        open(release, "w").close()
        self.open_once_port_is_known(lambda: item.click(self.OPEN))
        item.click(self.OPEN)
        wait_for(lambda: len(self.opened()) == 2, what="the second open")
        time.sleep(scaled(0.3))  # lets anything opened in excess show up
        self.assertEqual(self.opened(), ["http://localhost:41823"] * 2)
        self.assertIsNone(self.launcher.poll())

    def test_item_registers_with_a_tray_that_comes_later(self):
        ready = self.path("ready")
        self.start(f"on-term-exit:$TERMLOG;mark:{ready};out:порт 1;wait")
        wait_for(lambda: os.path.exists(ready), what="the server")
        host = self.host()
        item = host.wait_for_item()
        self.assertEqual(item.labels(), [self.OPEN, "-", self.QUIT])
        # Quitting from the tray: one SIGTERM to the server, and status 0.
        item.click(self.QUIT)
        status, _ = self.wait_exit()
        self.assertEqual(status, 0)
        self.assertEqual(self.terms(), 1)

    def test_answers_every_call_a_host_makes(self):
        host = self.host()
        self.start("out:порт 7000;wait")
        item = host.wait_for_item()
        self.open_once_port_is_known(lambda: item.click(self.OPEN))
        empty = GLib.Variant("s", "")
        root = {"children-display": "submenu"}
        entry = {"enabled": True, "visible": True}
        full = (0, root, [(1, dict(entry, label=self.OPEN), []), (2, {"type": "separator"}, []),
                          (3, dict(entry, label=self.QUIT), [])])
        bad_args, not_supported = "org.freedesktop.DBus.Error.InvalidArgs", "org.freedesktop.DBus.Error.NotSupported"
        calls = [
            ("the layout", lambda: item.layout()[1], full),
            ("the root alone", lambda: item.layout(0, 0)[1], (0, root, [])),
            ("labels only", lambda: item.layout(0, -1, ["label"])[1],
             (0, {}, [(1, {"label": self.OPEN}, []), (2, {}, []), (3, {"label": self.QUIT}, [])])),
            ("under an item", lambda: item.layout(3)[1], (3, dict(entry, label=self.QUIT), [])),
            ("under no item", lambda: item.layout(4), bad_args),
            ("group properties", lambda: item.menu_call("GetGroupProperties", "(aias)", [3, 99], ["label"]),
             ([(3, {"label": self.QUIT})],)),
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
        wait_for(lambda: len(self.opened()) == 2, what="the event group's open")
        time.sleep(scaled(0.3))  # lets anything opened in excess show up
        self.assertEqual(self.opened(), ["http://localhost:7000"] * 2)
        self.assertIsNone(self.launcher.poll())

    def test_registers_again_when_the_tray_restarts(self):
        first = self.host()
        self.start("wait")
        first.wait_for_item()
        first.close()
        second = self.host()
        self.assertEqual(second.wait_for_item().labels(), [self.OPEN, "-", self.QUIT])

    def test_text_instead_of_a_missing_icon(self):
        os.unlink(os.path.join(self.bundle, "share/icons/hicolor/scalable/apps/quillary-symbolic.svg"))
        host = self.host()
        self.start("wait")
        item = host.wait_for_item()
        self.assertEqual((item.get("IconName"), item.get("XAyatanaLabel"), item.get("Title")),
                         ("", "Quillary", "Quillary"))
        # And as pixels (XFCE shows nothing without): ARGB, the dark part (over a light outline) shaped as the file.
        argb = {w: bytes(data) for w, h, data in item.get("IconPixmap") if len(data) == w * h * 4}[48]
        dark = [a * (255 - r) // (255 - 0x2e) for a, r in zip(argb[0::4], argb[1::4])]
        svg = GdkPixbuf.Pixbuf.new_from_file_at_size(os.environ["QUILLARY_ICON"], 48, 48).get_pixels()[3::4]
        self.assertLess(sum(abs(a - b) for a, b in zip(svg, dark)) / len(svg), 8)


class MainMenu(Desktop):
    def menus(self):
        # The name is taken before the launch, the menus exported during it.
        def start():
            try:
                return self.bus.call(APP_ID, "/org/quillary/Quillary/menus/menubar", "org.gtk.Menus", "Start",
                                     GLib.Variant("(au)", ([0, 1, 2, 3],)), "(a(uuaa{sv}))")
            except GLib.Error:
                return None
        reply = wait_for(start, what="the menus on the bus")
        return {(group, menu): items for group, menu, items in reply.unpack()[0]}

    def test_structure_and_accelerators(self):
        self.start("wait")
        menus = self.menus()
        top = menus[(0, 0)]
        self.assertEqual(len(top), 1, "one top-level item")
        group, menu = top[0][":submenu"]
        sections = menus[(group, menu)]
        self.assertEqual(len(sections), 2, "a separator between the two commands")
        items = [menus[sections[i][":section"]] for i in range(2)]
        self.assertEqual([(i["label"], i["action"], i["accel"]) for section in items for i in section],
                         [("Открыть Quillary", "app.open", "<Primary>o"),
                          ("Выйти из Quillary", "app.quit", "<Primary>q")])

    def test_open_action_opens_only_once_the_port_is_known(self):
        release = self.path("release")
        self.start(f"await:{release};out:веб-интерфейс слушает порт 4242;wait")
        # The action is run before its call returns: these find no port.
        self.activate_action("open")
        self.activate_action("open")
        open(release, "w").close()
        self.open_once_port_is_known(lambda: self.activate_action("open"))
        self.activate_action("open")
        wait_for(lambda: len(self.opened()) == 2, what="the second open")
        time.sleep(scaled(0.3))  # lets anything opened in excess show up
        self.assertEqual(self.opened(), ["http://localhost:4242"] * 2)


class Reopen(Desktop):
    def test_second_launch_before_and_after_the_port(self):
        release = self.path("release")
        self.start(f"await:{release};out:порт 5151;wait")
        self.assertEqual(self.launch_again(), 0)
        self.assertEqual(self.launch_again(["--какой-то-ключ", "file.txt"]), 0, "arguments are ignored")
        open(release, "w").close()
        self.open_once_port_is_known(lambda: self.assertEqual(self.launch_again(), 0))
        self.assertEqual(self.launch_again(["--help"]), 0)
        wait_for(lambda: len(self.opened()) == 2, what="the second open")
        time.sleep(scaled(0.3))  # lets anything opened in excess show up
        self.assertEqual(self.opened(), ["http://localhost:5151"] * 2)
        self.assertIsNone(self.launcher.poll(), "the first launcher runs on")


class Quit(Desktop):
    def start_server_that_logs_sigterm(self, exits):
        """Starts a server that logs each SIGTERM, and waits until it runs."""
        ready = self.path("ready")
        self.start(f"{'on-term-exit' if exits else 'on-term'}:$TERMLOG;mark:{ready};out:порт 1;wait")
        wait_for(lambda: os.path.exists(ready), what="the server")

    def test_quit_action_stops_the_server_with_one_sigterm(self):
        self.start_server_that_logs_sigterm(exits=True)
        self.activate_action("quit")
        status, _ = self.wait_exit()
        self.assertEqual(status, 0)
        self.assertEqual(self.terms(), 1)

    def test_a_server_that_ignores_sigterm_is_left_after_the_grace(self):
        self.start_server_that_logs_sigterm(exits=False)
        started = time.monotonic()
        self.activate_action("quit")
        status, _ = self.wait_exit()
        waited = time.monotonic() - started
        self.assertEqual(status, 0)
        self.assertEqual(self.terms(), 1, "one SIGTERM, never more")
        self.assertGreaterEqual(waited, 1.5)

    def signalled(self, number):
        self.start_server_that_logs_sigterm(exits=True)
        self.signal_launcher(number)
        status, _ = self.wait_exit()
        self.assertEqual(status, 0)
        self.assertEqual(self.terms(), 1)

    def test_sigterm_to_the_launcher_quits_as_the_menu_does(self):
        self.signalled(signal.SIGTERM)

    def test_sigint_to_the_launcher_quits_as_the_menu_does(self):
        self.signalled(signal.SIGINT)

    def test_sighup_to_the_launcher_quits_as_the_menu_does(self):
        self.signalled(signal.SIGHUP)

    def test_runs_without_a_session_bus(self):
        ready = self.path("ready")
        self.start(f"on-term-exit:$TERMLOG;mark:{ready};out:порт 1;wait",
                   env={"DBUS_SESSION_BUS_ADDRESS": "unix:path=" + self.path("no-bus")}, wait_for_bus_name=False)
        wait_for(lambda: os.path.exists(ready), what="the server")
        self.signal_launcher(signal.SIGTERM)
        status, _ = self.wait_exit()
        self.assertEqual(status, 0)
        self.assertEqual(self.terms(), 1)

    def test_server_ending_by_itself_ends_the_launcher_silently(self):
        for script in ("out:порт 1;exit:3", "out:порт 1;sleep:100;kill:9", "out:a;exit:0"):
            with self.subTest(script=script):
                # The last launcher's name must be gone, or this one would
                # hand itself over to it.
                wait_for(lambda: not self.bus.has_owner(APP_ID), what="the bus name to be free")
                self.start(script, wait_for_bus_name=False)
                status, err = self.wait_exit()
                self.assertEqual((status, err), (0, ""), "silently")


class Failure(Desktop):
    def expect_alert(self, explanation):
        headline, text, button = read_alert()
        self.assertEqual(headline, HEADLINE)
        self.assertEqual(text, explanation)
        self.assertIsNone(self.launcher.poll(), "the launcher waits for the alert")
        press(button)
        status, _ = self.wait_exit()
        self.assertEqual(status, 1)

    def test_server_missing(self):
        os.unlink(self.server_path)
        self.start("", wait_for_bus_name=False)
        self.expect_alert("Не найден встроенный сервер (quillary-bin).")

    def test_server_not_executable(self):
        os.unlink(self.server_path)
        with open(self.server_path, "w") as f:
            f.write("#!/bin/sh\n")
        self.start("", wait_for_bus_name=False)
        self.expect_alert("Не удалось запустить сервер: Permission denied")

    def test_early_exit_with_lines(self):
        self.start("out:1;out:2;err:3;out:4;out:нет файла настроек;exit:2", wait_for_bus_name=False)
        self.expect_alert("2\n3\n4\nнет файла настроек")

    def test_early_exit_without_a_line(self):
        self.start("exit:1", wait_for_bus_name=False)
        self.expect_alert("Сервер завершился без сообщения.")

    def test_killed_by_a_signal_before_the_port(self):
        self.start("out:падаю;kill:6", wait_for_bus_name=False)
        self.expect_alert("падаю")

    def test_quit_while_the_alert_is_up(self):
        self.start("out:ошибка;exit:1", wait_for_bus_name=False)
        read_alert()
        self.assertEqual(self.launch_again(), 0, "a second launch during the alert")
        self.activate_action("quit")
        status, _ = self.wait_exit()
        self.assertEqual(status, 1, "the failure stands")

    def test_no_display(self):
        os.unlink(self.server_path)
        self.start("", env={"DISPLAY": "", "WAYLAND_DISPLAY": ""}, wait_for_bus_name=False)
        status, err = self.wait_exit()
        self.assertEqual(status, 1)
        self.assertIn(HEADLINE + "\nНе найден встроенный сервер (quillary-bin).\n", err)


class Footprint(Desktop):
    def test_no_gtk_is_mapped_while_running(self):
        self.start("out:порт 1;wait")
        self.activate_action("open")
        maps = self.maps()
        self.assertIn("libgio-2.0", maps, "the check reads the right process")
        self.assertNotIn("libgtk", maps)
        self.assertNotIn("quillary-alert", maps)


if __name__ == "__main__":
    unittest.main()
