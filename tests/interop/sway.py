"""sway as a Wayland session's compositor, for the tray hosts that run on one (waybar): in a window that fills the X
display (its X11 backend), so that the screen is read and the pointer moved there as on every other desktop here.
sway refuses to run as root: then it runs as an unprivileged user made for it."""

import os
import pwd
import shutil
import subprocess
import tempfile

from desktop import wait_for

USER = "quillary-sway"


def unprivileged():  # (uid, gid) to run sway as
    if os.getuid() != 0:
        return os.getuid(), os.getgid()
    subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin",
                    USER], stderr=subprocess.DEVNULL)  # made now, or there from an earlier run
    user = pwd.getpwnam(USER)
    return user.pw_uid, user.pw_gid


class Sway:
    def __init__(self, desktop):
        """Starts sway in `desktop`, whose environment is then a Wayland session's (no DISPLAY)."""
        self.dir = tempfile.mkdtemp(prefix="quillary-sway-")  # its XDG_RUNTIME_DIR and home, the user's own
        uid, gid = unprivileged()
        config = os.path.join(self.dir, "config")
        with open(config, "w") as f:
            f.write("output X11-1 resolution 1280x800\nxwayland disable\n")
        os.chown(self.dir, uid, gid)
        as_user = ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups"] if os.getuid() == 0 else []
        desktop.spawn(as_user + ["sway", "-c", config], cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                      env={"PATH": os.environ["PATH"], "HOME": self.dir, "XDG_RUNTIME_DIR": self.dir,
                           "DISPLAY": desktop.display, "WLR_BACKENDS": "x11", "WLR_RENDERER": "pixman"})
        socket = os.path.join(self.dir, "wayland-1")
        wait_for(lambda: os.path.exists(socket + ".lock") and os.path.exists(socket), timeout=10, what="sway")
        desktop.env.pop("DISPLAY")
        desktop.env["WAYLAND_DISPLAY"] = socket  # a path: the socket is not in our XDG_RUNTIME_DIR

    def close(self):
        shutil.rmtree(self.dir, True)
