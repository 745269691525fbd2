"""The tray item in the tray hosts that people run, each on a desktop of its
own (desktop.py: Xvfb, session bus, accessibility bus, recorder browser),
used as a person uses it: the item is found on the screen as what changed
when the launcher came, clicked with xdotool, and its menu read off the
screen with tesseract (no host here shows its popup menus on the
accessibility bus), then "open" and "quit" are clicked where they are drawn.

    test_hosts.py HOST       HOST: one of HOSTS; --list names them

The screenshot with the menu open and the host's own log are kept in
QUILLARY_ARTIFACTS_DIR as interop-HOST.png and interop-HOST.log.
"""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "desktop"))
from desktop import APP_ID, Desktop, GLib, press, read_alert, scaled, wait_for  # noqa: E402

import gi  # noqa: E402

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf  # noqa: E402

OPEN, QUIT = "Открыть Quillary", "Выйти из Quillary"
WATCHER = "org.kde.StatusNotifierWatcher"
PANEL = "1280x30+0+0"  # where items show: every host's panel is put at the top, no higher than this
XFCE_PANEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array"><value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>
"""
# Each host: its command (its own process group), its configuration files
# (under XDG_CONFIG_HOME), the mouse button that opens an item's menu in it,
# and the part of the screen where its items show.
HOSTS = {
    "dbusmenu-dumper": None,  # a menu reader only; see test_dbusmenu_dumper
    "xfce": (["xfce4-panel", "--disable-wm-check"],
             {"xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml": XFCE_PANEL}, 1, PANEL),
    # Plasma's left click calls Activate and opens the menu when that fails. Its
    # watcher is a kded5 module, which a Plasma session has loaded.
    "plasma": (["sh", "-c", "until gdbus call --session -d org.kde.kded5 -o /kded -m org.kde.kded5.loadModule "
                "statusnotifierwatcher; do sleep 0.2; done; QT_QUICK_BACKEND=software exec plasmashell"], {"plasma-org.kde.plasma.desktop-appletsrc": """
