"""A private desktop session for the desktop tests, the tray hosts' tests and bench/: Xvfb, a session bus with the
accessibility bus, a bundle holding the launcher that CTest names (QUILLARY_LAUNCHER, _ICON), and a
recorder as the default browser. The alert is read as a screen reader reads it (AT-SPI)."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402
from screen import accessibility, find, launcher_accessibles  # noqa: E402

FACTOR = float(os.environ.get("QUILLARY_TEST_TIMEOUT_FACTOR") or 1)
APP_ID = "org.quillary.Quillary"
HEADLINE = "Quillary не запустился"
OPEN, QUIT = "Открыть Quillary", "Выйти из Quillary"
WATCHER = "org.kde.StatusNotifierWatcher"

# Every server a test writes starts so: it logs each SIGTERM it gets and ends, and `idle` waits for signals without
# holding the launcher's pipe.
SERVER_PRELUDE = """#!/bin/sh
trap 'echo TERM >> "$TERMLOG"; exit 0' TERM
idle() { while :; do sleep 600 </dev/null >/dev/null 2>&1 & wait $!; done; }
"""


def scaled(seconds):
    return seconds * FACTOR


def wait_for(condition, timeout=5.0, what="condition", interval=0.01, fail=True):
    """Polls `condition` until it returns something true; at the timeout, fails, or (not `fail`) returns its last."""
    deadline = time.monotonic() + scaled(timeout)
    while True:
        value = condition()
        if value or time.monotonic() > deadline and not fail:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(interval)


def read_lines(path):
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class Session:
    """One desktop. The accessibility bus announces itself on the X root window and puts its socket in the runtime
    directory, so each session has both of its own, or sessions side by side meet each other's alerts."""

    def __init__(self, launcher=None, bundle=None):
        self.dir = tempfile.mkdtemp(prefix="quillary-desktop-")
        self.started = []
        os.environ["XDG_RUNTIME_DIR"] = self.path("runtime")
        os.mkdir(os.environ["XDG_RUNTIME_DIR"], 0o700)
        read, write = os.pipe()
        self.x_server = self.spawn(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"],
                   pass_fds=(write,), stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as displayfd:
            self.display = os.environ["DISPLAY"] = ":" + displayfd.readline().strip()
        # What the bus starts (the accessibility bus) takes its environment.
        for name in ("NO_AT_BRIDGE", "WAYLAND_DISPLAY", "AT_SPI_BUS_ADDRESS"):
            os.environ.pop(name, None)
        # What the bus starts keeps its standard error, and may outlive it: not the test's, which its runner waits on.
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        bus.stdout.close()
        self.connection = Gio.DBusConnection.new_for_address_sync(
            self.address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)
        self.urls, self.term_log, self.ready = self.path("urls"), self.path("term.log"), self.path("ready")
        # The launcher runs from a copy, or from where it is installed.
        self.bundle = bundle or self.path("bundle")
        self.launcher = None
        if not bundle:
            self.make_bundle(launcher or os.environ["QUILLARY_LAUNCHER"])
        self.env = self.make_environment(f"/bin/sh -c 'echo \"$1\" >> {self.urls}' recorder %u")

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, argv, **options):
        process = subprocess.Popen(argv, **options)
        self.started.append(process)
        return process

    def close(self, keep=False):
        self.connection.close_sync(None)
        for process in reversed(self.started):
            if process is self.launcher:  # it leads a session of its own, with its server (a process group of its own)
                subprocess.run(["pkill", "-KILL", "-s", str(process.pid)])
                if process.returncode is None:  # not waited for by the test: what it said, for a failure's cause
                    print(f"--- the launcher, killed at the end, said:\n{process.communicate()[1]}", file=sys.stderr)
            process.kill()
            process.wait()
        if not keep:
            shutil.rmtree(self.dir, True)

    # The launcher is copied, as it finds its files from its own real path.
    def make_bundle(self, launcher):
        for sub in ("bin", "lib/quillary", "libexec/quillary", "share/icons/hicolor/scalable/apps"):
            os.makedirs(os.path.join(self.bundle, sub))
        shutil.copy2(launcher, os.path.join(self.bundle, "bin/quillary"))
        modules = os.path.join(os.path.dirname(launcher), "../lib/quillary")  # built side by side
        for module in ("quillary-alert.so", "quillary-xembed.so"):
            os.symlink(os.path.join(modules, module), os.path.join(self.bundle, "lib/quillary", module))
        icon = os.environ.get("QUILLARY_ICON") or os.path.join(
            os.path.dirname(__file__), "../../packaging/quillary-tray.svg")
        self.icon_path = os.path.join(self.bundle, "share/icons/hicolor/scalable/apps/quillary-tray.svg")
        os.symlink(os.path.abspath(icon), self.icon_path)

    @property
    def server_path(self):
        return os.path.join(self.bundle, "libexec/quillary/quillary-bin")

    def set_server(self, script):  # a shell script after SERVER_PRELUDE, or (a path) a program
        if os.path.lexists(self.server_path):
            os.unlink(self.server_path)
        if os.path.isabs(script):
            os.symlink(script, self.server_path)
            return
        with open(self.server_path, "w") as f:
            f.write(SERVER_PRELUDE + script + "\n")
        os.chmod(self.server_path, 0o755)

    # The default http handler, alone in its XDG folders.
    def make_environment(self, browser):
        config, data = self.path("config"), self.path("data")
        os.makedirs(os.path.join(data, "applications"))
        os.makedirs(config)
        with open(os.path.join(config, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=browser.desktop\n")
        self.set_browser(browser, data)
        return dict(os.environ, XDG_CONFIG_HOME=config, XDG_DATA_HOME=data, XDG_DATA_DIRS=data,
                    XDG_CONFIG_DIRS=config, GIO_USE_VFS="local", LANG="C.UTF-8", G_DEBUG="fatal-criticals",
                    TERMLOG=self.term_log, READY=self.ready)

    def set_browser(self, command, data=None):  # the default http handler's Exec line
        with open(os.path.join(data or self.env["XDG_DATA_HOME"], "applications", "browser.desktop"), "w") as f:
            f.write(f"[Desktop Entry]\nType=Application\nName=Browser\nExec={command}\n"
                    "MimeType=x-scheme-handler/http;\n")

    def start(self, server=None, env=None, wait_for_bus_name=True, **options):  # `server` as set_server takes it
        if server is not None:
            self.set_server(server)
        # As on a desktop, the accessibility bus and its registry are up before the launcher starts: an application
        # that cannot register in time stays invisible to screen readers.
        accessibility()
        with open(self.path("debug.log"), "w") as log:
            self.launcher = self.spawn([os.path.join(self.bundle, "bin/quillary")],
                                       env=dict(self.env, G_MESSAGES_DEBUG="quillary", **(env or {})),
                                       **dict(dict(stdout=log, stderr=subprocess.PIPE), **options),
                                       text=True, start_new_session=True)
        if wait_for_bus_name:
            wait_for(lambda: self.has_owner(APP_ID), what="the launcher on the bus")
        return self.launcher

    def launch_again(self, args=(), env=None):  # as a click on its desktop entry does
        return subprocess.run([os.path.join(self.bundle, "bin/quillary"), *args], env=dict(self.env, **(env or {})),
                              capture_output=True, timeout=scaled(10)).returncode

    def wait_exit(self):  # once the launcher ends: (status, standard error)
        err = self.launcher.communicate(timeout=scaled(10))[1]
        if err:
            print(f"--- the launcher's standard error:\n{err}", file=sys.stderr)
        return self.launcher.returncode, err

    def peak_kb(self):
        """The launcher's peak resident memory so far. (Not the rusage of its end: that counts the test's own memory.)"""
        with open(f"/proc/{self.launcher.pid}/status") as status:
            return int(status.read().split("VmHWM:")[1].split()[0])

    def opened(self):  # what reached the default browser
        return read_lines(self.urls)

    def debug_log(self):
        with open(self.path("debug.log")) as f:
            return f.read()

    def open_once_port_is_known(self, open_action):
        """Opens once the launcher has learned the port (a moment after the server prints it): the one address opened."""
        wait_for(lambda: ": port learned: " in self.debug_log(), what="the port learned")
        before = len(self.opened())
        open_action()
        opened = self.settled_opens(before + 1)[before:]
        if len(opened) != 1:
            raise AssertionError(f"one open asked for, and these reached the browser: {opened}")
        return opened[0]

    def settled_opens(self, expected):
        """What reached the browser once the `expected` opens have been asked for, and every open asked for by then
        has reached it: two calls through the launcher's main thread then pass whatever was sent before them (a tray
        click is handed on once more, at a lower priority: what it asks is waited for first), and each open is in its
        debug log before the browser starts."""
        wait_for(lambda: self.debug_log().count(": opening ") >= expected, what=f"{expected} opens asked for")
        for _ in range(2):
            self.call(APP_ID, "/org/quillary/Quillary", "org.gtk.Actions", "List", None, "(as)")
        asked = [line.split(": opening ")[1] for line in read_lines(self.path("debug.log")) if ": opening " in line]
        return wait_for(lambda: self.opened() if len(self.opened()) >= len(asked) else None, what="every open asked for")

    def children(self):  # the launcher's child processes, by PID
        tasks = f"/proc/{self.launcher.pid}/task"
        return [int(pid) for task in os.listdir(tasks) for line in read_lines(f"{tasks}/{task}/children")
                for pid in line.split()]

    def terms(self):  # how many SIGTERMs the server logged
        return read_lines(self.term_log).count("TERM")

    def call(self, name, path, interface, method, args=None, reply=None):
        return self.connection.call_sync(name, path, interface, method, args,
                                         GLib.VariantType(reply) if reply else None,
                                         Gio.DBusCallFlags.NONE, int(scaled(10) * 1000), None)

    def has_owner(self, name):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", GLib.Variant("(s)", (name,)), "(b)").unpack()[0]

    def watcher(self, name):
        """A property of the tray's watcher; None while there is none, or while one killed with its panel holds the name."""
        try:
            return self.has_owner(WATCHER) and self.call(WATCHER, "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
                                                         "Get", GLib.Variant("(ss)", (WATCHER, name)), "(v)").unpack()[0]
        except GLib.Error:
            return None

    def tray_call(self, method, signature, *args, path="/MenuBar", interface="com.canonical.dbusmenu"):  # on its menu
        item = f"org.kde.StatusNotifierItem-{self.launcher.pid}-1"
        wait_for(lambda: self.has_owner(item), what="the tray item")
        return self.call(item, path, interface, method, GLib.Variant(signature, args)).unpack()

    def item_call(self, method, signature, *args, interface="org.kde.StatusNotifierItem"):  # the item's, not its menu's
        return self.tray_call(method, signature, *args, path="/StatusNotifierItem", interface=interface)

    def tray_click(self, entry):
        self.tray_call("Event", "(isvu)", {OPEN: 1, QUIT: 3}[entry], "clicked", GLib.Variant("s", ""), 0)

    def activate_action(self, name, token=None):  # with a token in the platform data, as GTK sends it
        self.call(APP_ID, "/org/quillary/Quillary", "org.gtk.Actions", "Activate", GLib.Variant(
            "(sava{sv})", (name, [], {"activation-token": GLib.Variant("s", token)} if token else {})))


class Desktop(unittest.TestCase):  # a test with a session of its own in self.desktop
    session = Session

    def setUp(self):
        self.desktop = self.session()
        self.addCleanup(self.desktop.close)

    def expect_alert(self, explanation, dismiss=True):  # `explanation` None: any, for the caller (with the button)
        Atspi = accessibility()

        def alert():
            for shown in launcher_accessibles(Atspi.Role.ALERT):
                buttons = find(shown, Atspi.Role.PUSH_BUTTON)
                if buttons:  # complete; only now read the texts, which may be long
                    labels = [label.get_name() for label in find(shown, Atspi.Role.LABEL)
                              if label.get_state_set().contains(Atspi.StateType.SHOWING)]
                    if len(labels) >= 2:
                        return labels, buttons[0]

        labels, button = wait_for(alert, 30, "the alert on the accessibility bus", interval=0.1)
        # The last two: a title bar the window draws itself (on Wayland) comes first.
        self.assertEqual(labels[-2:], [HEADLINE, labels[-1] if explanation is None else explanation])
        self.assertIsNone(self.desktop.launcher.poll(), "the launcher waits for the alert")
        if dismiss:
            button.do_action(0)  # as a screen reader user does
            self.assertEqual(self.desktop.wait_exit()[0], 1)
        return labels[-1], button
