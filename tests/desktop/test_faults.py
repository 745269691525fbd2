"""Every way the server can fail or misbehave and every way the launcher can be told to go, as one table: what the
user sees, the launcher's exit status, how many SIGTERMs the server got, and that the launcher's memory stayed bounded.
The table of faults in docs/faults.md is this one (test_readme checks).

    test_faults.py --list     the rows, one per line, and "readme"
    test_faults.py ROW        runs one row on a desktop of its own
    test_faults.py --readme   the table for docs/faults.md
"""

import fcntl
import os
import resource
import signal
import subprocess
import sys
import unittest
from collections import namedtuple

from desktop import APP_ID, HEADLINE, QUIT, Desktop, read_lines, wait_for

NO_MESSAGE = "Сервер завершился без сообщения."
LONG = "its last four pieces of 64 KiB, each by its start and end"
MISSING, NOT_EXECUTABLE, NOT_A_PROGRAM, DIRECTORY = "missing", "not executable", "not a program", "a directory"
PORT = 'echo "порт 1"; echo $$ > "$READY"; '
STDERR = "the two texts on standard error"
NO_GTK = "no-gtk"  # a folder whose libgtk-3.so.0 cannot be loaded
KOI8_R = "koi8-r"  # the locale ru_RU.KOI8-R, made by the test: no system has it ready

# A server's one write of 65,509 bytes, a line feed and its port: the first read of 64 KiB cuts the port's digits.
PORT_CUT = ("python3 -c 'import os; os.write(1, b\"x\" * 65509 + \"\\nслушает порт 41823\\n\".encode())'; "
            'echo $$ > "$READY"; ')
QUIT_SIGNALS_BLOCKED, FULL_STDERR = "blocked", "full"  # how the launcher is started, when not as usual
Row = namedtuple("Row", "fault server then alert status terms sees env opens started",
                 defaults=(None, None, 0, 0, None, None, (), None))
