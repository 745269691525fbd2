"""sway as a Wayland session's compositor, for the tray hosts that run on one (waybar): headless, 1280x800, its screen
read with grim and its pointer moved and clicked through wayvnc, as a VNC client (sway has no pointer of its own
without an input device). sway refuses to run as root: then it runs as an unprivileged user made for it."""

import os
import pwd
import shutil
import socket
import struct
import subprocess
import tempfile
import time

from desktop import wait_for

USER = "quillary-sway"


def unprivileged():  # (uid, gid) to run sway as
    if os.getuid() != 0:
        return os.getuid(), os.getgid()
    try:
        pwd.getpwnam(USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
                        "/usr/sbin/nologin", USER], check=True)
    user = pwd.getpwnam(USER)
    return user.pw_uid, user.pw_gid


class Sway:
    def __init__(self, desktop):
        """Starts sway, and wayvnc on it, in `desktop`, whose environment is then a Wayland session's (no DISPLAY)."""
        self.dir = tempfile.mkdtemp(prefix="quillary-sway-")  # its XDG_RUNTIME_DIR and home, the user's own
        uid, gid = unprivileged()
        config = os.path.join(self.dir, "config")
        with open(config, "w") as f:
            f.write("output HEADLESS-1 resolution 1280x800\nxwayland disable\n")
        os.chown(self.dir, uid, gid)
        as_user = ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups"] if os.getuid() == 0 else []
        desktop.spawn(as_user + ["sway", "-c", config], cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                      env={"PATH": os.environ["PATH"], "HOME": self.dir, "XDG_RUNTIME_DIR": self.dir,
                           "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"})
        self.socket = os.path.join(self.dir, "wayland-1")
        wait_for(lambda: os.path.exists(self.socket + ".lock") and os.path.exists(self.socket), timeout=10, what="sway")
        desktop.env.pop("DISPLAY")
        self.env = desktop.env
        self.env["WAYLAND_DISPLAY"] = self.socket  # a path: the socket is not in our XDG_RUNTIME_DIR
        with socket.socket() as free:
            free.bind(("127.0.0.1", 0))
            port = free.getsockname()[1]
        desktop.spawn(["wayvnc", "127.0.0.1", str(port)], env=self.env, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
        self.vnc = wait_for(lambda: self.connect(port), timeout=10, what="wayvnc")

    def close(self):
        self.vnc.close()
        shutil.rmtree(self.dir, True)

    def connect(self, port):
        """A VNC session with wayvnc: RFB 3.8, no authentication, shared; or None while it is not listening."""
        try:
            vnc = socket.create_connection(("127.0.0.1", port))
        except ConnectionRefusedError:
            return None
        vnc.settimeout(10)

        def read(n):
            data = b""
            while len(data) < n:
                chunk = vnc.recv(n - len(data))
                if not chunk:
                    raise EOFError("wayvnc hung up")
                data += chunk
            return data
        assert read(12) == b"RFB 003.008\n"
        vnc.sendall(b"RFB 003.008\n")
        assert 1 in read(read(1)[0]), "wayvnc asks for authentication"
        vnc.sendall(b"\x01")
        assert read(4) == b"\0\0\0\0"
        vnc.sendall(b"\x01")
        read(struct.unpack(">20xI", read(24))[0])  # the screen's size and pixel format, and its name
        return vnc

    def screenshot(self, path):
        subprocess.run(["grim", path], env=self.env, check=True)

    def click(self, where, button=1):
        mask = {1: 1, 2: 2, 3: 4}[int(button)]
        for buttons in (0, mask, 0):  # move there, press, release
            self.vnc.sendall(struct.pack(">BBHH", 5, buttons, *where))
            time.sleep(0.05)
