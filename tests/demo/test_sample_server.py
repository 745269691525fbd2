"""The sample server, run as the launcher runs it: a real process whose
output comes through a pipe, and real HTTP on both loopback addresses."""

import http.client
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import time
import unittest

SERVER = os.environ["QUILLARY_SAMPLE_SERVER"]
FACTOR = float(os.environ.get("QUILLARY_TEST_TIMEOUT_FACTOR") or 1)

# What the launcher looks for: "порт", one space, decimal digits (any script).
ANNOUNCEMENT = re.compile(r"порт (\d+)")
FAILURE_PREFIX = "Quillary: не удалось открыть порт"


def scaled(seconds):
    return seconds * max(FACTOR, 1.0)


def ipv6_loopback_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def listening_fds(pid, port):
    """The server's listening descriptors on the port, by address family,
    found through the kernel's socket tables."""
    inodes = {}
    for family, table in (("IPv4", "/proc/net/tcp"), ("IPv6", "/proc/net/tcp6")):
        if os.path.exists(table):
            with open(table) as rows:
                for row in list(rows)[1:]:
                    fields = row.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        inodes["socket:[%s]" % fields[9]] = family
    fds = {}
    for name in os.listdir("/proc/%d/fd" % pid):
        family = inodes.get(os.readlink("/proc/%d/fd/%s" % (pid, name)))
        if family:
            fds[family] = int(name)
    return fds


