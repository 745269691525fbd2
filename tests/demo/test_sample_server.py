"""The sample server, run as the launcher runs it: one pipe for its output, real HTTP on both loopback addresses, its
failure said in its last lines."""

import http.client
import os
import re
import select
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
    def start(self, value):  # its announcement: the whole line in the first read (one write, unbuffered), alone
        env = {k: v for k, v in os.environ.items() if k != "QUILLARY_APP"}
        server = subprocess.Popen([SERVER], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  env=env if value is None else dict(env, QUILLARY_APP=value))
        self.addCleanup(server.stdout.close)
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))
        self.assertTrue(select.select([server.stdout], [], [], TIMEOUT)[0], "no output")
        first_read = os.read(server.stdout.fileno(), 65536).decode("utf-8")
        self.assertRegex(first_read, r"\A[^\n]*порт [1-9][0-9]{0,4}\n\Z")
        return server, int(re.search(r"порт ([0-9]+)", first_read).group(1))

    def get(self, host, port):
        connection = http.client.HTTPConnection(host, port, timeout=TIMEOUT)
        self.addCleanup(connection.close)
        connection.request("GET", "/")
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read().decode("utf-8")

    def test_serves_its_page_on_both_loopbacks_and_ends_on_a_signal_with_0(self):
        for value, sentence in (("1", "запущен лаунчером"), ("0", "без лаунчера"), (None, "без лаунчера")):
            with self.subTest(QUILLARY_APP=value):
                server, port = self.start(value)
                for host in ("127.0.0.1", "::1") if ipv6_loopback() else ("127.0.0.1",):
                    status, kind, page = self.get(host, port)
                    self.assertEqual((status, kind), (200, "text/html; charset=utf-8"), host)
                    self.assertIn("<title>Quillary</title>", page)
                    self.assertIn(sentence, page)
                server.send_signal(signal.SIGTERM)
                self.assertEqual(server.wait(timeout=TIMEOUT), 0)

    def test_a_port_it_cannot_announce_is_its_last_line_and_status_1(self):
        # With its standard output closed, the announcement cannot be written.
        failed = subprocess.run([SERVER], stderr=subprocess.PIPE, timeout=TIMEOUT, preexec_fn=lambda: os.close(1))
        self.assertEqual(failed.returncode, 1)
        self.assertRegex(failed.stderr.decode("utf-8"), r"\AQuillary: не удалось сообщить адрес[^\n]{3,}\n\Z")


if __name__ == "__main__":
    unittest.main()
