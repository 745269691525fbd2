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
# How the server announces its port, as the launcher reads it.
ANNOUNCEMENT = f"веб-интерфейс слушает порт {PORT}"


class Results:
    """Each figure's value in every round, by key; and the detail of the
    last round (where the memory goes, the threads)."""

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
              f"mark:{port_mark};out:{ANNOUNCEMENT};wait")

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

        for start in in_turn(launcher_first, start_launcher, start_floor):
            start()
            time.sleep(0.2)
        time.sleep(0.5)
        both = (("launcher", launcher.pid), ("floor", floor.pid))

        # Memory once started: tray up, nothing yet read from the server.
        note_memory(results, "start", both)

        port_to_open(desktop, results, launcher, go, port_mark)

        # A second open, for the detail: the hand-off once GIO has done its
        # first-time work.
        results.add("open.again", one_open(desktop, launcher))
        time.sleep(1.0)

        # Idle: both at once, over the same window.
        spent = idle_window([launcher.pid, floor.pid], idle_seconds)
        for who, pid in both:
            for what in ("cpu", "run", "switches"):
                results.add(f"idle.{what}.{who}", spent[pid][what])
            log(f"  idle window, {who}: utime+stime {spent[pid]['cpu'] / 1e6:.0f} ms, "
                f"on-CPU {spent[pid]['run'] / 1e6:.3f} ms, {spent[pid]['switches']} context switches; "
                f"{spent[pid]['ended']} threads ended, {spent[pid]['started']} started")

        note_memory(results, "idle", both, keep_detail)

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

        for quit in in_turn(launcher_first, quit_launcher, quit_floor):
            quit()
            time.sleep(0.2)
    finally:
        if launcher:
            launcher.close()
        if floor:
            floor.close()
    results.add("open.floor", handoff_alone(desktop))


def in_turn(launcher_first, launcher_step, floor_step):
    """The two steps in this round's order. Which goes first alternates
    from round to round, so that going first or second weighs on neither
    side alone."""
    return (launcher_step, floor_step) if launcher_first else (floor_step, launcher_step)


def note_memory(results, when, programs, keep_detail=False):
    """RSS and PSS of each (name, pid) in `programs`; with `keep_detail`,
    also where its memory goes and its threads."""
    for who, pid in programs:
        rollup = smaps_rollup(pid)
        results.add(f"rss.{when}.{who}", rollup["Rss"] * KB)
        results.add(f"pss.{when}.{who}", rollup["Pss"] * KB)
        if keep_detail:
            results.detail[f"smaps.{who}"] = smaps_by_kind(pid)
            results.detail[f"threads.{who}"] = thread_names(pid)


def port_to_open(desktop, results, launcher, go, port_mark):
    """Port to open: "open" is clicked once a millisecond from before the
    server announces (on `go`) until the launcher acts on a click: the
    browser is reached or, sooner, the launcher starts a thread, as GIO
    does for a process's first open. Clicks while that open is under way
    would start more opens, which would compete with it."""
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
    wait_for_browser(desktop, opened_before)
    settle_file(desktop.urls)  # opens asked for meanwhile, if any
    opened = stamps(desktop.urls)[opened_before:]
    if any(url != URL for _, url in opened):
        raise AssertionError(f"the browser got {opened}")
    results.add("open.launcher", opened[0][0] - stamps(port_mark)[0][0])
    results.add("open.count", len(opened))


def one_open(desktop, launcher):
    """One click on "open", to the browser's stamp (ns)."""
    opened_before = len(stamps(desktop.urls))
    clicked = now_ns()
    launcher.click(OPEN)
    wait_for_browser(desktop, opened_before)
    opened = stamps(desktop.urls)[opened_before][0]
    settle_file(desktop.urls)
    return opened - clicked


def wait_for_browser(desktop, opened_before):
    wait_for(lambda: len(stamps(desktop.urls)) > opened_before, TIMEOUT, "the browser", interval=POLL)


def handoff_alone(desktop):
    """The floor of port to open: one click on "open" in a launcher that
    has known the port for a while, to the browser's stamp. It is the
    launcher's first open, as the one it is the floor of."""
    launcher = Launcher(desktop, f"out:{ANNOUNCEMENT};wait")
    try:
        launcher.wait_for_tray()
        time.sleep(0.5)
        return one_open(desktop, launcher)
    finally:
        launcher.close()


def drain_round(desktop, results, flood, launcher_first):
    """The drain, with the port not yet announced and then announced: the
    launcher reading the flood, and `cat` reading it."""
    for port_known in (False, True):
        for arm in in_turn(launcher_first, drain_launcher, drain_cat):
            arm(desktop, results, flood, port_known)
            time.sleep(0.3)


def drain_key(port_known):
    return "drain.port" if port_known else "drain"


def drain_launcher(desktop, results, flood, port_known):
    key = drain_key(port_known)
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
        touch(go)
        launcher.adopt_server(int(wait_for_stamp(start, "the flood")[1]))
        sampled = sample_rss_until(end, pid, idle)
        peak = status_kb(pid, "VmHWM")
        results.add(f"{key}.launcher", write_rate(flood, start, end))
        results.add(f"{key}.cpu", run_ns(pid) - cpu)
        results.add(f"{key}.idle_rss", idle * KB)
        results.add(f"{key}.peak_rss", peak * KB)
        results.add(f"{key}.sampled_rss", sampled * KB)
    finally:
        launcher.close()


def drain_cat(desktop, results, flood, port_known):
    key = drain_key(port_known)
    start, end = desktop.fresh("flood-start"), desktop.fresh("flood-end")
    env = dict(desktop.env, FAKE_SERVER=f"mark:{start};flood:{flood};mark:{end}")
    writer = subprocess.Popen([desktop.server], env=env, stdout=subprocess.PIPE)
    cat = subprocess.Popen(["cat"], stdin=writer.stdout, stdout=subprocess.DEVNULL)
    writer.stdout.close()
    sample_rss_until(end, cat.pid, 0)
    writer.wait()
    cat.wait()
    results.add(f"{key}.floor", write_rate(flood, start, end))


def sample_rss_until(mark, pid, least):
    """The highest VmRSS (kB) of `pid`, not below `least`, looked at every
    20 ms until `mark` is written. The reader of each writer is sampled
    alike, so that both writers share the CPU alike."""
    sampled = least
    while not stamps(mark):
        sampled = max(sampled, status_kb(pid, "VmRSS"))
        time.sleep(0.02)
    return sampled


def write_rate(flood, start, end):
    """The writer's own rate (bytes a second) between its marks on either
    side of the flood."""
    written = stamps(end)[0][0] - stamps(start)[0][0]
    return flood / written * 1e9
