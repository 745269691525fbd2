"""The launcher where the desktop is not the usual one: an XEmbed tray (trayer) where no StatusNotifierItem host is,
and a Wayland display (Weston on the X display; the launcher has no DISPLAY), where the alert goes through GTK's
Wayland backend, and stays on standard error when the compositor goes."""

import os
import shutil
import subprocess
import sys
import time
import unittest

from desktop import HEADLINE, OPEN, QUIT, Desktop, scaled, wait_for
from screen import accessibility, icon_likeness, icon_windows, launcher_accessibles
sys.path.append(os.path.join(os.path.dirname(__file__), "../../bench"))
from tray_host import TrayHost  # noqa: E402  a watcher whose host comes and goes
ICON_SIZE = 24  # trayer's height, at the screen's top left: where the icon is


class XEmbed(Desktop):  # an XEmbed tray, its tests below: one a process, as AT-SPI keeps its first bus
    def start_tray(self, dock="false"):  # "true" where a window manager would place it anywhere else
        self.desktop.spawn(["trayer", "--edge", "top", "--align", "left", "--widthtype", "request",
                            "--height", str(ICON_SIZE), "--SetDockType", dock], env=self.desktop.env)

    def docked(self):  # where the icon is, once it is docked and shows our icon
        for depth, box in icon_windows(self.desktop.env):
            shot = self.desktop.path("tray.png")
            subprocess.run(["import", "-display", self.desktop.display, "-window", "root", shot], check=True)
            if depth > 1 and icon_likeness(shot, box) > 0.8:
                return box

    def menu(self, click="b1c"):  # clicks the icon until the launcher's menu shows: its entries by name, from AT-SPI
        Atspi = accessibility()

        def shown():
            for menu in launcher_accessibles(Atspi.Role.MENU):
                if menu.get_state_set().contains(Atspi.StateType.SHOWING):
                    return [menu.get_child_at_index(i) for i in range(menu.get_child_count())]
            Atspi.generate_mouse_event(ICON_SIZE // 2, ICON_SIZE // 2, click)
        entries = wait_for(shown, timeout=20, what="the menu", interval=0.5)
        names = [e.get_name() if e.get_role() == Atspi.Role.MENU_ITEM else "-" for e in entries]
        self.assertEqual(names, [OPEN, "-", QUIT])
        return dict(zip(names, entries))


class XEmbedTray(XEmbed):
    def test_docked_in_a_tray_that_starts_later_lent_to_a_host_its_menu_read_and_its_display_lost(self):
        """(Docked in trays that start first, or again, and clicked there, its menu's entries too: tests/interop.)"""
        desktop = self.desktop
        desktop.start("echo 'веб-интерфейс слушает порт 4321'; idle")
        self.start_tray()
        wait_for(self.docked, timeout=20, what="the icon in the tray")
        # A watcher with no host (GNOME Flashback's): registered with, the icon stays until a host comes, and is back
        # when it goes. One that cannot say whether it has a host is believed to.
        watcher = None
        for what, host, docked in [("no host yet", False, True), ("a host came", True, False), ("it went", False, True),
                                   ("a watcher that cannot say", None, False)]:
            with self.subTest(what):
                if watcher and host is not None:
                    watcher.set_host(host)
                else:
                    watcher = watcher and watcher.close() or TrayHost(desktop.address, host)
                    watcher.serve()
                    wait_for(lambda: (host is None or watcher.host_asked) and desktop.watcher("RegisteredStatusNotifierItems"), what="the item")
                time.sleep(scaled(0.3))  # lets the answer be taken
                wait_for(self.docked if docked else lambda: not icon_windows(desktop.env), timeout=20, what=what)
        watcher.close()
        wait_for(self.docked, timeout=20, what="the icon back once the watcher went")
        # A panel with a StatusNotifierItem host, and no XEmbed tray, comes: LXQt's.
        shutil.copytree(os.path.join(os.path.dirname(__file__), "../interop/config/lxqt"), desktop.env["XDG_CONFIG_HOME"],
                        dirs_exist_ok=True)
        panel = desktop.spawn(["lxqt-panel"], env=dict(desktop.env, QT_QPA_PLATFORM="xcb",
                                                       XDG_DATA_DIRS=desktop.env["XDG_DATA_DIRS"] + ":/usr/share"),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: not icon_windows(self.desktop.env), timeout=20, what="the XEmbed icon to go")
        self.assertEqual(len(wait_for(lambda: desktop.watcher("RegisteredStatusNotifierItems"), what="the item")), 1)
        panel.kill()  # the tray, still running, takes the icon back
        wait_for(self.docked, timeout=20, what="the icon back in the tray")
        # Its menu left open: the display lost under the icon, GTK's connection too, it quits as the menu's quit does.
        self.menu("b3c")
        desktop.x_server.kill()
        self.assertEqual((desktop.wait_exit()[0], desktop.terms()), (0, 1))


class Wayland(Desktop):
    def test_alert_through_the_wayland_backend_and_the_compositor_going_under_it(self):
        desktop = self.desktop
        # Weston on the X display, for the seat that every desktop's compositor has; the launcher sees no DISPLAY.
        display = desktop.env.pop("DISPLAY")
        # GTK draws the title bar here, and aborts if its icons need a MIME database it lacks.
        desktop.env["XDG_DATA_DIRS"] += os.pathsep + "/usr/share"
        weston = desktop.spawn(["weston", "--backend=x11-backend.so", "--use-pixman", "--no-config", "--idle-time=0",
                                "--socket=wayland-quillary"], env=dict(desktop.env, DISPLAY=display),
                               stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(desktop.path("runtime/wayland-quillary")), what="Weston")
        desktop.start("echo 'нет файла настроек' >&2; exit 2", env={"WAYLAND_DISPLAY": "wayland-quillary"},
                      wait_for_bus_name=False)
        self.expect_alert("нет файла настроек", dismiss=False)
        weston.kill()
        status, err = desktop.wait_exit()
        self.assertEqual(status, 1)
        self.assertTrue(err.startswith(f"{HEADLINE}\nнет файла настроек\n"), err)


if __name__ == "__main__":
    unittest.main()
