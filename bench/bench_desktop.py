"""The desktop the bench runs on (BenchDesktop), and the clocks of what
runs on it: the stamps and marks that bench_stamp and the fake server leave
in files, and the exits that bench_exit_watch sees."""

import os
import subprocess
import sys
import time

from desktop_harness import Session, accessibility, wait_for

TIMEOUT = 30.0  # for anything that should take milliseconds
POLL = 0.001  # how often what is waited for is looked at


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def log(*parts):
    """Progress and detail; standard output is the table's alone."""
    print(*parts, file=sys.stderr, flush=True)


def stamps(path):
    """Lines of a stamp or mark file: (monotonic ns, rest of the line)."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    result = []
    for line in lines:
        ns, _, rest = line.partition(" ")
        result.append((int(ns), rest))
    return result


def wait_for_stamp(path, what, timeout=TIMEOUT):
    return wait_for(lambda: stamps(path), timeout, what, interval=POLL)[0]


def touch(path):
    open(path, "w").close()


def settle_file(path, quiet=0.3):
    """Waits until `path` has not grown for `quiet` seconds."""
    size, since = -1, time.monotonic()
    deadline = since + TIMEOUT
    while time.monotonic() < deadline:
        current = os.path.getsize(path) if os.path.exists(path) else 0
        if current != size:
            size, since = current, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return
        time.sleep(0.02)


def exit_times(watcher, pids, action, timeout=TIMEOUT):
    """Runs `action` and returns (time just before it, {pid: time of exit}).
    The exits are timed by bench_exit_watch, which sees them through pidfds
    (a process has ended even before its parent reaps it) at a real-time
    priority, so that they are not late by this script's own wake-ups."""
    watch = subprocess.Popen([watcher, *map(str, pids)], stdout=subprocess.PIPE, text=True)
    try:
        if watch.stdout.readline().strip() != "ready":
            raise RuntimeError("bench_exit_watch did not start")
        start = now_ns()
        action()
        output, _ = watch.communicate(timeout=timeout)
    finally:
        if watch.poll() is None:
            watch.kill()
            watch.wait()
        watch.stdout.close()
    ended = {}
    for line in output.splitlines():
        pid, ns = line.split()
        ended[int(pid)] = int(ns)
    return start, ended


class BenchDesktop(Session):
    """The tests' desktop session, with the exec stamp as the default
    browser (each URL with its time), the fake server in the bundle, and a
    log of its own for each program the bench starts."""

    def __init__(self, build, launcher, server, launcher_env):
        # What the launcher and the floor get is this desktop's alone.
        for name in ("DBUS_SESSION_BUS_ADDRESS", "FAKE_SERVER", "G_MESSAGES_DEBUG"):
            os.environ.pop(name, None)
        super().__init__(launcher=launcher)
        self.serial = 0
        self.stamp = os.path.join(build, "bench", "bench_stamp")
        self.floor = os.path.join(build, "bench", "bench_floor")
        self.exit_watch = os.path.join(build, "bench", "bench_exit_watch")
        self.server = server
        self.set_server(server)
        self.set_browser(f"{self.stamp} {self.urls} %u")
        self.executable = os.path.join(self.bundle, "bin/quillary")
        self.launcher_env = dict(launcher_env)
        # As a session does: the accessibility bus and its registry are up
        # before anything is measured.
        accessibility()
        self.a11y_address = self.call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                      reply="(s)").unpack()[0]

    def fresh(self, name):
        """A path not used before in this run."""
        self.serial += 1
        return self.path(f"{name}.{self.serial}")

    def spawn_logged(self, what, argv, env):
        """Starts a program, its output into a log of its own."""
        log_path = self.fresh(what + ".log")
        with open(log_path, "w") as output:
            process = self.spawn(argv, env=env, stdin=subprocess.DEVNULL, stdout=output, stderr=output)
        process.log_path = log_path
        return process

    def close(self, keep=False):
        super().close(keep)
        if keep:
            log(f"kept {self.dir}")
