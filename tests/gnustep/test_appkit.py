"""The AppKit launcher under GNUstep: a Quillary.app holding the probed launcher (probe.mm tells on its standard output
what GNUstep shows no screen reader) and a server, and a recorder that NSWorkspace knows as the http browser."""

import os
import shutil
import signal
import subprocess
import unittest
import urllib.request

from desktop import Desktop, Session, read_lines, scaled, wait_for


class AppSession(Session):
    def make_bundle(self, launcher):
        self.bundle = self.path("Quillary.app")
        os.makedirs(self.bundle)
        shutil.copy2(os.environ["QUILLARY_LAUNCHER"], os.path.join(self.bundle, "quillary"))
        os.symlink(os.path.join(os.environ["QUILLARY_BUNDLE"], "Resources"), os.path.join(self.bundle, "Resources"))

    @property
    def server_path(self):
        return os.path.join(self.bundle, "quillary-bin")

    def make_environment(self, browser):
        # GNUstep keeps defaults, its list of applications and the browser under the home of the password database,
        # whatever HOME says: a configuration of the test's own puts them in the test's folder.
        env = dict(super().make_environment(browser), GNUSTEP_CONFIG_FILE=self.path("GNUstep.conf"),
                   RECORDER_LOG=self.urls)
        with open("/etc/GNUstep/GNUstep.conf") as system, open(env["GNUSTEP_CONFIG_FILE"], "w") as conf:
            conf.writelines(line for line in system if not line.startswith("GNUSTEP_USER"))
            for name, folder in ("CONFIG_FILE", "none"), ("DEFAULTS_DIR", "Defaults"), ("DIR_APPS", "Apps"), (
                    "DIR_LIBRARY", "Library"):
                conf.write(f"GNUSTEP_USER_{name}={self.path(folder)}\n")
        name = f"Recorder{os.getpid()}"
        self.recorder = self.path(f"Apps/{name}.app/{name}")
        os.makedirs(self.path(f"Apps/{name}.app/Resources"))
        shutil.copy2(os.environ["QUILLARY_RECORDER"], self.recorder)
        with open(self.path(f"Apps/{name}.app/Resources/Info-gnustep.plist"), "w") as f:
            f.write(f"{{ NSExecutable = {name}; NSTypes = ({{ NSName = URL; NSSchemes = (http); NSRole = Viewer; }}); }}")
        subprocess.run(["make_services"], env=env, check=True, capture_output=True)
        subprocess.run([self.recorder, "--register"], env=env, check=True, capture_output=True)
        return env

    def close(self):
        try:
            with open(self.urls + ".pid") as f:
                os.kill(int(f.read()), signal.SIGTERM)
        except (FileNotFoundError, ProcessLookupError):
            pass  # never started, or gone already
        super().close()

    def open_once_port_is_known(self, open_action):
        """GNUstep keeps no debug log to say that the port is learned: asks until an open reaches the browser, 2 s each."""
        for _ in range(10):
            open_action()
            if wait_for(self.opened, timeout=2, fail=False):
                return
        raise AssertionError("nothing was opened once the port was known")

    def start(self, script):
        self.set_server(script)
        # Into files: what GNUstep starts for the launcher (its daemons, the browser) keeps them open after it.
        with open(self.path("report"), "w") as report, open(self.path("stderr"), "w") as stderr:
            self.launcher = self.spawn([os.path.join(self.bundle, "quillary")], env=self.env, text=True,
                                       stdin=subprocess.PIPE, stdout=report, stderr=stderr, start_new_session=True)


class Launcher(Desktop):
    session = AppSession

    def said(self, kind):
        """The probe's reports of one kind, each as its fields, once there is one."""
        def reports():
            with open(self.desktop.path("report")) as f:
                return [line.rstrip("\n").split("\t")[1:] for line in f if line.split("\t")[0].strip() == kind]
        return wait_for(reports, timeout=20, what=f"the probe's {kind!r}")

    def press(self, key):
        self.desktop.launcher.stdin.write(key + "\n")
        self.desktop.launcher.stdin.flush()

    def test_sample_server_menu_open_and_quit(self):
        sample = os.environ["QUILLARY_SAMPLE_SERVER"]
        # The sample server under a shell that logs each SIGTERM and passes it on.
        self.desktop.start(f"trap 'echo TERM >> \"$TERMLOG\"; kill $pid; wait $pid; exit 0' TERM\n{sample} & pid=$!\nwait $pid\n")
        self.assertEqual(self.said("menu"), [["Quillary"]])
        self.assertEqual(self.said("item"), [["Открыть Quillary", "Command-o"], ["-"], ["Выйти из Quillary", "Command-q"]])
        self.desktop.open_once_port_is_known(lambda: self.press("o"))
        url = self.desktop.opened()[0]
        self.assertRegex(url, r"^http://localhost:\d+$")
        with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(url, timeout=scaled(10)) as page:
            self.assertEqual(page.status, 200)
        # The browser NSWorkspace started is the launcher's child too.
        servers = [pid for pid in self.desktop.children() if self.desktop.server_path in read_lines(f"/proc/{pid}/cmdline")[0]]
        self.assertEqual(len(servers), 1, "the server, started once")
        self.press("q")
        self.assertEqual((self.desktop.wait_exit()[0], self.said("will terminate"), self.desktop.terms()), (0, [[]], 1))

    def test_early_failure_alert(self):
        self.desktop.start("for n in 1 2 3 4 5; do echo line $n; done\necho line 6 >&2\nexit 3\n")
        texts = [text for text in self.said("modal")[0] if text]
        self.assertEqual(texts, ["Quillary не запустился", "line 3\\nline 4\\nline 5\\nline 6"])
        artifacts = os.environ["QUILLARY_ARTIFACTS_DIR"]
        os.makedirs(artifacts, exist_ok=True)
        subprocess.run(["import", "-display", self.desktop.display, "-window", "root",
                        os.path.join(artifacts, "gnustep-alert.png")], check=True)
        # Dismissed from the keyboard, as a user would: Return is its button's key.
        alert = wait_for(lambda: subprocess.run(["xdotool", "search", "--name", "^Alert$"], env=self.desktop.env,
                                                capture_output=True, text=True).stdout.split(), what="the alert window")
        subprocess.run(["xdotool", "windowfocus", "--sync", alert[-1], "key", "Return"], env=self.desktop.env, check=True)
        self.assertEqual(self.desktop.wait_exit()[0], 1)

    def test_quit_while_the_alert_is_up_keeps_the_failure(self):
        self.desktop.start("echo ошибка\nexit 1\n")
        self.assertEqual([text for text in self.said("modal")[0] if text], ["Quillary не запустился", "ошибка"])
        self.desktop.launcher.send_signal(signal.SIGTERM)
        self.assertEqual(self.desktop.wait_exit()[0], 1)

if __name__ == "__main__":
    unittest.main(verbosity=2)