[Containments][1]
plugin=org.kde.panel
formfactor=2
location=3
lastScreen=0
[Containments][1][Applets][2]
plugin=org.kde.plasma.systemtray
[Containments][1][Applets][2][Configuration]
SystrayContainmentId=3
[Containments][3]
plugin=org.kde.plasma.private.systemtray
formfactor=2
location=3
lastScreen=0
[Containments][3][General]
extraItems=
knownItems=org.kde.plasma.battery,org.kde.plasma.keyboardlayout,org.kde.plasma.manage-inputmethod,\
org.kde.plasma.mediacontroller,org.kde.plasma.devicenotifier,org.kde.plasma.clipboard,org.kde.plasma.notifications
"""}, 1, PANEL),
    # GNOME Shell as an X11 compositor on Xvfb, with a system bus of its own,
    # which it cannot do without; where items show leaves out its clock.
    "gnome": (["sh", "-c", "dbus-daemon --session --nofork --address=unix:path=$XDG_RUNTIME_DIR/system & "
               "until [ -S $XDG_RUNTIME_DIR/system ]; do sleep 0.1; done; GSETTINGS_BACKEND=keyfile "
               "DBUS_SYSTEM_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/system exec gnome-shell --x11 --replace"],
              {"glib-2.0/settings/keyfile": "[org/gnome/shell]\n"
                                            "enabled-extensions=['ubuntu-appindicators@ubuntu.com']\n"},
              1, "380x30+900+0"),
    # LXQt's left click calls Activate whatever ItemIsMenu says; its right click opens the menu.
    "lxqt": (["lxqt-panel"], {"lxqt/panel.conf": "panels=panel1\n[panel1]\nplugins=statusnotifier\n"
                                                  "position=Top\npanelSize=32\n"
                                                  "[statusnotifier]\ntype=statusnotifier\n"}, 3, PANEL),
}


class Host(Desktop):
    def start_host(self, name):
        command, files, self.button, self.tray = HOSTS[name]
        for path, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(self.env["XDG_CONFIG_HOME"], path)), exist_ok=True)
            with open(os.path.join(self.env["XDG_CONFIG_HOME"], path), "w") as f:
                f.write(text)
        # As in a session: the system's data (icons, plugins) after ours, and
        # the same for what the bus starts (xfconfd reads the panel's settings).
        env = dict(self.env, QT_QPA_PLATFORM="xcb", XDG_DATA_DIRS=self.env["XDG_DATA_DIRS"] + ":/usr/share")
        self.bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "UpdateActivationEnvironment", GLib.Variant("(a{ss})", (env,)))
        self.log = open(os.path.join(self.artifacts, f"interop-{name}.log"), "a")
        host = subprocess.Popen(command, env=env, stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(self.stop_host, host)
        wait_for(lambda: self.bus.has_owner(WATCHER), timeout=30, what=f"{name}'s watcher on the bus")
        return host

    def setUp(self):
        super().setUp()
        self.artifacts = os.environ["QUILLARY_ARTIFACTS_DIR"]
        os.makedirs(self.artifacts, exist_ok=True)

    def items(self):
        return self.bus.call(WATCHER, "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties", "Get",
                             GLib.Variant("(ss)", (WATCHER, "RegisteredStatusNotifierItems")), "(v)").unpack()[0]

    def screenshot(self, name="screen"):
        path = self.path(name + ".png")
        subprocess.run(["import", "-display", self.x.display, "-window", "root", path], check=True)
        return path

    def stop_host(self, host):
        if host.poll() is None:
            os.killpg(host.pid, signal.SIGTERM)
            host.wait()

    def changed(self, before, after, region="1280x800+0+0"):
        """(x, y, width, height) of what differs between two screenshots in
        `region`, or None."""
        box = subprocess.run(["convert", before, after, "-crop", region,
                              "-compose", "difference", "-composite",
                              "-threshold", "0", "-trim", "-format", "%w %h %X %Y", "info:"],
                             capture_output=True, text=True, check=True).stdout.split()
        w, h, x, y = (int(n) for n in box)
        return None if (w, h) == (1, 1) else (x, y, w, h)

    def settled(self, before, what):
        """What differs from `before` once the screen has stopped changing
        (without `before`: once it has stopped changing)."""
        def steady():
            first = self.screenshot("a")
            time.sleep(scaled(0.5))
            if self.changed(first, self.screenshot("b")):
                return None
            return self.changed(before, first) if before else True
        return wait_for(steady, timeout=20, what=what)

    def find_item(self, empty, label=None):
        """Where the panel differs from `empty` once that shows our icon's
        shape (in whatever colour the host gives symbolic icons) or reads
        `label`, not a blank or a placeholder. Plasma draws a new item blank,
        and elsewhere, for a moment after the screen looked settled."""
        def shown():
            shot = self.screenshot()
            box = self.changed(empty, shot, self.tray)
            return box and (self.likeness_to_our_icon(shot, box) > 0.6
                            or label and any(label in text for text in self.read(shot, box))) and box
        return wait_for(shown, timeout=20, what="our icon in the panel")

    def likeness_to_our_icon(self, shot, box):
        x, y, w, h = box
        area = GdkPixbuf.Pixbuf.new_from_file(shot).new_subpixbuf(x, y, w, h)
        pixels, stride, n = area.get_pixels(), area.get_rowstride(), area.get_n_channels()
        luma = [[sum(pixels[r * stride + c * n:r * stride + c * n + 3]) // 3 for c in range(w)] for r in range(h)]
        ground = max(set(v for row in luma for v in row), key=lambda v: sum(row.count(v) for row in luma))
        ink = {(c, r) for r in range(h) for c in range(w) if abs(luma[r][c] - ground) > 32}
        if not ink:
            return 0  # blank
        cs, rs = [c for c, _ in ink], [r for _, r in ink]
        left, top, iw, ih = min(cs), min(rs), max(cs) - min(cs) + 1, max(rs) - min(rs) + 1
        # Our icon, cut to its own drawn part and scaled to the ink's size.
        icon = GdkPixbuf.Pixbuf.new_from_file_at_size(os.environ["QUILLARY_ICON"], 64, 64)
        drawn = [(c, r) for r in range(64) for c in range(64) if icon.get_pixels()[r * icon.get_rowstride() + c * 4 + 3]]
        x0, y0 = min(c for c, _ in drawn), min(r for _, r in drawn)
        icon = icon.new_subpixbuf(x0, y0, max(c for c, _ in drawn) - x0 + 1, max(r for _, r in drawn) - y0 + 1)
        icon = icon.scale_simple(iw, ih, GdkPixbuf.InterpType.BILINEAR)
        ipx, istride = icon.get_pixels(), icon.get_rowstride()
        shape = {(left + c, top + r) for r in range(ih) for c in range(iw) if ipx[r * istride + c * 4 + 3] > 127}
        return len(ink & shape) / len(ink | shape)

    def open_menu(self, item, name):
        """Clicks the item; the menu's lines as read: {text: (x, y) of its middle}."""
        shown = self.screenshot("shown")
        subprocess.run(["xdotool", "mousemove", str(item[0]), str(item[1]), "click", str(self.button)],
                       env=self.env, check=True)
        x, y, w, h = self.settled(shown, "the menu")
        # The menu drops below the panel; the item, pressed, is left out.
        below = sum(int(n) for n in re.findall(r"\d+", self.tray)[1::2])
        shot = self.screenshot("menu")
        subprocess.run(["convert", shot, os.path.join(self.artifacts, f"interop-{name}.png")], check=True)
        return self.read(shot, (x, max(y, below), w, h - max(0, below - y)))

    def read(self, shot, box):
        """The lines of text in `box` of `shot`: {text: (x, y) of its middle}.
        A margin around it: text that touches the edge is not read."""
        x, y, w, h = max(0, box[0] - 6), max(0, box[1] - 6), box[2] + 12, box[3] + 12
        big = self.path("crop.png")
        subprocess.run(["convert", shot, "-crop", f"{w}x{h}+{x}+{y}", "-scale", "300%", big], check=True)
        tsv = subprocess.run(["tesseract", big, "-", "-l", "rus+eng", "tsv"], capture_output=True, text=True,
                             check=True).stdout.splitlines()
        lines = {}
        for row in (r.split("\t") for r in tsv[1:]):
            if len(row) == 12 and row[11].strip():
                words = lines.setdefault(tuple(row[2:5]), [])
                words.append((row[11], x + int(row[6]) // 3, y + (int(row[7]) + int(row[9]) // 2) // 3))
        return {" ".join(t for t, _, _ in words): words[0][1:] for words in lines.values()}

    def click(self, where):
        subprocess.run(["xdotool", "mousemove", str(where[0]), str(where[1]), "click", "1"], env=self.env,
                       check=True)

    def test_host(self):
        name = sys.argv[1]
        panel = self.start_host(name)
        empty = self.settled(None, f"{name} drawn") and self.screenshot("empty")
        self.start("on-term-exit:$TERMLOG;out:порт 41823;wait")
        wait_for(lambda: len(self.items()) == 1, timeout=20, what="the item registered")
        box = self.find_item(empty)
        item = (box[0] + box[2] // 2, box[1] + box[3] // 2)

        with self.subTest("the host restarts"):
            self.stop_host(panel)
            self.start_host(name)
            wait_for(lambda: len(self.items()) == 1, timeout=20, what="the item back")
            self.assertEqual(self.find_item(empty), box, "one item, where it was")

        menu = self.open_menu(item, name)
        self.assertEqual(list(menu), [OPEN, QUIT])
        self.click(menu[OPEN])
        wait_for(lambda: self.opened(), what="the browser")
        time.sleep(scaled(0.5))  # lets anything opened in excess show up
        self.assertEqual(self.opened(), ["http://localhost:41823"])
        self.assertEqual(self.launch_again(), 0)  # hands over to the first: one item still
        self.assertEqual(len(self.items()), 1)
        self.click(self.open_menu(item, name)[QUIT])
        status, _ = self.wait_exit()
        self.assertEqual((status, self.terms()), (0, 1))

        with self.subTest("a theme without our icon: its pixels or its label are shown"):
            os.unlink(os.path.join(self.bundle, "share/icons/hicolor/scalable/apps/quillary-symbolic.svg"))
            wait_for(lambda: not self.bus.has_owner(APP_ID), what="the first launcher gone")
            wait_for(lambda: not self.changed(empty, self.screenshot(), self.tray), what="its item gone")
            self.start("wait")
            self.find_item(empty, label="Quillary")

        with self.subTest("the alert, on this desktop"):
            self.signal_launcher(signal.SIGTERM)
            self.wait_exit()
            wait_for(lambda: not self.bus.has_owner(APP_ID), what="the launcher gone")
            self.start("out:нет файла настроек;exit:2", wait_for_bus_name=False)
            headline, text, button = read_alert()
            self.assertEqual((headline, text), ("Quillary не запустился", "нет файла настроек"))
            press(button)
            self.assertEqual(self.wait_exit()[0], 1)


class Dumper(Desktop):
    def test_host(self):
        """A real dbusmenu client reads the item's menu. It never sets a
        locale, so it prints each non-ASCII character as '?'."""
        self.start("wait")
        name = f"org.kde.StatusNotifierItem-{self.launcher.pid}-1"
        wait_for(lambda: self.bus.has_owner(name), what="the item's name")
        dump = subprocess.run(["/usr/libexec/dbusmenu-dumper", "-d", name, "-o", "/MenuBar"], env=self.env,
                              capture_output=True, text=True, check=True, timeout=scaled(10)).stdout
        entries = re.findall(r'"(label|type)": \'([^\']*)\'', dump)
        self.assertEqual(entries, [("label", re.sub(r"[^ -~]", "?", OPEN)), ("type", "separator"),
                                   ("label", re.sub(r"[^ -~]", "?", QUIT))], dump)


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        print("\n".join(HOSTS))
        sys.exit(0)
    case = "Dumper" if HOSTS[sys.argv[1]] is None else "Host"
    unittest.main(argv=[sys.argv[0], "-v", case + ".test_host"])
