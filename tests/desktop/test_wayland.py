"""The failure alert on a Wayland desktop (a headless Weston; no DISPLAY)."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from desktop import Desktop, press, read_alert, wait_for  # noqa: E402


class Wayland(Desktop):
    server_script = "echo 'нет файла настроек' >&2\nexit 2\n"

    def test_alert_through_the_wayland_backend(self):
        del self.env["DISPLAY"]
        # GTK draws the title bar here, and aborts if its icons need a MIME database it lacks.
        self.env["XDG_DATA_DIRS"] += os.pathsep + "/usr/share"
        weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--no-config", "--idle-time=0",
                                   "--socket=wayland-quillary"], env=self.env, stderr=subprocess.DEVNULL)
        self.addCleanup(weston.wait)
        self.addCleanup(weston.terminate)
        wait_for(lambda: os.path.exists(self.path("runtime/wayland-quillary")), what="Weston")
        self.start("", env={"WAYLAND_DISPLAY": "wayland-quillary"}, wait_for_bus_name=False)
        headline, text, button = read_alert()
        self.assertEqual((headline, text), ("Quillary не запустился", "нет файла настроек"))
        press(button)
        self.assertEqual(self.wait_exit()[0], 1)


if __name__ == "__main__":
    unittest.main()
