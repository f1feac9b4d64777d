#!/usr/bin/env python3
"""The fault matrix: every scenario of scenarios.py run against the real
RadeVare.exe under Wine, served by the project's HTTP test server and hosted
by its test host, with one table of what each row expected and what it saw.

usage: matrix.py [--jobs N] [NAME_FILTER...]   rows whose name holds any filter text (all without one)
The environment comes from scripts/wine-session (WINEPREFIX, DISPLAY, a
persistent wineserver) and RADEVARE_BIN / RADEVARE_SOURCE; scripts/faults
sets all of it up. Exit code 0 only when every row ran and held.

A scenario is a record (see Scenario and File); this runner gives every row
the same checks, whatever the scenario: the ending the host saw (progress
figures, boxes, exit code), the requests the server saw, the files in the
target afterwards, files written anywhere else, installed files kept byte
for byte, and how long the run took against the stall watchdog.
"""
import argparse
import concurrent.futures
import hashlib
import inspect
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("RADEVARE_SOURCE") or os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tools", "runlib"))

from runlib import BIN, WINE_EXEC, HostRun, TestServer, wine_path  # noqa: E402
import test_server  # noqa: E402  (runlib puts tools/http_server on the path)

# The program's stall watchdog ends a run after 15 one-second ticks without
# bytes arriving, and the run is over 3 s after that at most. A time-out
# counts as the watchdog's when it came no sooner than the first bound after
# the last sign of activity (the host's last line before it), and the run
# ended no later than the second (a second more for the host's log and
# the process's exit).
WATCHDOG_MIN_SECONDS = 13.0
WATCHDOG_MAX_SECONDS = 15.0 + 3.0 + 1.0
# A run that need not wait for anything (a refused list, an up-to-date
# package) is over well before the watchdog could have ended it.
QUICK_SECONDS = 12.0
# The host ends a client after this long: a client still running then has
# outlived the watchdog by far. Our own timeout ends the host (and the
# client) this much later still.
HOST_TIMEOUT = 30
OUTER_MARGIN = 15
WINE_CRASH_EXIT = 5
HOST_ENDED_EXIT = 258
REFUSED = "http://127.0.0.1:9"  # the discard port on loopback: nothing listens there
ERROR_CAPTION = "下载错误"
CHANNELS_KEY = "HKCU\\SOFTWARE\\Rirodaza"  # where LumoConfig.xml's channel id is kept, in a value named by gKey

SAME = "same"  # File.installed: an up-to-date copy is already in the target
OLD = "old"  # File.installed: an older version is there, to be replaced


def blob(size, seed):
    """Deterministic content that differs per seed."""
    return random.Random(seed).randbytes(size)


def slug_of(name):
    return re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-").lower()


def fill(text, values):
    """Replaces each {key} of values in text; other braces stay as they are."""
    for key, value in values.items():
        text = text.replace("{%s}" % key, value)
    return text


