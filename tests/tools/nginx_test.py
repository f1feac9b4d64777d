"""The nginx harness (tools/runlib/nginx.py) against Debian's nginx: what the client's transfers will meet there
(ranges, If-Range, 416, gzip, a bandwidth limit, a restart mid-transfer) and what the access log says of it."""
import gzip
import http.client
import os
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tools"))

from runlib import nginx  # noqa: E402

MB = 1024 * 1024


class NginxTestCase(unittest.TestCase):
    """A root folder with a binary file and a text file; the nginx of each test is made by serve()."""

    def setUp(self):
        # Skipping would let a machine without nginx pass this file having checked nothing.
        if not os.access(nginx.NGINX, os.X_OK):
            self.fail("%s is not installed: scripts/setup installs Debian's nginx-light" % nginx.NGINX)
        self.parent = tempfile.mkdtemp(prefix="rv_nginx_test_")
        self.addCleanup(shutil.rmtree, self.parent, True)
        self.root = os.path.join(self.parent, "root")
        os.mkdir(self.root)
        self.data = os.urandom(MB + 123)
        self.text = b"a line of text the server may compress\n" * 400
        self.write("big.bin", self.data)
        self.write("notes.txt", self.text)

    def write(self, name, data):
        with open(os.path.join(self.root, name), "wb") as f:
            f.write(data)

    def serve(self, **options):
        server = nginx.NginxServer(self.root, parent=self.parent, **options).start()
        self.addCleanup(server.close)
        return server

    def get(self, server, path, headers=None, method="GET"):
        """(status, headers, body) of a request on a connection of its own, with only the headers given (none
        of http.client's own Accept-Encoding)."""
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        try:
            connection.putrequest(method, path, skip_accept_encoding=True)
            for name, value in (headers or {}).items():
                connection.putheader(name, value)
            connection.endheaders()
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()


class ServingTest(NginxTestCase):
    def test_a_plain_get_is_served_with_validators_from_the_root_folder(self):
        server = self.serve()
        self.assertTrue(server.base_url.startswith("http://127.0.0.1:"))
        status, headers, body = self.get(server, "/big.bin")
        self.assertEqual((status, body, headers["Content-Length"]), (200, self.data, str(len(self.data))))
        self.assertTrue(headers["Server"].startswith("nginx"))
        self.assertRegex(headers["ETag"], r'^"[0-9a-f]+-[0-9a-f]+"$')
        self.assertEqual(headers["Content-Type"], "application/octet-stream")
        self.assertIn("Last-Modified", headers)
        self.assertEqual(self.get(server, "/missing.bin")[0], 404)
        self.assertNotIn("ETag", self.get(self.serve(etag=False), "/big.bin")[1])

    def test_a_range_with_a_matching_if_range_gets_206_and_with_another_the_whole_file(self):
        server = self.serve()
        headers = self.get(server, "/big.bin", method="HEAD")[1]
        total = len(self.data)
        for validator in (headers["ETag"], headers["Last-Modified"]):
            status, answer, body = self.get(server, "/big.bin", {"Range": "bytes=1000-", "If-Range": validator})
            self.assertEqual((status, answer["Content-Range"], body),
                             (206, "bytes 1000-%d/%d" % (total - 1, total), self.data[1000:]), validator)
        status, answer, body = self.get(server, "/big.bin", {"Range": "bytes=10-19"})
        self.assertEqual((status, answer["Content-Range"], body), (206, "bytes 10-19/%d" % total, self.data[10:20]))
        for other in ('"0-0"', "W/" + headers["ETag"], "Thu, 01 Jan 2015 00:00:00 GMT"):
            status, answer, body = self.get(server, "/big.bin", {"Range": "bytes=1000-", "If-Range": other})
            self.assertEqual((status, body), (200, self.data), other)
            self.assertNotIn("Content-Range", answer)

    def test_a_range_past_the_end_is_416_with_the_length(self):
        server = self.serve()
        for asked in ("bytes=%d-" % len(self.data), "bytes=%d-" % (len(self.data) + 5000)):
            status, headers, _ = self.get(server, "/big.bin", {"Range": asked})
            self.assertEqual((status, headers["Content-Range"]), (416, "bytes */%d" % len(self.data)), asked)

    def test_the_access_log_records_each_request_as_it_came_and_went(self):
        server = self.serve()
        etag = self.get(server, "/big.bin", {"User-Agent": "RadeVare\t\"test\" \u00e9".encode().decode("latin-1")},
                        method="HEAD")[1]["ETag"]
        self.get(server, "/big.bin", {"Range": "bytes=100-", "If-Range": etag, "Accept-Encoding": "gzip"})
        self.get(server, "/big.bin", {"Range": "bytes=%d-" % len(self.data)})
        log = server.requests(count=3)
        self.assertEqual([(e["method"], e["uri"], e["status"]) for e in log],
                         [("HEAD", "/big.bin", 200), ("GET", "/big.bin", 206), ("GET", "/big.bin", 416)])
        self.assertEqual(log[0]["user_agent"], "RadeVare\t\"test\" \u00e9")
        self.assertEqual((log[0]["range"], log[0]["body_bytes_sent"]), (None, 0))
        self.assertEqual((log[1]["range"], log[1]["if_range"], log[1]["accept_encoding"], log[1]["request"]),
                         ("bytes=100-", etag, "gzip", "GET /big.bin HTTP/1.1"))
        self.assertEqual(log[1]["body_bytes_sent"], len(self.data) - 100)
        # bytes_sent has the headers too.
        self.assertGreater(log[1]["bytes_sent"], log[1]["body_bytes_sent"] + 100)
        self.assertTrue(all(isinstance(e["request_time"], float) and e["time"] > 1e9 for e in log))


