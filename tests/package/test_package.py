"""The Debian package as a user meets it: `apt-get install`, the installed launcher with the packaged server on a
desktop of its own, its page opened from the tray, and `apt-get remove --purge`. It changes the system: run it as root
and alone, never among the parallel tests (see docs/installing.md)."""

import os
import subprocess
import sys
import unittest

from desktop import OPEN, Gio, Session


def file_list():  # where a package's files are, and dpkg's own record of them
    return {os.path.join(top, name) for root in ("/usr", "/etc", "/opt", "/var/lib/dpkg/info")
            for top, dirs, files in os.walk(root) for name in dirs + files}


def apt_get(*args, check=True):
    subprocess.run(["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=900", *args], check=check,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdout=subprocess.DEVNULL,
                   stderr=None if check else subprocess.DEVNULL)


class Package(unittest.TestCase):
    def test_install_run_remove(self):
        before = file_list()
        self.addCleanup(apt_get, "remove", "--purge", "quillary", check=False)  # when the test failed
        apt_get("install", DEB)
        desktop = Session(bundle="/usr")
        self.addCleanup(desktop.close)
        fields = subprocess.run(["dpkg-query", "-W", "-f", "${Depends}\n${Recommends}", "quillary"],
                                capture_output=True, text=True, check=True).stdout.split("\n")
        with self.subTest("GTK, which only the alert needs, is recommended, not required"):
            self.assertNotIn("libgtk", fields[0])
            self.assertIn("libgtk-3", fields[1])

        desktop.start()  # with the packaged server
        desktop.open_once_port_is_known(lambda: desktop.tray_click(OPEN))

        with self.subTest("the desktop entry's quit action, launched as a desktop does, reaches the launcher"):
            entry = Gio.DesktopAppInfo.new_from_filename("/usr/share/applications/org.quillary.Quillary.desktop")
            entry.launch_action("quit", None)
            self.assertEqual(desktop.wait_exit()[0], 0)

        apt_get("remove", "--purge", "quillary")
        with self.subTest("removed, it leaves the file list as it was"):
            self.assertEqual(sorted(file_list() ^ before), [])


if __name__ == "__main__":
    DEB = os.path.abspath(sys.argv.pop(1))
    unittest.main()
