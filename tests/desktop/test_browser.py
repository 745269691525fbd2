"""The whole road in a real browser: the launcher starts the real sample
server, the tray's "Открыть Quillary" hands its address to the default
browser, and that browser (headless Chromium) renders the page the server
serves to the launcher's user.

Paths from CTest: desktop.py's QUILLARY_LAUNCHER, QUILLARY_ALERT_MODULE and
QUILLARY_ICON; QUILLARY_SAMPLE_SERVER, the built sample server; and
QUILLARY_ARTIFACTS_DIR, where the screenshot is kept.
"""

import os
import re
import shutil
import subprocess
import sys
import unittest
from collections import Counter
from html.parser import HTMLParser

sys.path.insert(0, os.path.dirname(__file__))
from desktop import Desktop, wait_for  # noqa: E402
from tray_host import TrayHost  # noqa: E402

import gi  # noqa: E402

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf  # noqa: E402

OPEN, QUIT = "Открыть Quillary", "Выйти из Quillary"
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-quic"]
WINDOW = (1024, 768)


class PageText(HTMLParser):
    """The title and the visible text of a dumped DOM."""

    def __init__(self, html):
        super().__init__()
        self.title = ""
        self.text = []
        self._open = []
        self.feed(html)

    def handle_starttag(self, tag, attrs):
        self._open.append(tag)

    def handle_endtag(self, tag):
        while self._open and self._open.pop() != tag:
            pass

    def handle_data(self, data):
        where = self._open[-1] if self._open else ""
        if where == "title":
            self.title += data
        elif where not in ("script", "style"):
            self.text.append(data)

    @property
    def body(self):
        return " ".join(" ".join(self.text).split())