def percentages(count):
    """The figures after each verified file of count files."""
    return [done * 100 // count for done in range(1, count + 1)]


class File:
    """One entry of the file list, and what the server and the target hold for it.

    path      FilePath as the list writes it ("\\data\\a.dat"); {u} is the row's unique name
    size      body size (content generated from the path)
    fault     test server fault segments for its URL ("status=404", "stall=60@5000")
    server_fault  faults set on the plain URL path instead (redirect=302 there loops)
    url       the URL written in the list, a template: {base} {prefix} {name} {refused}
    md5       the digest written in the list (default: of the content); None with omit
    served    what the server sends instead of the content (b"" for an empty body)
    installed SAME, OLD or bytes: what lies at the target before the run
    opt, cmd  the list's opt and CMD attributes
    omit      attributes the entry leaves out ("md5", "url", "FilePath")
    tls       the HTTPS server that serves it ("good", "untrusted", "expired", "wrongname")
    """

    def __init__(self, path, size=2000, fault=None, server_fault=None, url=None, md5=None, served=None,
                 installed=None, opt="", cmd="", omit=(), tls=None):
        self.path = path
        self.size = size
        self.fault = fault
        self.server_fault = server_fault
        self.url = url
        self.md5 = md5
        self.served = served
        self.installed = installed
        self.opt = opt
        self.cmd = cmd
        self.omit = tuple(omit)
        self.tls = tls

    def is_delay(self):
        return self.opt.upper() == "DELAY"

    def reaches_server(self):
        """True when a request for it reaches one of the matrix's servers as HTTP (a refused port, another
        scheme or a refused certificate never does)."""
        return (self.url is None or self.url.startswith("{base}")) and self.tls in (None, "good")

    def plain(self):
        """Served as it is: fetched with exactly one request."""
        return not (self.fault or self.server_fault)


class Ending:
    """What the host must see at the end of a run, and how long it may take: at (a FilePath) where a
    file failure or time-out comes, progress (figures instead of those the kind gives), fetched (the
    FilePaths a run fetches, when not all; in delayed mode whether its one file arrives), quick (over at once), seconds (at most this long).

    kind: done, uptodate, listfail, filefail, timeout, quiet, killed, defined
      done      [0, p1, ..., 100, 100]: every file to fetch fetched and verified, no box
      uptodate  [100], no box, at once
      listfail  [-1], one box (none with -noprocess), nothing but the list requested
      filefail  [0, ..., -1, -1] at file `at`, one box, nothing requested after it
      timeout   [0, ..., -1] at file `at` (None: the list), one box, by the watchdog
      closed    [0, ..., -1] at file `at`: the strip was closed while `at` was coming; no box
      quiet     no report at all (delayed mode, no host window, nothing to do)
      killed    the host ended the client after `after` seconds, having seen `progress`
      defined   any of the endings above; for rows whose point is "no crash, no hang"
      oneof     one of `options`; every check then holds for the one the host saw
    """

    def __init__(self, kind, at=None, progress=None, after=None, fetched=None, quick=None,
                 watchdog=False, seconds=None, options=()):
        self.kind = kind
        self.options = list(options)
        self.at = at
        self.progress = progress
        self.after = after
        self.fetched = fetched
        self.quick = quick
        self.watchdog = watchdog
        self.seconds = seconds


def done(**kw):
    return Ending("done", **kw)


def uptodate(**kw):
    kw.setdefault("quick", True)
    return Ending("uptodate", **kw)


def listfail(**kw):
    kw.setdefault("quick", True)
    return Ending("listfail", **kw)


def filefail(at, **kw):
    return Ending("filefail", at=at, **kw)


def timeout(at=None, **kw):
    return Ending("timeout", at=at, watchdog=True, **kw)


def closed(at, **kw):
    return Ending("closed", at=at, **kw)


def quiet(fetched=None, **kw):
    return Ending("quiet", fetched=fetched, **kw)


def killed(after, progress):
    return Ending("killed", after=after, progress=progress)


def defined(**kw):
    return Ending("defined", **kw)


def oneof(*options):
    return Ending("oneof", options=options)


class Scenario:
    """One row of the matrix.

    name      group/what, unique; the command's filter matches on it
    files     File records, in list order
    ending    the Ending the host must see
    args      the client's arguments, a template split at blanks, or a list of templates:
              {list} the list URL, {target} the target folder, {client} the program's folder,
              {file0} the first file's URL, {rel} its path without the leading separator,
              {u} a unique name, {base} the server
    list_xml  the file list's text, a template with {entries} for the File lines;
              None: a plain list; "" (or any text) as given
    list_fault  fault segments for the list's URL
    list_server_fault  faults set on the list's plain URL path (redirect=302 there loops)
    list_url  the URL given to the client instead, a template
    config    LumoConfig.xml's text, a template ({list}, {u}); None: no such file
    registry  (key, value, type, data) set before the run and removed after it; type None: a value
              the client writes, only removed after the run
    before    what the target holds besides the installed files: ("folder", rel),
              ("file", rel, bytes), ("readonly", rel), ("hold", rel)
    host      test host options (--close-box is always given)
    forge     messages for forge_posts.exe, posted (or sent: nccreate:PTR, ncdestroy) once `forge_after` is
              seen (a progress figure; None: as soon as the client started)
    forge_to  the window they go to: "strip" (the progress window) or "channel" (the IPC channel's
              message-only window, whose handle is in every block the client sends)
    instances how many clients run at once on the same folders
    rerun     an Ending for a second run of the same package after the first one
    needs     tools or features the row cannot run without ("reset", "tls", "forge_posts.exe",
              "hold_file.exe", "--flood", "--vanish-after")
    target    "game" (a folder in the client folder), "client" (setup mode: the program's
              folder), "none" (no -apppath: files would land at the drive's root)
    reports   "prefix:N": the host sees only the first N figures of the ending; "prefix": some of them
    game_id   the game id every report must carry
    program   the program of the build's bin folder that runs as RadeVare.exe (the matrix's own
              tests put other programs there to see the matrix fail them)
    """

    def __init__(self, name, files=(), ending=None, args="-openurl:{list} -apppath:{target}", list_xml=None,
                 list_fault=None, list_server_fault=None, list_url=None, config=None, registry=(), before=(),
                 host=(), forge=(), forge_after=None, instances=1, rerun=None, needs=(), target="game",
                 reports=None, game_id=None, host_timeout=HOST_TIMEOUT, program="RadeVare.exe", forge_to="strip"):
        self.name = name
        self.files = list(files)
        self.ending = ending if ending is not None else done()
        self.args = args
        self.list_xml = list_xml
        self.list_fault = list_fault
        self.list_server_fault = list_server_fault
        self.list_url = list_url
        self.config = config
        self.registry = list(registry)
        self.before = list(before)
        self.host = list(host)
        self.forge = list(forge)
        self.forge_after = forge_after
        if forge_to not in ("strip", "channel"):
            raise ValueError("forge_to: %r is neither strip nor channel" % (forge_to,))
        self.forge_to = forge_to
        self.instances = instances
        self.rerun = rerun
        self.needs = tuple(needs)
        self.target = target
        self.reports = reports
        self.game_id = game_id
        self.host_timeout = host_timeout
        self.program = program
        self.slug = slug_of(name)

    def is_slow(self):
        """Rows that wait for the watchdog or for a slow body: started first, so they overlap."""
        endings = [self.ending] + ([self.rerun] if self.rerun else [])
        endings += [option for e in list(endings) for option in e.options]
        if any(e.watchdog or e.kind == "killed" or (e.seconds or 0) > QUICK_SECONDS for e in endings):
            return True
        for f in self.files:
            rate = re.search(r"rate=(\d+)", f.fault or "")
            if (rate and f.size / int(rate.group(1)) > 5) or re.search(r"stall=|reset=|delay=", f.fault or ""):
                return True
        return False

    def noprocess(self):
        return any("-noprocess" in a for a in self.arg_templates())

    def arg_templates(self):
        return self.args.split() if isinstance(self.args, str) else list(self.args)

    def delayed(self):
        return any("-downtype" in a for a in self.arg_templates())

    def fetch_plan(self):
        """The files the client fetches, in the order it fetches them: not up to date, not for later, and
        an entry repeated with the same path and digest only once."""
        seen = set()
        plan = []
        for f in self.files:
            if f.installed == SAME or f.is_delay() or "FilePath" in f.omit:
                continue
            # The content, and so the digest, follows from the path and the size.
            key = (f.path, f.md5 if f.md5 is not None else f.size)
            if key in seen:
                continue
            seen.add(key)
            plan.append(f)
        return plan

    def plan_for(self, ending):
        """The files a run fetches: the whole plan, or those an ending names (a run after an interrupted one)."""
        plan = self.fetch_plan()
        return plan if ending.fetched in (None, True, False) else [f for f in plan if f.path in ending.fetched]

    def expected_progress(self, ending):
        plan = self.plan_for(ending)
        if ending.progress is not None:
            return ending.progress
        if ending.kind == "done":
            return [0] + percentages(len(plan)) + [100] if plan else [100]
        if ending.kind == "uptodate":
            return [100]
        if ending.kind == "listfail":
            return [-1]
        if ending.kind in ("filefail", "timeout", "closed"):
            if ending.at is None:
                return [-1]
            index = [f.path for f in plan].index(ending.at)
            before = [0] + percentages(len(plan))[:index]
            return before + ([-1, -1] if ending.kind == "filefail" else [-1])
        if ending.kind == "quiet":
            return []
        return None

    def describe(self, ending):
        if ending.kind == "oneof":
            return " | ".join(self.describe(option) for option in ending.options)
        progress = self.expected_progress(ending)
        figures = "" if progress is None else " " + figures_text(progress)
        if ending.kind == "killed":
            return "killed after %ss%s" % (ending.after, figures)
        if ending.kind == "defined":
            return "defined ending"
        words = {"done": "done", "uptodate": "up to date", "listfail": "list failed", "quiet": "no reports",
                 "filefail": "file failed", "timeout": "time-out", "closed": "closed"}[ending.kind]
        if ending.kind == "done" and progress == []:
            words = "done unreported"
        if ending.kind == "quiet" and self.delayed():
            words = "delayed %s" % ("fetched" if ending.fetched else "not fetched")
        if self.reports:
            figures = " %s of%s" % (self.reports, figures)
        return words + figures + (" box" if self.expects_box(ending) else "")

    def expects_box(self, ending):
        return ending.kind in ("listfail", "filefail", "timeout") and not self.noprocess()


def figures_text(figures):
    return "[" + ",".join(str(f) for f in figures) + "]"


class Row:
    """What one scenario came to: passed, failed (with every reason) or skipped (with one)."""

    def __init__(self, scenario):
        self.scenario = scenario
        self.expected = scenario.describe(scenario.ending)
        if scenario.rerun:
            self.expected += ", then " + scenario.describe(scenario.rerun)
        self.observed = ""
        self.failures = []
        self.skipped = None
        self.crash = False
        self.hang = False
        self.outside = []
        self.lost = []
        self.ending_ok = None  # every run of the row ended as expected (None: none has ended yet)
        self.seconds = 0.0

    @property
    def passed(self):
        return self.skipped is None and not self.failures

    def fail(self, text):
        self.failures.append(text)

    def verdict(self):
        if self.skipped is not None:
            return "SKIP"
        return "pass" if self.passed else "FAIL"


class Launch:
    """One test host run in the background: the host, its client, the log, and when each line arrived."""

    def __init__(self, exe, args, log, host_options, host_timeout, cwd):
        self.log = log
        self.err = log[:-4] + ".err"
        command = [WINE_EXEC, os.path.join(BIN, "test_host.exe"), "--log", wine_path(log), "--timeout",
                   str(host_timeout), "--close-box"] + list(host_options) + ["--", wine_path(exe)] + list(args)
        with open(self.err, "wb") as err:
            self.process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=err)
        self.started = time.monotonic()
        self.deadline = self.started + host_timeout + OUTER_MARGIN
        self.lines = []
        self.times = []
        self.outer_timeout = False
        self.ended = None

    def read(self):
        if not os.path.exists(self.log):
            return
        with open(self.log, "rb") as f:
            complete = f.read().decode("utf-8", "replace").split("\n")[:-1]
        now = time.monotonic() - self.started
        for line in complete[len(self.lines):]:
            self.lines.append(line)
            self.times.append(now)

    def poll(self):
        """Reads new lines; True once the host is gone (ended by our own timeout if need be)."""
        if self.ended is not None:
            return True
        self.read()
        if self.process.poll() is not None:
            self.read()
            self.ended = time.monotonic() - self.started
            return True
        if time.monotonic() > self.deadline:
            self.outer_timeout = True
            self.process.kill()
            self.process.wait()
            pid = self.client_pid()
            if pid is not None:
                # The client outlives its host: end it by its own id.
                subprocess.run([WINE_EXEC, "taskkill.exe", "/f", "/pid", str(pid)], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=60)
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
        lines = [line for line in self.lines if line]
        return HostRun(lines, self.process.returncode, self.ended or 0.0)

    def time_of(self, predicate):
        for line, at in zip(self.lines, self.times):
            if predicate(line.split("\t")):
                return at
        return None

    def host_errors(self):
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