# then: what the launcher is given once the server is READY (an action or a signal); an alert is dismissed with its
# button unless `then` says otherwise.
ROWS = {
    "server_missing": Row("server missing", MISSING, alert="Не найден встроенный сервер (quillary-bin).", status=1),
    "not_executable": Row("server not executable", NOT_EXECUTABLE,
                          alert="Не удалось запустить сервер: Permission denied", status=1),
    "not_executable_in_koi8_r": Row("server not executable, in a locale whose character set is KOI8-R", NOT_EXECUTABLE,
                                    alert="Не удалось запустить сервер: Отказано в доступе", status=1,
                                    env={"LC_ALL": "ru_RU.KOI8-R", "LOCPATH": KOI8_R}),
    "directory": Row("a directory in the server's place", DIRECTORY,
                     alert="Не удалось запустить сервер: Permission denied", status=1),
    "not_a_program": Row("server not a program", NOT_A_PROGRAM,
                         alert="Не удалось запустить сервер: Exec format error", status=1),
    "killed_before_the_port": Row("killed by a signal before its port", "echo падаю; kill -KILL $$",
                                  alert="падаю", status=1),
    "killed_after_the_port": Row("killed by a signal after its port", PORT + "kill -KILL $$"),
    "exits_0_early": Row("exits 0 early", "echo рано; exit 0"),
    "exits_1_with_no_line": Row("exits non-zero early without a line", "exit 1", alert=NO_MESSAGE, status=1),
    "exits_2_with_6_lines": Row("exits non-zero early with 6 lines, on stdout and stderr by turns",
                                "for i in 1 2 3 4 5 6; do echo L$i >&$((2 - i % 2)); done; exit 2",
                                alert="L3\nL4\nL5\nL6", status=1),
    "line_of_100_mb_then_exit_1": Row("writes a 100 MB line with no end, then exits 1",
                                      "head -c 104857600 /dev/zero | tr '\\0' x; exit 1", alert=LONG, status=1),
    "grandchild_holds_the_pipe": Row("leaves a grandchild holding the pipe (at most 250 ms later)",
                                     "echo внук держит вывод; sleep 60 & exit 1", alert="внук держит вывод", status=1),
    "second_launch_and_quit_during_the_alert": Row("launched again, then quit from the tray, while the alert is up",
                                                   "echo ошибка; exit 1", "launch again, quit", alert="ошибка",
                                                   status=1),
    "display_goes_during_the_alert": Row("the display goes away while the alert is up", "echo ошибка; exit 1",
                                         "the X server killed", alert="ошибка", status=1,
                                         sees='alert: "ошибка", and its two texts on standard error'),
    "no_display": Row("no display for the alert", MISSING, alert="Не найден встроенный сервер (quillary-bin).",
                      status=1, env={"DISPLAY": "", "WAYLAND_DISPLAY": ""}, sees=STDERR),
    "no_gtk": Row("GTK cannot be loaded (the package only recommends it)", "echo 'нет файла настроек' >&2; exit 2",
                  alert="нет файла настроек", status=1, env={"LD_LIBRARY_PATH": NO_GTK}, sees=STDERR),
    "full_stderr": Row("standard error a full pipe that nobody reads", "echo ошибка; exit 1", alert="ошибка",
                       status=1, started=FULL_STDERR, sees='alert: "ошибка"; what does not fit on standard error is dropped'),
    **{s.name.lower(): Row(f"{s.name} to the launcher", PORT + "idle", s, terms=1)
       for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)},
    "quit_signals_blocked": Row("started with SIGTERM, SIGINT and SIGHUP blocked", PORT + "idle", signal.SIGTERM,
                                terms=1, started=QUIT_SIGNALS_BLOCKED),
    "stopped": Row("stopped (SIGSTOP) when the launcher quits", PORT + "idle", "SIGSTOP to the server, quit", terms=1,
                   sees="nothing; SIGCONT follows the SIGTERM, and the server ends"),
    "launched_again_while_it_quits": Row("launched again while it quits (the server takes 1 s to end)",
                                         "trap 'echo TERM >> \"$TERMLOG\"; sleep 1; exit 0' TERM; " + PORT + "idle",
                                         "SIGTERM, launch again during the grace", terms=2,
                                         sees="nothing; the new launcher runs on, with its server"),
    "ignores_sigterm": Row("ignores SIGTERM", "trap 'echo TERM >> \"$TERMLOG\"' TERM; " + PORT + "idle", "quit",
                           terms=1, sees="the launcher quits 1.5 s after the quit; the server is left running"),
    "floods_1_gib": Row("floods 1 GiB of output", 'echo "порт 1"; yes "$(printf %099d 0 | tr 0 x)" | '
                        'head -c 1073741824; touch "$READY"; idle', "quit", terms=1, sees="nothing; memory stays flat"),
    "line_of_100_mb": Row("writes a 100 MB line with no end", "echo 'порт 1'; head -c 104857600 /dev/zero | "
                          "tr '\\0' x; touch \"$READY\"; idle", "quit", terms=1, sees="nothing; memory stays flat"),
    "closes_its_output": Row("closes its output and runs on", 'echo "порт 1"; exec >&- 2>&-; touch "$READY"; idle',
                             "quit", terms=1),
    "writes_while_the_launcher_quits": Row("writes 1 MiB after its SIGTERM", "trap 'echo TERM >> \"$TERMLOG\"; "
                                           "head -c 1048576 /dev/zero; exit 0' TERM; " + PORT + "idle",
                                           "quit", terms=1),
    "no_tray_no_browser_no_bus": Row("no session bus: no tray, no main menu, no browser", PORT + "idle",
                                     signal.SIGTERM, terms=1, env={"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nowhere"},
                                     sees="nothing; signals still quit it"),
    "display_lost_with_no_tray": Row("the X display ends while no tray runs on it", PORT + "idle", "X ends, SIGTERM",
                                     terms=1, sees="nothing; SIGTERM still quits it"),
    "port_cut_by_a_read": Row("announces its port in a line that a read cuts", PORT_CUT + "idle", "open, quit",
                              terms=1, opens=("http://localhost:41823",),
                              sees='"Открыть Quillary" opens http://localhost:41823'),
    "no_browser": Row("no default browser", PORT + "idle", "open, quit", terms=1,
                      sees='"Открыть Quillary" does nothing'),
    # Killed where it cannot quit (the OOM killer's SIGKILL, a crash): no exit status of its own.
    **{f"{s.name.lower()}_to_the_launcher": Row(f"{s.name} to the launcher", PORT + "idle", s, status=None, terms=1,
                                                 sees="nothing; the server ends within 2 s")
       for s in (signal.SIGKILL, signal.SIGSEGV, signal.SIGABRT)},
}

