"""What the end-to-end tests add to the harness in tools/runlib: a test server for each test class, a fresh
client folder for each test, and the client run with or without the test host.

The environment comes from scripts/test (WINEPREFIX, DISPLAY, a persistent wineserver) and CTest
(RADEVARE_BIN, RADEVARE_SOURCE).
"""
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tools"))

from runlib import host  # noqa: E402
from runlib.filelist import Package  # noqa: E402,F401  (for the tests)
from runlib.folders import ClientFolder  # noqa: E402
from runlib.paths import BIN, SOURCE, wine_path  # noqa: E402,F401
from runlib.server import TestServer  # noqa: E402
from runlib.wine import WINE_EXEC, reg_delete, reg_query  # noqa: E402,F401


class ServerTestCase(unittest.TestCase):
    """A test server for the whole class, a fresh client folder for each test."""

    @classmethod
    def setUpClass(cls):
        cls.server = TestServer()
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.client = ClientFolder()
        self.addCleanup(self.client.cleanup)


def run_host(client, args, host_options=(), timeout=90):
    """Starts the client's RadeVare.exe with args under the test host and waits for the end."""
    return host.run_host(client.exe, args, os.path.join(client.path, "host.log"), host_options, timeout)


def run_client(client, args, timeout=60):
    """Starts client.exe with args without a host; returns (exit code, seconds)."""
    started = time.monotonic()
    completed = subprocess.run([WINE_EXEC, client.exe] + ([args] if args else []), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
    return completed.returncode, time.monotonic() - started


def wait_for(predicate, timeout=20.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