class PaceTest(NginxTestCase):
    def test_limit_rate_makes_a_transfer_take_the_time_its_rate_says(self):
        server = self.serve(rate=512 * 1024)
        start = time.monotonic()
        status, _, body = self.get(server, "/big.bin")
        elapsed = time.monotonic() - start
        self.assertEqual((status, body), (200, self.data))
        # 1 MB at 512 KB/s: about two seconds.
        self.assertTrue(1.7 <= elapsed <= 3.5, elapsed)
        self.assertAlmostEqual(server.requests(count=1)[0]["request_time"], elapsed, delta=0.5)
        # rate_after goes out at once.
        fast = self.serve(rate=512 * 1024, rate_after=MB)
        start = time.monotonic()
        self.assertEqual(self.get(fast, "/big.bin")[2], self.data)
        self.assertLess(time.monotonic() - start, 1.0)

    def test_restart_cuts_a_transfer_in_flight_and_answers_again_on_the_same_port(self):
        server = self.serve(rate=256 * 1024)
        port, first_pid = server.port, server.pid()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        self.addCleanup(connection.close)
        connection.request("GET", "/big.bin")
        response = connection.getresponse()
        received = response.read(100 * 1024)
        downtime = server.restart()
        try:
            while True:
                chunk = response.read(64 * 1024)
                if not chunk:
                    break  # read(n) returns b"" at a close short of the Content-Length
                received += chunk
        except (http.client.IncompleteRead, ConnectionError):
            pass
        # Cut: at 256 KB/s the rest would have taken seconds more.
        self.assertLess(len(received), len(self.data) // 2)
        self.assertEqual(received, self.data[:len(received)])
        self.assertEqual(server.port, port)
        self.assertNotEqual(server.pid(), first_pid)
        self.assertLess(downtime, 3.0)
        # The rest, asked for as a client resumes it.
        status, headers, body = self.get(server, "/big.bin", {"Range": "bytes=%d-" % len(received)})
        self.assertEqual((status, received + body), (206, self.data))

    def test_close_stops_nginx_and_leaves_nothing_behind(self):
        server = self.serve()
        pid, folder, port = server.pid(), server.folder, server.port
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            workers = [int(p) for p in f.read().split()]
        self.assertEqual(len(workers), 1)
        server.close()
        for gone in [pid] + workers:
            self.assertFalse(os.path.exists("/proc/%d" % gone) and _state(gone) != "Z", gone)
        self.assertFalse(os.path.exists(folder))
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=1).close()


class StartTest(NginxTestCase):
    def test_a_port_taken_meanwhile_makes_it_try_another(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        ports = iter([taken.getsockname()[1]])
        real = nginx._free_port
        nginx._free_port = lambda: next(ports, None) or real()
        self.addCleanup(setattr, nginx, "_free_port", real)
        server = self.serve()
        self.assertNotEqual(server.port, taken.getsockname()[1])
        self.assertEqual(self.get(server, "/big.bin")[2], self.data)

    def test_a_server_that_cannot_start_says_why_and_leaves_no_folder(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        before = set(os.listdir(self.parent))
        with self.assertRaises(RuntimeError) as caught:
            with nginx.NginxServer(self.root, parent=self.parent, port=taken.getsockname()[1]):
                pass
        self.assertIn("Address already in use", str(caught.exception))
        self.assertEqual(set(os.listdir(self.parent)), before)
        with self.assertRaises(ValueError):
            nginx.NginxServer(os.path.join(self.parent, "$document_root"), parent=self.parent)
        self.assertEqual(set(os.listdir(self.parent)), before)


class GzipTest(NginxTestCase):
    def test_only_a_text_type_asked_for_with_accept_encoding_comes_compressed(self):
        server = self.serve(gzip=True)
        # The client sends no Accept-Encoding: nothing comes compressed, text or not.
        for path, whole in (("/notes.txt", self.text), ("/big.bin", self.data)):
            status, headers, body = self.get(server, path)
            self.assertEqual((status, body), (200, whole), path)
            self.assertNotIn("Content-Encoding", headers)
        status, headers, body = self.get(server, "/notes.txt", {"Accept-Encoding": "gzip"})
        self.assertEqual((headers.get("Content-Encoding"), gzip.decompress(body)), ("gzip", self.text))
        self.assertLess(len(body), len(self.text))
        # An octet-stream file is not of gzip_types: sent as it is even to a client that would take gzip.
        status, headers, body = self.get(server, "/big.bin", {"Accept-Encoding": "gzip"})
        self.assertEqual((status, body), (200, self.data))
        self.assertNotIn("Content-Encoding", headers)
        log = server.requests(count=4)
        self.assertEqual([e["content_encoding"] for e in log], [None, None, "gzip", None])
        self.assertEqual([e["accept_encoding"] for e in log], [None, None, "gzip", "gzip"])
        # With gzip off the text type is sent as it is too.
        self.assertNotIn("Content-Encoding",
                         self.get(self.serve(), "/notes.txt", {"Accept-Encoding": "gzip"})[1])


def _state(pid):
    """A process's state letter from /proc (Z: ended, not yet reaped by its parent)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


if __name__ == "__main__":
    unittest.main()