# Peak memory allowed the launcher, however much its server prints: the pending output and the tail hold a few reads
# of 64 KiB; an idle launcher is about 8 MB. Under a sanitizer the figure means nothing.
PEAK_KB = 16 * 1024
SANITIZED = bool(os.environ.get("QUILLARY_SANITIZE"))
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # a launcher killed by SIGSEGV leaves no core behind


def sees(row):
    if row.sees or not row.alert:
        return row.sees or ("nothing" if row.then else "nothing; the launcher quits")
    return "alert: " + (row.alert if row.alert == LONG else '"%s"' % row.alert.replace("\n", " / "))


def state(pid):  # R, S, T (stopped), Z ...; X when gone
    stat = read_lines(f"/proc/{pid}/stat")
    return stat[0].rsplit(")", 1)[1].split()[0] if stat else "X"


def readme_table():
    rows = [f"| {row.fault} | {getattr(row.then, 'name', row.then or '')} | {sees(row)} "
            f"| {'—' if row.status is None else row.status} | {row.terms} |" for row in ROWS.values()]
    header = "| Fault | Then | What the user sees | Exit status | SIGTERMs to the server |\n|---|---|---|---|---|"
    return "\n".join([header, *rows]) + "\n"


class Readme(unittest.TestCase):
    def test_readme(self):
        with open(os.path.join(os.path.dirname(__file__), "../../docs/faults.md")) as f:
            self.assertIn(readme_table(), f.read(), "docs/faults.md's table is not the tested one (--readme)")


