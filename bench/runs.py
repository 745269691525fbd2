"""The runs: each measurement of a round, the launcher beside its floor,
into Results. What each figure is, and why it is taken so, is told at the
head of launcher_bench.py."""

import subprocess
import time

from bench_desktop import POLL, TIMEOUT, exit_times, log, now_ns, settle_file, stamps, touch, wait_for_stamp
from desktop_harness import OPEN, QUIT, wait_for
from launcher_and_floor import Floor, Launcher
from proc_readers import idle_window, run_ns, smaps_by_kind, smaps_rollup, status_kb, tasks, thread_names
from units import KB

PORT = 41823
URL = f"http://localhost:{PORT}"


class Results:
    def __init__(self):
        self.values = {}
        self.detail = {}

    def add(self, key, value):
        self.values.setdefault(key, []).append(value)


def session_round(desktop, results, launcher_first, idle_seconds, keep_detail):
    """Start-up, memory, port to open, idle and quit: one launcher and one
    floor, side by side."""
    server_mark = desktop.fresh("server-start")
    port_mark = desktop.fresh("server-port")
    go = desktop.fresh("go")
    term_log = desktop.fresh("term")
    script = (f"mark:{server_mark};on-term-exit:{term_log};await:{go};"
              f"mark:{port_mark};out:веб-интерфейс слушает порт {PORT};wait")

    launcher = floor = None
    try:
        def start_launcher():
            nonlocal launcher
            launcher = Launcher(desktop, script)
            started = launcher.server_started(server_mark)
            results.add("startup.launcher", started - launcher.exec_time())
            launcher.wait_for_tray()

        def start_floor():
            nonlocal floor
            floor = Floor(desktop)
            results.add("startup.floor", floor.startup_ns())

        for start in ((start_launcher, start_floor) if launcher_first else (start_floor, start_launcher)):
            start()
            time.sleep(0.2)
        time.sleep(0.5)

        # Memory once started: tray up, nothing yet read from the server.
        for who, pid in (("launcher", launcher.pid), ("floor", floor.pid)):
            rollup = smaps_rollup(pid)
            results.add(f"rss.start.{who}", rollup["Rss"] * KB)
            results.add(f"pss.start.{who}", rollup["Pss"] * KB)

        # Port to open: "open" is clicked once a millisecond from before the
        # server announces until the launcher acts on a click: the browser
        # is reached or, sooner, the launcher starts a thread, as GIO does
        # for a process's first open. Clicks while that open is under way
        # would start more opens, which would compete with it.
        opened_before = len(stamps(desktop.urls))
        threads_before = len(tasks(launcher.pid))
        touch(go)
        deadline = time.monotonic() + TIMEOUT
        tick = time.monotonic()
        while len(stamps(desktop.urls)) == opened_before and len(tasks(launcher.pid)) == threads_before:
            if time.monotonic() > deadline:
                raise TimeoutError("nothing reached the browser")
            launcher.click(OPEN)
            tick += 0.001
            pause = tick - time.monotonic()
            if pause > 0:
                time.sleep(pause)
        wait_for(lambda: len(stamps(desktop.urls)) > opened_before, TIMEOUT, "the browser", interval=POLL)
        settle_file(desktop.urls)  # opens asked for meanwhile, if any
        opened = stamps(desktop.urls)[opened_before:]
        if any(url != URL for _, url in opened):
            raise AssertionError(f"the browser got {opened}")
        results.add("open.launcher", opened[0][0] - stamps(port_mark)[0][0])
        results.add("open.count", len(opened))

        # A second open, for the detail: the hand-off once GIO has done its
        # first-time work.
        opened_before = len(stamps(desktop.urls))
        clicked = now_ns()
        launcher.click(OPEN)
        wait_for(lambda: len(stamps(desktop.urls)) > opened_before, TIMEOUT, "the browser", interval=POLL)
        results.add("open.again", stamps(desktop.urls)[opened_before][0] - clicked)
        settle_file(desktop.urls)
        time.sleep(1.0)

        # Idle: both at once, over the same window.
        spent = idle_window([launcher.pid, floor.pid], idle_seconds)
        for who, pid in (("launcher", launcher.pid), ("floor", floor.pid)):
            for what in ("cpu", "run", "switches"):
                results.add(f"idle.{what}.{who}", spent[pid][what])
            log(f"  idle window, {who}: utime+stime {spent[pid]['cpu'] / 1e6:.0f} ms, "
                f"on-CPU {spent[pid]['run'] / 1e6:.3f} ms, {spent[pid]['switches']} context switches; "
                f"{spent[pid]['ended']} threads ended, {spent[pid]['started']} started")

        for who, pid in (("launcher", launcher.pid), ("floor", floor.pid)):
            rollup = smaps_rollup(pid)
            results.add(f"rss.idle.{who}", rollup["Rss"] * KB)
            results.add(f"pss.idle.{who}", rollup["Pss"] * KB)
            if keep_detail:
                results.detail[f"smaps.{who}"] = smaps_by_kind(pid)
                results.detail[f"threads.{who}"] = thread_names(pid)

        # Quit.
        def quit_launcher():
            clicked, ended = exit_times(desktop.exit_watch, [launcher.pid, launcher.server_pid],
                                        lambda: launcher.click(QUIT))
            results.add("quit.launcher", ended[launcher.pid] - clicked)
            results.add("quit.after_server", ended[launcher.pid] - ended[launcher.server_pid])
            results.add("quit.server", ended[launcher.server_pid] - clicked)
            if launcher.process.wait(10) != 0:
                raise AssertionError(f"the launcher ended with status {launcher.process.returncode}")

        def quit_floor():
            called, ended = exit_times(desktop.exit_watch, [floor.pid], floor.quit)
            results.add("quit.floor", ended[floor.pid] - called)
            floor.process.wait(10)

        for quit in ((quit_launcher, quit_floor) if launcher_first else (quit_floor, quit_launcher)):
            quit()
            time.sleep(0.2)
    finally:
        if launcher:
            launcher.close()
        if floor:
            floor.close()
    results.add("open.floor", handoff_alone(desktop))


