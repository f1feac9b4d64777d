"""Running the real RadeVare.exe under Wine with the project's test host, for
the end-to-end tests and the main job.

usage: from runlib import Package, run_host, wine_path
The environment comes from scripts/wine-session (WINEPREFIX, DISPLAY, a
persistent wineserver).
"""
import hashlib
import os
import subprocess
import sys
import time
import urllib.parse

SOURCE = os.environ.get("RADEVARE_SOURCE") or os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = os.environ.get("RADEVARE_BIN") or os.path.join(SOURCE, "build", "bin")
WINE_EXEC = os.path.join(SOURCE, "scripts", "wine-exec")
sys.path.insert(0, os.path.join(SOURCE, "tools", "http_server"))

from test_server import TestServer  # noqa: E402,F401  (re-exported for the callers)


def wine_path(path):
    """The Windows name of a Linux path, as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def md5_of(data):
    return hashlib.md5(data).hexdigest()


class Package:
    """Files of a game package on the test server, and their FileList.xml."""

    def __init__(self, server, prefix="/pkg"):
        self.server = server
        self.prefix = prefix
        self.entries = []  # (FilePath, url, md5, opt, CMD)
        self.contents = {}  # FilePath -> bytes

    def add(self, file_path, data, opt="", cmd="", md5=None, url=None, **faults):
        """file_path as the list writes it ("\\bin\\game.exe"); faults go to the server for its URL."""
        if url is None:
            url_path = self.prefix + file_path.replace("\\", "/")
            self.server.add_file(url_path, data)
            if faults:
                self.server.set_fault(url_path, **faults)
            # As a real list writes it: the path percent-encoded as UTF-8.
            url = self.server.base_url + urllib.parse.quote(url_path)
        self.entries.append((file_path, url, md5 if md5 is not None else md5_of(data), opt, cmd))
        self.contents[file_path] = data
        return url

    def file_list_xml(self):
        def attr(value):
            return value.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")
        lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<FileList>"]
        for file_path, url, md5, opt, cmd in self.entries:
            lines.append('  <File FilePath="%s" url="%s" md5="%s" opt="%s" CMD="%s"/>'
                         % (attr(file_path), attr(url), md5, attr(opt), attr(cmd)))
        lines.append("</FileList>")
        return "\n".join(lines).encode("utf-8")

    def publish(self, path="/FileList.xml"):
        """Serves the list; returns its URL."""
        self.server.add_file(path, self.file_list_xml())
        return self.server.base_url + path


class HostRun:
    """What the test host wrote about one run of the client."""

    def __init__(self, lines, returncode, elapsed):
        self.lines = lines
        self.returncode = returncode
        self.elapsed = elapsed
        self.events = [line.split("\t") for line in lines]

    def reports(self):
        return [e for e in self.events if e[0] == "message" and e[1] == "IPC_MainProcess_OnDownProcess" and len(e) >= 5]

    def progress(self):
        """The progress figures the host received, in order."""
        return [int(e[4]) for e in self.reports()]

    def game_ids(self):
        return [int(e[3]) for e in self.reports()]

    def client_exit_code(self):
        for e in self.events:
            if e[0] == "exit":
                return int(e[1])
        return None

    def boxes(self):
        return [e[1:] for e in self.events if e[0] == "box"]

    def timed_out(self):
        return any(e[0] == "timeout" for e in self.events)

    def window_events(self):
        return [e[1:] for e in self.events if e[0] == "window"]

    def snaps(self):
        return [e[1:] for e in self.events if e[0] == "snap"]

    def __repr__(self):
        return "HostRun(rc=%r, %.1fs)\n  %s" % (self.returncode, self.elapsed, "\n  ".join(self.lines))


def run_host(exe, args, log, host_options=(), timeout=90, on_line=None):
    """Starts exe under the test host and waits for its end.

    args: a string of arguments without blanks inside, split at its blanks,
    or a list of arguments (the host quotes those that hold blanks).
    log: the host's log file (UTF-8, one event a line); on_line, when given,
    is called with each new line while the run goes on.
    """
    command = [WINE_EXEC, os.path.join(BIN, "test_host.exe"), "--log", wine_path(log),
               "--timeout", str(timeout)] + list(host_options) + ["--", wine_path(exe)]
    command += args.split() if isinstance(args, str) else list(args)
    if os.path.exists(log):
        os.remove(log)
    started = time.monotonic()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    seen = 0
    while True:
        finished = process.poll() is not None
        if on_line is not None and os.path.exists(log):
            with open(log, "rb") as f:
                lines = f.read().decode("utf-8", "replace").split("\n")
            for line in lines[seen:-1]:
                on_line(line)
            seen = max(seen, len(lines) - 1)
        if finished:
            break
        if time.monotonic() - started > timeout + 60:
            process.kill()
            process.wait()
            break
        time.sleep(0.05)
    elapsed = time.monotonic() - started
    lines = []
    if os.path.exists(log):
        with open(log, "rb") as f:
            lines = [line for line in f.read().decode("utf-8", "replace").splitlines() if line]
    return HostRun(lines, process.returncode, elapsed)