def is_report(fields):
    return len(fields) >= 5 and fields[0] == "message" and fields[1] == "IPC_MainProcess_OnDownProcess"


def snapshot(folder, skip=None):
    """Every path under folder, with its kind, size and time; the subtree `skip` left out."""
    seen = {}
    if not os.path.isdir(folder):
        return seen
    for parent, dirs, files in os.walk(folder):
        if skip is not None:
            dirs[:] = [d for d in dirs if os.path.join(parent, d) != skip]
        for name in dirs + files:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            # A folder's own time changes with every file made in it: only its being there counts.
            is_dir = os.path.isdir(path)
            seen[os.path.relpath(path, folder)] = (True, 0, 0) if is_dir else (False, info.st_size, info.st_mtime_ns)
    return seen


def changes(before, after):
    return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))


def read_bytes(path):
    try:
        with open(as_wine_finds(path), "rb") as f:
            return f.read()
    except OSError:
        return None


def as_wine_finds(path):
    """The file Wine opens for path: a name missing in its letter case is found in another, as Windows finds it."""
    if os.path.exists(path):
        return path
    found = os.sep
    for part in path.split(os.sep):
        if not part:
            continue
        exact = os.path.join(found, part)
        if not os.path.exists(exact) and os.path.isdir(found):
            exact = next((os.path.join(found, n) for n in sorted(os.listdir(found)) if n.lower() == part.lower()),
                         exact)
        found = exact
    return found


def local_of(file_path):
    """The target-relative Linux path a FilePath names."""
    return "/".join(p for p in re.split(r"[\\/]", file_path) if p)


def tool_exe(name):
    return os.path.join(BIN, name)


def host_understands(option):
    """True when the built test host knows a command-line option (it is in its usage text)."""
    data = read_bytes(tool_exe("test_host.exe")) or b""
    return option.encode("utf-16-le") in data


def tls_supported():
    return ("tls" in inspect.signature(TestServer.__init__).parameters
            and os.path.exists(os.path.join(SOURCE, "tools", "tls", "make_test_certs.py"))
            and os.path.exists(tool_exe("trust_cert.exe")))


def reset_supported():
    return test_server.Faults().apply("reset=1")


def missing_need(need):
    """Why a row that needs `need` cannot run here, or None."""
    if need == "reset":
        return None if reset_supported() else "the test server has no reset=N fault yet"
    if need == "tls":
        return None if tls_supported() else "no HTTPS test server, tools/tls/make_test_certs.py or trust_cert.exe yet"
    if need.endswith(".exe"):
        return None if os.path.exists(tool_exe(need)) else "%s is not built" % need
    if need.startswith("--"):
        return None if host_understands(need) else "the test host has no %s option yet" % need
    return "unknown need %r" % need