class Faults(Desktop):
    def put_in_the_servers_place(self, server):
        path = self.desktop.server_path
        if server == DIRECTORY:
            os.mkdir(path)
        elif server in (NOT_EXECUTABLE, NOT_A_PROGRAM):
            with open(path, "w") as f:
                f.write("#!/bin/sh\n" if server == NOT_EXECUTABLE else "text, not a program\n")
            os.chmod(path, 0o755 if server == NOT_A_PROGRAM else 0o644)
        elif server != MISSING:
            self.desktop.set_server(server)

    def run_row(self, row):
        desktop = self.desktop
        self.put_in_the_servers_place(row.server)
        if row.then == "open, quit" and not row.opens:
            os.unlink(os.path.join(desktop.env["XDG_DATA_HOME"], "applications", "browser.desktop"))
        env = dict(row.env or {})
        if env.get("LD_LIBRARY_PATH") == NO_GTK:
            env["LD_LIBRARY_PATH"] = desktop.path(NO_GTK)
            os.mkdir(env["LD_LIBRARY_PATH"])
            open(os.path.join(env["LD_LIBRARY_PATH"], "libgtk-3.so.0"), "w").close()
        options = {}
        if row.started == QUIT_SIGNALS_BLOCKED:
            blocked = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
            options["preexec_fn"] = lambda: signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
        elif row.started == FULL_STDERR:  # a pipe of one page, full
            read, options["stderr"] = os.pipe()
            fcntl.fcntl(options["stderr"], fcntl.F_SETPIPE_SZ, 4096)
            os.write(options["stderr"], b"x" * 4096)
            # Nor may LeakSanitizer's list of suppressions at the end wait on it (a leak fails the row anyway).
            env["LSAN_OPTIONS"] = os.environ.get("LSAN_OPTIONS", "") + " print_suppressions=0"
        if env.get("LOCPATH") == KOI8_R:
            env["LOCPATH"] = desktop.dir
            subprocess.run(["localedef", "-i", "ru_RU", "-f", "KOI8-R", desktop.path("ru_RU.KOI8-R")], check=True)
        desktop.start(env=env, wait_for_bus_name=False, **options)
        if row.alert and row.sees != STDERR:
            text, button = self.expect_alert(None if row.alert == LONG else row.alert, dismiss=False)
            if row.alert == LONG:
                self.assertRegex(text, r"\A((x{1,1000}|x{499}…x{500})\n){3}(x{1,1000}|x{499}…x{500})\Z")
            if row.then == "launch again, quit":
                self.assertEqual(desktop.launch_again(), 0)
                desktop.tray_click(QUIT)
            elif row.then == "the X server killed":
                desktop.x_server.kill()
            else:
                button.do_action(0)
        elif not row.alert:
            if row.then:
                wait_for(lambda: os.path.exists(desktop.ready), timeout=60, what="the server to do its part")
            if row.then and not SANITIZED:  # once the server has done its part
                self.assertLess(desktop.peak_kb(), PEAK_KB, "peak resident memory, in KiB")
            if row.opens:
                desktop.open_once_port_is_known(lambda: desktop.activate_action("open"))
            elif row.then == "open, quit":
                for _ in range(3):
                    desktop.activate_action("open")
            if row.then == "SIGSTOP to the server, quit":
                server = int(wait_for(lambda: read_lines(desktop.ready), what="the server's PID")[0])  # once written
                os.kill(server, signal.SIGSTOP)
                wait_for(lambda: state(server) == "T", what="the server stopped")
            if row.then in ("quit", "open, quit", "SIGSTOP to the server, quit"):
                desktop.activate_action("quit")
            elif row.then == "SIGTERM, launch again during the grace":  # the new one and its server run on, with no error
                os.kill((quitting := desktop.launcher).pid, signal.SIGTERM)
                wait_for(lambda: not desktop.has_owner(APP_ID), timeout=0.5, what="the name given up as the quit begins")
                os.unlink(desktop.ready)
                new, desktop.launcher = desktop.start(wait_for_bus_name=False), quitting
                self.assertEqual(desktop.wait_exit(), (0, ""), "the quitting launcher")
                wait_for(lambda: os.path.exists(desktop.ready) and desktop.has_owner(APP_ID), timeout=2,
                         what="the new launcher and its server")
                desktop.launcher = new
                os.kill(new.pid, signal.SIGTERM)  # the second SIGTERM, its server's
            elif row.then == "X ends, SIGTERM":  # the launcher, waiting for an X tray, outlives its display
                wait_for(lambda: "looking for an X tray" in desktop.debug_log(), what="the launcher on the display")
                desktop.x_server.kill()
                desktop.x_server.wait()
                wait_for(lambda: "the X display is gone" in desktop.debug_log(), what="the display's end seen")
                self.assertIsNone(desktop.launcher.poll(), "the launcher runs on")
                os.kill(desktop.launcher.pid, signal.SIGTERM)
            elif row.then:
                os.kill(desktop.launcher.pid, row.then)
        status, err = desktop.wait_exit()
        if not row.alert:
            self.assertNotIn(HEADLINE, err)
        elif row.alert != LONG and row.started != FULL_STDERR:  # whatever becomes of the alert, the terminal has its texts
            self.assertIn(f"{HEADLINE}\n{row.alert}\n", err)
        if row.status is None:  # killed, and its server must not run on (its PID comes just after its file)
            server = int(wait_for(lambda: read_lines(desktop.ready), what="the server's PID")[0])
            wait_for(lambda: state(server) in "ZX", timeout=2, what=f"the end of the server (PID {server})")
            status = None
        self.assertEqual(status, row.status)
        self.assertEqual(desktop.terms(), row.terms, "SIGTERMs the server got")
        self.assertEqual(desktop.opened(), list(row.opens))


for _name, _row in ROWS.items():
    setattr(Faults, "test_" + _name, lambda self, row=_row: self.run_row(row))

if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        print("\n".join([*ROWS, "readme"]))
    elif sys.argv[1:] == ["--readme"]:
        print(readme_table(), end="")
    else:
        unittest.main(argv=[sys.argv[0], ("Readme." if sys.argv[1] == "readme" else "Faults.") + "test_" + sys.argv[1]])
