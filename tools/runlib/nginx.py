"""nginx from Debian (scripts/setup installs it) serving a folder on 127.0.0.1: a server no one here wrote, with
its own Range, If-Range, ETag, gzip and bandwidth limit, and its access log read back as dicts.

    from runlib.nginx import NginxServer
    with NginxServer(root, rate=16 * 1024 * 1024, gzip=True) as server:
        url = server.base_url + "/big.bin"     # http://127.0.0.1:PORT/big.bin, root/big.bin on disk
        ...
        server.restart()                       # fast shutdown (transfers in flight cut), then up again on the
                                               # same port; returns how long the port was closed
        server.requests(count=1)               # the access log, waiting up to 5 s for a first line:
                                               # [{"uri": "/big.bin", "status": 206, "range": "bytes=100-", ...}]

NginxServer(root, ...).start() and close() do the same without the with block; stop() alone stops nginx and
keeps its folder (restart() or start() brings it back), wait_ready() returns once this nginx answers, pid() is
the master's id. Each access log entry has: time (Unix, ms), request (its line), method, uri, status, range,
if_range, user_agent, accept_encoding (the request's headers, None when absent), body_bytes_sent, bytes_sent
(headers included), request_time (seconds) and content_encoding (the answer's, None when not encoded).

Options: rate (bytes/s per request, nginx's limit_rate; rate_after bytes go out unlimited first), gzip with
gzip_types (nginx compresses only answers of those types, and only for a request whose Accept-Encoding
allows it), etag (on unless False), parent (the folder to make the server's own folder in; the system's temp
folder otherwise). The server's folder holds everything nginx writes: the configuration, the pid and lock
files, the error and access logs, the temp paths; close() (and leaving the with block) stops nginx and
removes that folder. Started with -p, -c and -e of its own, nginx never reads /etc/nginx nor writes under
/var; only the master process started here is signalled, by its id, and as root the workers run as root so
that they can read any root folder.

A port is picked free and nginx tries it; when another process took it meanwhile, nginx gives up after its own
bind retries (about 2.5 s) and the next free port is tried. Ready means that this nginx answered a path of its
own (a random name, not in the access log), not that something accepted a connection on the port. restart() keeps the port: the old master has
exited and closed it before the new one binds it (SO_REUSEADDR, so connections in TIME_WAIT do not hold it);
the port is closed for the stop and the start, tens of milliseconds here, which restart() returns.
"""
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import uuid

NGINX = "/usr/sbin/nginx"
# What the tests' files are served as; anything else is application/octet-stream.
TYPES = {"text/plain": ("txt", "log"), "text/html": ("html", "htm"), "text/xml": ("xml",),
         "application/json": ("json",), "application/octet-stream": ("bin", "dat", "pak", "exe")}
GZIP_TYPES = ("text/plain", "text/xml", "application/json")
# The access log's fields, tab-separated, in this order: (key, nginx variable, kind).
LOG_FIELDS = (("time", "$msec", float), ("request", "$request", str), ("method", "$request_method", str),
              ("uri", "$request_uri", str), ("status", "$status", int), ("range", "$http_range", None),
              ("if_range", "$http_if_range", None), ("user_agent", "$http_user_agent", None),
              ("accept_encoding", "$http_accept_encoding", None), ("body_bytes_sent", "$body_bytes_sent", int),
              ("bytes_sent", "$bytes_sent", int), ("request_time", "$request_time", float),
              ("content_encoding", "$sent_http_content_encoding", None))
# The temp paths Debian's nginx is built with (under /var/lib/nginx): each module that is there gets one of
# ours instead, or nginx would make and use the system's at start.
TEMP_PATHS = (("client_body", None), ("proxy", "http_proxy"), ("fastcgi", "http_fastcgi"),
              ("uwsgi", "http_uwsgi"), ("scgi", "http_scgi"))
# How often nginx is tried on another free port when the one picked was taken meanwhile.
PORT_TRIES = 5
STOP_SECONDS = 10.0
_ESCAPE = re.compile(r"\\x([0-9A-Fa-f]{2})")


