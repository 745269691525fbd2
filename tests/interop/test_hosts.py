"""The tray item in real tray hosts (`hosts`: `test_hosts.py HOST`, `--list`), used as a person does: found on the screen,
clicked with xdotool, its menu read with tesseract (no host puts it on the accessibility bus) and clicked where drawn."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

from desktop import APP_ID, OPEN, QUIT, WATCHER, Desktop, GLib, scaled, wait_for
from screen import icon_contrast, icon_likeness, icon_windows
from sway import start_sway
from Xlib import display
ARTIFACTS = os.environ.get("QUILLARY_ARTIFACTS_DIR", "")
with open(os.path.join(os.path.dirname(__file__), "hosts")) as table:  # what each host takes: see there
    HOSTS = {name: rest for name, *rest in (line.rstrip("\n").split("\t") for line in table if line[0] != "#")}


def middle(box):
    return box[0] + box[2] // 2, box[1] + box[3] // 2


class Host(Desktop):
    def setUp(self):
        super().setUp()
        self.x = display.Display(self.desktop.display)  # for what the tests ask the X display
        self.addCleanup(self.x.close)

    def start_host(self, name, log="w"):  # "a" for a restart
        self.protocol, manager, self.button, self.tray, command = HOSTS[name]
        first = log == "w"
        config = os.path.join(os.path.dirname(__file__), "config", name)  # if it has settings of its own
        if os.path.isdir(config):
            shutil.copytree(config, self.desktop.env["XDG_CONFIG_HOME"], dirs_exist_ok=True)
        with open(os.path.join(ARTIFACTS, f"interop-{name}.log"), log) as log:
            # The window manager, or sway, managing the screen before the panel maps (or it may stay unmapped).
            if manager == "sway" and first:
                self.addCleanup(shutil.rmtree, start_sway(self.desktop), True)
            # As in a session: the system's data (icons, plugins, settings' schemas) and settings (the menus that
            # MATE's and Cinnamon's panels read) after ours.
            env = dict(self.desktop.env, QT_QPA_PLATFORM="xcb", XDG_DATA_DIRS=self.desktop.env["XDG_DATA_DIRS"] + ":/usr/share",
                       XDG_CONFIG_DIRS=self.desktop.env["XDG_CONFIG_DIRS"] + ":/etc/xdg")
            if manager not in ("-", "sway") and first:
                self.desktop.spawn([manager], env=env, stdout=log, stderr=log)
                wait_for(lambda: self.x.screen().root.get_full_property(self.x.intern_atom("_NET_SUPPORTING_WM_CHECK"), 0),
                         timeout=10, what=manager)
            # An XEmbed tray takes its selection, and GNOME Shell its name, before they draw; a host registers with the
            # watcher once drawn (LXQt's panel, black where no compositor runs, looks as the bare screen does).
            bare = self.protocol != "sni" and self.screenshot("bare")
            # The same for what the bus starts (xfconfd reads the panel's settings).
            self.desktop.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "UpdateActivationEnvironment", GLib.Variant("(a{ss})", (env,)))
            host = subprocess.Popen(["sh", "-c", command], env=env, stdout=log, stderr=log, start_new_session=True)
        self.addCleanup(self.stop_host, host)
        if self.protocol == "sni":
            wait_for(lambda: self.desktop.watcher("IsStatusNotifierHostRegistered"),  # drawn then
                     timeout=30, what=f"{name}'s tray, registered as a host with a watcher")
        elif self.protocol == "xembed":
            wait_for(self.system_tray, timeout=30, what=f"{name}'s system tray on the X display")
        else:
            wait_for(lambda: self.desktop.has_owner("org.gnome.Shell"), timeout=30, what=name)
        if first:  # a restart is waited for by what the test looks for next
            self.settled(bare, f"{name} drawn")
        return host

    def system_tray(self):  # the window that holds the screen's system tray selection, or 0
        return self.x.get_selection_owner(self.x.intern_atom("_NET_SYSTEM_TRAY_S0"))

    def stop_host(self, host, how=signal.SIGTERM):
        if host.poll() is None:
            os.killpg(host.pid, how)
            host.wait()

    def items(self):  # how many the watcher has, or how many icons are docked in the tray
        if self.protocol == "sni":
            return len(self.desktop.watcher("RegisteredStatusNotifierItems") or ())
        return sum(depth > 1 for depth, _ in icon_windows(self.desktop.env))

    def screenshot(self, name="screen"):
        subprocess.run(["import", "-display", self.desktop.display, "-window", "root", self.desktop.path(name + ".png")], check=True)
        return self.desktop.path(name + ".png")

    def changed(self, before, after, region="1280x800+0+0"):  # (x, y, width, height) of what differs in two shots, or None
        w, h, x, y = (int(n) for n in subprocess.run(  # the border: all of it may differ
            ["convert", before, after, "-crop", region, "-compose", "difference", "-composite", "-threshold", "0", "-bordercolor",
             "black", "-border", "1", "-trim", "-format", "%w %h %X %Y", "info:"], capture_output=True, text=True).stdout.split())
        return None if (w, h) == (1, 1) else (x - 1, y - 1, w, h)

    def settled(self, before, what, region="1280x800+0+0"):  # what differs from `before` (or True) once `region` is steady
        def steady():
            first = self.screenshot("a")
            time.sleep(scaled(0.5))
            return not self.changed(first, self.screenshot("b"), region) and (not before or self.changed(before, first, region))
        return wait_for(steady, timeout=20, what=what)

    def find_item(self, empty, label=None):
        """Where the panel differs from `empty` once that shows our icon's shape (in any colour) or reads `label`.
        Plasma draws a new item blank, and elsewhere, for a moment after the screen looked settled."""
        def shown():
            shot = self.screenshot()
            box = self.changed(empty, shot, self.tray)
            return box and (icon_likeness(shot, box) > 0.6
                            or label and any(label in text for text in self.read(shot, box))) and box
        try:
            return wait_for(shown, timeout=20, what="our icon in the panel")
        finally:  # what was seen last
            shutil.copy(self.desktop.path("screen.png"), os.path.join(ARTIFACTS, f"interop-{sys.argv[1]}-last.png"))

    def open_menu(self, where, button, region="1280x800+0+0", below=0):
        """Clicks `where`; the lines of the menu that opens in `region`, from row `below` down, as `read` gives them."""
        shown = self.screenshot("shown")
        self.click(where, button)
        x, y, w, h = self.settled(shown, "the menu", region)
        shot = shutil.copy(self.desktop.path("b.png"), os.path.join(ARTIFACTS, f"interop-{sys.argv[1]}.png"))
        return self.read(shot, (x, max(y, below), w, h - max(0, below - y)))

    def item_menu(self, box):  # the menu of the item in `box`
        below = sum(int(n) for n in re.findall(r"\d+", self.tray)[1::2])  # under the tray: the item, pressed, is left out
        # In the tray's columns: GNOME Shell's own banners and search field, beside them, change meanwhile.
        return self.open_menu(middle(box), self.button,
                              re.sub(r"x\d+\+(\d+)\+\d+", r"x800+\1+0", self.tray), below)

    def read(self, shot, box):
        """{text: (x, y) of its middle} of the lines in `box` and a margin (text at the edge is not read). Enlarged
        with and without smoothing, each of which misreads some hosts' fonts: the reading with more of our texts."""
        x, y, w, h = max(0, box[0] - 6), max(0, box[1] - 6), box[2] + 12, box[3] + 12
        readings = []
        for enlarge in ("-scale", "-resize"):
            subprocess.run(["convert", shot, "-crop", f"{w}x{h}+{x}+{y}", enlarge, "300%", self.desktop.path("c.png")], check=True)
            lines = {}
            tsv = subprocess.run(["tesseract", self.desktop.path("c.png"), "-", "-l", "rus+eng", "tsv"], capture_output=True, text=True).stdout
            for row in (line.split("\t") for line in tsv.splitlines()):
                if len(row) == 12 and row[11].strip() and row[0] != "level":
                    lines.setdefault(tuple(row[2:5]), []).append((row[11], x + int(row[6]) // 3, y + int(row[7]) // 3 + 3))
            readings.append({" ".join(t for t, _, _ in words): words[0][1:] for words in lines.values()})
        return max(readings, key=lambda lines: (sum(text in (OPEN, QUIT) for text in lines), sum("Quillary" in t for t in lines)))

    def click(self, where, button=1):
        subprocess.run(["xdotool", "mousemove", *map(str, where), "click", str(button)],
                       env=dict(self.desktop.env, DISPLAY=self.desktop.display), check=True)

    def test_host(self):
        name = sys.argv[1]
        panel = self.start_host(name)
        empty = self.screenshot("empty")
        self.desktop.start('echo "порт 41823"; idle')
        wait_for(lambda: self.items() == 1, timeout=20, what="the item registered")
        box = self.find_item(empty)
        shutil.copy(self.desktop.path("screen.png"), os.path.join(ARTIFACTS, f"interop-{name}-icon.png"))
        readable, ground = icon_contrast(self.desktop.path("screen.png"), box)
        print(f"{name}: the icon's contrast against the panel ({ground}), {readable:.2f}:1", file=sys.stderr)
        self.assertGreaterEqual(readable, 3, "WCAG's least for graphics")
        with self.subTest("the host crashes and starts again"):
            self.stop_host(panel, signal.SIGKILL)
            self.start_host(name, "a")
            wait_for(lambda: self.items() == 1, timeout=20, what="the item back")
            self.settled(None, "the panel drawn again")  # Cinnamon's fades in
            # Where it was, give or take the pixel by which Plasma's drawings of it differ (from its file or pixels).
            found = self.find_item(empty)
            self.assertLessEqual(max(abs(a - b) for a, b in zip(middle(found), middle(box))), 2, f"one item: {found}, {box}")

        menu = self.item_menu(box)
        self.assertEqual(list(menu), [OPEN, QUIT])
        self.click(menu[OPEN])
        wait_for(lambda: self.desktop.opened(), what="the browser")
        if self.button != "1":  # the left click is the host's Activate: the first entry's open
            self.click(middle(box))
        opens = 1 + (self.button != "1")
        self.assertEqual(self.desktop.settled_opens(opens), ["http://localhost:41823"] * opens)
        self.assertEqual(self.desktop.launch_again(), 0)  # hands over to the first: one item still
        self.assertEqual(self.items(), 1)
        self.click(self.item_menu(box)[QUIT])
        self.assertEqual((self.desktop.wait_exit()[0], self.desktop.terms()), (0, 1))

        with self.subTest("the alert, on this desktop"):
            wait_for(lambda: not self.desktop.has_owner(APP_ID), what="the launcher gone")
            self.desktop.start("echo 'нет файла настроек'; exit 2", wait_for_bus_name=False)
            self.expect_alert("нет файла настроек")
        with self.subTest("a theme without our icon: its pixels or its label are shown"):
            os.unlink(self.desktop.icon_path)
            wait_for(lambda: not self.desktop.has_owner(APP_ID), what="the launcher gone")
            wait_for(lambda: not self.changed(empty, self.screenshot(), self.tray), what="its item gone")
            self.desktop.start("idle")
            self.find_item(empty, label="Quillary")

    def test_no_tray(self):
        """A desktop with no tray: the launcher neither waits for one nor complains, and its desktop entry, found in
        GNOME Shell's overview, opens the web interface (launched again, and by its action) and quits it."""
        name = sys.argv[1]
        # The desktop entry as built, before the session starts: it names the built launcher, a second launch.
        self.desktop.env["XDG_DATA_DIRS"] += ":" + os.path.dirname(os.path.dirname(os.environ["QUILLARY_DESKTOP_ENTRY"]))
        self.start_host(name)
        self.desktop.start('echo "порт 41823"; idle')
        self.desktop.open_once_port_is_known(self.desktop.launch_again)
        self.assertFalse(self.desktop.has_owner(WATCHER) or self.system_tray() or icon_windows(self.desktop.env),
                         "a tray, or an icon looking for one")
        self.click(self.found_in_overview())  # launched again
        wait_for(lambda: len(self.desktop.opened()) == 2, what="the second launch's open")
        menu = self.open_menu(self.found_in_overview(), 3)
        self.assertEqual([text for text in menu if text in (OPEN, QUIT)], [OPEN, QUIT], f"in {list(menu)}")
        self.click(menu[OPEN])
        self.assertEqual(self.desktop.settled_opens(3), ["http://localhost:41823"] * 3)
        self.click(self.open_menu(self.found_in_overview(), 3)[QUIT])
        self.assertEqual((*self.desktop.wait_exit(), self.desktop.terms()), (0, "", 1))  # said nothing, one SIGTERM

    def found_in_overview(self):  # where the shell's search shows our entry, its name typed in the overview
        def overview():
            return self.desktop.call("org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties", "Get",
                                     GLib.Variant("(ss)", ("org.gnome.Shell", "OverviewActive")), "(v)").unpack()[0]
        self.settled(None, "the screen still")  # a launch hides the overview, which reads as active until it is gone
        if not overview():
            subprocess.run(["xdotool", "key", "super"], env=self.desktop.env, check=True)
            wait_for(overview, what="the overview")
            self.settled(None, "the overview shown")
        # In place of what the search holds still, if anything.
        subprocess.run(["xdotool", "key", "ctrl+a", "type", "--delay", "50", "Quillary"], env=self.desktop.env, check=True)
        # The line of the results' names, under their icons (OCR misreads the icons beside them).
        x, y = wait_for(lambda: self.read(self.screenshot(), (400, 200, 480, 30)).get("Quillary"), timeout=20,
                        what="Quillary among the search's results", interval=0.5)
        return x + 10, y

if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        sys.exit(print("\n".join(HOSTS)))
    os.makedirs(ARTIFACTS, exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v", "Host.test_no_tray" if HOSTS[sys.argv[1]][0] == "none" else "Host.test_host"])
