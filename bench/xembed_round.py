"""The launcher in a tray that speaks only XEmbed (trayer, no StatusNotifierItem watcher on the bus): its memory
while docked, until its menu is first opened, against the same launcher's on a StatusNotifierItem desktop (the tray
host stand-in) in the same round; and the time from a click on the docked icon to its menu on the screen, the first
(GTK loaded then) and a second. What each figure is, is told at the head of launcher_bench.py."""

import ctypes
import ctypes.util
import re
import select
import subprocess
import time

from bench_desktop import TIMEOUT, log, now_ns
from desktop_harness import wait_for
from launcher_and_floor import Launcher
from proc_readers import smaps_rollup, status_kb
from units import KB, MB

TRAY_HEIGHT = 24
MAP_NOTIFY, SUBSTRUCTURE_NOTIFY_MASK = 19, 1 << 19
XK_ESCAPE = 0xFF1B


class Pointer:
    """The X display as a person's mouse and eyes: XTest clicks, and the windows mapped on the root window (as the
    menu's is). Through ctypes, so that the click and what it maps are timed by one client with no go-between."""

    def __init__(self, display):
        self.x = ctypes.CDLL(ctypes.util.find_library("X11"))
        self.xtest = ctypes.CDLL(ctypes.util.find_library("Xtst"))
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        for name in ("XDefaultRootWindow", "XSelectInput", "XFlush", "XPending", "XNextEvent", "XConnectionNumber",
                     "XKeysymToKeycode", "XCloseDisplay"):
            getattr(self.x, name).argtypes = [ctypes.c_void_p] + {
                "XSelectInput": [ctypes.c_ulong, ctypes.c_long], "XNextEvent": [ctypes.c_void_p],
                "XKeysymToKeycode": [ctypes.c_ulong]}.get(name, [])
        self.display = self.x.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError(f"cannot open the display {display}")
        self.x.XSelectInput(self.display, self.x.XDefaultRootWindow(self.display), SUBSTRUCTURE_NOTIFY_MASK)
        self.x.XFlush(self.display)

    def click(self, x, y, button=1):
        """Moves the pointer to (x, y) and clicks: the time just before the press (ns)."""
        self.xtest.XTestFakeMotionEvent(ctypes.c_void_p(self.display), -1, x, y, 0)
        self.x.XFlush(self.display)
        time.sleep(0.05)
        self.drain()
        start = now_ns()
        for press in (True, False):
            self.xtest.XTestFakeButtonEvent(ctypes.c_void_p(self.display), button, press, 0)
        self.x.XFlush(self.display)
        return start

    def escape(self):
        code = self.x.XKeysymToKeycode(self.display, XK_ESCAPE)
        for press in (True, False):
            self.xtest.XTestFakeKeyEvent(ctypes.c_void_p(self.display), code, press, 0)
        self.x.XFlush(self.display)

    def drain(self):
        event = (ctypes.c_long * 24)()
        while self.x.XPending(self.display):
            self.x.XNextEvent(self.display, event)

    def next_popup_mapped(self, timeout=TIMEOUT):
        """The time (ns) an override-redirect window (a popup menu) is next mapped on the root window."""
        event = (ctypes.c_long * 24)()
        deadline = time.monotonic() + timeout
        fd = self.x.XConnectionNumber(self.display)
        while time.monotonic() < deadline:
            while self.x.XPending(self.display):
                self.x.XNextEvent(self.display, event)
                # XMapEvent: type, serial, send_event, display, event, window, override_redirect
                if event[0] & 0xFFFFFFFF == MAP_NOTIFY and event[6] & 0xFFFFFFFF:
                    return now_ns()
            select.select([fd], [], [], 0.05)
        raise TimeoutError("no menu was mapped")

    def close(self):
        self.x.XCloseDisplay(self.display)


