"""The test server's URL faults and Python API, as the download tests and the end-to-end tests rely on them."""

import http.client
import json
import os
import resource
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

SOURCE = os.environ.get("RADEVARE_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "http_server"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "tls"))
import make_test_certs  # noqa: E402
import test_server  # noqa: E402


def raw_get(port, path, context=None, headers=()):
    """A GET on a connection of its own, read to the end: (head, body, "eof" or "reset"). With an SSL context
    TLS runs over memory buffers, so that the end of the connection is the socket's own, not a TLS error."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
        tls = None
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        if context is not None:
            tls = context.wrap_bio(incoming, outgoing, server_hostname="localhost")
            while True:
                try:
                    tls.do_handshake()
                    break
                except ssl.SSLWantReadError:
                    connection.sendall(outgoing.read())
                    chunk = connection.recv(65536)
                    if not chunk:
                        raise ConnectionError("closed during the handshake")
                    incoming.write(chunk)
        request = ("GET %s HTTP/1.1\r\nHost: localhost\r\n%s\r\n" % (path, "".join("%s: %s\r\n" % h for h in headers))
                   ).encode()
        if tls is None:
            connection.sendall(request)
        else:
            tls.write(request)
            connection.sendall(outgoing.read())
        data = b""
        ending = "eof"
        while True:
            try:
                chunk = connection.recv(65536)
            except ConnectionResetError:
                ending = "reset"
                break
            if not chunk:
                break
            if tls is None:
                data += chunk
                continue
            incoming.write(chunk)
            try:
                while True:
                    data += tls.read(65536)
            except (ssl.SSLWantReadError, ssl.SSLZeroReturnError):
                pass
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), body, ending


class SessionConnection(http.client.HTTPSConnection):
    """An HTTPS connection to localhost that offers a TLS session from an earlier one, when given; reused says
    whether the server took it up."""

    def __init__(self, port, context, session=None):
        super().__init__("localhost", port, timeout=10, context=context)
        self.session = session
        self.reused = None

    def connect(self):
        raw = socket.create_connection((self.host, self.port), self.timeout)
        self.sock = self._context.wrap_socket(raw, server_hostname=self.host, session=self.session)
        self.reused = self.sock.session_reused

    def fetch(self, path):
        self.request("GET", path)
        response = self.getresponse()
        return response.read()


class ServedTestCase(unittest.TestCase):
    """A server with a root folder (sub/file.txt in it) for each test."""

    def setUp(self):
        self.root = tempfile.TemporaryDirectory()
        os.makedirs(os.path.join(self.root.name, "sub"))
        with open(os.path.join(self.root.name, "sub", "file.txt"), "wb") as f:
            f.write(b"from the root\n")
        self.server = test_server.TestServer(self.root.name).start()
        self.addCleanup(self.root.cleanup)
        self.addCleanup(self.server.stop)

    def get(self, path, timeout=10, headers=None, method="GET"):
        """(status, headers, body, complete): complete is False when the body ended before its Content-Length."""
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=timeout)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            try:
                body, complete = response.read(), True
            except http.client.IncompleteRead as e:
                body, complete = e.partial, False
            return response.status, dict(response.getheaders()), body, complete
        finally:
            connection.close()


class TestServerTest(ServedTestCase):
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

    def test_a_fast_rate_is_kept_whatever_the_pieces_the_body_is_made_of(self):
        # 2 MB at 2 MB/s: about a second, not three times that (a slice is the rate's, not a piece's size).
        for path in ("/x/size=2000000/rate=2000000/fast.bin", "/x/endless/rate=2000000/fast.bin"):
            connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
            start = time.monotonic()
            connection.request("GET", path)
            response = connection.getresponse()
            got = 0
            while got < 2000000:
                got += len(response.read(65536))
            took = time.monotonic() - start
            connection.close()
            self.assertGreater(took, 0.8, path)
            self.assertLess(took, 1.6, path)

    def test_slowafter_sends_a_fast_start_then_paces_the_rest(self):
        start = time.monotonic()
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        connection.request("GET", "/x/size=300000/slowafter=200000/trickle=10000@0.5/a.bin")
        response = connection.getresponse()
        first = response.read(200000)
        fast = time.monotonic() - start
        rest = response.read()
        connection.close()
        self.assertEqual(first + rest, test_server.generated_body(300000))
        self.assertLess(fast, 0.5)
        # Ten slices of 10000 bytes, a pause of 0.5 s before each but the first.
        self.assertGreater(time.monotonic() - start, 4.0)

    def test_length_announces_what_no_body_holds(self):
        head, body, ending = raw_get(self.server.port, "/x/length=4611686018427387904/size=10/a.bin")
        self.assertIn("Content-Length: 4611686018427387904\r\n", head)
        self.assertEqual((body, ending), (test_server.generated_body(10), "eof"))

    def test_trickle_sends_n_bytes_every_t_seconds(self):
        chunks = []
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as connection:
            connection.sendall(b"GET /x/size=3000/trickle=1000@0.4/a.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            data, start = b"", time.monotonic()
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                data += chunk
                chunks.append((time.monotonic() - start, len(data)))
                if data.endswith(test_server.generated_body(3000)[-100:]):
                    break
        head, _, body = data.partition(b"\r\n\r\n")
        self.assertIn(b"Content-Length: 3000", head)
        self.assertEqual(body, test_server.generated_body(3000))
        # Three sends, the last two 0.4 s apart from the one before.
        self.assertGreaterEqual(chunks[-1][0], 0.75)
        self.assertFalse(test_server.Faults().apply("trickle=5"))
        self.assertFalse(test_server.Faults().apply("trickle=0@1"))

    def test_endless_body_is_chunked_and_goes_on_until_the_client_leaves(self):
        path = "/x/endless/a.bin"
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        connection.request("GET", path)
        response = connection.getresponse()
        self.assertEqual(response.status, 200)
        self.assertEqual(response.getheader("Transfer-Encoding"), "chunked")
        self.assertIsNone(response.getheader("Content-Length"))
        # Far more than one chunk, and the pattern of size= throughout.
        body = response.read(1000000)
        self.assertEqual(body, test_server.generated_body(1000000))
        connection.close()
        # Paced: rate= sets its speed.
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        connection.request("GET", "/x/endless/rate=20000/b.bin")
        response = connection.getresponse()
        start = time.monotonic()
        self.assertEqual(response.read(20000), test_server.generated_body(20000))
        self.assertGreaterEqual(time.monotonic() - start, 0.7)
        connection.close()
        # The client that left costs the server nothing: it goes on serving.
        self.assertEqual(self.get("/x/size=5/a.bin")[2], test_server.generated_body(5))
        self.assertEqual(self.server.request_count(path), 1)

    def test_stop_ends_an_endless_body(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        connection.request("GET", "/x/endless/trickle=10@0.2/a.bin")
        response = connection.getresponse()
        self.assertEqual(response.read(10), test_server.generated_body(10))
        start = time.monotonic()
        self.server.stop()
        with self.assertRaises((http.client.IncompleteRead, ConnectionError, OSError)):
            response.read()
        self.assertLess(time.monotonic() - start, 2)
        connection.close()

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

    def test_reset_sends_n_bytes_then_resets_where_cut_closes(self):
        head, body, ending = raw_get(self.server.port, "/x/size=100000/reset=1234/a.bin")
        self.assertIn("Content-Length: 100000", head)
        self.assertEqual((body, ending), (test_server.generated_body(1234), "reset"))
        # The same on a body the client gets with its headers only: reset=0.
        self.assertEqual(raw_get(self.server.port, "/x/size=10/reset=0/a.bin")[1:], (b"", "reset"))
        # cut is the orderly counterpart: the same bytes, then FIN.
        self.assertEqual(raw_get(self.server.port, "/x/size=100000/cut=1234/a.bin")[1:],
                         (test_server.generated_body(1234), "eof"))

    def test_reset_after_a_stall_and_from_python(self):
        self.server.add_file("/pkg/game.bin", b"0123456789")
        self.server.set_fault("/pkg/game.bin", reset=4)
        self.assertEqual(raw_get(self.server.port, "/pkg/game.bin")[1:], (b"0123", "reset"))
        start = time.monotonic()
        _, body, ending = raw_get(self.server.port, "/x/size=3000/stall=0.3@1000/reset=2000/a.bin")
        self.assertGreaterEqual(time.monotonic() - start, 0.25)
        self.assertEqual((body, ending), (test_server.generated_body(2000), "reset"))
        # The server goes on after a reset.
        self.assertEqual(self.get("/x/size=5/a.bin")[2], test_server.generated_body(5))

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

    def test_root_files_stream_from_disk_on_one_kept_alive_connection(self):
        big = os.urandom(3 * 1024 * 1024 + 17)
        with open(os.path.join(self.root.name, "sub", "big.bin"), "wb") as f:
            f.write(big)
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        self.addCleanup(connection.close)
        bodies = []
        for path in ("/sub/big.bin", "/sub/file.txt", "/sub/big.bin"):
            connection.request("GET", path)
            response = connection.getresponse()
            self.assertEqual((response.status, response.getheader("Content-Length")),
                             (200, str(len(big) if "big" in path else 14)))
            bodies.append(response.read())
        self.assertEqual(bodies, [big, b"from the root\n", big])
        # All three on the same socket, all three whole from disk.
        self.assertEqual(self.get("/_disk")[2], b"3")
        connection.request("HEAD", "/sub/big.bin")
        response = connection.getresponse()
        self.assertEqual((response.getheader("Content-Length"), response.read()), (str(len(big)), b""))
        self.assertEqual(self.get("/_disk")[2], b"3")

    def test_root_files_with_faults_or_shadowed_still_go_through_memory(self):
        with open(os.path.join(self.root.name, "sub", "big.bin"), "wb") as f:
            f.write(b"abcdefghij")
        self.assertEqual(self.get("/x/cut=3/sub/big.bin")[2:], (b"abc", False))
        self.server.set_fault("/sub/big.bin", status=500)
        self.assertEqual(self.get("/sub/big.bin")[0], 500)
        self.server.set_fault("/sub/big.bin")
        self.server.add_file("/sub/big.bin", b"from memory")
        self.assertEqual(self.get("/sub/big.bin")[2], b"from memory")
        self.assertEqual(self.get("/_disk")[2], b"0")
        self.assertEqual((self.server.request_count("/sub/big.bin"), self.server.request_count("/x/cut=3/sub/big.bin")),
                         (2, 1))

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

    def test_counts_connections_not_requests_and_not_its_own_control_requests(self):
        self.assertEqual(self.server.connection_counts(), {"connections": 0, "handshakes": 0, "resumed": 0})
        kept = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        for path in ("/sub/file.txt", "/x/size=10/a.bin"):
            kept.request("GET", path)
            self.assertEqual(kept.getresponse().read()[:4], b"from" if "sub" in path else b"\0\1\2\3")
        kept.close()
        self.assertEqual(self.server.connection_counts()["connections"], 1)
        # Every get() has a connection of its own; the control paths' answers count none.
        self.get("/sub/file.txt")
        self.assertEqual(self.get("/_connections")[2], b"connections 2\nhandshakes 0\nresumed 0\n")
        for control in ("/_paths", "/_disk", "/_count/sub/file.txt", "/_connections"):
            self.get(control)
        self.assertEqual(self.server.connection_counts(), {"connections": 2, "handshakes": 0, "resumed": 0})
        self.assertEqual(self.server.requested_paths(), ["/sub/file.txt", "/x/size=10/a.bin", "/sub/file.txt"])
        self.server.reset_counts()
        self.assertEqual(self.server.connection_counts()["connections"], 0)

    def test_accepted_sockets_have_nodelay(self):
        # Without it every small answer waits for the client's delayed acknowledgement.
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        connection.request("GET", "/x/size=10/a.bin")
        connection.getresponse().read()
        accepted = list(self.server._connections)  # the keep-alive connection is still open
        self.assertEqual(len(accepted), 1)
        self.assertTrue(accepted[0].getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
        connection.close()


GENERATED = test_server.generated_body


class RangesTest(ServedTestCase):
    """ranges, its validators and If-Range, on each kind of body, and the faults that answer a Range wrongly."""

    def test_a_satisfiable_range_gets_206_with_that_part_of_every_kind_of_body(self):
        content = os.urandom(5000)
        with open(os.path.join(self.root.name, "sub", "disk.bin"), "wb") as f:
            f.write(content)
        os.utime(os.path.join(self.root.name, "sub", "disk.bin"), (1600000000, 1600000000))
        self.server.add_file("/mem.bin", content, mtime=1500000000)
        bodies = {"/x/ranges/size=5000/a.bin": (GENERATED(5000), "Mon, 01 Jan 2024 00:00:00 GMT"),
                  "/x/ranges/sub/disk.bin": (content, "Sun, 13 Sep 2020 12:26:40 GMT"),
                  "/x/ranges/mem.bin": (content, "Fri, 14 Jul 2017 02:40:00 GMT")}
        for path, (whole, modified) in bodies.items():
            with self.subTest(path):
                status, headers, body, _ = self.get(path)
                self.assertEqual((status, body, headers["Accept-Ranges"], headers["Last-Modified"]),
                                 (200, whole, "bytes", modified))
                etag = headers["ETag"]
                self.assertRegex(etag, r'^"[0-9a-f]{32}"$')
                for asked, first, last in (("bytes=1234-", 1234, 4999), ("bytes=10-19", 10, 19),
                                           ("bytes=4990-9999", 4990, 4999), ("bytes=-100", 4900, 4999)):
                    status, headers, body, complete = self.get(path, headers={"Range": asked})
                    self.assertEqual((status, headers["Content-Range"], headers["Content-Length"], body, complete),
                                     (206, "bytes %d-%d/5000" % (first, last), str(last - first + 1),
                                      whole[first:last + 1], True), asked)
                    self.assertEqual(headers["ETag"], etag)
        # The tag is the content's: equal for equal bytes, whatever the path, and another for others.
        tags = {path: self.get(path)[1]["ETag"] for path in bodies}
        self.assertEqual(tags["/x/ranges/sub/disk.bin"], tags["/x/ranges/mem.bin"])
        self.assertNotEqual(tags["/x/ranges/mem.bin"], tags["/x/ranges/size=5000/a.bin"])
        self.assertNotEqual(self.get("/x/ranges/size=5001/a.bin")[1]["ETag"], tags["/x/ranges/size=5000/a.bin"])

    def test_if_range_gives_the_part_only_while_it_names_the_body_as_it_is(self):
        path = "/x/ranges/size=3000/a.bin"
        headers = self.get(path)[1]
        etag, modified = headers["ETag"], headers["Last-Modified"]
        answers = {etag: 206, modified: 206, '"0123"': 200, "W/" + etag: 200, "Tue, 02 Jan 2024 00:00:00 GMT": 200,
                   "not a validator": 200}
        for if_range, expected in answers.items():
            with self.subTest(if_range):
                status, headers, body, _ = self.get(path, headers={"Range": "bytes=1000-", "If-Range": if_range})
                self.assertEqual(status, expected)
                if expected == 206:
                    self.assertEqual((headers["Content-Range"], body), ("bytes 1000-2999/3000", GENERATED(3000)[1000:]))
                else:
                    self.assertEqual((body, headers["Content-Length"]), (GENERATED(3000), "3000"))
                    self.assertNotIn("Content-Range", headers)
        # If-Range without a Range asks for nothing in particular.
        self.assertEqual(self.get(path, headers={"If-Range": '"0123"'})[:3:2], (200, GENERATED(3000)))

    def test_a_range_from_the_end_on_is_416_with_the_length(self):
        for path, asked, total in (("/x/ranges/size=3000/a.bin", "bytes=3000-", 3000),
                                   ("/x/ranges/size=3000/a.bin", "bytes=5000-6000", 3000),
                                   ("/x/ranges/size=3000/a.bin", "bytes=-0", 3000),
                                   ("/x/ranges/size=0/a.bin", "bytes=0-", 0)):
            with self.subTest(path=path, asked=asked):
                status, headers, body, _ = self.get(path, headers={"Range": asked})
                self.assertEqual((status, headers["Content-Range"]), (416, "bytes */%d" % total))
                self.assertNotIn(GENERATED(100), body)

    def test_a_range_is_ignored_without_ranges_and_when_it_asks_several_parts_or_is_malformed(self):
        for path, asked in (("/x/size=3000/a.bin", "bytes=1000-"), ("/sub/file.txt", "bytes=5-"),
                            ("/x/ranges/size=3000/a.bin", "bytes=0-9,20-29"),
                            ("/x/ranges/size=3000/a.bin", "bytes=20-10"),
                            ("/x/ranges/size=3000/a.bin", "items=0-9"), ("/x/ranges/size=3000/a.bin", "bytes=x-")):
            with self.subTest(path=path, asked=asked):
                status, headers, body, _ = self.get(path, headers={"Range": asked})
                self.assertEqual(status, 200)
                self.assertEqual(len(body), 3000 if "size" in path else 14)
                self.assertNotIn("Content-Range", headers)
                self.assertEqual("ETag" in headers, "ranges" in path)
        # Without ranges none of its headers either: the answers of today's URLs stay as they were.
        headers = self.get("/x/size=10/a.bin")[1]
        self.assertFalse({"Accept-Ranges", "ETag", "Last-Modified"} & set(headers))

    def test_a_weak_etag_never_matches_an_if_range_and_without_one_the_date_serves(self):
        status, headers, _, _ = self.get("/x/ranges/etag=weak/size=3000/a.bin")
        weak = headers["ETag"]
        self.assertRegex(weak, r'^W/"[0-9a-f]{32}"$')
        status, _, body, _ = self.get("/x/ranges/etag=weak/size=3000/a.bin",
                                      headers={"Range": "bytes=100-", "If-Range": weak})
        self.assertEqual((status, len(body)), (200, 3000))
        self.assertEqual(self.get("/x/ranges/etag=weak/size=3000/a.bin", headers={"Range": "bytes=100-"})[0], 206)
        status, headers, _, _ = self.get("/x/ranges/etag=none/size=3000/a.bin")
        self.assertNotIn("ETag", headers)
        status, _, body, _ = self.get("/x/ranges/etag=none/size=3000/a.bin",
                                      headers={"Range": "bytes=100-", "If-Range": headers["Last-Modified"]})
        self.assertEqual((status, body), (206, GENERATED(3000)[100:]))
        self.assertFalse(test_server.Faults().apply("etag=strongest"))
        # The same from Python.
        self.server.add_file("/pkg/game.bin", b"0123456789")
        self.server.set_fault("/pkg/game.bin", ranges=True, etag="weak")
        status, headers, body, _ = self.get("/pkg/game.bin", headers={"Range": "bytes=4-"})
        self.assertEqual((status, body, headers["ETag"][:3]), (206, b"456789", 'W/"'))

    def test_the_etag_and_date_change_with_the_file(self):
        self.server.add_file("/f.bin", b"first version", mtime=1500000000)
        before = self.get("/x/ranges/f.bin")[1]
        self.server.add_file("/f.bin", b"second version", mtime=1500000001)
        after = self.get("/x/ranges/f.bin", headers={"Range": "bytes=2-", "If-Range": before["ETag"]})
        self.assertEqual(after[:3:2], (200, b"second version"))
        self.assertNotEqual(after[1]["ETag"], before["ETag"])
        self.assertNotEqual(after[1]["Last-Modified"], before["Last-Modified"])
        disk = os.path.join(self.root.name, "sub", "file.txt")
        first = self.get("/x/ranges/sub/file.txt")[1]["ETag"]
        with open(disk, "wb") as f:
            f.write(b"from the root, changed\n")
        self.assertNotEqual(self.get("/x/ranges/sub/file.txt")[1]["ETag"], first)

    def test_the_other_faults_act_on_the_part_that_goes_out(self):
        part = GENERATED(10000)[4000:]
        status, headers, body, complete = self.get("/x/ranges/cut=500/size=10000/a.bin",
                                                   headers={"Range": "bytes=4000-"})
        self.assertEqual((status, headers["Content-Length"], body, complete), (206, "6000", part[:500], False))
        head, body, ending = raw_get(self.server.port, "/x/ranges/reset=700/size=10000/a.bin",
                                     headers=[("Range", "bytes=4000-")])
        self.assertIn("206", head.split("\r\n")[0])
        self.assertEqual((body, ending), (part[:700], "reset"))
        status, headers, body, _ = self.get("/x/ranges/nolen/size=10000/a.bin", headers={"Range": "bytes=4000-"})
        self.assertEqual((status, headers["Content-Range"], body), (206, "bytes 4000-9999/10000", part))
        self.assertNotIn("Content-Length", headers)
        start = time.monotonic()
        status, _, body, _ = self.get("/x/ranges/rate=10000/size=100000/a.bin", headers={"Range": "bytes=95000-"})
        # 5000 bytes at 10000 bytes/s: half a second, not the ten the whole body would take.
        self.assertEqual((status, body), (206, GENERATED(100000)[95000:]))
        self.assertTrue(0.4 <= time.monotonic() - start < 3, time.monotonic() - start)

    def test_a_head_request_gets_the_headers_of_the_part(self):
        status, headers, body, _ = self.get("/x/ranges/size=3000/a.bin", headers={"Range": "bytes=1000-"},
                                            method="HEAD")
        self.assertEqual((status, headers["Content-Length"], headers["Content-Range"], body),
                         (206, "2000", "bytes 1000-2999/3000", b""))

    def test_with_gzip_the_ranges_are_of_the_encoded_bytes(self):
        import gzip
        status, headers, encoded, _ = self.get("/x/ranges/gzip/size=50000/a.bin")
        self.assertEqual(gzip.decompress(encoded), GENERATED(50000))
        self.assertNotEqual(headers["ETag"], self.get("/x/ranges/size=50000/a.bin")[1]["ETag"])
        # The same encoded bytes each time (no time in the gzip header), or no part would fit the rest.
        status, headers, body, _ = self.get("/x/ranges/gzip/size=50000/a.bin",
                                            headers={"Range": "bytes=100-", "If-Range": headers["ETag"]})
        self.assertEqual((status, headers["Content-Encoding"], body), (206, "gzip", encoded[100:]))
        self.assertEqual(headers["Content-Range"], "bytes 100-%d/%d" % (len(encoded) - 1, len(encoded)))

    def test_badrange_answers_from_earlier_and_its_content_range_says_so(self):
        whole = GENERATED(10000)
        status, headers, body, _ = self.get("/x/badrange/size=10000/a.bin", headers={"Range": "bytes=4000-"})
        self.assertEqual((status, headers["Content-Range"], headers["Content-Length"], body),
                         (206, "bytes 3900-9999/10000", "6100", whole[3900:]))
        status, headers, body, _ = self.get("/x/badrange/size=10000/a.bin", headers={"Range": "bytes=40-99"})
        self.assertEqual((status, headers["Content-Range"], body), (206, "bytes 0-99/10000", whole[:100]))
        self.assertEqual(self.get("/x/badrange/size=10000/a.bin")[:3:2], (200, whole))

    def test_ignorerange_gives_the_validators_and_the_whole_body_to_every_range(self):
        status, headers, body, _ = self.get("/x/ignorerange/size=1000/a.bin", headers={"Range": "bytes=100-"})
        self.assertEqual((status, len(body)), (200, 1000))
        self.assertEqual(headers["Accept-Ranges"], "bytes")
        self.assertTrue(headers["ETag"].startswith('"'))
        self.assertNotIn("Content-Range", headers)

    def test_whole416_refuses_every_range_and_serves_the_whole_without_one(self):
        for asked in ("bytes=0-", "bytes=100-", "bytes=0-9,20-29"):
            status, headers, _, _ = self.get("/x/whole416/size=10000/a.bin", headers={"Range": asked})
            self.assertEqual((status, headers["Content-Range"]), (416, "bytes */10000"), asked)
        status, headers, body, _ = self.get("/x/whole416/size=10000/a.bin")
        self.assertEqual((status, body, headers["Accept-Ranges"]), (200, GENERATED(10000), "bytes"))
        self.assertIn("ETag", headers)

    def test_parse_range_reads_one_part_and_leaves_the_rest(self):
        cases = {None: None, "bytes=0-": (0, 99), "bytes = 5 - 9": (5, 9), "BYTES=99-": (99, 99),
                 "bytes=-1000": (0, 99), "bytes=100-": test_server.UNSATISFIABLE, "bytes=-": None, "bytes=1-x": None,
                 "bytes=-5-": None, "bytes=9-5": None, "bytes=1-2,4-5": None, "octets=1-": None}
        for header, expected in cases.items():
            self.assertEqual(test_server.parse_range(header, 100), expected, header)


class RetryTest(ServedTestCase):
    """The faults of a transfer that should be tried again: Retry-After, and the first requests of a path cut or
    reset."""

    def test_retry_after_goes_with_the_error_answers_only(self):
        status, headers, _, _ = self.get("/x/status=503/retryafter=7/a.bin")
        self.assertEqual((status, headers["Retry-After"]), (503, "7"))
        path = "/x/failfirst=1:429/retryafter=3/size=10/a.bin"
        status, headers, _, _ = self.get(path)
        self.assertEqual((status, headers["Retry-After"]), (429, "3"))
        status, headers, _, _ = self.get(path)
        self.assertEqual(status, 200)
        self.assertNotIn("Retry-After", headers)
        self.assertNotIn("Retry-After", self.get("/x/status=503/a.bin")[1])

    def test_retry_after_as_a_date_is_that_many_seconds_ahead(self):
        import email.utils
        status, headers, _, _ = self.get("/x/status=503/retryafterdate=120/a.bin")
        self.assertEqual(status, 503)
        ahead = email.utils.parsedate_to_datetime(headers["Retry-After"]).timestamp() - time.time()
        self.assertTrue(115 <= ahead <= 121, ahead)
        self.server.add_file("/busy.bin", b"x")
        self.server.set_fault("/busy.bin", failfirst=(1, 503), retryafterdate=60)
        self.assertIn("GMT", self.get("/busy.bin")[1]["Retry-After"])

    def test_cutfirst_cuts_the_first_requests_of_a_path_and_then_the_range_resumes(self):
        path = "/x/ranges/cutfirst=2@1000/size=5000/a.bin"
        whole = GENERATED(5000)
        for _ in range(2):
            self.assertEqual(raw_get(self.server.port, path)[1:], (whole[:1000], "eof"))
        status, headers, body, complete = self.get(path, headers={"Range": "bytes=1000-"})
        self.assertEqual((status, headers["Content-Range"], body, complete), (206, "bytes 1000-4999/5000",
                                                                             whole[1000:], True))
        self.assertEqual(self.get(path)[2:], (whole, True))
        # Counted per path: another path has its own first requests.
        self.assertEqual(self.get("/x/cutfirst=1@10/size=5000/b.bin")[2:], (whole[:10], False))
        self.server.reset_counts()
        self.assertEqual(self.get(path)[2:], (whole[:1000], False))

    def test_resetfirst_resets_the_first_requests_of_a_path(self):
        path = "/x/resetfirst=1@1500/size=100000/a.bin"
        self.assertEqual(raw_get(self.server.port, path)[1:], (GENERATED(1500), "reset"))
        # Later ones are served whole, and the connection kept.
        self.assertEqual(self.get(path)[2:], (GENERATED(100000), True))
        self.server.add_file("/pkg/game.bin", b"0123456789")
        self.server.set_fault("/pkg/game.bin", resetfirst=(1, 4))
        self.assertEqual(raw_get(self.server.port, "/pkg/game.bin")[1:], (b"0123", "reset"))
        self.assertEqual(self.get("/pkg/game.bin")[2:], (b"0123456789", True))
        for bad in ("resetfirst=2", "cutfirst=a@1", "cutfirst=1@"):
            self.assertFalse(test_server.Faults().apply(bad), bad)


class RequestLogTest(ServedTestCase):
    def test_each_request_is_logged_with_its_headers_status_and_the_bytes_that_went_out(self):
        sent_headers = {"Range": "bytes=100-", "If-Range": '"abc"', "User-Agent": "RadeVare/1",
                        "Accept-Encoding": "gzip"}
        self.get("/x/ranges/size=1000/a.bin", headers=sent_headers)
        self.get("/x/ranges/size=1000/a.bin", headers={"Range": "bytes=100-"})
        self.get("/x/size=1000/cut=300/a.bin")
        raw_get(self.server.port, "/x/size=100000/reset=2000/a.bin")
        self.get("/x/status=404/a.bin", method="HEAD")
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.get("/x/close/a.bin")
        self.get("/sub/file.txt")
        self.get("/_paths")
        log = self.server.request_log()
        # When each came, on the clock other servers and the host stamp their lines with.
        times = [e["time"] for e in log]
        self.assertEqual(times, sorted(times))
        self.assertLess(abs(times[0] - time.time()), 30)
        self.assertEqual(json.loads(self.get("/_log")[2]), log)
        for entry in log:
            del entry["time"]
        self.assertEqual(log[0], {"path": "/x/ranges/size=1000/a.bin", "method": "GET", "range": "bytes=100-",
                                  "if_range": '"abc"', "user_agent": "RadeVare/1", "accept_encoding": "gzip",
                                  "status": 200, "sent": 1000})
        self.assertEqual([(e["method"], e["status"], e["sent"], e["range"], e["if_range"]) for e in log[1:]],
                         [("GET", 206, 900, "bytes=100-", None), ("GET", 200, 300, None, None),
                          ("GET", 200, 2000, None, None), ("HEAD", 404, 0, None, None),
                          ("GET", None, 0, None, None), ("GET", 200, 14, None, None)])
        self.assertEqual([e["path"] for e in log], self.server.requested_paths())
        self.server.reset_counts()
        self.assertEqual(self.server.request_log(), [])

    def test_the_log_counts_what_went_out_before_a_client_left_or_the_server_stopped(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        connection.request("GET", "/x/size=100000/stall=30@3000/a.bin")
        self.assertEqual(connection.getresponse().read(3000), GENERATED(3000))
        # Still going out: request_log() waits its while, then says what it has.
        start = time.monotonic()
        self.assertEqual([(e["status"], e["sent"]) for e in self.server.request_log(settle=0.2)], [(200, 3000)])
        self.assertLess(time.monotonic() - start, 1)
        self.server.stop()
        connection.close()
        self.assertEqual([(e["status"], e["sent"]) for e in self.server.request_log()], [(200, 3000)])

    def test_a_body_sent_with_sendfile_gzip_or_in_many_writes_is_counted_as_it_went_on_the_wire(self):
        big = os.urandom(2 * 1024 * 1024)
        with open(os.path.join(self.root.name, "sub", "big.bin"), "wb") as f:
            f.write(big)
        self.assertEqual(self.get("/sub/big.bin")[2], big)
        encoded = self.get("/x/gzip/size=100000/a.bin")[2]
        # Many writes: each one counts.
        self.assertEqual(len(self.get("/x/ranges/size=300000/a.bin", headers={"Range": "bytes=1-"})[2]), 299999)
        self.assertEqual([e["sent"] for e in self.server.request_log()], [len(big), len(encoded), 299999])
        self.assertEqual(self.get("/_disk")[2], b"1")


class StreamedGzipTest(ServedTestCase):
    def read_gzip_stream(self, response, limit=None):
        """Decodes the body as it comes, a MB at a time, checking it against the generated content: the
        decoded length, and whether the gzip stream ended."""
        decoder = zlib.decompressobj(16 + zlib.MAX_WBITS)
        decoded = 0
        while limit is None or decoded < limit:
            data = response.read(65536)
            if not data:
                break
            while data:
                out = decoder.decompress(data, 1 << 20)
                data = decoder.unconsumed_tail
                if out != test_server.generated_slice(decoded, decoded + len(out)):
                    self.fail("decoded bytes differ from the generated ones after %d" % decoded)
                decoded += len(out)
        return decoded, decoder.eof

    def test_a_300_mb_body_with_gzip_and_nolen_streams_without_ever_being_whole_in_memory(self):
        size = 314572800
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        self.addCleanup(connection.close)
        connection.request("GET", "/x/gzip/nolen/size=%d/a.bin" % size)
        response = connection.getresponse()
        self.assertEqual(response.getheader("Content-Encoding"), "gzip")
        self.assertIsNone(response.getheader("Content-Length"))
        self.assertEqual(self.read_gzip_stream(response), (size, True))
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before  # in KB
        self.assertLess(grown, 100 * 1024)
        self.assertEqual(self.server.request_log()[0]["status"], 200)

    def test_gzip_with_endless_is_a_chunked_stream_of_the_generated_bytes(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        self.addCleanup(connection.close)
        connection.request("GET", "/x/gzip/endless/a.bin")
        response = connection.getresponse()
        self.assertEqual((response.getheader("Transfer-Encoding"), response.getheader("Content-Encoding")),
                         ("chunked", "gzip"))
        decoded, ended = self.read_gzip_stream(response, limit=20 * 1024 * 1024)
        self.assertGreaterEqual(decoded, 20 * 1024 * 1024)
        self.assertFalse(ended)
        # A Range changes nothing on a stream of unknown length.
        connection.close()
        status, headers, body, _ = self.get("/x/ranges/gzip/nolen/size=5000/a.bin", headers={"Range": "bytes=10-"})
        self.assertEqual((status, zlib.decompress(body, 16 + zlib.MAX_WBITS)), (200, GENERATED(5000)))
        self.assertNotIn("ETag", headers)


class TlsTest(unittest.TestCase):
    """The same server over TLS, with the test certificates; Python's own TLS client judges them."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.certs, _ = make_test_certs.make_test_certs(cls.folder.name)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def serve(self, name):
        server = test_server.TestServer(tls=(self.certs[name + ".pem"], self.certs[name + ".key"])).start()
        self.addCleanup(server.stop)
        return server

    def client_context(self, verify=True):
        context = ssl.create_default_context(cafile=self.certs["ca.pem"])
        if not verify:
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        return context

    def get(self, server, path, context=None):
        connection = http.client.HTTPSConnection("localhost", server.port, timeout=10,
                                                 context=context or self.client_context())
        try:
            connection.request("GET", path)
            response = connection.getresponse()
            try:
                return response.status, response.read(), True
            except http.client.IncompleteRead as e:
                return response.status, e.partial, False
        finally:
            connection.close()

    def test_serves_the_same_urls_and_faults_over_tls_as_localhost(self):
        server = self.serve("good")
        self.assertEqual(server.base_url, "https://localhost:%d" % server.port)
        server.add_file("/FileList.xml", b"<list/>")
        self.assertEqual(self.get(server, "/FileList.xml"), (200, b"<list/>", True))
        self.assertEqual(self.get(server, "/x/size=70000/a.bin"), (200, test_server.generated_body(70000), True))
        self.assertEqual(self.get(server, "/x/status=404/a.bin")[0], 404)
        self.assertEqual(self.get(server, "/x/size=5000/cut=100/a.bin"), (200, test_server.generated_body(100), False))
        self.assertEqual(server.request_count("/x/size=70000/a.bin"), 1)
        self.assertEqual(raw_get(server.port, "/x/size=100000/reset=777/a.bin", self.client_context())[1:],
                         (test_server.generated_body(777), "reset"))
        self.assertEqual(raw_get(server.port, "/x/size=100000/cut=777/a.bin", self.client_context())[1:],
                         (test_server.generated_body(777), "eof"))
        self.assertEqual(server.tls_failures(), 0)

    def test_counts_handshakes_and_the_sessions_they_resumed(self):
        server = self.serve("good")
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(version=version.name):
                server.reset_counts()
                context = self.client_context()
                context.minimum_version = context.maximum_version = version
                first = SessionConnection(server.port, context)
                for _ in range(2):  # two requests, one connection, one handshake
                    self.assertEqual(first.fetch("/x/size=100/a.bin"), test_server.generated_body(100))
                session = first.sock.session
                first.close()
                self.assertFalse(first.reused)
                self.assertEqual(server.connection_counts(), {"connections": 1, "handshakes": 1, "resumed": 0})
                again = SessionConnection(server.port, context, session)
                self.assertEqual(again.fetch("/x/size=7/a.bin"), test_server.generated_body(7))
                again.close()
                self.assertTrue(again.reused)
                fresh = SessionConnection(server.port, context)
                self.assertEqual(fresh.fetch("/x/size=7/a.bin"), test_server.generated_body(7))
                fresh.close()
                self.assertEqual(server.connection_counts(), {"connections": 3, "handshakes": 3, "resumed": 1})
        # A control request over TLS is no handshake of the client's; a failed handshake counts only as one.
        control = SessionConnection(server.port, self.client_context())
        self.assertEqual(control.fetch("/_connections"), b"connections 3\nhandshakes 3\nresumed 1\n")
        control.close()
        raw_get(server.port, "/x/size=10/a.bin")
        deadline = time.monotonic() + 5
        while server.tls_failures() == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual((server.tls_failures(), server.connection_counts()),
                         (1, {"connections": 3, "handshakes": 3, "resumed": 1}))

    def test_each_bad_certificate_fails_for_its_own_reason(self):
        reasons = {"expired": "certificate has expired", "wrongname": "Hostname mismatch",
                   "untrusted": "unable to get local issuer certificate"}
        for name, reason in reasons.items():
            with self.subTest(name):
                server = self.serve(name)
                with self.assertRaises(ssl.SSLCertVerificationError) as caught:
                    self.get(server, "/x/size=10/a.bin")
                self.assertIn(reason, str(caught.exception))
                # The handshake failed on the client's side; the server answers the next connection.
                self.assertEqual(self.get(server, "/x/size=10/a.bin", self.client_context(verify=False))[0], 200)
        with self.assertRaises(ssl.SSLError):
            self.get(self.serve("good"), "/x/size=10/a.bin", ssl.create_default_context())  # trusts no test CA

    def test_a_failed_or_hanging_handshake_stops_nothing_else(self):
        server = self.serve("good")
        # Plain HTTP on the TLS port: that connection's handshake fails.
        self.assertNotIn(test_server.generated_body(10), raw_get(server.port, "/x/size=10/a.bin")[1])
        deadline = time.monotonic() + 5
        while server.tls_failures() == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(server.tls_failures(), 1)
        # A client that connects and never starts its handshake holds up neither others nor stop().
        silent = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        self.addCleanup(silent.close)
        self.assertEqual(self.get(server, "/x/size=10/a.bin")[1], test_server.generated_body(10))
        start = time.monotonic()
        server.stop()
        self.assertLess(time.monotonic() - start, 2)

    def test_command_line_serves_tls_and_wraps_with_an_https_address(self):
        script = os.path.abspath(test_server.__file__)
        probe = ("import os, ssl, sys, urllib.request; base = os.environ['RADEVARE_TEST_SERVER']; "
                 "assert base.startswith('https://localhost:'), base; "
                 "context = ssl.create_default_context(cafile=sys.argv[1]); "
                 "sys.exit(len(urllib.request.urlopen(base + '/x/size=7/a.bin', context=context).read()) + 40)")
        result = subprocess.run([sys.executable, script, "--tls-cert", self.certs["good.pem"], "--tls-key",
                                 self.certs["good.key"], "--wrap", "--", sys.executable, "-c", probe,
                                 self.certs["ca.pem"]], timeout=60)
        self.assertEqual(result.returncode, 47)
        # A certificate without its key is a usage error, not a plain-HTTP server.
        result = subprocess.run([sys.executable, script, "--tls-cert", self.certs["good.pem"], "--wrap", "--",
                                 sys.executable, "-c", "pass"], stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"--tls-key", result.stderr)


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
