"""The whole road in a real browser: the launcher starts the real sample
server, the tray's "Открыть Quillary" hands the address to the default
browser, headless Chromium, which renders the page the server serves.
The screenshot is kept in QUILLARY_ARTIFACTS_DIR."""

import os
import shutil
import unittest

from desktop import OPEN, QUIT, Session, wait_for

CHROMIUM = ("chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
            "--disable-component-update --disable-sync --disable-quic --window-size=1024,768")


class BrowserRoad(unittest.TestCase):
    def test_tray_opens_the_sample_page_in_the_default_browser(self):
        desktop = Session()
        self.addCleanup(desktop.close)
        # Each run renders into a folder of its own; "status" comes last.
        with open(desktop.path("browser"), "w") as f:
            f.write(f"""#!/bin/sh
run=$(mktemp -d '{desktop.dir}/run.XXXXXX')
echo "$1" > $run/url
echo "$1" >> {desktop.urls}
HOME=$run {CHROMIUM} --user-data-dir=$run/profile --dump-dom --screenshot=$run/shot.png "$1" >$run/dom 2>$run/log
echo $? > $run/status
""")
        os.chmod(desktop.path("browser"), 0o755)
        desktop.set_browser(desktop.path("browser") + " %u")
        desktop.start(os.environ["QUILLARY_SAMPLE_SERVER"], env={"QUILLARY_APP": "0"})
        desktop.open_once_port_is_known(lambda: desktop.tray_click(OPEN))
        run = wait_for(lambda: [r for r in sorted(os.listdir(desktop.dir)) if r.startswith("run.") and
                                os.path.exists(os.path.join(desktop.dir, r, "status"))], timeout=60,
                       what="Chromium to render the page")[0]

        def read(name):
            with open(os.path.join(desktop.dir, run, name), encoding="utf-8", errors="replace") as f:
                return f.read()

        os.makedirs(os.environ["QUILLARY_ARTIFACTS_DIR"], exist_ok=True)
        shutil.copyfile(os.path.join(desktop.dir, run, "shot.png"),
                        os.path.join(os.environ["QUILLARY_ARTIFACTS_DIR"], "browser-road.png"))
        self.assertRegex(read("url"), r"\Ahttp://localhost:[1-9][0-9]{0,4}\n\Z")
        self.assertEqual(read("status"), "0\n", read("log")[-3000:])
        dom = read("dom")
        self.assertIn("<title>Quillary</title>", dom)
        # The launcher's own QUILLARY_APP=1 wins over a stale value.
        self.assertIn("Сервер запущен лаунчером Quillary", dom)
        desktop.tray_click(QUIT)
        self.assertEqual(desktop.wait_exit()[0], 0)


if __name__ == "__main__":
    unittest.main()