def docked_icon(desktop):
    """The centre of the launcher's icon window once it is in the tray (not a child of the root), or None."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], env=desktop.env, capture_output=True, text=True).stdout
    for line in tree.splitlines():
        found = re.search(r'"quillary" "quillary"\)\s+(\d+)x(\d+)\S* +\+(-?\d+)\+(-?\d+)', line)
        if found and len(line) - len(line.lstrip()) > 5:
            width, height, x, y = map(int, found.groups())
            return x + width // 2, y + height // 2


def xembed_round(desktop, results):
    """One round: the launcher on the StatusNotifierItem desktop, then in trayer, started alike."""
    script = "out:веб-интерфейс слушает порт 41824;wait"
    launcher = Launcher(desktop, script)
    try:
        launcher.wait_for_tray()
        time.sleep(0.7)  # as the session round's "started, tray up"
        results.add("xembed.sni_rss", smaps_rollup(launcher.pid)["Rss"] * KB)
    finally:
        launcher.close()

    tray = desktop.spawn(["trayer", "--edge", "top", "--align", "left", "--widthtype", "request", "--height",
                          str(TRAY_HEIGHT), "--SetDockType", "false"], env=desktop.env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pointer = Pointer(desktop.display)
    env = dict(desktop.env, FAKE_SERVER=script)
    env.update(desktop.launcher_env)
    process = desktop.spawn_logged("launcher-xembed", [desktop.executable], env)
    try:
        where = wait_for(lambda: docked_icon(desktop), TIMEOUT, "the icon docked in trayer", interval=0.05)
        time.sleep(1.0)  # drawn, and settled
        # Up to now: the peak since the start, and what is resident.
        results.add("xembed.docked_hwm", status_kb(process.pid, "VmHWM") * KB)
        results.add("xembed.docked_rss", smaps_rollup(process.pid)["Rss"] * KB)
        for key, button in (("xembed.first_click", 1), ("xembed.second_click", 3)):
            clicked = pointer.click(*where, button)
            results.add(key, pointer.next_popup_mapped() - clicked)
            time.sleep(0.5)
            pointer.escape()
            time.sleep(0.5)
        results.add("xembed.menu_rss", smaps_rollup(process.pid)["Rss"] * KB)
        if process.poll() is not None:
            raise AssertionError(f"the launcher in trayer ended with status {process.returncode}")
    finally:
        pointer.close()
        process.terminate()
        process.wait(10)
        tray.terminate()
        tray.wait()
    log(f"  XEmbed: docked RSS {results.values['xembed.docked_rss'][-1] / MB:.2f} MiB, "
        f"first click → menu {results.values['xembed.first_click'][-1] / 1e6:.1f} ms")


def xembed_rows(v, figure, ratio_cell, met, median):
    """The table's rows of this round's figures, in the report's own cells."""
    if "xembed.docked_rss" not in v:
        return []
    ratios = [x / s for x, s in zip(v["xembed.docked_hwm"], v["xembed.sni_rss"])]
    return [
        ("Memory, XEmbed tray (trayer), docked, until the menu first opens: peak RSS (VmHWM) "
         "(against: RSS on a StatusNotifierItem desktop, started, tray up)",
         figure(v["xembed.docked_hwm"], MB, "MiB", 2), figure(v["xembed.sni_rss"], MB, "MiB", 2),
         ratio_cell(ratios), "≤ 1.5×", met(max(ratios) <= 1.5)),
        ("Memory, XEmbed tray, after the menu opened twice (GTK loaded): RSS", figure(v["xembed.menu_rss"], MB, "MiB", 2),
         "—", "—", "(reported)", "—"),
        ("XEmbed tray: first click on the icon → its menu mapped (GTK loaded meanwhile)",
         figure(v["xembed.first_click"], 1e6, "ms", 1), "—", "—", "≤ 250 ms", met(median(v["xembed.first_click"]) <= 250e6)),
        ("XEmbed tray: a later click (right button) → its menu mapped", figure(v["xembed.second_click"], 1e6, "ms", 1),
         "—", "—", "(reported)", "—"),
    ]
