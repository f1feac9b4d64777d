"""The test server's URL faults and Python API, as the download tests and the end-to-end tests rely on them."""

import http.client
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.environ.get("RADEVARE_SOURCE", os.path.join(os.path.dirname(__file__), "..", "..")),
                                "tools", "http_server"))
import test_server  # noqa: E402


class TestServerTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.TemporaryDirectory()
        os.makedirs(os.path.join(self.root.name, "sub"))
        with open(os.path.join(self.root.name, "sub", "file.txt"), "wb") as f:
            f.write(b"from the root\n")
        self.server = test_server.TestServer(self.root.name).start()
        self.addCleanup(self.root.cleanup)
        self.addCleanup(self.server.stop)

    def get(self, path, timeout=10):
        """(status, headers, body, complete): complete is False when the body ended before its Content-Length."""
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=timeout)
        try:
            connection.request("GET", path)
            response = connection.getresponse()
            try:
                body, complete = response.read(), True
            except http.client.IncompleteRead as e:
                body, complete = e.partial, False
            return response.status, dict(response.getheaders()), body, complete
        finally:
            connection.close()

    def test_serves_root_files_memory_files_and_generated_bodies(self):
        self.assertEqual(self.get("/sub/file.txt")[2], b"from the root\n")
        self.server.add_file("/FileList.xml", b"<list/>")
        self.assertEqual(self.get("/FileList.xml")[2], b"<list/>")
        status, headers, body, _ = self.get("/x/size=1000/a.bin")
        self.assertEqual((status, headers["Content-Length"], body), (200, "1000", test_server.generated_body(1000)))
        self.assertEqual(body[251:253], b"\x00\x01")
        self.assertEqual(self.get("/missing.bin")[0], 404)
        # Nothing outside the root.
        for path in ("/../etc/passwd", "/sub/../../etc/passwd", "/%2e%2e/etc/passwd", "/sub\\..\\..\\x"):
            self.assertEqual(self.get(path)[0], 404, path)

    def test_status_cut_and_close_faults(self):
        status, _, body, _ = self.get("/x/status=500/a.bin")
        self.assertEqual(status, 500)
        self.assertIn(b"500", body)
        status, headers, body, complete = self.get("/x/size=10000/cut=123/a.bin")
        self.assertEqual((status, headers["Content-Length"], len(body), complete), (200, "10000", 123, False))
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.get("/x/close/a.bin")

    def test_failfirst_then_serves_and_counts(self):
        statuses = [self.get("/x/failfirst=2:503/size=5/a.bin")[0] for _ in range(4)]
        self.assertEqual(statuses, [503, 503, 200, 200])
        self.assertEqual(self.server.request_count("/x/failfirst=2:503/size=5/a.bin"), 4)
        self.assertEqual(self.get("/_count/x/failfirst=2:503/size=5/a.bin")[2], b"4")
        self.assertEqual(self.get("/_count/never.bin")[2], b"0")

    def test_stall_rate_and_delay_take_their_time(self):
        start = time.monotonic()
        self.assertEqual(self.get("/x/size=1000/stall=0.5@400/a.bin")[2], test_server.generated_body(1000))
        self.assertGreaterEqual(time.monotonic() - start, 0.45)
        start = time.monotonic()
        self.assertEqual(len(self.get("/x/size=10000/rate=20000/a.bin")[2]), 10000)
        self.assertGreaterEqual(time.monotonic() - start, 0.4)
        start = time.monotonic()
        self.assertEqual(self.get("/x/delay=0.3/size=3/a.bin")[0], 200)
        self.assertGreaterEqual(time.monotonic() - start, 0.25)

    def test_gzip_nolen_and_redirect(self):
        import gzip
        _, headers, body, _ = self.get("/x/gzip/size=3000/a.bin")
        self.assertEqual(headers["Content-Encoding"], "gzip")
        self.assertEqual(gzip.decompress(body), test_server.generated_body(3000))
        _, headers, body, _ = self.get("/x/nolen/size=3000/a.bin")
        self.assertNotIn("Content-Length", headers)
        self.assertEqual(len(body), 3000)
        status, headers, _, _ = self.get("/x/redirect=302/size=7/a.bin")
        self.assertEqual((status, headers["Location"]), (302, "/x/size=7/a.bin"))

    def test_faults_set_from_python_and_the_path_list(self):
        self.server.add_file("/pkg/game.bin", b"0123456789")
        self.server.set_fault("/pkg/game.bin", status=404)
        self.assertEqual(self.get("/pkg/game.bin")[0], 404)
        self.server.set_fault("/pkg/game.bin", cut=4)
        self.assertEqual(self.get("/pkg/game.bin")[2:], (b"0123", False))
        self.server.set_fault("/pkg/game.bin", cut=0)
        self.assertEqual(self.get("/pkg/game.bin")[2:], (b"", False))
        self.server.set_fault("/pkg/game.bin")
        self.assertEqual(self.get("/pkg/game.bin")[2], b"0123456789")
        with self.assertRaises(ValueError):
            self.server.set_fault("/pkg/game.bin", nonsense=1)
        self.assertEqual(self.server.requested_paths(), ["/pkg/game.bin"] * 4)
        self.assertEqual(self.get("/_paths")[2], b"/pkg/game.bin\n" * 4)

    def test_unknown_segments_after_x_are_part_of_the_path(self):
        self.assertEqual(self.get("/x/sub/file.txt")[2], b"from the root\n")
        self.assertEqual(self.get("/x/size=abc/sub/file.txt")[0], 404)

    def test_stop_ends_a_stalled_connection_promptly(self):
        errors = []

        def stalled_get():
            try:
                self.get("/x/size=100/stall=60/a.bin", timeout=30)
            except Exception as e:  # the stalled client sees the close
                errors.append(e)

        client = threading.Thread(target=stalled_get)
        client.start()
        deadline = time.monotonic() + 5
        while self.server.request_count("/x/size=100/stall=60/a.bin") == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        start = time.monotonic()
        self.server.stop()
        client.join(10)
        self.assertLess(time.monotonic() - start, 2)
        self.assertFalse(client.is_alive())

    def test_accepted_sockets_have_nodelay(self):
        # Without it every small answer waits for the client's delayed acknowledgement.
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        connection.request("GET", "/x/size=10/a.bin")
        connection.getresponse().read()
        accepted = list(self.server._connections)  # the keep-alive connection is still open
        self.assertEqual(len(accepted), 1)
        self.assertTrue(accepted[0].getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
        connection.close()


class WrapTest(unittest.TestCase):
    def test_wrap_passes_the_address_and_the_exit_code(self):
        script = os.path.abspath(test_server.__file__)
        probe = ("import os, sys, urllib.request; base = os.environ['RADEVARE_TEST_SERVER']; "
                 "urllib.request.urlopen(base + '/x/size=3/a.bin').read(); "
                 "sys.exit(int(urllib.request.urlopen(base + '/_count/x/size=3/a.bin').read()) + 40)")
        result = subprocess.run([sys.executable, script, "--wrap", "--", sys.executable, "-c", probe], timeout=60)
        self.assertEqual(result.returncode, 41)


if __name__ == "__main__":
    unittest.main()
