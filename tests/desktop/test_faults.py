"""Every way the server can fail or misbehave, and what the launcher makes of
it: what the user sees, the launcher's exit status, that the server got at
most one SIGTERM, and that the launcher's memory stayed bounded.

    test_faults.py --list     the cases, one per line
    test_faults.py CASE       runs one case (each on a desktop of its own)

The launcher's own faults (signals, a second launch or a quit during the
alert) are in test_launcher.py.
"""

import os
import sys

NO_MESSAGE = "Сервер завершился без сообщения."
MiB = 1 << 20


class Alert:
    """The failure alert shows `text`; pressing its button ends the launcher with 1."""

    def __init__(self, text):
        self.text = text


class Ends:
    """The launcher ends by itself, silently, with status 0."""


class Runs:
    """The launcher runs on; quitting it then sends the server at most one
    SIGTERM and ends it with 0 (after the grace period, if `stubborn`)."""

    def __init__(self, stubborn=False):
        self.stubborn = stubborn


def replace_server(kind):
    """Puts something else where the server belongs."""
    def prepare(test):
        os.unlink(test.server_path)
        if kind == "missing":
            return
        if kind == "directory":
            os.mkdir(test.server_path)
            return
        with open(test.server_path, "w") as f:
            f.write("#!/bin/sh\n" if kind == "not executable" else "no program, just text\n")
        if kind == "not a program":
            os.chmod(test.server_path, 0o755)
    return prepare


# Each case: (how the server behaves, what the launcher must make of it).
# READY is a file the server creates once it has done its part.
FAULTS = {
    "server_missing": (replace_server("missing"), Alert("Не найден встроенный сервер (quillary-bin).")),
    "not_executable": (replace_server("not executable"), Alert("Не удалось запустить сервер: Permission denied")),
    "not_a_program": (replace_server("not a program"), Alert("Не удалось запустить сервер: Exec format error")),
    "directory_in_its_place": (replace_server("directory"), Alert("Не удалось запустить сервер: Permission denied")),
    "signal_before_the_port": ("out:падаю;kill:11", Alert("падаю")),
    "signal_after_the_port": ("out:порт 1;sleep:50;kill:11", Ends()),
    "exits_0_early": ("out:рано;exit:0", Ends()),
    "exits_1_early_with_no_line": ("exit:1", Alert(NO_MESSAGE)),
    "exits_1_early_with_1_line": ("out:L1;exit:1", Alert("L1")),
    "exits_1_early_with_4_lines": ("out:L1;err:L2;out:L3;err:L4;exit:1", Alert("L1\nL2\nL3\nL4")),
    "exits_1_early_with_6_lines": ("out:L1;out:L2;out:L3;out:L4;out:L5;out:L6;exit:1", Alert("L3\nL4\nL5\nL6")),
    "exits_after_the_port_with_status_0": ("out:порт 1;sleep:50;exit:0", Ends()),
    "exits_after_the_port_with_status_3": ("out:порт 1;sleep:50;exit:3", Ends()),
    "ignores_sigterm": ("ignore-term;out:порт 1;mark:READY;wait", Runs(stubborn=True)),
    "floods_1_gib": (f"out:порт 1;flood:{1024 * MiB};mark:READY;wait", Runs()),
    "invalid_utf8_and_nul": (r"raw:a\xff\x00b\xc0\n;exit:1", Alert("a\ufffd\ufffdb\ufffd")),
    "100_mb_line_without_end": (f"out:порт 1;long:{100 * MiB};mark:READY;wait", Runs()),
    "100_mb_line_then_exit_1": (f"long:{100 * MiB};exit:1", Alert(None)),
    "grandchild_holds_the_pipe": ("out:внук держит вывод;grandchild:60000;exit:1", Alert("внук держит вывод")),
    "closes_its_output_and_runs_on": ("out:порт 1;close-output;mark:READY;wait", Runs()),
    "writes_after_the_launcher_began_to_quit": ("out:порт 1;on-term-talk:$TERMLOG;mark:READY;wait", Runs()),
    "no_tray_host_and_no_browser": ("out:порт 1;mark:READY;wait", Runs()),
}

if __name__ == "__main__" and sys.argv[1:] == ["--list"]:
    print("\n".join(FAULTS))
    sys.exit(0)

import time  # noqa: E402
import unittest  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from desktop import Desktop, press, read_alert, scaled, wait_for  # noqa: E402

# Peak memory allowed the launcher, however much its server prints. The
# pending output and the tail hold at most a few reads of 64 KiB; an idle
# launcher is about 8 MB. Under a sanitizer the figure means nothing.
PEAK_KB = 24 * 1024
SANITIZED = bool(os.environ.get("QUILLARY_SANITIZE"))


class Fault(Desktop):
    def run_case(self, name):
        server, outcome = FAULTS[name]
        ready = self.path("ready")
        if callable(server):
            server(self)
            script = "wait"
        else:
            # Every server logs the SIGTERMs it gets, unless it ignores them.
            script = server.replace("READY", ready)
            if "on-term" not in script and "ignore-term" not in script:
                script = "on-term-exit:$TERMLOG;" + script
        no_browser = name == "no_tray_host_and_no_browser"
        if no_browser:  # nothing handles http: the hand-off fails
            os.unlink(os.path.join(self.env["XDG_DATA_HOME"], "applications", "recorder.desktop"))
        self.start(script, wait_for_bus_name=False)

        if isinstance(outcome, Alert):
            headline, text, button = read_alert(timeout=30)
            self.assertEqual(headline, "Quillary не запустился")
            if outcome.text is None:
                # The last four reads of a line without end, one per line,
                # each shown by its start and its end.
                self.assertEqual(text.split("\n"), ["x" * 499 + "…" + "x" * 500] * 4)
            else:
                self.assertEqual(text, outcome.text)
            press(button)
            status, _ = self.wait_exit()
            self.assertEqual(status, 1)
        elif isinstance(outcome, Ends):
            status, err = self.wait_exit()
            self.assertEqual(status, 0)
            self.assertNotIn("Quillary не запустился", err)
            self.assertLessEqual(self.terms(), 1)
        else:
            wait_for(lambda: os.path.exists(ready), timeout=60, what="the server to do its part")
            if no_browser:
                for _ in range(3):
                    self.activate_action("open")
                self.assertIsNone(self.launcher.poll(), "asking for a browser that is not there")
                self.assertEqual(self.opened(), [])
            started = time.monotonic()
            self.activate_action("quit")
            status, _ = self.wait_exit()
            self.assertEqual(status, 0)
            if outcome.stubborn:
                self.assertGreaterEqual(time.monotonic() - started, 1.5)
            else:
                self.assertEqual(self.terms(), 1)
        self.assertLessEqual(self.terms(), 1, "never more than one SIGTERM")
        if not SANITIZED and not isinstance(outcome, Alert):
            self.assertLess(self.peak_kb, PEAK_KB, "peak resident memory, in KiB")


def case_test(name):
    def test(self):
        self.run_case(name)
    return test


for _name in FAULTS:
    setattr(Fault, "test_" + _name, case_test(_name))

if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] in FAULTS:
        sys.argv[1] = "Fault.test_" + sys.argv[1]
    unittest.main()