class BrowserRoad(Desktop):
    def make_bundle(self):
        bundle = super().make_bundle(server=False)
        os.symlink(os.environ["QUILLARY_SAMPLE_SERVER"], os.path.join(bundle, "libexec/quillary/quillary-bin"))
        return bundle

    def make_environment(self):
        """Headless Chromium as the default http handler, through a wrapper
        that keeps what each run was given and what it rendered in a folder
        of its own under browser/runs ("status" is written last)."""
        env = super().make_environment()
        chromium = shutil.which("chromium")
        if chromium is None:
            self.fail("Debian's chromium is not installed (apt-get install chromium): "
                      "this test needs a real browser as the default one")
        self.runs = self.path("browser/runs")
        os.makedirs(self.runs)
        # Whatever outlives a failed test (a wrapper, a Chromium) is found by
        # its command line, which names this test's folder.
        self.addCleanup(subprocess.run, ["pkill", "-KILL", "-f", self.path("browser/")], check=False)
        wrapper = self.path("browser/open")
        with open(wrapper, "w") as f:
            f.write(f"""#!/bin/sh
printf '%s\\n' "$1" >> '{self.urls}'
run=$(mktemp -d '{self.runs}/run.XXXXXX')
printf '%s' "$1" > "$run/url"
mkdir "$run/profile" "$run/home"
# A home of its own too, so that nothing of Chromium's is shared between runs.
HOME="$run/home" '{chromium}' {" ".join(CHROMIUM_FLAGS)} --user-data-dir="$run/profile" \\
    --dump-dom --screenshot="$run/screenshot.png" --window-size={WINDOW[0]},{WINDOW[1]} "$1" \\
    > "$run/dom.html" 2> "$run/chromium.log"
echo $? > "$run/status.new" && mv "$run/status.new" "$run/status"
""")
        os.chmod(wrapper, 0o755)
        applications = os.path.join(env["XDG_DATA_HOME"], "applications")
        with open(os.path.join(applications, "headless-chromium.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Headless Chromium\n"
                    f"Exec={wrapper} %u\nMimeType=x-scheme-handler/http;\n")
        with open(os.path.join(env["XDG_CONFIG_HOME"], "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=headless-chromium.desktop\n")
        # The page must learn that it runs under the launcher from the
        # launcher itself, even over a stale value from the user's session.
        env["QUILLARY_APP"] = "0"
        return env

    def finished_runs(self):
        runs = [os.path.join(self.runs, name) for name in sorted(os.listdir(self.runs))]
        return [run for run in runs if os.path.exists(os.path.join(run, "status"))]

    def server_running(self):
        return subprocess.run(["pgrep", "-f", "^" + self.server_path],
                              stdout=subprocess.DEVNULL).returncode == 0

    def test_tray_opens_the_sample_page_in_the_default_browser(self):
        host = TrayHost(self.bus.address)
        self.addCleanup(host.close)
        self.start("")  # the sample server reads no script
        item = host.wait_for_item()
        self.open_once_port_is_known(lambda: item.click(OPEN))
        # Every run started (a slow start may have been asked for twice) has
        # ended before the launcher goes; Chromium needs a few seconds.
        wait_for(lambda: len(self.finished_runs()) >= max(1, len(self.opened())), timeout=60,
                 what="Chromium to render the page")
        run = self.finished_runs()[0]

        def read(name):
            with open(os.path.join(run, name), encoding="utf-8", errors="replace") as f:
                return f.read()

        screenshot = os.path.join(run, "screenshot.png")
        if os.path.exists(screenshot):
            artifacts = os.environ["QUILLARY_ARTIFACTS_DIR"]
            os.makedirs(artifacts, exist_ok=True)
            shutil.copyfile(screenshot, os.path.join(artifacts, "browser-road.png"))

        with self.subTest("the address handed over"):
            url = read("url")
            self.assertRegex(url, r"\Ahttp://localhost:[1-9][0-9]*\Z")
            self.assertLessEqual(int(url.rsplit(":", 1)[1]), 65535)
            self.assertEqual(set(self.opened()), {url}, "every open hands over the same address")

        self.assertEqual(read("status").strip(), "0", "Chromium's status; its log:\n" + read("chromium.log")[-3000:])
        dom = read("dom.html")
        page = PageText(dom)
        with self.subTest("the rendered page"):
            self.assertEqual(page.title, "Quillary")
            self.assertIn("Сервер запущен лаунчером Quillary", page.body)
            self.assertNotIn("без лаунчера", page.body)

        with self.subTest("the screenshot"):
            self.assertTrue(os.path.exists(screenshot), "no screenshot")
            with open(screenshot, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            image = GdkPixbuf.Pixbuf.new_from_file(screenshot)
            self.assertEqual((image.get_width(), image.get_height()), WINDOW)
            colours = pixel_colours(image)
            _, most = colours.most_common(1)[0]
            self.assertLess(most, 0.95 * sum(colours.values()), "more than a plain background")
            self.assertGreaterEqual(len(colours), 16, "drawn text has smoothed edges")
            # The page's own background, one of those its style sheet gives
            # (light or dark): not a browser's error page, nor a blank one.
            page_backgrounds = set(re.findall(r"--bg:\s*#([0-9a-f]{6})", dom, re.IGNORECASE))
            self.assertIn(pixel(image, 0, 0), {c.lower() for c in page_backgrounds})

        with self.subTest("quitting from the tray"):
            ran_until_quit = self.server_running()
            item.click(QUIT)
            status, err = self.wait_exit()
            self.assertTrue(ran_until_quit, "the sample server ran until the quit")
            self.assertEqual(status, 0, err)
            wait_for(lambda: not self.server_running(), timeout=2, what="the sample server to end")


def pixel(image, x, y):
    """The colour at (x, y) as rrggbb."""
    start = y * image.get_rowstride() + x * image.get_n_channels()
    return image.get_pixels()[start:start + 3].hex()


def pixel_colours(image):
    pixels = image.get_pixels()
    channels, stride = image.get_n_channels(), image.get_rowstride()
    colours = Counter()
    for y in range(image.get_height()):
        row = pixels[y * stride:y * stride + image.get_width() * channels]
        colours.update(row[x:x + 3] for x in range(0, len(row), channels))
    return colours


if __name__ == "__main__":
    unittest.main()
