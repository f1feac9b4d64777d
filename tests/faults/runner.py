"""The running of rows: the servers and the prefix that all rows share (Matrix), one row's runs (RowRun, on
what prepare.Preparation made), and forged messages sent to its client (Forger)."""
import concurrent.futures
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

import checks
from model import OUTER_MARGIN, WATCHDOG_MAX_SECONDS
from prepare import Preparation
from render import Row
from runlib import tls, wine
from runlib.folders import snapshot
from runlib.host import Launch, is_report, wait_all
from runlib.paths import BIN, tool_exe
from runlib.server import TestServer

TLS_KINDS = ("good", "untrusted", "expired", "wrongname")


# Rows that mostly wait for a server (Scenario.mostly_waits) run this many at once, beside the others.
WAITING_JOBS = 12


class Matrix:
    """The servers and the prefix state that all rows share, and the running of rows. Rows run on two thread
    pools, those that mostly wait on one of their own; each row has its own folders, URL prefix, unique names
    and registry values."""

    def __init__(self, jobs=6):
        self.jobs = jobs
        self.server = None
        self.tls_servers = {}
        self.work = None
        self.tls_problem = None
        self.prefix = None
        self.certs = None

    def start(self, scenarios):
        self.prefix = wine.Prefix()
        self.server = TestServer().start()
        # Beside the build, on the checkout's own file system: the read-only rows need one where root can
        # make a file immutable, which a memory file system for /tmp may not be.
        self.work = tempfile.mkdtemp(prefix="rv_matrix_", dir=os.path.dirname(os.path.abspath(BIN)))
        if any(s.needs_tls() for s in scenarios):
            try:
                self.tls_problem = self.start_tls()
            except Exception as error:  # the rows that need the servers fail for it, the others run
                self.tls_problem = "%s: %s" % (type(error).__name__, error)

    def start_tls(self):
        try:
            certs = tls.trusted_certs(os.path.join(self.work, "certs"))
        except Exception as e:  # noqa: BLE001 (any failure to make or trust them is the rows' reason to fail)
            return "the test certificates: %s" % e
        self.certs = certs
        for kind in TLS_KINDS:
            self.tls_servers[kind] = TestServer(tls=self.tls_certs(kind)).start()
        return None

    def tls_certs(self, kind):
        """The certificate and key of one kind of HTTPS server."""
        return self.certs[kind + ".pem"], self.certs[kind + ".key"]

    def stop(self):
        for server in self.tls_servers.values():
            server.stop()
        if self.server is not None:
            self.server.stop()
        if self.work is not None:
            shutil.rmtree(self.work, ignore_errors=True)

    def run(self, scenarios, on_row=None):
        """Runs every row, the slow ones first; returns the rows in table order."""
        rows = {}
        order = sorted(scenarios, key=lambda s: not s.is_slow())
        with concurrent.futures.ThreadPoolExecutor(max_workers=self.jobs) as pool, \
                concurrent.futures.ThreadPoolExecutor(max_workers=WAITING_JOBS) as waiting:
            futures = {(waiting if s.mostly_waits() else pool).submit(self.run_row, s): s for s in order}
            for future in concurrent.futures.as_completed(futures):
                row = future.result()
                rows[row.scenario.name] = row
                if on_row is not None:
                    on_row(row)
        return [rows[s.name] for s in scenarios]

    def run_row(self, scenario):
        row = Row(scenario)
        if scenario.needs_tls() and self.tls_problem:
            row.fail("the HTTPS test servers could not be set up: %s" % self.tls_problem)
            return row
        started = time.monotonic()
        try:
            RowRun(self, scenario, row).run()
        except Exception as error:  # a broken row must not take the other rows with it
            row.fail("the runner failed: %s: %s" % (type(error).__name__, error))
        row.seconds = time.monotonic() - started
        return row


def check_unique(scenarios):
    slugs = {}
    for s in scenarios:
        if s.slug in slugs:
            raise ValueError("two rows share the name %r and %r" % (slugs[s.slug], s.name))
        slugs[s.slug] = s.name


def select(scenarios, filters):
    if not filters:
        return list(scenarios)
    return [s for s in scenarios if any(f in s.name for f in filters)]


def run_scenarios(scenarios, jobs=6, on_row=None):
    check_unique(scenarios)
    matrix = Matrix(jobs)
    try:
        matrix.start(scenarios)
        return matrix.run(scenarios, on_row)
    finally:
        matrix.stop()


