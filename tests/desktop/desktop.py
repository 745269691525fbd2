"""A private desktop for one test: its own session bus, a temporary bundle
holding the built launcher with the fake server in the server's place, a
recorder as the default browser, and the launcher's alert read the way a
screen reader reads it (AT-SPI).

Paths of the built programs come from the environment that CTest sets:
QUILLARY_LAUNCHER, QUILLARY_ALERT_MODULE, QUILLARY_FAKE_SERVER, QUILLARY_ICON.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402

FACTOR = float(os.environ.get("QUILLARY_TEST_TIMEOUT_FACTOR", "1") or 1)
APP_ID = "org.quillary.Quillary"
APP_PATH = "/org/quillary/Quillary"


def scaled(seconds):
    return seconds * FACTOR


def wait_for(condition, timeout=5.0, what="condition", interval=0.01):
    """Polls `condition` until it returns something true; fails at the timeout."""
    deadline = time.monotonic() + scaled(timeout)
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(interval)


class XServer:
    """An Xvfb of our own: the accessibility bus announces itself on the X
    root window, so tests side by side on one display would meet each
    other's alerts."""

    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
            pass_fds=(write,), stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as displayfd:
            self.display = ":" + displayfd.readline().strip()

    def close(self):
        self.process.terminate()
        self.process.wait()


class SessionBus:
    """A dbus-daemon of our own, so that tests can run side by side."""

    def __init__(self):
        self.process = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, text=True)
        self.address = self.process.stdout.readline().strip()
        self.connection = Gio.DBusConnection.new_for_address_sync(
            self.address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)

    def call(self, name, path, interface, method, args=None, reply=None, timeout=10.0):
        return self.connection.call_sync(name, path, interface, method, args,
                                         GLib.VariantType(reply) if reply else None,
                                         Gio.DBusCallFlags.NONE, int(scaled(timeout) * 1000), None)

    def has_owner(self, name):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", GLib.Variant("(s)", (name,)), "(b)").unpack()[0]

    def close(self):
        self.connection.close_sync(None)
        self.process.terminate()
        self.process.wait()
        self.process.stdout.close()


class Desktop(unittest.TestCase):
    """Base of the launcher's desktop tests: `self.start(script)` runs the
    launcher in a fresh bundle whose server is the fake server running
    `script` (see tests/fake_server.cc)."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillary-desktop-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        # The accessibility bus puts its socket in the runtime directory (or
        # one fixed place without one): a directory of our own per test.
        runtime = os.path.join(self.dir, "runtime")
        os.mkdir(runtime, 0o700)
        os.environ["XDG_RUNTIME_DIR"] = runtime
        self.x = XServer()
        self.addCleanup(self.x.close)
        # Before the bus starts: what it activates (the accessibility bus and
        # its registry) takes its environment.
        os.environ["DISPLAY"] = self.x.display
        self.bus = SessionBus()
        self.addCleanup(self.bus.close)
        # For AT-SPI, which finds the accessibility bus through the session bus.
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = self.bus.address
        self.bundle = self.make_bundle()
        self.urls = os.path.join(self.dir, "urls")
        self.term_log = os.path.join(self.dir, "term.log")
        self.env = self.make_environment()
        self.launcher = None

    def path(self, name):
        return os.path.join(self.dir, name)

    # The bundle: the launcher is copied, as it finds its files from its own
    # real path; the rest may be links.
    def make_bundle(self, server=True, icon=True):
        bundle = os.path.join(self.dir, "bundle")
        for sub in ("bin", "lib/quillary", "libexec/quillary", "share/icons/hicolor/scalable/apps"):
            os.makedirs(os.path.join(bundle, sub), exist_ok=True)
        shutil.copy2(os.environ["QUILLARY_LAUNCHER"], os.path.join(bundle, "bin/quillary"))
        os.symlink(os.environ["QUILLARY_ALERT_MODULE"], os.path.join(bundle, "lib/quillary/quillary-alert.so"))
        if server:
            os.symlink(os.environ["QUILLARY_FAKE_SERVER"], os.path.join(bundle, "libexec/quillary/quillary-bin"))
        if icon:
            os.symlink(os.environ["QUILLARY_ICON"],
                       os.path.join(bundle, "share/icons/hicolor/scalable/apps/quillary-symbolic.svg"))
        return bundle

    @property
    def server_path(self):
        return os.path.join(self.bundle, "libexec/quillary/quillary-bin")

    # A recorder as the default handler of http, alone in its XDG folders.
    def make_environment(self):
        config = self.path("config")
        data = self.path("data")
        os.makedirs(config)
        os.makedirs(os.path.join(data, "applications"))
        with open(os.path.join(config, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=recorder.desktop\n")
        with open(os.path.join(data, "applications", "recorder.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Recorder\n"
                    f"Exec=/bin/sh -c 'echo \"$1\" >> {self.urls}' recorder %u\n"
                    "MimeType=x-scheme-handler/http;\n")
        env = dict(os.environ)
        env.update({
            "DBUS_SESSION_BUS_ADDRESS": self.bus.address,
            "DISPLAY": self.x.display,
            "XDG_CONFIG_HOME": config,
            "XDG_DATA_HOME": data,
            "XDG_DATA_DIRS": data,
            "XDG_CONFIG_DIRS": config,
            "GIO_USE_VFS": "local",
            "LANG": "C.UTF-8",
        })
        env.pop("NO_AT_BRIDGE", None)
        return env

    def start(self, script, env=None, wait_for_bus_name=True):
        # As on a desktop, the accessibility bus and its registry are up
        # before the launcher starts: an application that cannot register
        # in time stays invisible to screen readers.
        accessibility()
        environment = dict(self.env, FAKE_SERVER=script.replace("$TERMLOG", self.term_log))
        environment.update(env or {})
        self.launcher = subprocess.Popen([os.path.join(self.bundle, "bin/quillary")], env=environment,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(self.kill_launcher, self.launcher)
        if wait_for_bus_name:
            wait_for(lambda: self.bus.has_owner(APP_ID), what="the launcher on the bus")
        return self.launcher

    def kill_launcher(self, launcher):
        running = launcher.poll() is None
        if running:
            launcher.kill()
        out, err = launcher.communicate()
        if running and err:
            print(f"--- the launcher (killed at the end of the test) said:\n{err}", file=sys.stderr)
        # The fake server of a killed launcher would linger.
        subprocess.run(["pkill", "-KILL", "-f", "^" + self.server_path], check=False)

    def launch_again(self, args=()):
        """Starts the executable a second time, as a click on its desktop entry does."""
        again = subprocess.run([os.path.join(self.bundle, "bin/quillary"), *args], env=self.env,
                               capture_output=True, text=True, timeout=scaled(10))
        return again.returncode

    def wait_exit(self, timeout=10.0):
        """Waits for the launcher to end: (status, standard error). Its peak
        resident memory is left in self.peak_kb."""
        deadline = time.monotonic() + scaled(timeout)
        while True:
            pid, status, usage = os.wait4(self.launcher.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                raise AssertionError("the launcher did not end")
            time.sleep(0.01)
        self.launcher.returncode = os.waitstatus_to_exitcode(status)
        self.peak_kb = usage.ru_maxrss
        out, err = self.launcher.communicate()
        if err:
            print(f"--- the launcher's standard error:\n{err}", file=sys.stderr)
        return self.launcher.returncode, err

    # What reached the default browser.
    def opened(self):
        try:
            with open(self.urls) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def open_once_port_is_known(self, open_action):
        """Asks to open (by `open_action`) until a URL reaches the browser; the
        launcher learns the port a moment after the server prints it. Each
        try waits long enough for its browser to have started."""
        for _ in range(20):
            before = len(self.opened())
            open_action()
            try:
                wait_for(lambda: len(self.opened()) > before, timeout=0.5)
                return
            except AssertionError:
                pass
        raise AssertionError("nothing was opened once the port was known")

    def terms(self):
        """How many SIGTERMs the fake server logged."""
        try:
            with open(self.term_log) as f:
                return f.read().count("TERM")
        except FileNotFoundError:
            return 0

    def activate_action(self, name):
        self.bus.call(APP_ID, APP_PATH, "org.gtk.Actions", "Activate",
                      GLib.Variant("(sava{sv})", (name, [], {})), timeout=10)

    def signal_launcher(self, number):
        os.kill(self.launcher.pid, number)

    def maps(self):
        with open(f"/proc/{self.launcher.pid}/maps") as f:
            return f.read()


def accessibility():
    """AT-SPI, started on this test's session bus, with its registry answering."""
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    # The registry and the application answer slowly on a loaded machine;
    # the default of 0.8 s per call is for interactive use.
    Atspi.set_timeout(int(scaled(10) * 1000), int(scaled(30) * 1000))
    Atspi.get_desktop(0).get_child_count()
    return Atspi


