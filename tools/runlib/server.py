"""The HTTP test server (tools/http_server/test_server.py): in this process, or in a process of its own where
a measurement must not share the interpreter with it; and what it was asked for."""
import os
import re
import ssl
import subprocess
import sys
import urllib.request

from runlib.paths import SOURCE

SERVER_SCRIPT = os.path.join(SOURCE, "tools", "http_server", "test_server.py")
sys.path.insert(0, os.path.dirname(SERVER_SCRIPT))

from test_server import CONNECTION_COUNTS, Faults, TestServer  # noqa: E402,F401  (for the callers)


class ServerProcess:
    """test_server.py in a process of its own, serving a folder on 127.0.0.1; asked over HTTP what it saw.
    tls=(certfile, keyfile) serves it over TLS as https://localhost:PORT; its own questions then trust cafile."""

    def __init__(self, root, logfile, tls=None, cafile=None):
        self.log = open(logfile, "w")
        argv = [sys.executable, SERVER_SCRIPT, "--root", root]
        if tls is not None:
            argv += ["--tls-cert", tls[0], "--tls-key", tls[1]]
        self.context = ssl.create_default_context(cafile=cafile) if tls is not None else None
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self.log, stdin=subprocess.DEVNULL,
                                        text=True)
        line = self.process.stdout.readline()
        match = re.search(r"on (https://localhost:\d+|http://127\.0\.0\.1:\d+)", line)
        if not match:
            self.stop()
            raise SystemExit("the test server did not start: %r" % line)
        self.base_url = match.group(1)

    def text(self, path):
        with urllib.request.urlopen(self.base_url + path, timeout=30, context=self.context) as answer:
            return answer.read().decode("utf-8")

    def requested_paths(self):
        return [p for p in self.text("/_paths").split("\n") if p]

    def disk_bodies(self):
        return int(self.text("/_disk"))

    def connection_counts(self):
        """As TestServer.connection_counts: the client's connections, TLS handshakes and resumed ones."""
        counts = dict(line.split(" ") for line in self.text("/_connections").split("\n") if line)
        return {name: int(counts[name]) for name in CONNECTION_COUNTS}

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class Requests:
    """What a server (of either kind) was asked for from now on: the paths after the mark, and the connections
    (TLS handshakes, resumed ones) made since."""

    def __init__(self, server):
        self.server = server
        self.start = len(server.requested_paths())
        self.start_counts = server.connection_counts()

    def taken(self):
        return self.server.requested_paths()[self.start:]

    def connections(self):
        """{"connections": N, "handshakes": N, "resumed": N} since the mark."""
        now = self.server.connection_counts()
        return {name: now[name] - self.start_counts[name] for name in CONNECTION_COUNTS}
