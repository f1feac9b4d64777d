"""Helpers for the end-to-end tests: the real RadeVare.exe under Wine, driven
by the project's test host and served by its HTTP test server.

Each run gets a fresh folder beside a copy of the program. The environment
comes from scripts/test (WINEPREFIX, DISPLAY, a persistent wineserver) and
CTest (RADEVARE_BIN, RADEVARE_SOURCE).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tools", "runlib"))

import runlib  # noqa: E402
from runlib import BIN, SOURCE, WINE_EXEC, Package, TestServer, wine_path  # noqa: E402,F401


class ClientFolder:
    """A fresh folder with a copy of RadeVare.exe; removed by cleanup()."""

    def __init__(self, name="rv_e2e_", exe_name="RadeVare.exe"):
        self.path = tempfile.mkdtemp(prefix=name)
        self.exe = os.path.join(self.path, exe_name)
        shutil.copyfile(os.path.join(BIN, "RadeVare.exe"), self.exe)

    def join(self, *parts):
        return os.path.join(self.path, *parts)

    def write(self, relative, data):
        path = self.join(*relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, relative):
        with open(self.join(*relative.split("/")), "rb") as f:
            return f.read()

    def exists(self, relative):
        return os.path.exists(self.join(*relative.split("/")))

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


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
    return runlib.run_host(client.exe, args, os.path.join(client.path, "host.log"), host_options, timeout)


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


def reg_query(key, value):
    """A REG_SZ value of the test prefix's registry, or None (ASCII values only)."""
    completed = subprocess.run([WINE_EXEC, "reg", "query", key, "/v", value], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=60)
    for line in completed.stdout.decode("latin-1").splitlines():
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[0] == value and parts[1] == "REG_SZ":
            return parts[2].strip() if len(parts) == 3 else ""
    return None


def reg_delete(key, value=None):
    command = [WINE_EXEC, "reg", "delete", key] + (["/v", value] if value else []) + ["/f"]
    subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
