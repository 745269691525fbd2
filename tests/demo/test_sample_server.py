"""The sample server, run as the launcher runs it: one pipe for its output,
real HTTP on both loopback addresses, its failure said in its last lines."""

import http.client
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import unittest

SERVER = os.environ["QUILLARY_SAMPLE_SERVER"]
TIMEOUT = 10 * float(os.environ.get("QUILLARY_TEST_TIMEOUT_FACTOR") or 1)


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            return probe.bind(("::1", 0)) or True
    except OSError:
        return False


class SampleServer(unittest.TestCase):
    def start(self, env=None, command=None):
        """Starts the server and reads its announcement: the whole line in
        the first read (one write, not held in a buffer), nothing before."""
        environment = {k: v for k, v in os.environ.items() if k != "QUILLARY_APP"}
        server = subprocess.Popen(command or [SERVER], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  env=dict(environment, **(env or {})))
        self.addCleanup(server.stdout.close)
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))
        self.assertTrue(select.select([server.stdout], [], [], TIMEOUT)[0], "no output")
        first_read = os.read(server.stdout.fileno(), 65536).decode("utf-8")
        self.assertRegex(first_read, r"\A[^\n]*порт [1-9][0-9]{0,4}\n\Z")
        return server, int(re.search(r"порт ([0-9]+)", first_read).group(1))

    def get(self, host, port, path="/", method="GET"):
        connection = http.client.HTTPConnection(host, port, timeout=TIMEOUT)
        self.addCleanup(connection.close)
        connection.request(method, path)
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read().decode("utf-8")

    def test_serves_its_page_on_both_loopbacks_and_ends_on_a_signal_with_0(self):
        for value, sentence in (("1", "запущен лаунчером"), ("0", "без лаунчера"), (None, "без лаунчера")):
            with self.subTest(QUILLARY_APP=value):
                server, port = self.start({} if value is None else {"QUILLARY_APP": value})
                for host in ("127.0.0.1", "::1") if ipv6_loopback() else ("127.0.0.1",):
                    status, kind, page = self.get(host, port)
                    self.assertEqual((status, kind), (200, "text/html; charset=utf-8"), host)
                    self.assertIn("<title>Quillary</title>", page)
                    self.assertIn(sentence, page)
                self.assertEqual(self.get("localhost", port, "/favicon.ico")[0], 404)
                self.assertEqual(self.get("localhost", port, "/", "POST")[0], 405)
                server.send_signal(signal.SIGTERM if value else signal.SIGINT)
                self.assertEqual(server.wait(timeout=TIMEOUT), 0)

    def test_a_socket_it_cannot_open_is_its_last_line_and_status_1(self):
        # The descriptor limit set just at its IPv4 socket's descriptor in a
        # normal run makes exactly that socket fail with EMFILE. Under a
        # sanitizer, LeakSanitizer would need a descriptor of its own at exit.
        server, port = self.start()
        fds = [int(fd) for fd in os.listdir(f"/proc/{server.pid}/fd")
               if os.readlink(f"/proc/{server.pid}/fd/{fd}").startswith("socket:")]
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        failed = subprocess.run([SERVER], capture_output=True, env=env, timeout=TIMEOUT, preexec_fn=lambda: (
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(fds), resource.getrlimit(resource.RLIMIT_NOFILE)[1]))))
        self.assertEqual((failed.returncode, failed.stdout), (1, b""))
        self.assertRegex(failed.stderr.decode("utf-8"), r"\AQuillary: не удалось открыть порт[^\n]{3,}\n([^\n]*\n){0,3}\Z")

    def test_ipv4_alone_where_ipv6_is_disabled(self):
        tools = [shutil.which(tool) for tool in ("unshare", "nsenter", "ip")]
        setup = '"$1" link set lo up && echo 1 > /proc/sys/net/ipv6/conf/lo/disable_ipv6 && exec "$2"'
        if not all(tools) or subprocess.run([tools[0], "-rn", "sh", "-c", setup, "sh", tools[2], "true"],
                                            capture_output=True).returncode:
            self.skipTest("cannot make a network namespace here")
        server, port = self.start(command=[tools[0], "-rn", "sh", "-c", setup, "sh", tools[2], SERVER])
        client = f"import urllib.request; print(urllib.request.urlopen('http://localhost:{port}/').status)"
        inside = subprocess.run([tools[1], "--target", str(server.pid), "--net", "--user", "--preserve-credentials",
                                 "/usr/bin/python3", "-c", client], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(inside.stdout.strip(), "200", inside.stderr)


if __name__ == "__main__":
    unittest.main()
