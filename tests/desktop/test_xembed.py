"""The tray icon in an XEmbed tray (trayer) where no StatusNotifierItem host is.
Each test is its own CTest test: test_xembed.py Class.test_name"""

import os
import shutil
import subprocess
import unittest

from desktop import OPEN, QUIT, Desktop, accessibility, find, launcher_accessibles, press, wait_for
ICON_SIZE = 24  # trayer's height, at the screen's top left: where the icon is


SERVER = "echo 'веб-интерфейс слушает порт 4321'; idle"


class XEmbedTray(Desktop):
    def start_tray(self):
        tray = subprocess.Popen(["trayer", "--edge", "top", "--align", "left", "--widthtype", "request",
                                 "--height", str(ICON_SIZE), "--SetDockType", "false"], env=self.desktop.env)
        self.addCleanup(tray.wait)
        self.addCleanup(tray.terminate)
        return tray

    def icon_windows(self):
        """How deep each of the launcher's tray icon windows is in the X window tree: 1 under the root."""
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=self.desktop.env, capture_output=True, text=True).stdout
        return [(len(line) - len(line.lstrip())) // 3 for line in tree.splitlines() if '("quillary" "quillary")' in line]

    def docked(self):
        return any(depth > 1 for depth in self.icon_windows())

    def menu(self):
        """Clicks the tray's icon until the launcher's menu shows: its entries by name, as AT-SPI has them."""
        Atspi = accessibility()

        def shown():
            for menu in (m for app in launcher_accessibles() for m in find(app, Atspi.Role.MENU)):
                if menu.get_state_set().contains(Atspi.StateType.SHOWING):
                    return [menu.get_child_at_index(i) for i in range(menu.get_child_count())]
            Atspi.generate_mouse_event(ICON_SIZE // 2, ICON_SIZE // 2, "b1c")
        entries = wait_for(shown, timeout=20, what="the menu", interval=0.5)
        names = [e.get_name() if e.get_role() == Atspi.Role.MENU_ITEM else "-" for e in entries]
        self.assertEqual(names, [OPEN, "-", QUIT])
        return dict(zip(names, entries))

    def test_docked_in_a_tray_that_starts_later_or_again_and_its_menu_opens_and_quits(self):
        desktop = self.desktop
        desktop.start(SERVER)
        with open(f"/proc/{desktop.launcher.pid}/maps") as f:
            self.assertNotIn("libgtk", f.read(), "nothing is loaded before there is a tray")
        tray = self.start_tray()
        wait_for(self.docked, timeout=20, what="the icon in the tray")
        press(self.menu()[OPEN])
        wait_for(desktop.opened, what="the browser")
        self.assertEqual(desktop.opened(), ["http://localhost:4321"])
        tray.kill()  # a tray that crashes, and starts again
        tray.wait()
        self.start_tray()
        wait_for(self.docked, timeout=20, what="the icon in the restarted tray")
        press(self.menu()[QUIT])
        self.assertEqual(desktop.wait_exit()[0], 0)
        self.assertEqual(desktop.terms(), 1)

    def test_a_watcher_that_comes_takes_the_item_over_and_back(self):
        desktop = self.desktop
        self.start_tray()
        desktop.start(SERVER)
        wait_for(self.docked, timeout=20, what="the icon in the tray")
        # A panel with a StatusNotifierItem host, and no XEmbed tray, comes: LXQt's.
        shutil.copytree(os.path.join(os.path.dirname(__file__), "../interop/config/lxqt"), desktop.env["XDG_CONFIG_HOME"],
                        dirs_exist_ok=True)
        panel = desktop.spawn(["lxqt-panel"], env=dict(desktop.env, QT_QPA_PLATFORM="xcb",
                                                       XDG_DATA_DIRS=desktop.env["XDG_DATA_DIRS"] + ":/usr/share"),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: not self.icon_windows(), timeout=20, what="the XEmbed icon to go")
        self.assertEqual(len(wait_for(lambda: desktop.watcher("RegisteredStatusNotifierItems"), what="the item")), 1)
        panel.kill()
        wait_for(self.docked, timeout=20, what="the icon back in the tray")
        desktop.activate_action("quit")
        self.assertEqual(desktop.wait_exit()[0], 0)


if __name__ == "__main__":
    unittest.main()
