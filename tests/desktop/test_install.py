"""The installation: this build installed by `cmake --install` into a
temporary prefix, its files where the launcher and the desktop look for
them, and the installed launcher run from there with its installed server.

QUILLARY_CMAKE and QUILLARY_BUILD_DIR say what installs and what is installed.
"""

import http.client
import os
import shlex
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from desktop import Desktop, GLib, scaled, wait_for  # noqa: E402
from tray_host import TrayHost  # noqa: E402

OPEN, QUIT = "Открыть Quillary", "Выйти из Quillary"
ENTRY = "Desktop Entry"
INSTALLED_FILES = {
    "bin/quillary": True,  # executable?
    "libexec/quillary/quillary-bin": True,
    "lib/quillary/quillary-alert.so": False,
    "lib/quillary/quillary-xembed.so": False,
    "share/applications/quillary.desktop": False,
    "share/icons/hicolor/scalable/apps/quillary.svg": False,
    "share/icons/hicolor/scalable/apps/quillary-symbolic.svg": False,
}


class Install(Desktop):
    def make_bundle(self):
        """The installation is the bundle: the launcher runs from the prefix."""
        # Real, as the launcher sees its own path through /proc/self/exe.
        prefix = os.path.realpath(self.path("prefix"))
        env = dict(os.environ)
        env.pop("DESTDIR", None)  # would put the files elsewhere
        done = subprocess.run([os.environ["QUILLARY_CMAKE"], "--install", os.environ["QUILLARY_BUILD_DIR"],
                               "--prefix", prefix], env=env, capture_output=True, text=True,
                              timeout=scaled(60))
        if done.returncode != 0:
            self.fail(f"cmake --install failed ({done.returncode}):\n{done.stdout}{done.stderr}")
        return prefix

    def installed(self, name):
        return os.path.join(self.bundle, name)

    def server_running(self):
        return subprocess.run(["pgrep", "-f", "^" + self.server_path],
                              stdout=subprocess.DEVNULL).returncode == 0

    def desktop_command(self, entry, group):
        """A command of the desktop entry as a desktop runs it (no field codes here)."""
        command = shlex.split(entry.get_string(group, "Exec"))
        return subprocess.run(command, env=self.env, capture_output=True, text=True, timeout=scaled(10))

    def test_installed_launcher_runs_from_its_prefix(self):
        launcher = self.installed("bin/quillary")
        with self.subTest("the installed files"):
            for name, executable in INSTALLED_FILES.items():
                path = self.installed(name)
                self.assertTrue(os.path.isfile(path), f"{name} is installed")
                if executable:
                    self.assertTrue(os.access(path, os.X_OK), f"{name} is executable")

        entry_path = self.installed("share/applications/quillary.desktop")
        entry = GLib.KeyFile()
        entry.load_from_file(entry_path, GLib.KeyFileFlags.NONE)
        with self.subTest("the desktop entry"):
            validator = shutil.which("desktop-file-validate")
            self.assertIsNotNone(validator,
                                 "desktop-file-validate is not installed (apt-get install desktop-file-utils)")
            validated = subprocess.run([validator, entry_path], capture_output=True, text=True)
            self.assertEqual(validated.returncode, 0, validated.stdout + validated.stderr)
            self.assertEqual(entry.get_string(ENTRY, "Exec"), launcher, "Exec is the installed launcher")
            self.assertEqual(entry.get_string(ENTRY, "Icon"), "quillary")
            self.assertEqual(entry.get_string_list(ENTRY, "Actions"), ["open", "quit"])
            self.assertEqual(entry.get_string("Desktop Action open", "Name"), OPEN)
            self.assertEqual(entry.get_string("Desktop Action open", "Exec"), launcher)
            self.assertEqual(entry.get_string("Desktop Action quit", "Name"), QUIT)

        host = TrayHost(self.bus.address)
        self.addCleanup(host.close)
        self.start("")  # the installed server is the real one, and reads no script
        item = host.wait_for_item()
        with self.subTest("the tray item finds the installed icon"):
            self.assertEqual((item.get("IconName"), item.get("IconThemePath")),
                             ("quillary-symbolic", self.installed("share/icons")))

        self.open_once_port_is_known(lambda: item.click(OPEN))
        url = self.opened()[0]
        with self.subTest("the installed server's page at the address opened"):
            self.assertRegex(url, r"\Ahttp://localhost:[1-9][0-9]*\Z")
            connection = http.client.HTTPConnection("localhost", int(url.rsplit(":", 1)[1]), timeout=scaled(10))
            self.addCleanup(connection.close)
            connection.request("GET", "/")
            response = connection.getresponse()
            page = response.read().decode()
            self.assertEqual(response.status, 200)
            self.assertTrue(response.getheader("Content-Type", "").startswith("text/html"))
            self.assertRegex(page, r"<title>Quillary</title>")
            self.assertIn("Сервер запущен лаунчером Quillary", page)

        with self.subTest("the desktop entry's open action"):
            before = len(self.opened())
            self.assertEqual(self.desktop_command(entry, "Desktop Action open").returncode, 0)
            wait_for(lambda: len(self.opened()) > before, what="the open through the desktop entry")
            self.assertEqual(set(self.opened()), {url})

        with self.subTest("the desktop entry's quit action"):
            ran_until_quit = self.server_running()
            quit = self.desktop_command(entry, "Desktop Action quit")
            self.assertEqual(quit.returncode, 0, quit.stderr)
            status, err = self.wait_exit()
            self.assertTrue(ran_until_quit, "the installed server ran until the quit")
            self.assertEqual(status, 0, err)
            wait_for(lambda: not self.server_running(), timeout=2, what="the installed server to end")


if __name__ == "__main__":
    unittest.main()
