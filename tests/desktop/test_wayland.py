"""The failure alert on a Wayland desktop (a headless Weston; no DISPLAY)."""

import os
import subprocess
import unittest

from desktop import Desktop, wait_for


class Wayland(Desktop):
    def test_alert_through_the_wayland_backend(self):
        desktop = self.desktop
        del desktop.env["DISPLAY"]
        # GTK draws the title bar here, and aborts if its icons need a MIME database it lacks.
        desktop.env["XDG_DATA_DIRS"] += os.pathsep + "/usr/share"
        desktop.spawn(["weston", "--backend=headless-backend.so", "--no-config", "--idle-time=0",
                       "--socket=wayland-quillary"], env=desktop.env, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(desktop.path("runtime/wayland-quillary")), what="Weston")
        desktop.start("echo 'нет файла настроек' >&2; exit 2", env={"WAYLAND_DISPLAY": "wayland-quillary"},
                      wait_for_bus_name=False)
        self.expect_alert("нет файла настроек")


if __name__ == "__main__":
    unittest.main()