def read_alert(timeout=10.0):
    """The launcher's alert as AT-SPI shows it: (headline, explanation, button).

    AT-SPI reads the session bus address when it starts, so the test must
    have set DBUS_SESSION_BUS_ADDRESS in os.environ before the first call."""
    Atspi = accessibility()

    def find(node, role, found):
        try:
            if node.get_role() == role:
                found.append(node)
            for i in range(node.get_child_count()):
                child = node.get_child_at_index(i)
                if child is not None:
                    find(child, role, found)
        except GLib.Error:
            pass  # an application that went away meanwhile
        return found

    def alert():
        # AT-SPI learns of new applications from bus signals, which arrive
        # only while the main context runs; and what it has cached is dropped.
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)
        desktop = Atspi.get_desktop(0)
        desktop.clear_cache()
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == "quillary":
                alerts = find(app, Atspi.Role.ALERT, [])
                buttons = find(alerts[0], Atspi.Role.PUSH_BUTTON, []) if alerts else []
                if buttons:  # complete; only now read the texts, which may be long
                    labels = [label.get_name() for label in find(alerts[0], Atspi.Role.LABEL, [])
                              if label.get_state_set().contains(Atspi.StateType.SHOWING)]
                    if len(labels) >= 2:
                        return labels, buttons[0]
        return None

    def dump(node, depth=0):
        """What was there instead, for the failure's report."""
        try:
            print("  " * depth, node.get_role_name(), repr(node.get_name()), file=sys.stderr)
            for i in range(node.get_child_count()):
                dump(node.get_child_at_index(i), depth + 1)
        except GLib.Error as error:
            print("  " * depth, error, file=sys.stderr)

    try:
        labels, button = wait_for(alert, timeout, "the alert on the accessibility bus", interval=0.1)
    except AssertionError:
        dump(Atspi.get_desktop(0))
        print("--- processes:", subprocess.run(["ps", "-eo", "pid,ppid,stat,etime,args"], capture_output=True,
                                                text=True).stdout, file=sys.stderr)
        raise
    return labels[0], labels[1], button


def press(button):
    """Presses a button as a screen reader user does: its action 0."""
    from gi.repository import Atspi
    Atspi.Action.do_action(button, 0)