class Matrix:
    """The servers and the prefix state that all rows share, and the running of rows. Rows run on a thread
    pool; each has its own folders, URL prefix, unique names and registry values."""

    def __init__(self, jobs=6):
        self.jobs = jobs
        self.server = None
        self.tls_servers = {}
        self.work = None
        self.tls_problem = None

    def start(self, scenarios):
        self.server = TestServer().start()
        # Beside the build, on the checkout's own file system: the read-only rows need one where root can
        # make a file immutable, which a memory file system for /tmp may not be.
        self.work = tempfile.mkdtemp(prefix="rv_matrix_", dir=os.path.dirname(os.path.abspath(BIN)))
        if any("tls" in s.needs for s in scenarios) and tls_supported():
            self.tls_problem = self.start_tls()

    def start_tls(self):
        certs = os.path.join(self.work, "certs")
        made = subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "tls", "make_test_certs.py"), certs],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        if made.returncode != 0:
            return "make_test_certs.py failed: %s" % made.stderr.decode("utf-8", "replace").strip()
        trusted = subprocess.run([WINE_EXEC, tool_exe("trust_cert.exe"), wine_path(os.path.join(certs, "ca.der"))],
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        if trusted.returncode != 0:
            return "trust_cert.exe failed with exit code %d" % trusted.returncode
        for kind in ("good", "untrusted", "expired", "wrongname"):
            pair = (os.path.join(certs, kind + ".pem"), os.path.join(certs, kind + ".key"))
            self.tls_servers[kind] = TestServer(tls=pair).start()
        return None

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
        with concurrent.futures.ThreadPoolExecutor(max_workers=self.jobs) as pool:
            futures = {pool.submit(self.run_row, s): s for s in order}
            for future in concurrent.futures.as_completed(futures):
                row = future.result()
                rows[row.scenario.name] = row
                if on_row is not None:
                    on_row(row)
        return [rows[s.name] for s in scenarios]

    def run_row(self, scenario):
        row = Row(scenario)
        for need in scenario.needs:
            reason = missing_need(need)
            if need == "tls" and reason is None and self.tls_problem:
                reason = self.tls_problem
            if reason is not None:
                row.skipped = reason
                return row
        started = time.monotonic()
        try:
            RowRun(self, scenario, row).run()
        except Exception as error:  # a broken row must not take the other rows with it
            row.fail("the runner failed: %s: %s" % (type(error).__name__, error))
        row.seconds = time.monotonic() - started
        return row


class RowRun:
    """One row's folders, package and run(s), and every check on them."""

    def __init__(self, matrix, scenario, row):
        self.matrix = matrix
        self.s = scenario
        self.row = row
        self.unique = "rv_matrix_%s_%s" % (scenario.slug[:40].replace("-", "_"), os.urandom(4).hex())
        self.prefix = "/fm/" + scenario.slug
        self.root = tempfile.mkdtemp(prefix="rv_fm_", dir=matrix.work)
        self.client = os.path.join(self.root, "client")
        os.makedirs(self.client)
        self.exe = os.path.join(self.client, "RadeVare.exe")
        # A copy per row: the build's program may be rebuilt while the matrix runs.
        shutil.copyfile(os.path.join(BIN, scenario.program), self.exe)
        # Something to be disturbed around the client folder and beside it.
        for path in (os.path.join(self.root, "sentinel.dat"), os.path.join(self.client, "sentinel.dat")):
            with open(path, "wb") as f:
                f.write(b"sentinel\n")
        if scenario.target == "client":
            self.target = self.client
        elif scenario.target == "none":
            self.target = None
        else:
            self.target = os.path.join(self.client, "game")
        self.contents = {}
        self.urls = {}
        self.keys = {}
        self.installed = {}
        self.helpers = []
        self.registry_made = []
        self.immutable = []

    # --- the package ------------------------------------------------------------------------------------------

    def values(self):
        values = {"u": self.unique, "base": self.matrix.server.base_url, "prefix": self.prefix, "refused": REFUSED,
                  "client": wine_path(self.client)}
        if self.target is not None:
            values["target"] = wine_path(self.target)
        return values

    def server_of(self, f):
        return self.matrix.tls_servers[f.tls] if f.tls else self.matrix.server

    def publish_files(self):
        values = self.values()
        for index, f in enumerate(self.s.files):
            path = fill(f.path, values)
            data = blob(f.size, "%s|%s|%d" % (self.s.name, path, f.size))
            self.contents[f] = data
            server = self.server_of(f)
            url_path = self.prefix + "/" + local_of(path) if local_of(path) else self.prefix + "/entry%d.dat" % index
            body = f.served if f.served is not None else data
            server.add_file(url_path, body)
            if f.server_fault:
                server.set_fault(url_path, **f.server_fault)
            requested = ("/x/" + f.fault + url_path) if f.fault else url_path
            if f.url is not None:
                url = fill(f.url, dict(values, name=local_of(path)))
                self.keys[f] = urllib.parse.unquote(urllib.parse.urlsplit(url).path)
            else:
                url = server.base_url + urllib.parse.quote(requested)
                self.keys[f] = requested
            self.urls[f] = url

    def entry_xml(self, f):
        def attr(value):
            return value.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")
        values = self.values()
        md5 = f.md5 if f.md5 is not None else hashlib.md5(self.contents[f]).hexdigest()
        pairs = [("FilePath", fill(f.path, values)), ("url", self.urls[f]), ("md5", md5), ("opt", f.opt),
                 ("CMD", f.cmd)]
        return "  <File %s/>\n" % " ".join('%s="%s"' % (k, attr(v)) for k, v in pairs if k not in f.omit)

    def publish_list(self):
        entries = "".join(self.entry_xml(f) for f in self.s.files)
        if self.s.list_xml is None:
            text = '<?xml version="1.0" encoding="UTF-8"?>\n<FileList>\n' + entries + "</FileList>\n"
        else:
            text = fill(self.s.list_xml, dict(self.values(), entries=entries))
        list_path = self.prefix + "/FileList.xml"
        self.matrix.server.add_file(list_path, text.encode("utf-8"))
        if self.s.list_server_fault:
            self.matrix.server.set_fault(list_path, **self.s.list_server_fault)
        self.list_key = ("/x/" + self.s.list_fault + list_path) if self.s.list_fault else list_path
        if self.s.list_url is not None:
            self.list_url = fill(self.s.list_url, self.values())
            self.list_key = urllib.parse.unquote(urllib.parse.urlsplit(self.list_url).path)
        else:
            self.list_url = self.matrix.server.base_url + self.list_key

    def prepare_target(self):
        if self.target is None:
            return
        values = self.values()
        for f in self.s.files:
            if f.installed is None:
                continue
            data = self.contents[f] if f.installed == SAME else (
                b"installed before the run: " + f.path.encode() if f.installed == OLD else f.installed)
            self.write_target(local_of(fill(f.path, values)), data)
        for action in self.s.before:
            kind, rel = action[0], action[1]
            path = os.path.join(self.target, *rel.split("/"))
            if kind == "folder":
                os.makedirs(path, exist_ok=True)
            elif kind == "file":
                self.write_target(rel, action[2])
            elif kind == "readonly":
                self.make_read_only(path)
            elif kind == "hold":
                self.hold(path)

    def make_read_only(self, path):
        """Read-only for Wine: no write permission, which Wine shows as the read-only attribute. Root writes
        to such a file all the same, so for root it is made immutable as well (undone in cleanup)."""
        os.chmod(path, 0o555 if os.path.isdir(path) else 0o444)
        if os.geteuid() == 0:
            made = subprocess.run(["chattr", "+i", path], stdin=subprocess.DEVNULL, capture_output=True)
            if made.returncode != 0:
                raise RuntimeError("chattr +i failed here (%s): this file system cannot make %s read-only for "
                                   "root" % (made.stderr.decode("utf-8", "replace").strip(), path))
            self.immutable.append(path)

    def write_target(self, rel, data):
        path = os.path.join(self.target, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        self.installed[rel] = data

    def hold(self, path):
        process = subprocess.Popen([WINE_EXEC, tool_exe("hold_file.exe"), wine_path(path), str(self.s.host_timeout)],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.helpers.append(process)
        line = process.stdout.readline().decode("utf-8", "replace")
        if "held" not in line:
            raise RuntimeError("hold_file.exe did not hold %s (it said %r)" % (path, line))

    def prepare_config(self):
        values = dict(self.values(), list=self.list_url)
        if self.s.config is not None:
            with open(os.path.join(self.client, "LumoConfig.xml"), "wb") as f:
                f.write(fill(self.s.config, values).encode("utf-8"))
        if self.s.config is not None:
            # The channel id goes to a value named by the row's own gKey.
            self.registry_made.append((CHANNELS_KEY, self.unique))
        for key, value, kind, data in self.s.registry:
            key, value = fill(key, values), fill(value, values)
            self.registry_made.append((key, value))
            if kind is not None:
                subprocess.run([WINE_EXEC, "reg.exe", "add", key, "/v", value, "/t", kind, "/d", fill(data, values),
                                "/f"], stdin=subprocess.DEVNULL, capture_output=True, timeout=60, check=True)

    def client_args(self):
        values = dict(self.values(), list=self.list_url)
        if self.s.files:
            first = self.s.files[0]
            values["file0"] = self.urls[first]
            values["rel"] = local_of(fill(first.path, values)).replace("/", "\\")
        return [fill(a, values) for a in self.s.arg_templates()]

    # --- running --------------------------------------------------------------------------------------------

    def run(self):
        try:
            self.publish_files()
            self.publish_list()
            self.prepare_target()
            self.prepare_config()
            self.check_strays_absent_before()
            self.run_steps()
        finally:
            self.cleanup()

    def launch(self, log_name, host_options, host_timeout):
        return Launch(self.exe, self.client_args(), os.path.join(self.client, log_name), host_options, host_timeout,
                      self.root)

    def my_requests(self):
        marker = self.prefix + "/"
        paths = []
        for server in [self.matrix.server] + list(self.matrix.tls_servers.values()):
            paths += [p for p in server.requested_paths() if marker in p + "/"]
        return paths

    def run_steps(self):
        outside_before = self.outside_snapshot()
        target_before = snapshot(self.target) if self.target else {}
        requests_before = len(self.my_requests())
        final = self.run_once(self.s.ending, "host", self.s.host, self.s.host_timeout, self.s.instances)
        if self.s.rerun is not None:
            requests_mid = len(self.my_requests())
            self.check_requests(final, self.my_requests()[requests_before:requests_mid])
            final = self.run_once(self.s.rerun, "host-rerun", self.s.host, self.s.host_timeout, 1)
            self.check_requests(final, self.my_requests()[requests_mid:])
        else:
            self.wait_for_background()
            self.check_requests(final, self.my_requests()[requests_before:])
        self.check_target(final, target_before)
        self.check_partials()
        self.check_outside(outside_before)

    def run_once(self, ending, log_name, host_options, host_timeout, instances):
        if ending.kind == "killed":
            host_timeout = ending.after
        names = [log_name + ".log"] if instances == 1 else ["%s-%d.log" % (log_name, i + 1) for i in range(instances)]
        launches = [self.launch(name, host_options, host_timeout) for name in names]
        forger = Forger(self, launches[0]) if self.s.forge else None
        wait_all(launches, forger.poll if forger else None)
        if forger is not None:
            forger.finish()
        resolved = ending
        for index, launch in enumerate(launches):
            resolved = self.resolve(ending, launch)
            self.check_ending(resolved, launch, "" if instances == 1 else "instance %d: " % (index + 1))
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

    # --- checks ---------------------------------------------------------------------------------------------

    def check_ending(self, ending, launch, who):
        """The ending of one run: how the client ended, what the host saw, how long it took."""
        as_expected = self.judge_ending(ending, launch, who)
        self.row.ending_ok = as_expected and self.row.ending_ok is not False

    def judge_ending(self, ending, launch, who):
        """Checks one run's ending; True when its figures and boxes were the ones expected."""
        row = self.row
        run = launch.run()
        progress = run.progress()
        boxes = run.boxes()
        exit_code = run.client_exit_code()
        observed = classify(run, launch.outer_timeout)
        row.observed = (row.observed + "; " if row.observed else "") + who + observed
        expected = self.s.expected_progress(ending)
        if self.s.reports and expected is not None:
            # "prefix": whatever the host could read of the figures, at least the first.
            count = int(self.s.reports.split(":")[1]) if ":" in self.s.reports else max(1, len(progress))
            expected = expected[:count]

        if launch.outer_timeout:
            row.hang = True
            row.fail(who + "the host did not end within %ds: ended by the matrix" % (launch.deadline - launch.started))
            return False
        if ending.kind == "killed":
            if not run.timed_out() or exit_code != HOST_ENDED_EXIT:
                row.fail(who + "the client ended before the host ended it after %ss (exit %s)"
                         % (ending.after, exit_code))
                return False
        elif run.timed_out() or exit_code == HOST_ENDED_EXIT:
            row.hang = True
            row.fail(who + "the client was still running after %ds: the host ended it" % self.s.host_timeout)
            return False
        elif exit_code is None:
            row.crash = True
            row.fail(who + "the host logged no exit: it ended or failed early (host exit %s, stderr %r)"
                     % (run.returncode, launch.host_errors()[-300:]))
            return False
        elif exit_code != 0:
            row.crash = True
            crashed = exit_code == WINE_CRASH_EXIT or exit_code >= 0xC0000000
            row.fail(who + "the client exited with %d (0x%X)%s"
                     % (exit_code, exit_code, ", a crash" if crashed else ""))
            return False
        # A host that floods or vanishes reads late or never: a report whose block the client has let
        # go by then is lost to it, by the host's doing. A malformed block is the client's, always.
        careless = "--flood" in self.s.host or "--vanish-after" in self.s.host
        bad_blocks = [e for e in run.events if e[0] == "malformed" or (e[0] == "lost" and not careless)]
        if bad_blocks:
            row.fail(who + "the host received a bad block: %s" % "\t".join(bad_blocks[0]))
        if "--vanish-after" in self.s.host and not any(e[0] == "vanished" for e in run.events):
            row.fail(who + "the host's window never vanished: the row tested nothing")
        flooded = [e for e in run.events if e[0] == "flooded" and len(e) >= 3]
        if flooded:
            row.observed += ", %s of %s flood messages in" % (flooded[0][2], flooded[0][1])
        if "--flood" in self.s.host and (not flooded or flooded[0][2] == "0"):
            row.fail(who + "the host never flooded the client: the row tested nothing")
        if "could not send" in launch.host_errors():
            row.fail(who + "the host could not send what the row sends: %s" % launch.host_errors().strip())

        as_expected = True
        if ending.kind == "defined":
            if progress and progress[-1] not in (100, -1):
                row.fail(who + "the run ended on figure %d, which no ending has" % progress[-1])
                as_expected = False
        elif ending.kind == "killed":
            if progress != expected:
                row.fail(who + "before it was ended the host saw %s, not %s"
                         % (figures_text(progress), figures_text(expected)))
                as_expected = False
        elif progress != expected:
            row.fail(who + "progress %s, expected %s" % (figures_text(progress), figures_text(expected)))
            as_expected = False

        if ending.kind != "defined" and ending.kind != "killed":
            wanted = 1 if self.s.expects_box(ending) else 0
            if len(boxes) != wanted:
                row.fail(who + "%d message box(es), expected %d: %s" % (len(boxes), wanted, boxes))
                as_expected = False
            elif boxes and boxes[0][0] != ERROR_CAPTION:
                row.fail(who + "the box is not the download error box: %s" % boxes)
        if self.s.game_id is not None:
            ids = set(run.game_ids())
            if ids != {self.s.game_id}:
                row.fail(who + "reports carried game ids %s, expected %d" % (sorted(ids), self.s.game_id))
        self.check_times(ending, launch, run, who)
        return as_expected

    def check_times(self, ending, launch, run, who):
        row = self.row
        end = launch.time_of(lambda e: e[0] == "exit")
        if end is None:
            return
        if ending.watchdog:
            failed_at = launch.time_of(lambda e: is_report(e) and e[4] == "-1")
            if failed_at is None:
                return  # the wrong ending says enough
            earlier = [t for line, t in zip(launch.lines, launch.times) if t < failed_at - 0.001]
            last_activity = earlier[-1] if earlier else 0.0
            if failed_at - last_activity < WATCHDOG_MIN_SECONDS:
                row.fail(who + "the time-out came %.1fs after the last activity, before the watchdog's %.0fs"
                         % (failed_at - last_activity, WATCHDOG_MIN_SECONDS))
            if end - last_activity > WATCHDOG_MAX_SECONDS:
                row.fail(who + "the run ended %.1fs after the last activity, later than the watchdog's %.0fs"
                         % (end - last_activity, WATCHDOG_MAX_SECONDS))
        if ending.quick and end > QUICK_SECONDS:
            row.fail(who + "took %.1fs: it waited instead of ending at once" % end)
        if ending.seconds is not None and end > ending.seconds:
            row.fail(who + "took %.1fs, at most %.0fs allowed" % (end, ending.seconds))
        if "--no-ack" in self.s.host:
            last_report = None
            for line, at in zip(launch.lines, launch.times):
                if is_report(line.split("\t")):
                    last_report = at
            if last_report is not None and end - last_report > 2.0:
                row.fail(who + "without acknowledgements the client ended %.1fs after its last report"
                         % (end - last_report))

    def check_requests(self, ending, requests):
        """What the server saw for this row: nothing beyond the list after a failed list, after a failed
        file at most the one transfer already in flight (the worker goes on while the window handles the
        failure, and that transfer is then stopped, never put in place), nothing for files up to date,
        every other file once."""
        row = self.row
        counts = {}
        for path in requests:
            counts[path] = counts.get(path, 0) + 1
        values = self.values()
        if ending.kind in ("defined", "killed"):
            return
        if self.s.delayed():
            first = self.s.files[0]
            if first.reaches_server() and not counts.get(self.keys[first]):
                row.fail("the delayed download never requested its file")
            return
        if ending.kind == "quiet":
            if requests:
                row.fail("nothing was to be fetched, yet the server saw %s" % sorted(counts)[:3])
            return
        # A refused command line (no target) fails before any request: only endings that read the list
        # need it fetched.
        needs_list = ending.kind in ("done", "uptodate", "filefail", "closed") or (ending.kind == "timeout" and ending.at)
        if needs_list and self.s.list_url is None and not counts.get(self.list_key):
            row.fail("the file list was never requested")
        if ending.kind == "listfail" or (ending.kind == "timeout" and ending.at is None):
            others = sorted(p for p in counts if p != self.list_key)
            if others:
                row.fail("after a failed list the client still requested %s" % others[:3])
            return
        plan = self.s.plan_for(ending)
        stop = [f.path for f in plan].index(ending.at) if ending.kind in ("filefail", "timeout", "closed") else None
        for index, f in enumerate(plan):
            seen = counts.get(self.keys[f], 0)
            name = fill(f.path, values)
            if stop is not None and index > stop + 1:
                if seen:
                    row.fail("%s was requested after %s had failed" % (name, ending.at))
            elif stop is not None and index == stop + 1:
                if seen > 1:
                    row.fail("%s was requested %d times after %s had failed" % (name, seen, ending.at))
            elif seen == 0 and f.reaches_server() and index != stop:
                # The failing file itself may fail on the disk before any request (a path too long).
                row.fail("%s was never requested" % name)
            elif seen > 1 and f.plain():
                row.fail("%s was requested %d times" % (name, seen))
        planned = {self.keys[f] for f in plan}
        for f in self.s.files:
            if self.keys[f] not in planned and not f.is_delay() and counts.get(self.keys[f]):
                row.fail("%s was not to be fetched, yet it was requested" % fill(f.path, values))

    def check_target(self, ending, target_before):
        """Fetched files hold their content, installed files that were not replaced are byte for byte what
        they were, and no partial download is left anywhere in the target."""
        if self.target is None:
            return
        row = self.row
        values = self.values()
        if ending.kind == "listfail" or (ending.kind == "timeout" and ending.at is None):
            changed = changes(target_before, snapshot(self.target))
            if changed:
                row.fail("the list failed but the target changed: %s" % changed[:3])
        plan = self.s.fetch_plan()
        replaced = set()
        either = ending.kind == "defined" and self.s.instances == 1  # old or new content, nothing else
        if ending.kind == "done" or (ending.kind == "defined" and self.s.instances > 1):
            replaced = set(plan)
        elif ending.kind in ("filefail", "timeout", "closed") and ending.at is not None:
            replaced = set(plan[: [f.path for f in plan].index(ending.at)])
        elif ending.kind == "quiet" and self.s.delayed() and ending.fetched:
            replaced = {self.s.files[0]}
        base = self.client if self.s.delayed() else self.target
        for f in replaced:
            rel = local_of(fill(f.path, values))
            if read_bytes(os.path.join(base, *rel.split("/"))) != self.contents[f]:
                row.fail("%s does not hold its content after the run" % fill(f.path, values))
        replaced_rels = {local_of(fill(f.path, values)) for f in replaced}
        for rel, data in self.installed.items():
            if rel in replaced_rels:
                continue
            now = read_bytes(os.path.join(self.target, *rel.split("/")))
            if now != data and not (either and now in [self.contents[f] for f in plan
                                                          if local_of(fill(f.path, values)) == rel]):
                row.lost.append(rel)
                row.fail("installed file %s was lost or changed" % rel)
        for f in plan:
            rel = local_of(fill(f.path, values))
            if f in replaced or rel in self.installed or not rel:
                continue
            now = read_bytes(os.path.join(base, *rel.split("/")))
            if now is not None and not (either and now == self.contents[f]):
                row.fail("%s is on disk although it was never verified" % rel)
        for action in self.s.before:
            if action[0] == "folder" and not os.path.isdir(os.path.join(self.target, *action[1].split("/"))):
                row.fail("the folder %s is gone" % action[1])

    def check_partials(self):
        """No partial download (the worker's <file>.rvpart) outlives a run, whatever its ending: not the
        list's beside the program, not a file's in the target."""
        folders = [self.client] + ([self.target] if self.target and not self.target.startswith(self.client) else [])
        # A file of the package may have a partial file's name.
        listed = {os.path.normcase(as_wine_finds(os.path.join(self.target, *local_of(fill(f.path, self.values()))
                                                              .split("/"))))
                  for f in self.s.files if self.target}
        for folder in folders:
            for parent, _, names in os.walk(folder):
                for name in names:
                    if name.lower().endswith(".rvpart") and os.path.join(parent, name) not in listed:
                        self.row.fail("a partial download is left: %s"
                                      % os.path.relpath(os.path.join(parent, name), self.root))

    # --- writes outside the target ---------------------------------------------------------------------------

    def allowed_outside(self, rel):
        """Paths under the row's root that the client may write outside the target."""
        parts = rel.split(os.sep)
        if parts[0] != "client" or len(parts) < 2:
            return False
        # A partial download left is counted apart (check_partials), as what it was to become.
        name = re.sub(r"(\.\d+)?\.rvpart$", "", "/".join(parts[1:]))
        if name == "FileList.xml" or re.fullmatch(r"host[-\w]*\.(log|err)", name):
            return True
        delayed = [local_of(fill(f.path, self.values())) for f in self.s.files if f.is_delay()]
        if self.s.delayed() and self.s.files:
            delayed.append(local_of(fill(self.s.files[0].path, self.values())))
        return any(name == d or d.startswith(name + "/") for d in delayed)

    def outside_snapshot(self):
        return snapshot(self.root, skip=self.target if self.target != self.client else None) \
            if self.s.target != "client" else snapshot(self.root, skip=self.client)

    def stray_places(self):
        prefix = os.environ.get("WINEPREFIX", "")
        places = ["/", os.path.join(prefix, "drive_c")]
        users = os.path.join(prefix, "drive_c", "users")
        if os.path.isdir(users):
            for user in os.listdir(users):
                places.append(os.path.join(users, user, "AppData", "Roaming"))
        return places

    def strays(self):
        found = []
        for place in self.stray_places():
            try:
                names = os.listdir(place)
            except OSError:
                continue
            found += [os.path.join(place, n) for n in names if self.unique in n]
        return found

    def check_strays_absent_before(self):
        self.strays_before = set(self.strays())

    def check_outside(self, before):
        row = self.row
        after = self.outside_snapshot()
        for rel in changes(before, after):
            if not self.allowed_outside(rel):
                row.outside.append(rel)
                row.fail("written outside the target: %s" % rel)
        for path in self.strays():
            if path in self.strays_before:
                continue
            row.outside.append(path)
            row.fail("written outside the target: %s" % path)
            # Made by this run (the name is the row's own): taken away again.
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.remove(path)

    def wait_for_background(self):
        """A list with entries for later starts background instances; they must end by themselves."""
        if not any(f.is_delay() for f in self.s.files):
            return
        deadline = time.monotonic() + WATCHDOG_MAX_SECONDS + 6
        while time.monotonic() < deadline:
            if not client_processes(self.client):
                return
            time.sleep(0.2)
        self.row.hang = True
        self.row.fail("a background instance was still running %.0fs after the run" % (WATCHDOG_MAX_SECONDS + 6))
        for pid in client_processes(self.client):
            os.kill(pid, 9)

    def cleanup(self):
        for path in self.immutable:
            subprocess.run(["chattr", "-i", path], stdin=subprocess.DEVNULL, capture_output=True)
        for process in self.helpers:
            if process.poll() is None:
                process.kill()
            process.wait()
        for key, value in self.registry_made:
            subprocess.run([WINE_EXEC, "reg.exe", "delete", key, "/v", value, "/f"], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60)
        for parent, dirs, files in os.walk(self.root):
            for name in dirs + files:
                os.chmod(os.path.join(parent, name), 0o755)
        shutil.rmtree(self.root, ignore_errors=True)


def client_processes(folder):
    """Unix ids of Wine processes started from a program in folder (their command line names it)."""
    needle = wine_path(folder).lower().encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        data = read_bytes("/proc/%s/cmdline" % entry) or b""
        if needle in data.lower().replace(b"/", b"\\") or folder.encode() in data:
            found.append(int(entry))
    return found


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
        command = ([WINE_EXEC, tool_exe("forge_posts.exe"), "--pid", str(pid), "--wait", "5"] + target
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


def classify(run, outer_timeout):
    """A short name for what the host saw."""
    progress = run.progress()
    boxes = len(run.boxes())
    exit_code = run.client_exit_code()
    if outer_timeout:
        return "hang (ended by the matrix)"
    if run.timed_out():
        return "ended by the host %s" % figures_text(progress)
    if exit_code is None:
        return "no exit logged"
    if exit_code != 0:
        return "crash (exit %d) %s" % (exit_code, figures_text(progress))
    if progress == [100]:
        words = "up to date"
    elif progress == [-1]:
        words = "list failed"
    elif progress[-2:] == [-1, -1]:
        words = "file failed"
    elif progress[-1:] == [-1]:
        # Without a box: the strip was closed, or a time-out ran without the ui.
        words = "time-out" if boxes else "closed or time-out"
    elif progress[-2:] == [100, 100]:
        words = "done"
    elif not progress:
        words = "no reports"
    else:
        words = "ended"
    return "%s %s%s" % (words, figures_text(progress), " box" * boxes)


def totals(rows):
    ran = [r for r in rows if r.skipped is None]
    return {
        "scenarios": len(rows),
        "ran": len(ran),
        "skipped": len(rows) - len(ran),
        "passed": sum(1 for r in ran if r.passed),
        "failed": sum(1 for r in ran if not r.passed),
        "endings as expected": sum(1 for r in ran if r.ending_ok),
        "crashes": sum(1 for r in ran if r.crash),
        "hangs past the watchdog": sum(1 for r in ran if r.hang),
        "files written outside the target": sum(len(r.outside) for r in ran),
        "installed files lost": sum(len(r.lost) for r in ran),
    }


def table(rows, out=sys.stdout, arch=None):
    width = max([len(r.scenario.name) for r in rows] + [8])
    exp_width = min(max([len(r.expected) for r in rows] + [8]), 48)
    out.write("%-*s  %-*s  %-6s %s\n" % (width, "scenario", exp_width, "expected", "result", "observed"))
    for r in rows:
        observed = r.observed if r.skipped is None else "skipped: " + r.skipped
        out.write("%-*s  %-*s  %-6s %s\n" % (width, r.scenario.name, exp_width, r.expected, r.verdict(), observed))
    failing = [r for r in rows if r.failures]
    if failing:
        out.write("\nwhy rows failed:\n")
        for r in failing:
            for reason in r.failures:
                out.write("  %s: %s\n" % (r.scenario.name, reason))
    t = totals(rows)
    out.write("\n%s%d scenarios (%d ran, %d skipped): %d passed, %d failed; %d endings as expected; %d crashes, "
              "%d hangs past the watchdog, %d files written outside the target, %d installed files lost\n"
              % ("%s: " % arch if arch else "", t["scenarios"], t["ran"], t["skipped"], t["passed"], t["failed"],
                 t["endings as expected"], t["crashes"], t["hangs past the watchdog"],
                 t["files written outside the target"], t["installed files lost"]))
    out.flush()


def select(scenarios, filters):
    if not filters:
        return list(scenarios)
    return [s for s in scenarios if any(f in s.name for f in filters)]


def check_unique(scenarios):
    slugs = {}
    for s in scenarios:
        if s.slug in slugs:
            raise ValueError("two rows share the name %r and %r" % (slugs[s.slug], s.name))
        slugs[s.slug] = s.name


def run_scenarios(scenarios, jobs=6, on_row=None):
    check_unique(scenarios)
    matrix = Matrix(jobs)
    try:
        matrix.start(scenarios)
        return matrix.run(scenarios, on_row)
    finally:
        matrix.stop()


def main(argv):
    import scenarios as table_of_rows
    parser = argparse.ArgumentParser(description="RadeVare's fault matrix")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("RADEVARE_FAULT_JOBS", "6")))
    parser.add_argument("filters", nargs="*")
    args = parser.parse_args(argv)
    chosen = select(table_of_rows.SCENARIOS, args.filters)
    if not chosen:
        print("faults: no scenario matches %s" % " ".join(args.filters), file=sys.stderr)
        return 1
    started = time.monotonic()
    lock = threading.Lock()

    def progress(row):
        with lock:
            sys.stderr.write("faults: %-4s %s (%.1fs)\n" % (row.verdict(), row.scenario.name, row.seconds))

    rows = run_scenarios(chosen, args.jobs, progress)
    arch = os.environ.get("RADEVARE_ARCH")
    print("fault matrix on %s, %d rows in %.0fs, %d at once" % (arch or "?", len(rows), time.monotonic() - started,
                                                               args.jobs))
    table(rows, arch=arch)
    return 0 if all(r.passed for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
