"""Whether the browser comes in front of the window the user works in when the interface is opened, by each road, in
GNOME's compositor, mutter: the X11 window manager, or a Wayland compositor nested in the X display. The browser (open,
typed into) and the window over it (typed into, then Return pressed to open) are GTK 3 windows (windows.py).
`test_focus.py ROW`: one row of ROWS on a desktop of its own."""

import os
import subprocess
import sys
import time
import unittest

from desktop import OPEN, read_lines, scaled, wait_for
from test_other_desktops import XEmbed

WINDOWS = os.path.join(os.path.dirname(__file__), "windows.py")
ROWS = {  # desktop, what the window over the browser does on Return (windows.py), what the test does then
    "x11-tray-token": ("x11", "tray", None),
    "x11-tray": ("x11", "none", lambda test: test.desktop.tray_click(OPEN)),
    "x11-launch": ("x11", "launch", None),
    "x11-xembed": ("x11", "none", lambda test: test.menu()[OPEN].do_action(0)),
    "wayland-tray-token": ("wayland", "tray", None),
    "wayland-launch": ("wayland", "launch", None),
    "wayland-launch-chromium": ("wayland", "launch", None),  # a real browser: heavy, with `./dev test --interop`
}
CHROMIUM = "chromium --ozone-platform=wayland --no-sandbox --disable-gpu --no-first-run --disable-background-networking"


class Focus(XEmbed):
    def test_the_browser_comes_in_front(self):
        (kind, road, then), desktop = ROWS[self.row], self.desktop
        # GTK's own icons (or it aborts drawing a title bar), mutter's settings' schemas.
        desktop.env.update(XDG_DATA_DIRS=desktop.env["XDG_DATA_DIRS"] + ":/usr/share", URLS=desktop.urls,
                           FOCUSLOG=desktop.path("focus.log"), ENTRY=desktop.path("quillary.desktop"))
        desktop.spawn(["mutter", "--x11", "--replace"] if kind == "x11" else [
            "mutter", "--wayland", "--nested", "--no-x11", "--wayland-display", "wayland-focus"],
            env=desktop.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if kind == "wayland":
            wait_for(lambda: os.path.exists(desktop.path("runtime/wayland-focus")), what="mutter")
            desktop.env.update(WAYLAND_DISPLAY="wayland-focus", GDK_BACKEND="wayland")
        wait_for(lambda: kind == "wayland" or "_NET_SUPPORTING_WM_CHECK(WINDOW)" in self.x("xprop", "-root"), what="mutter")
        chromium = self.row.endswith("chromium")
        desktop.set_browser(f"{CHROMIUM} --user-data-dir={desktop.path('profile')} %u" if chromium else
                            f"{sys.executable} {WINDOWS} browser %u")
        if self.row == "x11-xembed":
            self.start_tray(dock="true")
        desktop.start('echo "порт 4242"; idle')
        if chromium:  # which tells nobody that it is active: the editor tells that it is not
            wait_for(lambda: desktop.activate_action("open") or os.path.lexists(desktop.path("profile/SingletonLock")),
                     timeout=60, interval=2, what="Chromium")
            time.sleep(scaled(5))  # its window up
        else:
            desktop.open_once_port_is_known(lambda: desktop.activate_action("open"))
        self.type_into("browser")
        # The launcher's desktop entry as built, with startup notification as it asks, started as a shell does.
        with open(os.environ["QUILLARY_DESKTOP_ENTRY"]) as built, open(desktop.env["ENTRY"], "w") as entry:
            entry.write("".join(f"Exec={desktop.bundle}/bin/quillary\n" if line.startswith("Exec=") else line
                                for line in built if not line.startswith("[Desktop Action")))
        desktop.spawn([sys.executable, WINDOWS, "editor", road], env=dict(desktop.env, LAUNCHER_PID=str(desktop.launcher.pid)))
        self.type_into("editor")
        self.x("xdotool", "key", "Return")
        if then:
            then(self)
        wait_for(lambda: self.active() == "browser" or chromium and not self.active(), timeout=20, fail=False)
        self.assertEqual(self.active(), None if chromium else "browser", read_lines(desktop.env["FOCUSLOG"]))

    def x(self, *command):
        return subprocess.run(command, env=self.desktop.env, capture_output=True, text=True, check=True).stdout

    def active(self):  # the one window that is active, as the windows tell
        states = dict(line.split() for line in read_lines(self.desktop.env["FOCUSLOG"]))
        active = [window for window, state in states.items() if state == "1"]
        return active[0] if len(active) == 1 else None

    def type_into(self, window):
        wait_for(lambda: self.active() == window or self.row.endswith("chromium") and window == "browser", timeout=20,
                 what=f"the {window} in front")
        self.x("xdotool", "mousemove", "640", "400", "type", "--delay", "20", "typed")


if __name__ == "__main__":
    Focus.row = sys.argv.pop(1)
    unittest.main()
