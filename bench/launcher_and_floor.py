"""The two programs measured side by side on the bench's desktop: the
launcher, clicked through its tray item, and its floor (bench/floor.cc),
called on the bus."""

import os
import signal
import subprocess

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

from bench_desktop import TIMEOUT, wait_for_stamp  # noqa: E402
from tray_host import MENU_INTERFACE, TrayHost  # noqa: E402

FLOOR_ID = "org.quillary.BenchFloor"
FLOOR_PATH = "/org/quillary/BenchFloor"


class Launcher:
    """The launcher in the bundle, started through the exec stamp, with the
    fake server running `script`, and its tray item once it has one."""

    def __init__(self, desktop, script):
        self.desktop = desktop
        self.host = TrayHost(desktop.address)
        self.exec_stamp = desktop.fresh("launcher-exec")
        env = dict(desktop.env, FAKE_SERVER=script)
        env.update(desktop.launcher_env)
        self.process = desktop.spawn_logged("launcher", [desktop.stamp, self.exec_stamp, "--", desktop.executable],
                                            env)
        self.pid = self.process.pid
        self.server_pid = None
        self.server_pidfd = None
        self.item = None

    def exec_time(self):
        return wait_for_stamp(self.exec_stamp, "the launcher's exec")[0]

    def server_started(self, mark):
        """Time of the server's first step (a mark); notes the server's pid."""
        try:
            ns, pid = wait_for_stamp(mark, "the server's first step")
        except AssertionError:
            raise AssertionError(f"the server did not start; the launcher {self.state()}") from None
        self.adopt_server(int(pid))
        return ns

    def adopt_server(self, pid):
        """Notes the server's pid, and holds a pidfd of it, so that closing
        can end a server that outlived its launcher without ever signalling
        a process that reused its pid."""
        self.server_pid = pid
        try:
            self.server_pidfd = os.pidfd_open(pid)
        except ProcessLookupError:
            self.server_pidfd = None

    def state(self):
        status = self.process.poll()
        with open(self.process.log_path) as f:
            said = f.read().strip()
        return (("runs" if status is None else f"ended with status {status}")
                + (f" and said:\n{said}" if said else ", silent"))

    def wait_for_tray(self):
        """Waits until the item has registered and the menu can be clicked."""
        try:
            self.item = self.host.wait_for_item(timeout=TIMEOUT)
        except TimeoutError:
            raise TimeoutError(f"no tray item came; the launcher {self.state()}") from None
        self.menu_path = self.item.get("Menu")
        self.ids = {label: item_id for item_id, label in self.item._entries()}
        return self.item

    def click(self, label):
        self.host.connection.call_sync(
            self.item.bus_name, self.menu_path, MENU_INTERFACE, "Event",
            GLib.Variant("(isvu)", (self.ids[label], "clicked", GLib.Variant("s", ""), 0)),
            None, Gio.DBusCallFlags.NO_AUTO_START, int(TIMEOUT * 1000), None)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.server_pidfd is not None:
            try:
                signal.pidfd_send_signal(self.server_pidfd, signal.SIGKILL)  # outlived its launcher
            except ProcessLookupError:
                pass
            os.close(self.server_pidfd)
            self.server_pidfd = None
        self.host.close()


class Floor:
    """The floor program, started through the exec stamp."""

    def __init__(self, desktop):
        self.desktop = desktop
        self.exec_stamp = desktop.fresh("floor-exec")
        self.mark = desktop.fresh("floor-mark")
        env = dict(desktop.env, QUILLARY_BENCH_FLOOR_MARK=self.mark)
        self.process = desktop.spawn_logged("floor", [desktop.stamp, self.exec_stamp, "--", desktop.floor], env)
        self.pid = self.process.pid

    def startup_ns(self):
        named = wait_for_stamp(self.mark, "the floor's bus name")[0]
        return named - wait_for_stamp(self.exec_stamp, "the floor's exec")[0]

    def quit(self):
        self.desktop.connection.call_sync(
            FLOOR_ID, FLOOR_PATH, "org.gtk.Actions", "Activate", GLib.Variant("(sava{sv})", ("quit", [], {})),
            None, Gio.DBusCallFlags.NO_AUTO_START, int(TIMEOUT * 1000), None)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
