"""The Windows test tools (trust_cert, hold_file, forge_posts) under Wine, each judged by what another
process then meets: tool_probe opens, replaces, downloads and receives, and says what Windows answered."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.environ.get("RADEVARE_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "http_server"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "tls"))
import make_test_certs  # noqa: E402
import test_server  # noqa: E402
from runlib.paths import BIN, wine_path  # noqa: E402
from runlib.wine import WINE_EXEC  # noqa: E402

# What URLDownloadToFileW answers for a certificate that Wine does not accept: INET_E_INVALID_CERTIFICATE.
INVALID_CERTIFICATE = "0x800C0019"
ERROR_SHARING_VIOLATION = 32
ERROR_ACCESS_DENIED = 5
POINTER_BITS = 32 if os.environ.get("RADEVARE_ARCH") == "i686" else 64


def run_tool(name, *args, timeout=60, **kwargs):
    """(exit code, stdout lines, stderr text) of one of the tools or of tool_probe."""
    result = subprocess.run([WINE_EXEC, os.path.join(BIN, name + ".exe")] + list(args), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, **kwargs)
    return (result.returncode, result.stdout.decode("utf-8", "replace").splitlines(),
            result.stderr.decode("utf-8", "replace"))


def probe(*args):
    """tool_probe's one line."""
    code, lines, stderr = run_tool("tool_probe", *args)
    if code != 0 or len(lines) != 1:
        raise AssertionError("tool_probe %s: exit %d, %r, %s" % (" ".join(args), code, lines, stderr))
    return lines[0]


class FolderTestCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="rv_tools_")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name):
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read()


class TrustCertTest(FolderTestCase):
    def test_trusting_the_test_authority_lets_only_the_good_certificate_through(self):
        certs, _ = make_test_certs.make_test_certs(os.path.join(self.folder, "certs"))
        code, lines, stderr = run_tool("trust_cert", wine_path(certs["ca.der"]))
        self.assertEqual((code, lines), (0, ["trusted RadeVare Test Authority"]), stderr)
        # Again: the same certificate replaces itself.
        code, lines, stderr = run_tool("trust_cert", wine_path(certs["ca.der"]))
        self.assertEqual((code, lines), (0, ["trusted RadeVare Test Authority"]), stderr)
        expected = {"good": "0x00000000 1000", "expired": INVALID_CERTIFICATE + " -1",
                    "wrongname": INVALID_CERTIFICATE + " -1", "untrusted": INVALID_CERTIFICATE + " -1"}
        for name, outcome in expected.items():
            with self.subTest(name):
                server = test_server.TestServer(tls=(certs[name + ".pem"], certs[name + ".key"])).start()
                self.addCleanup(server.stop)
                # A name of its own per run: the prefix's cache must not answer in the server's place.
                path = "/x/size=1000/%s-%d.bin" % (name, os.getpid())
                target = os.path.join(self.folder, name + ".bin")
                self.assertEqual(probe("download", server.base_url + path, wine_path(target)), "download " + outcome)
                if name == "good":
                    self.assertEqual(self.read("good.bin"), test_server.generated_body(1000))
                # A refused certificate ends the exchange before any request.
                self.assertEqual(server.request_count(path), 1 if name == "good" else 0)

    def test_fails_with_1_on_anything_but_a_readable_certificate(self):
        key = self.write("not-a-cert.der", b"0" * 100)
        code, lines, stderr = run_tool("trust_cert", wine_path(key))
        self.assertEqual((code, lines), (1, []))
        self.assertIn("cannot add", stderr)
        code, _, stderr = run_tool("trust_cert", wine_path(os.path.join(self.folder, "missing.der")))
        self.assertEqual(code, 1)
        self.assertIn("cannot open", stderr)
        self.assertIn("error 2", stderr)
        self.assertEqual(run_tool("trust_cert", wine_path(self.write("empty.der", b"")))[0], 1)
        code, _, stderr = run_tool("trust_cert")
        self.assertEqual(code, 1)
        self.assertIn("usage: trust_cert.exe FILE.der", stderr)