def _free_port():
    """A port nothing listens on now; nginx may still lose it to another process before it binds it."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _modules_left_out():
    """The names of the modules this nginx was built without ("http_uwsgi", ...), from nginx -V."""
    built = subprocess.run([NGINX, "-V"], capture_output=True, text=True, timeout=30)
    return set(re.findall(r"--without-(\w+)_module", built.stderr + built.stdout))


def _quoted(path):
    """A path as a quoted nginx argument; paths nginx would read otherwise (variables, escapes) are refused."""
    if any(c in path for c in '"\\$\n'):
        raise ValueError("a path nginx cannot be given as it is: %r" % path)
    return '"%s"' % path


def parse_access_line(line):
    """One access log line as a dict (LOG_FIELDS' keys). nginx writes "-" for a header that was not sent (None
    here) and escapes quotes, backslashes and bytes outside printable ASCII as \\xXX (undone here)."""
    values = line.rstrip("\n").split("\t")
    if len(values) != len(LOG_FIELDS):
        raise ValueError("not a line of this access log: %r" % line)
    entry = {}
    for (key, _, kind), value in zip(LOG_FIELDS, values):
        text = _ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), value)
        text = text.encode("latin-1").decode("utf-8", "replace")
        if kind is None:
            entry[key] = None if value == "-" else text
        else:
            entry[key] = kind(text)
    return entry


class NginxServer:
    """One nginx master (and its worker) serving root; see the module's usage note. Any thread, one at a time."""

    def __init__(self, root, parent=None, rate=None, rate_after=0, gzip=False, gzip_types=GZIP_TYPES, etag=True,
                 port=0):
        self.root = os.path.abspath(root)
        _quoted(self.root)  # a root nginx could not be given fails here, before anything is made
        self.rate = rate
        self.rate_after = rate_after
        self.gzip = gzip
        self.gzip_types = tuple(gzip_types)
        self.etag = etag
        self.port = port
        self.folder = None
        self._parent = parent
        self._process = None
        self._stderr = None
        # wait_ready() asks for this path: only this server answers it (with 204, and no line in the access
        # log), where a mere connection could have been taken by anything else that listens on the port.
        self._ready_path = "/.radevare-ready-" + uuid.uuid4().hex

    @property
    def base_url(self):
        return "http://127.0.0.1:%d" % self.port

    @property
    def access_log(self):
        return os.path.join(self.folder, "access.log")

    @property
    def error_log(self):
        return os.path.join(self.folder, "error.log")

    def pid(self):
        """The master's process id while it runs, else None."""
        return self._process.pid if self._process is not None and self._process.poll() is None else None

    def start(self, timeout=10.0):
        """Writes the configuration and starts nginx; returns once it listens. RuntimeError, with nginx's own
        words, when it cannot start."""
        if not os.access(NGINX, os.X_OK):
            raise RuntimeError("%s is missing: scripts/setup installs Debian's nginx-light" % NGINX)
        if self.folder is None:
            self.folder = tempfile.mkdtemp(prefix="rv_nginx_", dir=self._parent)
            os.mkdir(os.path.join(self.folder, "temp"))
            self._left_out = _modules_left_out()
        fixed_port = self.port != 0
        for attempt in range(1 if fixed_port else PORT_TRIES):
            if not fixed_port:
                self.port = _free_port()
            self._launch()
            try:
                return self.wait_ready(timeout)
            except RuntimeError:
                if fixed_port or "Address already in use" not in self._startup_errors():
                    raise
                self.port = 0
        raise RuntimeError("nginx found no free port in %d tries" % PORT_TRIES)

    def _launch(self):
        config = os.path.join(self.folder, "nginx.conf")
        with open(config, "w") as f:
            f.write(self.config_text())
        # What this start says, for _startup_errors(): stderr afresh, the error log from its end on.
        self._stderr = open(os.path.join(self.folder, "stderr.log"), "wb")
        self._error_log_start = os.path.getsize(self.error_log) if os.path.exists(self.error_log) else 0
        # A session of its own: a signal meant for the caller's terminal does not reach nginx, and a master that
        # ignores SIGTERM is ended with its workers through the group it leads.
        self._process = subprocess.Popen([NGINX, "-p", self.folder + "/", "-c", config, "-e", self.error_log],
                                         stdin=subprocess.DEVNULL, stdout=self._stderr, stderr=self._stderr,
                                         start_new_session=True)

    def config_text(self):
        """The configuration file that start() writes."""
        folder = self.folder
        temps = "".join("    %s_temp_path %s;\n" % (name, _quoted(os.path.join(folder, "temp", name)))
                        for name, module in TEMP_PATHS if module not in self._left_out)
        types = "".join("        %s %s;\n" % (kind, " ".join(ext)) for kind, ext in TYPES.items())
        log_format = "\\t".join(variable for _, variable, _ in LOG_FIELDS)
        gzip = "    gzip off;\n"
        if self.gzip:
            gzip = "    gzip on;\n    gzip_types %s;\n" % " ".join(self.gzip_types or ("text/html",))
        return (("user root;\n" if os.geteuid() == 0 else "")
                + "daemon off;\nmaster_process on;\nworker_processes 1;\n"
                + "pid %s;\nlock_file %s;\n" % (_quoted(os.path.join(folder, "nginx.pid")),
                                               _quoted(os.path.join(folder, "nginx.lock")))
                + "error_log %s info;\n" % _quoted(self.error_log)
                + "events {\n    worker_connections 256;\n}\n"
                + "http {\n"
                + "    types {\n" + types + "    }\n"
                + "    default_type application/octet-stream;\n"
                + "    log_format radevare escape=default '%s';\n" % log_format
                + "    access_log %s radevare;\n" % _quoted(self.access_log)
                + temps
                + "    sendfile on;\n    tcp_nodelay on;\n    keepalive_timeout 30s;\n"
                + "    etag %s;\n" % ("on" if self.etag else "off")
                + "    limit_rate %d;\n    limit_rate_after %d;\n" % (self.rate or 0, self.rate_after)
                + gzip
                + "    server {\n"
                + "        listen 127.0.0.1:%d;\n" % self.port
                + "        server_name localhost;\n"
                + "        root %s;\n" % _quoted(self.root)
                + "        location = %s {\n            access_log off;\n            return 204;\n        }\n"
                % self._ready_path
                + "    }\n}\n")

    def wait_ready(self, timeout=10.0):
        """Returns self once this nginx answers on its port; RuntimeError when it ends first or takes longer."""
        deadline = time.monotonic() + timeout
        while True:
            if self._process.poll() is not None:
                self._stderr.close()
                raise RuntimeError("nginx ended with exit code %d before it listened on 127.0.0.1:%d: %s" % (
                    self._process.returncode, self.port, self._startup_errors().strip()[-2000:]))
            if self._answers():
                return self
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("nginx did not answer on 127.0.0.1:%d within %.0f s" % (self.port, timeout))
            time.sleep(0.01)

    def _answers(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=0.5)
        try:
            connection.request("GET", self._ready_path)
            return connection.getresponse().status == 204
        except (OSError, http.client.HTTPException):
            return False
        finally:
            connection.close()

    def _startup_errors(self):
        """What nginx wrote at its latest start, on stderr and in its error log."""
        text = ""
        for name, start in (("stderr.log", 0), ("error.log", self._error_log_start)):
            try:
                with open(os.path.join(self.folder, name), "rb") as f:
                    f.seek(start)
                    text += f.read().decode("utf-8", "replace")
            except OSError:
                pass
        return text

    def stop(self, timeout=STOP_SECONDS):
        """Fast shutdown (SIGTERM): connections in flight are cut, not finished. Waits for the master to end;
        one still there after `timeout` is killed with its workers."""
        if self._process is None:
            return
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(self._process.pid, signal.SIGKILL)
                self._process.wait()
        self._process = None
        self._stderr.close()

    def restart(self, timeout=10.0):
        """Stops nginx and starts it again on the same port; the seconds the port was closed."""
        if self.folder is None:
            raise RuntimeError("restart() of a server never started")
        began = time.monotonic()
        self.stop()
        self._launch()
        self.wait_ready(timeout)
        return time.monotonic() - began

    def requests(self, count=0, timeout=5.0):
        """The access log's lines as dicts, in the order nginx finished the requests (it writes a line once the
        answer is out, so the caller may ask to wait up to `timeout` s for `count` lines)."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                with open(self.access_log, "rb") as f:
                    lines = f.read().decode("latin-1").splitlines()
            except FileNotFoundError:
                lines = []
            if len(lines) >= count or time.monotonic() > deadline:
                return [parse_access_line(line) for line in lines]
            time.sleep(0.02)

    def close(self):
        """Stops nginx and removes the server's own folder, logs included."""
        self.stop()
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc):
        self.close()