def handoff_alone(desktop):
    """The floor of port to open: one click on "open" in a launcher that
    has known the port for a while, to the browser's stamp. It is the
    launcher's first open, as the one it is the floor of."""
    launcher = Launcher(desktop, f"out:веб-интерфейс слушает порт {PORT};wait")
    try:
        launcher.wait_for_tray()
        time.sleep(0.5)
        opened_before = len(stamps(desktop.urls))
        clicked = now_ns()
        launcher.click(OPEN)
        wait_for(lambda: len(stamps(desktop.urls)) > opened_before, TIMEOUT, "the browser", interval=POLL)
        opened = stamps(desktop.urls)[opened_before][0]
        settle_file(desktop.urls)
        return opened - clicked
    finally:
        launcher.close()


def drain_launcher(desktop, results, flood, port_known):
    key = "drain.port" if port_known else "drain"
    start, end, go = desktop.fresh("flood-start"), desktop.fresh("flood-end"), desktop.fresh("go")
    script = (("out:порт 1;" if port_known else "")
              + f"await:{go};mark:{start};flood:{flood};mark:{end};wait")
    launcher = Launcher(desktop, script)
    try:
        launcher.wait_for_tray()
        time.sleep(0.5)
        pid = launcher.pid
        idle = status_kb(pid, "VmRSS")
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the present VmRSS
        cpu = run_ns(pid)
        sampled = idle
        touch(go)
        launcher.adopt_server(int(wait_for_stamp(start, "the flood")[1]))
        while not stamps(end):
            sampled = max(sampled, status_kb(pid, "VmRSS"))
            time.sleep(0.02)
        peak = status_kb(pid, "VmHWM")
        written = stamps(end)[0][0] - stamps(start)[0][0]
        results.add(f"{key}.launcher", flood / written * 1e9)
        results.add(f"{key}.cpu", run_ns(pid) - cpu)
        results.add(f"{key}.idle_rss", idle * KB)
        results.add(f"{key}.peak_rss", peak * KB)
        results.add(f"{key}.sampled_rss", sampled * KB)
    finally:
        launcher.close()


def drain_cat(desktop, results, flood, port_known):
    key = "drain.port" if port_known else "drain"
    start, end = desktop.fresh("flood-start"), desktop.fresh("flood-end")
    env = dict(desktop.env, FAKE_SERVER=f"mark:{start};flood:{flood};mark:{end}")
    writer = subprocess.Popen([desktop.server], env=env, stdout=subprocess.PIPE)
    cat = subprocess.Popen(["cat"], stdin=writer.stdout, stdout=subprocess.DEVNULL)
    writer.stdout.close()
    # Sampled as the launcher is, so that both writers share the CPU alike.
    while not stamps(end):
        status_kb(cat.pid, "VmRSS")
        time.sleep(0.02)
    writer.wait()
    cat.wait()
    written = stamps(end)[0][0] - stamps(start)[0][0]
    results.add(f"{key}.floor", flood / written * 1e9)