class RowRun(Preparation):
    """One row's run(s) on what Preparation made; the checks (checks.py) read what it prepared and saw."""

    def run(self):
        try:
            self.publish_files()
            self.publish_list()
            self.prepare_target()
            self.prepare_config()
            self.strays_before = set(checks.strays(self))
            self.run_steps()
        finally:
            self.cleanup()

    def launch(self, log_name, host_options, host_timeout):
        log = os.path.join(self.client, log_name)
        return Launch(self.exe, self.client_args(), log, ["--close-box"] + list(host_options), host_timeout,
                      cwd=self.root, errors=log[:-4] + ".err", margin=OUTER_MARGIN)

    def request_log(self):
        """The row's requests with what each asked and got, from every server, in the order they came:
        dicts of path, range, if_range, status, sent (body bytes) and time (Unix seconds)."""
        marker = self.prefix + "/"
        entries = []
        for server in [self.matrix.server] + list(self.matrix.tls_servers.values()) + list(self.own_tls.values()):
            entries += [e for e in server.request_log() if marker in e["path"] + "/"]
        if self.nginx is not None:
            for r in self.nginx.requests(timeout=0):
                entries.append({"path": urllib.parse.unquote(r["uri"].split("?")[0]), "range": r["range"],
                                "if_range": r["if_range"], "status": r["status"], "sent": r["body_bytes_sent"],
                                "time": r["time"] - r["request_time"]})
        return sorted(entries, key=lambda e: e["time"])

    def run_steps(self):
        outside_before = checks.outside_snapshot(self)
        target_before = snapshot(self.target) if self.target else {}
        final = self.run_once(self.s.ending, "host", self.s.host, self.s.host_timeout, self.s.instances)
        # Requests are told apart by when they came: a server may log one later than it began (nginx logs a
        # request when it ends), so counting them as they stand would put the first run's into the rerun's.
        rerun_began = None
        if self.s.rerun is not None:
            first = self.run_requests(0, time.time())
            checks.check_requests(self, final, [e["path"] for e in first])
            self.do_between()
            self.held_before_rerun = {f: self.held(f) for f in self.s.files}
            rerun_began = time.time()
            final = self.run_once(self.s.rerun, "host-rerun", self.s.host, self.s.host_timeout, 1)
            checks.check_requests(self, final, [e["path"] for e in self.run_requests(rerun_began)])
        else:
            self.wait_for_background()
            checks.check_requests(self, final, [e["path"] for e in self.run_requests(0)])
        log = self.request_log()
        split = rerun_began if rerun_began is not None else float("inf")
        checks.check_resumes(self, [e for e in log if e["time"] < split], [e for e in log if e["time"] >= split])
        checks.check_target(self, final, target_before)
        checks.check_partials(self)
        checks.check_outside(self, outside_before)

    def run_requests(self, since, until=float("inf")):
        return [e for e in self.request_log() if since <= e["time"] < until]

    def do_between(self):
        """What happens to the package and the disk between the run and its rerun."""
        for what, path in self.s.between:
            f = self.s.file(path)
            partials = self.partials_of(f)
            if what == "change":
                self.change_file(f)
                continue
            if what == "touch":
                self.touch_file(f)
                continue
            if not partials:
                self.row.fail("no partial file of %s to %s before the rerun: the row tested nothing" % (path, what))
                continue
            with open(partials[0], "r+b") as partial:
                held = os.fstat(partial.fileno()).st_size
                if what == "alter":
                    partial.seek(held // 2)
                    byte = partial.read(1)
                    partial.seek(held // 2)
                    partial.write(bytes([(byte[0] if byte else 0) ^ 0xFF]))
                elif what == "complete":
                    partial.seek(held)
                    partial.write(self.contents[f][held:])
                else:
                    raise ValueError("between: %r is no action" % (what,))

    def run_once(self, ending, log_name, host_options, host_timeout, instances):
        if ending.kind == "killed" and ending.after is not None:
            host_timeout = ending.after
        names = [log_name + ".log"] if instances == 1 else ["%s-%d.log" % (log_name, i + 1) for i in range(instances)]
        launches = [self.launch(name, host_options, host_timeout) for name in names]
        forger = Forger(self, launches[0]) if self.s.forge else None
        watcher = Watcher(self, launches[0], ending)

        def poll():
            watcher.poll()
            if forger is not None:
                forger.poll()
        wait_all(launches, poll)
        watcher.finish()
        if forger is not None:
            forger.finish()
        resolved = ending
        for index, launch in enumerate(launches):
            if launch.relaunched is not None:
                # Said, not hidden: the first host never wrote a line, so no client of it ran.
                print("faults: %s: the host exited %d before its first line, and was started again"
                      % (self.s.name, launch.relaunched), file=sys.stderr)
            resolved = self.resolve(ending, launch)
            checks.check_ending(self, resolved, launch, "" if instances == 1 else "instance %d: " % (index + 1))
        return resolved

    def resolve(self, ending, launch):
        """For an ending of alternatives, the one whose figures the host saw (else the first)."""
        if ending.kind != "oneof":
            return ending
        progress = launch.run().progress()
        for option in ending.options:
            if self.s.expected_progress(option) == progress:
                return option
        return ending.options[0]

    def wait_for_background(self):
        """A list with entries for later starts background instances; they must end by themselves."""
        if not any(f.is_delay() for f in self.s.files):
            return
        deadline = time.monotonic() + WATCHDOG_MAX_SECONDS + 6
        while time.monotonic() < deadline:
            if not wine.processes_started_from(self.client):
                return
            time.sleep(0.2)
        self.row.hang = True
        self.row.fail("a background instance was still running %.0fs after the run" % (WATCHDOG_MAX_SECONDS + 6))
        for pid in wine.processes_started_from(self.client):
            os.kill(pid, 9)


class Watcher:
    """Watches a run's disk as it goes: the free space of the row's own volume, and the partial files that the
    row's actions wait for (a nginx restart, or the client's end by taskkill /f, once a file is far enough)."""

    def __init__(self, row_run, launch, ending):
        self.row_run = row_run
        self.launch = launch
        self.actions = list(row_run.s.during) if ending is row_run.s.ending else []
        if ending.kill_at:
            self.actions.append(("kill",) + tuple(ending.kill_at))
        self.done = []
        launch.killed_by_matrix = False
        row_run.min_free = None

    def poll(self):
        rr = self.row_run
        if rr.mounted is not None:
            stats = os.statvfs(rr.mounted)
            free = stats.f_bavail * stats.f_frsize
            rr.min_free = free if rr.min_free is None else min(rr.min_free, free)
        for action in self.actions:
            if action in self.done:
                continue
            what, path, fraction = action
            f = rr.s.file(path)
            if rr.held(f) < fraction * f.size:
                continue
            self.done.append(action)
            if what == "restart":
                rr.nginx.restart()
            elif what == "kill":
                # At once, as taskkill /f ends a process: a Wine process started for taskkill itself could come
                # too late for a file that arrives fast.
                pids = wine.processes_of(rr.exe)
                for pid in pids:
                    os.kill(pid, signal.SIGKILL)
                windows_pid = self.launch.client_pid()
                if not pids and windows_pid is not None:
                    wine.end_process(windows_pid)
                self.launch.killed_by_matrix = bool(pids) or windows_pid is not None
            else:
                raise ValueError("during: %r is no action" % (what,))

    def finish(self):
        for action in self.actions:
            if action not in self.done:
                self.row_run.row.fail("%s never came: %s was never %d%% there" % (action[0], action[1],
                                                                                 action[2] * 100))


class Forger:
    """Posts (or sends) forged messages to the client's progress window or its IPC channel window from another
    process, once the client has started (or has reported a given figure), and says whether they went out."""

    def __init__(self, row_run, launch):
        self.row_run = row_run
        self.launch = launch
        self.process = None

    def poll(self):
        if self.process is not None:
            return
        pid = self.launch.client_pid()
        if pid is None:
            return
        after = self.row_run.s.forge_after
        if after is not None and not any(is_report(line.split("\t")) and int(line.split("\t")[4]) == after
                                         for line in self.launch.lines):
            return
        target = ["--channel"] if self.row_run.s.forge_to == "channel" else []
        command = ([wine.WINE_EXEC, tool_exe("forge_posts.exe"), "--pid", str(pid), "--wait", "5"] + target
                   + self.row_run.s.forge)
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)

    def finish(self):
        if self.process is None:
            self.row_run.row.fail("the forged messages were never posted (the client did not get that far)")
            return
        try:
            output, _ = self.process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            output, _ = self.process.communicate()
        if self.process.returncode != 0:
            self.row_run.row.fail("forge_posts.exe failed (exit %d): %s"
                                  % (self.process.returncode, output.decode("utf-8", "replace").strip()[-200:]))
