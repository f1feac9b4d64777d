"""The project's test host (tools/test_host) with a client under it: its command line, one run in the
background with the time each log line arrived, a run waited for to its end, and what its log says.

The host writes one event a line, fields split by tabs (with --stamp, its own clock first):
    started PID | message NAME ... | exit CODE | box CAPTION TEXT | timeout | window ... | snap ...
"""
import os
import subprocess
import time

from runlib import wine
from runlib.paths import tool_exe, wine_path

REPORT = "IPC_MainProcess_OnDownProcess"


def is_report(fields):
    return len(fields) >= 5 and fields[0] == "message" and fields[1] == REPORT


class HostRun:
    """What the test host wrote about one run of the client."""

    def __init__(self, lines, returncode, elapsed, stamped=False):
        self.lines = lines
        self.returncode = returncode
        self.elapsed = elapsed
        fields = [line.split("\t") for line in lines]
        # With --stamp the first field is the host's clock, in milliseconds.
        self.stamps = [float(f[0]) for f in fields] if stamped else []
        self.events = [f[1:] for f in fields] if stamped else fields

    @classmethod
    def from_log(cls, log, returncode=None, elapsed=0.0, stamped=False):
        lines = []
        if os.path.exists(log):
            with open(log, "rb") as f:
                lines = [line for line in f.read().decode("utf-8", "replace").splitlines() if line]
        return cls(lines, returncode, elapsed, stamped)

    def reports(self):
        return [e for e in self.events if is_report(e)]

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

    def stamp_of_last(self, predicate):
        """The host's clock at the last event that predicate accepts (stamped logs), or None."""
        found = [s for s, e in zip(self.stamps, self.events) if predicate(e)]
        return found[-1] if found else None

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


def command(exe, args, log, timeout, host_options=()):
    """The test host's command line for exe with args (a list: the host quotes those that hold blanks)."""
    return ([wine.WINE_EXEC, tool_exe("test_host.exe"), "--log", wine_path(log), "--timeout", str(timeout)]
            + list(host_options) + ["--", wine_path(exe)] + list(args))


class Launch:
    """One test host run in the background: the host, its client, the log, and when each line arrived. A host
    still there `margin` seconds after its own time-out is ended, and its client by its own id."""

    # A host that ends with an error before its first line, this soon, never ran: under load the 64-bit Wine
    # loader has been seen to exit 1 at once, with nothing on stderr. It is started once more.
    NEVER_STARTED_SECONDS = 3.0

    def __init__(self, exe, args, log, host_options=(), timeout=90, cwd=None, errors=None, margin=15):
        self.log = log
        self.err = errors
        self.argv = command(exe, args, log, timeout, host_options)
        self.cwd = cwd
        self.timeout = timeout
        self.margin = margin
        self.relaunched = None  # the exit code of a first host that never ran, once it was started again
        self.start()

    def start(self):
        if os.path.exists(self.log):
            os.remove(self.log)
        err = open(self.err, "wb") if self.err else subprocess.DEVNULL
        try:
            self.process = subprocess.Popen(self.argv, cwd=self.cwd, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=err)
        finally:
            if self.err:
                err.close()
        self.started = time.monotonic()
        # The same moment on the clock that servers stamp their requests with.
        self.started_at = time.time()
        self.deadline = self.started + self.timeout + self.margin
        self.lines = []
        self.times = []
        self.outer_timeout = False
        self.ended = None

    def read(self):
        """Takes the log's complete lines that are new; the new ones."""
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            complete = f.read().decode("utf-8", "replace").split("\n")[:-1]
        now = time.monotonic() - self.started
        new = complete[len(self.lines):]
        self.lines += new
        self.times += [now] * len(new)
        return new

    def poll(self):
        """Reads new lines; True once the host is gone (ended by our own time-out if need be)."""
        if self.ended is not None:
            return True
        self.read()
        if self.process.poll() is not None:
            self.read()
            if (self.relaunched is None and self.process.returncode != 0 and not self.lines
                    and time.monotonic() - self.started < self.NEVER_STARTED_SECONDS):
                self.relaunched = self.process.returncode
                self.start()
                return False
            self.ended = time.monotonic() - self.started
            return True
        if time.monotonic() > self.deadline:
            self.outer_timeout = True
            self.process.kill()
            self.process.wait()
            pid = self.client_pid()
            if pid is not None:
                # The client outlives its host.
                wine.end_process(pid)
            self.read()
            self.ended = time.monotonic() - self.started
            return True
        return False

    def client_pid(self):
        for line in self.lines:
            fields = line.split("\t")
            if fields[0] == "started" and len(fields) > 1:
                return int(fields[1])
        return None

    def run(self):
        return HostRun([line for line in self.lines if line], self.process.returncode, self.ended or 0.0)

    def time_of(self, predicate):
        for line, at in zip(self.lines, self.times):
            if predicate(line.split("\t")):
                return at
        return None

    def host_errors(self):
        if not self.err:
            return ""
        with open(self.err, "rb") as f:
            return f.read().decode("utf-8", "replace")


def wait_all(launches, on_poll=None):
    while True:
        over = [launch.poll() for launch in launches]
        if on_poll is not None:
            on_poll()
        if all(over):
            return
        time.sleep(0.05)


def run_host(exe, args, log, host_options=(), timeout=90, on_line=None):
    """Starts exe under the test host and waits for its end; the HostRun.

    args: a string of arguments without blanks inside, split at its blanks, or a list of arguments.
    on_line, when given, is called with each new line of the log while the run goes on.
    """
    launch = Launch(exe, args.split() if isinstance(args, str) else list(args), log, host_options, timeout)
    seen = 0
    while True:
        over = launch.poll()
        if on_line is not None:
            for line in launch.lines[seen:]:
                on_line(line)
        seen = len(launch.lines)
        if over:
            return launch.run()
        time.sleep(0.05)