class SampleServerTest(unittest.TestCase):
    def start(self, variables=None, command=None):
        """Starts the server as the launcher does (stdout and stderr in one
        pipe, no other descriptors) and reads up to its announcement."""
        env = {k: v for k, v in os.environ.items() if k != "QUILLARY_APP"}
        env.update(variables or {})
        started = time.monotonic()
        server = subprocess.Popen(command or [SERVER], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        self.addCleanup(server.stdout.close)
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))

        ready = select.select([server.stdout], [], [], scaled(10))[0]
        self.assertTrue(ready, "no output within the time limit")
        first_read = os.read(server.stdout.fileno(), 65536).decode("utf-8")
        # One read must bring the whole line: it was written in one piece,
        # nothing that could be taken for a port came before it, and the
        # server did not hold it back in a buffer until it ended.
        match = re.fullmatch(r"[^\n]*порт ([0-9]+)\n", first_read)
        self.assertTrue(match, "first read: %r" % first_read)
        self.assertEqual(ANNOUNCEMENT.search(first_read).group(1), match.group(1))
        self.assertIsNone(server.poll(), "announced, then ended")
        port = int(match.group(1))
        self.assertTrue(0 < port < 65536)
        return server, port, started

    def request(self, host, port, path="/", method="GET"):
        connection = http.client.HTTPConnection(host, port, timeout=scaled(5))
        self.addCleanup(connection.close)
        connection.request(method, path)
        response = connection.getresponse()
        return response, response.read()

    def test_announced_port_answers_on_both_loopback_addresses(self):
        server, port, _ = self.start()
        for host in ("127.0.0.1", "::1"):
            with self.subTest(host=host):
                if host == "::1" and not ipv6_loopback_available():
                    self.skipTest("this machine has no IPv6 loopback")
                response, _ = self.request(host, port)
                self.assertEqual(response.status, 200)

    def test_page(self):
        cases = [  # QUILLARY_APP, whether the page says the launcher started it
            ("1", True),
            ("0", False),
            (None, False),
            ("", False),
        ]
        for value, under_launcher in cases:
            with self.subTest(QUILLARY_APP=value):
                server, port, started = self.start({} if value is None else {"QUILLARY_APP": value})
                response, body = self.request("localhost", port)
                elapsed = time.monotonic() - started
                self.assertEqual(response.status, 200)
                self.assertEqual(response.getheader("Content-Type"), "text/html; charset=utf-8")
                page = body.decode("utf-8")  # strict: ill-formed UTF-8 fails here
                self.assertIn('<html lang="ru">', page)
                self.assertIn("<title>Quillary</title>", page)
                self.assertIn("prefers-color-scheme: dark", page)
                self.assertEqual("запущен лаунчером" in page, under_launcher, "launcher sentence")
                self.assertEqual("без лаунчера" in page, not under_launcher, "standalone sentence")
                uptime = re.search(r'data-seconds="(\d+)">(\d+) с<', page)
                self.assertTrue(uptime, "uptime")
                self.assertLessEqual(int(uptime.group(1)), elapsed + 1, "uptime counts from the server's start")
                self.assertEqual(uptime.group(1), uptime.group(2), "shown and ticking uptime agree")

                head, head_body = self.request("localhost", port, method="HEAD")
                self.assertEqual((head.status, head.getheader("Content-Type"), head_body),
                                 (200, "text/html; charset=utf-8", b""), "HEAD")

    def test_other_requests_are_refused(self):
        server, port, _ = self.start()
        cases = [  # method, path, status
            ("GET", "/favicon.ico", 404),
            ("GET", "/index.html", 404),
            ("HEAD", "/missing", 404),
            ("POST", "/", 405),
        ]
        for method, path, status in cases:
            with self.subTest(method=method, path=path):
                response, body = self.request("127.0.0.1", port, path, method)
                self.assertEqual(response.status, status)
                self.assertEqual(response.getheader("Content-Type"), "text/plain; charset=utf-8")
                if method != "HEAD":
                    self.assertTrue(body.decode("utf-8").strip())

    def test_signals_end_it_with_status_0(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum.name):
                server, port, _ = self.start()
                # An open keep-alive connection must not hold the server up.
                response, _ = self.request("127.0.0.1", port)
                self.assertEqual(response.status, 200)
                sent = time.monotonic()
                server.send_signal(signum)
                self.assertEqual(server.wait(timeout=scaled(2)), 0)
                self.assertLess(time.monotonic() - sent, scaled(2))

    def test_socket_failure_is_reported(self):
        # A normal run shows which descriptor each listening socket gets;
        # capping the descriptors right there makes exactly that socket
        # fail with EMFILE, after everything the server set up before it.
        # (The dynamic loader needs descriptor 3 for a moment, so this works
        # as long as the server opens its main loop before its sockets.)
        server, port, _ = self.start()
        fds = listening_fds(server.pid, port)
        self.assertIn("IPv4", fds)
        # In a sanitizer build, LeakSanitizer needs a descriptor of its own at
        # exit, and these runs have none to spare.
        env = dict(os.environ, ASAN_OPTIONS=":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"])))
        for family in ("IPv4", "IPv6"):
            with self.subTest(socket=family):
                if family not in fds:
                    self.skipTest("no IPv6 listener: this machine has no IPv6 loopback")
                limit = fds[family]
                _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
                failed = subprocess.run([SERVER], capture_output=True, env=env, timeout=scaled(10),
                                        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard)))
                reason = failed.stderr.decode("utf-8")
                self.assertGreater(failed.returncode, 0, "a failure status, not a crash: %r" % reason)
                self.assertEqual(failed.stdout, b"", "nothing announced")
                lines = reason.splitlines()
                self.assertTrue(1 <= len(lines) <= 4, reason)
                self.assertTrue(lines[0].startswith(FAILURE_PREFIX) and len(lines[0]) > len(FAILURE_PREFIX) + 2, reason)
                self.assertIsNone(ANNOUNCEMENT.search(reason), reason)

    def test_ipv4_alone_where_ipv6_is_disabled(self):
        # A private network namespace whose loopback has IPv6 turned off,
        # as in containers without IPv6.
        tools = [shutil.which(tool) for tool in ("unshare", "nsenter", "ip")]
        if not all(tools):
            self.skipTest("needs unshare, nsenter and ip")
        unshare, nsenter, ip = tools
        setup = '"$1" link set lo up && echo 1 > /proc/sys/net/ipv6/conf/lo/disable_ipv6 && exec "$2"'
        if subprocess.run([unshare, "-rn", "sh", "-c", setup, "sh", ip, "true"], capture_output=True).returncode:
            self.skipTest("cannot make a network namespace here")
        server, port, _ = self.start(command=[unshare, "-rn", "sh", "-c", setup, "sh", ip, SERVER])
        client = "import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=%f).status)" % scaled(5)
        inside = subprocess.run([nsenter, "--target", str(server.pid), "--net", "--user", "--preserve-credentials",
                                 "/usr/bin/python3", "-c", client, "http://localhost:%d/" % port],
                                capture_output=True, text=True, timeout=scaled(10))
        self.assertEqual(inside.stdout.strip(), "200", inside.stderr)


if __name__ == "__main__":
    unittest.main()
