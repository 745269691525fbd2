"""sway as a Wayland session's compositor, for the tray hosts that run on one (waybar): in a window that fills the X
display (its X11 backend), so that the screen is read and the pointer moved there as on every other desktop here.
sway refuses to run as root: then it runs as an unprivileged user made for it."""

import os
import pwd
import subprocess
import tempfile

from desktop import wait_for

USER = "quillary-sway"


def as_unprivileged(home):  # what runs sway as USER, who is given `home`; nothing unless we are root
    if os.getuid() != 0:
        return []
    subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin",
                    USER], stderr=subprocess.DEVNULL)  # made now, or there from an earlier run
    user = pwd.getpwnam(USER)
    os.chown(home, user.pw_uid, user.pw_gid)
    return ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups"]


def start_sway(desktop):
    """Starts sway in `desktop`, whose environment is then a Wayland session's (no DISPLAY). Returns its
    XDG_RUNTIME_DIR and home, the user's own, to remove at the end."""
    home = tempfile.mkdtemp(prefix="quillary-sway-")
    config = os.path.join(home, "config")
    with open(config, "w") as f:
        f.write("output X11-1 resolution 1280x800\nxwayland disable\n")
    desktop.spawn(as_unprivileged(home) + ["sway", "-c", config], cwd=home, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                  env={"PATH": os.environ["PATH"], "HOME": home, "XDG_RUNTIME_DIR": home,
                       "DISPLAY": desktop.display, "WLR_BACKENDS": "x11", "WLR_RENDERER": "pixman"})
    socket = os.path.join(home, "wayland-1")
    wait_for(lambda: os.path.exists(socket + ".lock") and os.path.exists(socket), timeout=10, what="sway")
    desktop.env.pop("DISPLAY")
    desktop.env["WAYLAND_DISPLAY"] = socket  # a path: the socket is not in our XDG_RUNTIME_DIR
    return home