class HoldFileTest(FolderTestCase):
    def start_hold(self, path, seconds, stdin):
        hold = subprocess.Popen([WINE_EXEC, os.path.join(BIN, "hold_file.exe"), wine_path(path), str(seconds)],
                                stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(hold.wait)
        self.addCleanup(hold.kill)
        self.assertEqual(hold.stdout.readline().strip(), b"held")
        return hold

    def test_a_held_file_can_be_neither_written_nor_replaced_until_the_pipe_closes(self):
        target = self.write("target.bin", b"original")
        replacement = self.write("new.bin", b"replacement")
        hold = self.start_hold(target, 120, subprocess.PIPE)
        self.assertEqual(probe("open-write", wine_path(target)), "open-write error %d" % ERROR_SHARING_VIOLATION)
        self.assertEqual(probe("replace", wine_path(replacement), wine_path(target)),
                         "replace error %d" % ERROR_ACCESS_DENIED)
        # A second hold of the same file fails to open it.
        code, _, stderr = run_tool("hold_file", wine_path(target), "1")
        self.assertEqual(code, 1)
        self.assertIn("error %d" % ERROR_SHARING_VIOLATION, stderr)
        hold.stdin.close()
        self.assertEqual(hold.wait(30), 0)
        self.assertEqual(probe("open-write", wine_path(target)), "open-write ok")
        self.assertEqual(probe("replace", wine_path(replacement), wine_path(target)), "replace ok")
        self.assertEqual(self.read("target.bin"), b"replacement")

    def test_without_a_pipe_the_hold_lasts_its_time(self):
        target = self.write("target.bin", b"original")
        # Standard input from /dev/null reads as ended at once: the hold must not take that for its end.
        hold = self.start_hold(target, 600, subprocess.DEVNULL)
        self.assertEqual(probe("open-write", wine_path(target)), "open-write error %d" % ERROR_SHARING_VIOLATION)
        self.assertIsNone(hold.poll())
        hold.kill()
        hold.wait(30)
        started = time.monotonic()
        code, lines, _ = run_tool("hold_file", wine_path(target), "0.5")
        self.assertEqual((code, lines), (0, ["held"]))
        self.assertGreaterEqual(time.monotonic() - started, 0.5)

    def test_fails_with_1_when_the_file_cannot_be_opened_or_the_usage_is_wrong(self):
        code, lines, stderr = run_tool("hold_file", wine_path(os.path.join(self.folder, "missing.bin")), "5")
        self.assertEqual((code, lines), (1, []))
        self.assertIn("error 2", stderr)
        target = self.write("target.bin", b"x")
        for args in ([wine_path(target)], [wine_path(target), "soon"], [wine_path(target), "-1"],
                     [wine_path(target), "86401"], []):
            with self.subTest(args):
                code, lines, stderr = run_tool("hold_file", *args)
                self.assertEqual((code, lines), (1, []))
                self.assertIn("usage: hold_file.exe PATH SECONDS", stderr)


class ForgePostsTest(unittest.TestCase):
    def start_window(self, class_name, delay_ms=0, message_only=False):
        """A tool_probe with a hidden window of class_name (top-level or message-only): (process, Windows pid)."""
        window = subprocess.Popen([WINE_EXEC, os.path.join(BIN, "tool_probe.exe"), "window", class_name, "60",
                                   str(delay_ms)] + (["message-only"] if message_only else []),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(window.wait)
        self.addCleanup(window.kill)
        self.addCleanup(window.stdout.close)
        first = window.stdout.readline().decode().split()
        self.assertEqual(first[0], "pid")
        return window, first[1]

    def rest_of(self, window):
        lines = window.stdout.read().decode().splitlines()
        window.wait(30)
        return lines

    def test_posts_every_message_in_order_to_a_hidden_window_that_appears_late(self):
        window, pid = self.start_window("ForgeProbe", delay_ms=1500)
        code, lines, stderr = run_tool("forge_posts", "--pid", pid, "--class", "ForgeProbe", "--wait", "30",
                                       "0x601:-1:0x1234", "0x500:0:0x0x3", "1025:077:-2", "0x402:5:6x2",
                                       "0xBFFF:0:0")
        self.assertEqual(code, 0, stderr)
        rest = self.rest_of(window)
        hwnd = rest[0].split()[1]
        self.assertEqual(lines, ["posted 8 messages to %s" % hwnd])
        all_ones = "F" * (POINTER_BITS // 4)
        self.assertEqual(rest[1:], ["got 601 %s 1234" % all_ones] + ["got 500 0 0"] * 3 +
                         ["got 401 3F %sE" % all_ones[:-1]] + ["got 402 5 6"] * 2 + ["got BFFF 0 0", "window done"])

    def test_exits_2_when_no_window_of_that_class_and_process_appears(self):
        window, pid = self.start_window("ForgeProbe")
        self.assertEqual(window.stdout.readline().split()[0], b"window")
        # The right process but another class (by default the progress window's), then the right class in
        # another process: no post reaches the probe.
        code, lines, stderr = run_tool("forge_posts", "--pid", pid, "--wait", "0", "0x601:0:0")
        self.assertEqual((code, lines), (2, []))
        self.assertIn("no window of class RADEVARE_DOWNLOAD in process %s" % pid, stderr)
        other_pid = str(int(pid) + 4)
        self.assertEqual(run_tool("forge_posts", "--pid", other_pid, "--class", "ForgeProbe", "--wait", "1",
                                  "0x601:0:0")[:2], (2, []))
        self.assertEqual(run_tool("forge_posts", "--pid", pid, "--class", "ForgeProbe", "0xBFFF:0:0")[0], 0)
        self.assertEqual(self.rest_of(window), ["got BFFF 0 0", "window done"])

    def test_channel_finds_the_message_only_atl_window_and_sends_creation_and_destruction_messages(self):
        window, pid = self.start_window("ATL:0000C0DE", message_only=True)
        code, lines, stderr = run_tool("forge_posts", "--pid", pid, "--channel", "--wait", "30", "nccreate:0x10",
                                       "nccreate:0x7FFE1234", "ncdestroy", "0x401:1:2", "0xBFFF:0:0")
        self.assertEqual(code, 0, stderr)
        rest = self.rest_of(window)
        hwnd = rest[0].split()[1]
        self.assertEqual(lines, ["posted 2 messages to %s" % hwnd, "sent 3 messages to %s" % hwnd])
        # Sent, not posted, and the pointer arrives in another process as it was given. Each send is answered
        # before the next message goes, so the order holds even though sent messages overtake posted ones.
        self.assertEqual(rest[1:], ["got nccreate 10 sent", "got nccreate 7FFE1234 sent", "got ncdestroy sent",
                                    "got 401 1 2", "got BFFF 0 0", "window done"])

    def test_channel_takes_neither_a_top_level_atl_window_nor_a_message_only_window_of_another_class(self):
        for class_name, message_only in (("ATL:0000BEEF", False), ("ForgeProbe", True)):
            with self.subTest(class_name):
                window, pid = self.start_window(class_name, message_only=message_only)
                self.assertEqual(window.stdout.readline().split()[0], b"window")
                code, lines, stderr = run_tool("forge_posts", "--pid", pid, "--channel", "--wait", "0", "0x401:0:0")
                self.assertEqual((code, lines), (2, []))
                self.assertIn("no channel window (message-only, class ATL:...) in process %s" % pid, stderr)
                window.kill()

    def test_exits_1_on_bad_usage(self):
        for args in ([], ["0x601:0:0"], ["--pid", "5"], ["--pid", "0", "1:2:3"], ["--pid", "x", "1:2:3"],
                     ["--pid", "5", "0x601:0"], ["--pid", "5", "0x601:0:0x"], ["--pid", "5", "1:2:3x0"],
                     ["--pid", "5", "1:2:3x-1"], ["--pid", "5", "1:2:3:4"], ["--pid", "5", "-1:2:3"],
                     ["--pid", "5", "0x100000000:0:0"], ["--pid", "5", "1:0x10000000000000000:0"],
                     ["--pid", "5", "--wait", "soon", "1:2:3"], ["--pid", "5", "--class", "X", "--channel", "1:2:3"],
                     ["--pid", "5", "nccreate:"], ["--pid", "5", "nccreate:0x10x2"], ["--pid", "5", "nccreate"],
                     ["--pid", "5", "ncdestroy:0"]):
            with self.subTest(args):
                code, lines, stderr = run_tool("forge_posts", *args)
                self.assertEqual((code, lines), (1, []))
                self.assertIn("usage: forge_posts.exe --pid PID", stderr)
        if POINTER_BITS == 32:
            self.assertEqual(run_tool("forge_posts", "--pid", "5", "1:0x100000000:0")[0], 1)


if __name__ == "__main__":
    unittest.main()
