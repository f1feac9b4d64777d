#!/usr/bin/env python3
"""RadeVare's benchmarks: the real RadeVare.exe under Wine against a peer measured in the same run on the same
data, one table over every architecture run.

usage: bench.py [--runs N] [--warmup N] [--work DIR] [--tiny] [--timeout S] [--wrong-digest] [--table FILE]
                [NAME_FILTER...]
The environment comes from scripts/wine-session (WINEPREFIX, DISPLAY, a persistent wineserver, RADEVARE_ARCH)
and RADEVARE_BIN / RADEVARE_SOURCE; scripts/bench sets all of it up, once per architecture, and prints the
table that the runs appended to --table.

Every figure is the median of --runs runs after --warmup runs, with its min and max. Every run of RadeVare is
checked (exit code, the files it left, what it asked the server for); a run that failed makes its row an
ERROR, never a figure, and the exit code 1. --tiny makes a few small files instead of the real data (for the
smoke test); --wrong-digest lists one file of every download row with a wrong digest (the smoke test's
failing run).
"""
import argparse
import ctypes
import hashlib
import json
import os
import re
import select
import shutil
import statistics
import struct
import subprocess
import sys
import threading
import time
import urllib.request
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("RADEVARE_SOURCE") or os.path.dirname(os.path.dirname(HERE))
BIN = os.environ.get("RADEVARE_BIN") or os.path.join(SOURCE, "build", "bin")
SERVER_SCRIPT = os.path.join(SOURCE, "tools", "http_server", "test_server.py")
WINE = os.environ.get("WINELOADER") or \
    ("/usr/lib/wine/wine" if os.environ.get("RADEVARE_ARCH") == "i686" else "/usr/lib/wine/wine64")
MARKER = ".radevare-bench"
MB = 1e6  # throughput in 10^6 bytes a second, as md5_bench prints it
KB = 1024

# The goals each row is judged by: (text for the table, test on the row's RadeVare figure and peer figure).
GOALS = {
    "throughput": ("≥ 1.00 × peer", lambda rv, peer: rv >= peer),
    "time": ("≤ 1.00 × peer", lambda rv, peer: rv <= peer),
    "large": ("≤ 1.05 × floor", lambda rv, peer: rv <= 1.05 * peer),
    "small": ("≤ 1.10 × floor", lambda rv, peer: rv <= 1.10 * peer),
    "ending": ("< 100 ms", lambda rv, peer: rv < 100.0),
    # Judged against the same figure of the run with smaller files (Row.flat_against).
    "flat": ("≤ 1.10 × the smaller files' figure", None),
    "none": ("none", None),
}


def real_sizes():
    return {
        "digest": 512 * 1000 * 1000,  # benchmarks 1 and 8: one file
        "uptodate": (2000, 512 * KB),  # benchmark 2
        "large": (4, 128 * 1024 * 1024),  # benchmarks 3 and 7
        "mid": (4, 16 * 1024 * 1024),  # benchmark 7, the smaller size
        "small": (5000, 8 * KB),  # benchmarks 4 (the first 2000) and 5 (the first 100, 1000, 5000)
        "small_counts": (100, 1000, 5000),
        "small_row": 2000,
        "ending": (8, 1024 * KB),  # benchmark 6, flat in the target
    }


def tiny_sizes():
    return {
        "digest": 3 * 1000 * 1000,
        "uptodate": (12, 16 * KB),
        "large": (2, 1024 * KB),
        "mid": (2, 256 * KB),
        "small": (12, 8 * KB),
        "small_counts": (4, 12),
        "small_row": 8,
        "ending": (3, 64 * KB),
    }


def log(text):
    print("bench: " + text, flush=True)


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def warm(paths):
    """Reads the files through right before a timed run: this kind of machine pages out cold page-cache
    pages within seconds (proactive reclaim), and a figure from the disk is no figure from the cache."""
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.read(4 * 1024 * 1024):
                pass


def md5_file(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(4 * 1024 * 1024)
            if not chunk:
                break
            digest.update(chunk)
    return digest.hexdigest()


class RunFailed(Exception):
    """A run that did not do what it should: its row becomes an ERROR."""


class Samples:
    """The measured runs of one side of a row."""

    def __init__(self, values=None, error=None):
        self.values = list(values or [])
        self.error = error

    @property
    def median(self):
        return statistics.median(self.values)

    def text(self, fmt):
        if self.error:
            return "ERROR: " + self.error
        if not self.values:
            return "-"
        return "%s [%s–%s]" % (fmt % self.median, fmt % min(self.values), fmt % max(self.values))


class Row:
    def __init__(self, name, unit, peer_name, goal, fmt="%.1f", note=""):
        self.name = name
        self.unit = unit
        self.peer_name = peer_name
        self.goal = goal
        self.fmt = fmt
        self.note = note
        self.rv = Samples()
        self.peer = Samples()
        self.context = []  # (name, Samples)
        self.flat_against = None  # goal "flat": the Samples of the same figure with smaller files

    def failed(self):
        return bool(self.rv.error or self.peer.error or any(s.error for _, s in self.context))

    def cells(self, arch):
        goal_text, test = GOALS[self.goal]
        ratio, met = "-", "-"
        if not self.rv.error and self.rv.values and not self.peer.error and self.peer.values:
            if self.peer.median > 0:
                ratio = "%.2f" % (self.rv.median / self.peer.median)
            if test is not None:
                met = "yes" if test(self.rv.median, self.peer.median) else "NO"
        elif self.goal == "ending" and self.rv.values and not self.rv.error:
            met = "yes" if GOALS["ending"][1](self.rv.median, 0) else "NO"
        if self.goal == "flat" and self.rv.values and not self.rv.error and self.flat_against is not None \
                and self.flat_against.values and not self.flat_against.error:
            met = "yes" if self.rv.median <= 1.10 * self.flat_against.median else "NO"
        if self.failed():
            met = "ERROR"
        context = "; ".join("%s %s" % (name, s.text(self.fmt)) for name, s in self.context) or "-"
        peer = "%s: %s" % (self.peer_name, self.peer.text(self.fmt)) if self.peer_name else "-"
        return [self.name, arch, self.unit, self.rv.text(self.fmt), peer, ratio, goal_text, met, context]


# ---------------------------------------------------------------- work folder and data


class Work:
    """The bench's work folder: its marker, its data (kept while valid), its targets (cleared per run)."""

    def __init__(self, folder, sizes):
        self.folder = os.path.abspath(folder)
        self.sizes = sizes
        if os.path.exists(self.folder):
            if not os.path.isfile(os.path.join(self.folder, MARKER)):
                if os.listdir(self.folder):
                    raise SystemExit("bench: %s is not empty and has no %s marker: not ours, leaving it" %
                                     (self.folder, MARKER))
        os.makedirs(self.folder, exist_ok=True)
        with open(os.path.join(self.folder, MARKER), "w") as f:
            f.write("made by scripts/bench; everything in here can go\n")
        self.srv = os.path.join(self.folder, "srv")
        self.targets = os.path.join(self.folder, "targets")
        self.manifest_path = os.path.join(self.folder, "manifest.json")
        os.makedirs(self.srv, exist_ok=True)
        os.makedirs(self.targets, exist_ok=True)
        try:
            with open(self.manifest_path) as f:
                self.manifest = json.load(f)
        except (OSError, ValueError):
            self.manifest = {}

    def target(self, name):
        """An empty target folder of the bench's own, inside its marked work folder."""
        path = os.path.join(self.targets, name)
        clear_folder(path, self.folder)
        os.makedirs(path)
        return path

    def ensure(self, group, relpaths, size):
        """Makes the random files of a group that are missing or not as recorded; returns {relpath: md5}.
        Every file is read through once (its digest checked), which also puts it in the page cache."""
        made = 0
        result = {}
        for rel in relpaths:
            full = os.path.join(self.srv, rel)
            entry = self.manifest.get(rel)
            ok = entry is not None and entry["size"] == size and os.path.isfile(full) and \
                os.path.getsize(full) == size
            if ok and md5_file(full) != entry["md5"]:
                ok = False
            if not ok:
                os.makedirs(os.path.dirname(full), exist_ok=True)
                digest = hashlib.md5()
                with open(full, "wb") as f:
                    left = size
                    while left:
                        chunk = os.urandom(min(left, 8 * 1024 * 1024))
                        digest.update(chunk)
                        f.write(chunk)
                        left -= len(chunk)
                self.manifest[rel] = {"size": size, "md5": digest.hexdigest()}
                md5_file(full)  # through the page cache once more: what was written is what is read
                made += 1
            result[rel] = self.manifest[rel]["md5"]
        if made:
            log("%s: made %d of %d files" % (group, made, len(relpaths)))
            with open(self.manifest_path + ".new", "w") as f:
                json.dump(self.manifest, f)
            os.replace(self.manifest_path + ".new", self.manifest_path)
        return result


def clear_folder(path, work_folder):
    """Removes a folder the bench made: only inside a work folder that carries the bench's marker."""
    if not os.path.isfile(os.path.join(work_folder, MARKER)):
        raise RuntimeError("refusing to clear %s: %s has no %s marker" % (path, work_folder, MARKER))
    if os.path.commonpath([os.path.abspath(path), work_folder]) != work_folder or \
            os.path.abspath(path) == work_folder:
        raise RuntimeError("refusing to clear %s: outside the work folder" % path)
    if os.path.lexists(path):
        shutil.rmtree(path)


def nested(prefix, count, per_folder):
    """count file names in a few nested folders: prefix/dA/eB/fNNNN.bin."""
    names = []
    for n in range(count):
        folder = n // per_folder
        names.append("%s/d%d/e%d/f%05d.bin" % (prefix, folder % 4, folder // 4, n))
    return names


# ---------------------------------------------------------------- Wine prefix


class Prefix:
    def __init__(self):
        self.path = os.environ["WINEPREFIX"]
        if not os.path.isfile(os.path.join(self.path, ".radevare-prefix")):
            raise SystemExit("bench: %s is not a prefix this project made" % self.path)

    def cache_folders(self):
        """Wine 8 keeps wininet's cache (the URL monikers' too) per user in INetCache, its index in
        Content.IE5/index.dat; older prefixes call it Temporary Internet Files."""
        users = os.path.join(self.path, "drive_c", "users")
        found = []
        for user in os.listdir(users) if os.path.isdir(users) else []:
            for sub in ("AppData/Local/Microsoft/Windows/INetCache",
                        "AppData/Local/Microsoft/Windows/Temporary Internet Files",
                        "Local Settings/Temporary Internet Files"):
                folder = os.path.join(users, user, sub)
                if os.path.isdir(folder) and not os.path.islink(folder):
                    found.append(folder)
        return found

    def clear_cache(self):
        """Empties the internet cache, index included, so that no run is served from an earlier one. Only
        in this project's prefix (checked above); the folders themselves stay."""
        for folder in self.cache_folders():
            for name in os.listdir(folder):
                full = os.path.join(folder, name)
                if os.path.isdir(full) and not os.path.islink(full):
                    shutil.rmtree(full)
                else:
                    os.remove(full)

    def cached_entries(self):
        count = 0
        for folder in self.cache_folders():
            for _, _, files in os.walk(folder):
                count += len([f for f in files if f != "index.dat"])
        return count

    def ensure_unmanaged(self):
        """Managed=N in HKCU\\Software\\Wine\\X11 Driver: unmanaged windows hide in 5 ms instead of 2 s."""
        key = "HKCU\\Software\\Wine\\X11 Driver"
        out = subprocess.run([WINE, "reg.exe", "query", key, "/v", "Managed"], capture_output=True,
                             stdin=subprocess.DEVNULL, timeout=60).stdout.decode("utf-8", "replace")
        if re.search(r"Managed\s+REG_SZ\s+N\b", out):
            return "already set"
        subprocess.run([WINE, "reg.exe", "add", key, "/v", "Managed", "/t", "REG_SZ", "/d", "N", "/f"],
                       capture_output=True, stdin=subprocess.DEVNULL, timeout=60, check=True)
        return "set now"


# ---------------------------------------------------------------- server in its own process


class Server:
    """tools/http_server/test_server.py in a process of its own, serving the work folder's srv/ on 127.0.0.1."""

    def __init__(self, root, logfile):
        self.log = open(logfile, "w")
        self.process = subprocess.Popen([sys.executable, SERVER_SCRIPT, "--root", root], stdout=subprocess.PIPE,
                                        stderr=self.log, stdin=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        match = re.search(r"on (http://127\.0\.0\.1:\d+)", line)
        if not match:
            self.stop()
            raise SystemExit("bench: the test server did not start: %r" % line)
        self.base_url = match.group(1)

    def text(self, path):
        with urllib.request.urlopen(self.base_url + path, timeout=30) as answer:
            return answer.read().decode("utf-8")

    def paths(self):
        return [p for p in self.text("/_paths").split("\n") if p]

    def disk_bodies(self):
        return int(self.text("/_disk"))

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
    """What the server was asked for during one run: the paths after the mark."""

    def __init__(self, server):
        self.server = server
        self.start = len(server.paths())

    def taken(self):
        return self.server.paths()[self.start:]


# ---------------------------------------------------------------- running Wine programs


class Runner:
    def __init__(self, work, prefix, timeout):
        self.work = work
        self.prefix = prefix
        self.timeout = timeout
        self.scratch = os.path.join(work.folder, "scratch")
        clear_folder(self.scratch, work.folder)
        os.makedirs(self.scratch)

    def exe(self, name):
        path = os.path.join(BIN, name)
        if not os.path.isfile(path):
            raise SystemExit("bench: %s is missing: run scripts/build first" % path)
        return path

    def wine(self, args, out_name="out.txt", before=None, watch_memory=None):
        """Runs a Windows program under Wine from a cleared internet cache; (exit code, seconds start to exit,
        its standard output). A tag in the environment marks every Wine process of this run, so that a run
        past its time can end exactly the processes it started (Wine hands children to init)."""
        self.prefix.clear_cache()
        tag = uuid.uuid4().hex
        env = dict(os.environ, RADEVARE_BENCH_RUN=tag)
        out_path = os.path.join(self.scratch, out_name)
        # Output goes to a file, never a pipe: Wine's services may outlive the program and hold a pipe open.
        with open(out_path, "wb") as out:
            if before is not None:
                before()
            started = time.perf_counter()
            process = subprocess.Popen([WINE] + args, stdout=out, stderr=subprocess.DEVNULL,
                                       stdin=subprocess.DEVNULL, env=env)
            poller = None
            if watch_memory is not None:
                # The Wine loader becomes the Windows process itself: same pid, its memory in /proc.
                poller = MemoryPoller(process.pid, watch_memory)
            try:
                code = process.wait(self.timeout)
            except subprocess.TimeoutExpired:
                end_tagged(tag)
                process.wait()
                raise RunFailed("%s still running after %d s, ended" % (os.path.basename(args[0]), self.timeout))
            finally:
                if poller is not None:
                    poller.stop()
            elapsed = time.perf_counter() - started
        with open(out_path, "rb") as f:
            text = f.read().decode("utf-8", "replace").replace("\r", "")
        return code, elapsed, text

    def timed(self, argv):
        started = time.perf_counter()
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=self.timeout)
        elapsed = time.perf_counter() - started
        if result.returncode != 0:
            raise RunFailed("%s exited %d: %s" % (argv[0], result.returncode,
                                                  result.stderr.decode("utf-8", "replace").strip()[:200]))
        return elapsed, result.stdout.decode("utf-8", "replace")


class MemoryPoller:
    """Polls /proc/PID/status every 10 ms while the process lives: the last VmHWM seen (the kernel's own peak
    of resident memory) and the largest RssAnon (resident anonymous memory: what is the process's own, not
    mapped files) into the dict given."""

    def __init__(self, pid, into):
        self.pid = pid
        self.into = into
        into.update(hwm=0, anon=0, polls=0)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._poll, daemon=True)
        self.thread.start()

    def _poll(self):
        while not self.stopping.is_set():
            try:
                with open("/proc/%d/status" % self.pid) as f:
                    text = f.read()
            except OSError:
                return
            fields = dict(re.findall(r"^(VmHWM|RssAnon):\s+(\d+) kB", text, re.M))
            if "VmHWM" in fields:  # a zombie has no memory lines any more
                self.into["hwm"] = max(self.into["hwm"], int(fields["VmHWM"]) * 1024)
                self.into["anon"] = max(self.into["anon"], int(fields.get("RssAnon", 0)) * 1024)
                self.into["polls"] += 1
            self.stopping.wait(0.01)

    def stop(self):
        self.stopping.set()
        self.thread.join()


def end_tagged(tag):
    """Ends, by process id, every process whose environment carries this run's tag."""
    needle = ("RADEVARE_BENCH_RUN=" + tag).encode()
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if needle in f.read().split(b"\0"):
                    os.kill(int(pid), 9)
        except OSError:
            pass


def measure(row_side_pairs, runs, warmup):
    """Runs each (Samples, callable) in turn, warm-up first, interleaved so that drift falls on every side
    alike. A callable returns its figure or raises RunFailed; a side that failed once is an error."""
    for iteration in range(warmup + runs):
        for samples, run in row_side_pairs:
            if samples.error:
                continue
            try:
                value = run()
            except RunFailed as e:
                samples.error = str(e)
                continue
            except subprocess.TimeoutExpired as e:
                samples.error = "%s still running after %d s" % (os.path.basename(str(e.cmd[0])), e.timeout)
                continue
            except (subprocess.SubprocessError, OSError) as e:
                samples.error = str(e)[:200]
                continue
            if iteration >= warmup:
                samples.values.append(value)


# ---------------------------------------------------------------- packages


class Package:
    """Files of srv/ as a FileList.xml lists them, and where they go in a target."""

    def __init__(self, name, files, base_url, srv, wrong_digest=False):
        self.name = name
        self.files = files  # [(relpath under srv, md5)]
        self.base_url = base_url
        self.srv = srv
        self.list_path = "/lists/%s.xml" % name
        self.common = os.path.commonpath([os.path.dirname(rel) for rel, _ in files]) if len(files) > 1 \
            else os.path.dirname(files[0][0])
        lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<FileList>"]
        for n, (rel, md5) in enumerate(files):
            if wrong_digest and n == len(files) - 1:
                md5 = "0" * 32
            lines.append('  <File FilePath="\\%s" url="%s/%s" md5="%s" opt=""/>' %
                         (self.local(rel).replace("/", "\\"), base_url, rel, md5))
        lines.append("</FileList>")
        full = os.path.join(srv, self.list_path.lstrip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full + ".new", "w") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(full + ".new", full)
        self.list_url = base_url + self.list_path

    def local(self, rel):
        """The file's path inside a target."""
        return os.path.relpath(rel, self.common)

    def expected_requests(self):
        return sorted([self.list_path] + ["/" + rel for rel, _ in self.files])

    def check_target(self, target):
        """Every file present with its digest, nothing else left (no partial file)."""
        want = {self.local(rel): md5 for rel, md5 in self.files}
        found = set()
        for folder, _, names in os.walk(target):
            for name in names:
                found.add(os.path.relpath(os.path.join(folder, name), target))
        extra = sorted(found - set(want))
        missing = sorted(set(want) - found)
        if missing:
            raise RunFailed("%d files missing, first %s" % (len(missing), missing[0]))
        if extra:
            raise RunFailed("files left that the list does not name: %s" % extra[:3])
        for local, md5 in want.items():
            if md5_file(os.path.join(target, local)) != md5:
                raise RunFailed("%s has the wrong digest" % local)

    def floor_jobs(self, path, target, list_target):
        with open(path, "w", encoding="utf-8") as f:
            f.write("%s\t%s\n" % (self.list_url, wine_path(list_target)))
            for rel, _ in self.files:
                f.write("%s/%s\t%s\n" % (self.base_url, rel, wine_path(os.path.join(target, self.local(rel)))))

    def curl_config(self, path, target):
        with open(path, "w") as f:
            f.write('url = "%s"\noutput = "%s"\n' % (self.list_url, os.path.join(target, "..", "curl-list.xml")))
            for rel, _ in self.files:
                f.write('url = "%s/%s"\noutput = "%s"\n' % (self.base_url, rel, os.path.join(target, self.local(rel))))

    def sums(self, path):
        with open(path, "w") as f:
            for rel, md5 in self.files:
                f.write("%s  %s\n" % (md5, self.local(rel)))


def snapshot(folder):
    state = {}
    for root, _, names in os.walk(folder):
        for name in names:
            st = os.stat(os.path.join(root, name))
            state[os.path.join(root, name)] = (st.st_size, st.st_mtime_ns, st.st_ino)
    return state


# ---------------------------------------------------------------- inotify, for the ending latencies

IN_CLOSE_NOWRITE = 0x10
IN_MOVED_TO = 0x80


class Watch:
    """inotify on one folder, read on a thread of its own; every event with the perf_counter time it was read."""

    def __init__(self, folder, mask):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, os.fsencode(folder), mask) < 0:
            raise RunFailed("inotify: errno %d" % ctypes.get_errno())
        self.events = []  # (time, mask, name)
        self.stopping = False
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        poller = select.poll()
        poller.register(self.fd, select.POLLIN)
        while not self.stopping:
            if not poller.poll(20):
                continue
            at = time.perf_counter()
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            offset = 0
            while offset < len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16: offset + 16 + length].rstrip(b"\0").decode("utf-8", "replace")
                self.events.append((at, mask, name))
                offset += 16 + length

    def close(self):
        self.stopping = True
        self.thread.join()
        os.close(self.fd)

    def last(self, mask, name):
        times = [t for t, m, n in self.events if m & mask and n == name]
        return times[-1] if times else None


# ---------------------------------------------------------------- the benchmarks


class Bench:
    def __init__(self, args, arch):
        self.args = args
        self.arch = arch
        self.sizes = tiny_sizes() if args.tiny else real_sizes()
        self.work = Work(args.work, self.sizes)
        self.prefix = Prefix()
        self.runner = Runner(self.work, self.prefix, args.timeout)
        self.rows = []
        self.notes = []

    def wanted(self, group):
        return not self.args.filters or any(f in group for f in self.args.filters)

    def package(self, name, files):
        return Package(name, files, self.server.base_url, self.work.srv, wrong_digest=self.args.wrong_digest)

    def run_all(self):
        log("%s: Managed=N %s in %s" % (self.arch, self.prefix.ensure_unmanaged(), self.prefix.path))
        self.server = Server(self.work.srv, os.path.join(self.work.folder, "server.log"))
        try:
            for group, method in (("digest", self.digest), ("uptodate", self.uptodate), ("large", self.large),
                                  ("small", self.small), ("growth", self.growth), ("ending", self.ending),
                                  ("memory", self.memory), ("mainthread", self.mainthread)):
                if self.wanted(group):
                    started = time.monotonic()
                    method()
                    log("%s: %s done in %.0f s" % (self.arch, group, time.monotonic() - started))
        finally:
            self.server.stop()
        return self.rows

    def add(self, row):
        self.rows.append(row)
        return row

    # 1 -------------------------------------------------------------------------------------------
    def digest(self):
        size = self.sizes["digest"]
        md5 = self.work.ensure("digest", ["digest/big.bin"], size)["digest/big.bin"]
        path = os.path.join(self.work.srv, "digest", "big.bin")
        runs, warmup = self.args.runs, self.args.warmup
        rv = Samples()
        warm([path])
        code, _, text = self.runner.wine([self.runner.exe("md5_bench.exe"), wine_path(path), str(runs + warmup)])
        per_run = [float(s) for s in re.findall(r"FileDigest run \d+: ([0-9.]+) s", text)]
        found = re.search(r"FileDigest ([0-9a-f]{32}) best", text)
        if code != 0 or len(per_run) != runs + warmup or not found:
            rv.error = "md5_bench exited %d, %d runs" % (code, len(per_run))
        elif found.group(1) != md5:
            rv.error = "FileDigest gave %s, the file's digest is %s" % (found.group(1), md5)
        else:
            rv.values = [size / MB / s for s in per_run[warmup:]]
        for peer_name, argv, pattern in (("md5sum", ["md5sum", path], r"^([0-9a-f]{32}) "),
                                         ("openssl md5", ["openssl", "md5", "-r", path], r"^([0-9a-f]{32}) ")):
            row = self.add(Row("1 digest, %d MB file in the page cache" % (size // 1000000), "MB/s", peer_name,
                               "throughput", note="FileDigest's own clock around one call (md5_bench.exe, one "
                               "process, each run a line); the peer: its process from start to exit"))
            row.rv = rv
            peer = row.peer

            def run_peer(argv=argv, pattern=pattern):
                warm([path])
                seconds, out = self.runner.timed(argv)
                got = re.match(pattern, out)
                if not got or got.group(1) != md5:
                    raise RunFailed("%s gave %r" % (argv[0], out[:60]))
                return size / MB / seconds
            measure([(peer, run_peer)], runs, warmup)

    # 2 -------------------------------------------------------------------------------------------
    def uptodate(self):
        count, size = self.sizes["uptodate"]
        names = nested("uptodate/pkg", count, max(1, count // 20))
        files = self.work.ensure("uptodate", names, size)
        package = self.package("uptodate", [(n, files[n]) for n in names])
        installed = os.path.join(self.work.srv, package.common)
        sums = os.path.join(self.runner.scratch, "uptodate.md5")
        package.sums(sums)
        row = self.add(Row("2 up to date, %d files, %d MB" % (count, count * size // 1000000), "s", "md5sum -c",
                           "time", fmt="%.3f", note="start to exit of the Wine process (RadeVare) and of md5sum -c "
                           "over a checksum file made beforehand"))
        before = snapshot(installed)

        installed_paths = [os.path.join(self.work.srv, rel) for rel, _ in package.files]

        def run_rv():
            requests = Requests(self.server)
            warm(installed_paths)
            code, seconds, _ = self.runner.wine([self.runner.exe("RadeVare.exe"), "-openurl:" + package.list_url,
                                                 "-apppath:" + wine_path(installed)])
            if code != 0:
                raise RunFailed("RadeVare exited %d" % code)
            taken = requests.taken()
            if taken != [package.list_path]:
                raise RunFailed("asked for %d paths, not only the list: %s" % (len(taken), taken[:3]))
            if snapshot(installed) != before:
                raise RunFailed("an installed file changed")
            return seconds

        def run_peer():
            warm(installed_paths)
            started = time.perf_counter()
            result = subprocess.run(["md5sum", "-c", "--quiet", sums], cwd=installed, capture_output=True,
                                    stdin=subprocess.DEVNULL, timeout=self.args.timeout)
            if result.returncode != 0:
                raise RunFailed("md5sum -c exited %d" % result.returncode)
            return time.perf_counter() - started
        measure([(row.rv, run_rv), (row.peer, run_peer)], self.args.runs, self.args.warmup)

    # 3, 4, 5 ----------------------------------------------------------------------------------------
    def whole_run_sides(self, package, with_curl):
        """The callables of a whole run from an empty target: RadeVare, the floor, and curl's two."""
        served = [os.path.join(self.work.srv, rel) for rel, _ in package.files]

        def run_rv():
            target = self.work.target("rv")
            warm(served)
            requests = Requests(self.server)
            code, seconds, _ = self.runner.wine([self.runner.exe("RadeVare.exe"), "-openurl:" + package.list_url,
                                                 "-apppath:" + wine_path(target)])
            if code != 0:
                raise RunFailed("RadeVare exited %d" % code)
            package.check_target(target)
            taken = sorted(requests.taken())
            if taken != package.expected_requests():
                raise RunFailed("asked for %d paths, %d expected" % (len(taken), len(package.expected_requests())))
            return seconds

        def run_floor():
            target = self.work.target("floor")
            warm(served)
            list_target = os.path.join(self.work.target("floor-list"), "FileList.xml")
            jobs = os.path.join(self.runner.scratch, "floor-jobs.txt")
            package.floor_jobs(jobs, target, list_target)
            code, seconds, text = self.runner.wine([self.runner.exe("url_floor.exe"), wine_path(jobs)])
            if code != 0:
                raise RunFailed("url_floor exited %d" % code)
            try:
                package.check_target(target)
            except RunFailed as e:
                raise RunFailed("floor: " + str(e))
            return seconds

        def run_curl(verify):
            target = self.work.target("curl")
            warm(served)
            config = os.path.join(self.runner.scratch, "curl.cfg")
            package.curl_config(config, target)
            sums = os.path.join(self.runner.scratch, "curl.md5")
            package.sums(sums)
            started = time.perf_counter()
            subprocess.run(["curl", "-s", "--fail", "--create-dirs", "-K", config], check=True,
                           stdin=subprocess.DEVNULL, timeout=self.args.timeout)
            if verify:
                result = subprocess.run(["md5sum", "-c", "--quiet", sums], cwd=target, capture_output=True,
                                        stdin=subprocess.DEVNULL, timeout=self.args.timeout)
                if result.returncode != 0:
                    raise RunFailed("md5sum -c of curl's files failed")
            seconds = time.perf_counter() - started
            try:
                package.check_target(target)
            except RunFailed as e:
                raise RunFailed("curl: " + str(e))
            return seconds

        sides = {"rv": run_rv, "floor": run_floor}
        if with_curl:
            sides["curl"] = lambda: run_curl(False)
            sides["curl+md5sum -c"] = lambda: run_curl(True)
        return sides

    def large(self):
        count, size = self.sizes["large"]
        names = ["large/big%d.bin" % n for n in range(count)]
        files = self.work.ensure("large", names, size)
        package = self.package("large", [(n, files[n]) for n in names])
        row = self.add(Row("3 whole run, %d × %d MB" % (count, size // (1024 * 1024)), "s", "floor", "large",
                           fmt="%.3f", note="start to exit of the Wine process, from an empty target; the floor "
                           "url_floor.exe: URLDownloadToFileW of the list and each file in one process"))
        sides = self.whole_run_sides(package, with_curl=True)
        curl, curl_md5 = Samples(), Samples()
        row.context = [("curl", curl), ("curl+md5sum -c", curl_md5)]
        measure([(row.rv, sides["rv"]), (row.peer, sides["floor"]), (curl, sides["curl"]),
                 (curl_md5, sides["curl+md5sum -c"])], self.args.runs, self.args.warmup)

    def small_files(self):
        count, size = self.sizes["small"]
        names = nested("small/pkg", count, max(1, count // 20))
        files = self.work.ensure("small", names, size)
        return names, files

    def small(self):
        names, files = self.small_files()
        n = self.sizes["small_row"]
        package = self.package("small%d" % n, [(name, files[name]) for name in names[:n]])
        total = self.add(Row("4 whole run, %d × 8 KB" % n, "s", "floor", "small", fmt="%.3f",
                             note="as 3, with many small files"))
        sides = self.whole_run_sides(package, with_curl=True)
        curl, curl_md5 = Samples(), Samples()
        total.context = [("curl", curl), ("curl+md5sum -c", curl_md5)]
        measure([(total.rv, sides["rv"]), (total.peer, sides["floor"]), (curl, sides["curl"]),
                 (curl_md5, sides["curl+md5sum -c"])], self.args.runs, self.args.warmup)
        per_file = self.add(Row("4 whole run, %d × 8 KB, per file" % n, "ms/file", "floor", "small", fmt="%.2f",
                                note="the same runs' totals over the file count"))
        per_file.rv = per_sample(total.rv, 1000.0 / n)
        per_file.peer = per_sample(total.peer, 1000.0 / n)

    def growth(self):
        names, files = self.small_files()
        for n in self.sizes["small_counts"]:
            package = self.package("growth%d" % n, [(name, files[name]) for name in names[:n]])
            row = self.add(Row("5 cost per file, %d × 8 KB" % n, "ms/file", "floor", "small", fmt="%.2f",
                               note="whole run start to exit over the file count"))
            sides = self.whole_run_sides(package, with_curl=False)
            measure([(row.rv, lambda: sides["rv"]() * 1000.0 / n),
                     (row.peer, lambda: sides["floor"]() * 1000.0 / n)], self.args.runs, self.args.warmup)

    # 6 -------------------------------------------------------------------------------------------
    def ending(self):
        count, size = self.sizes["ending"]
        names = ["ending/e%d.bin" % n for n in range(count)]
        files = self.work.ensure("ending", names, size)
        package = self.package("ending", [(n, files[n]) for n in names])
        last = package.local(names[-1])
        exe = self.runner.exe("RadeVare.exe")
        host_row = self.add(Row("6a ending, host acks at once", "ms", None, "ending", fmt="%.1f",
                                note="test_host's clock (--stamp): its receipt of the last report (the second "
                                "100) to its wait on the client's process handle returning"))
        plain_row = self.add(Row("6b ending, no host", "ms", None, "ending", fmt="%.1f",
                                 note="Linux clock: inotify IN_MOVED_TO of the last file read by a thread of ours, "
                                 "to waitpid of the Wine process returning"))
        current_row = self.add(Row("6c ending, nothing to download", "ms", None, "ending", fmt="%.1f",
                                   note="Linux clock: inotify IN_CLOSE_NOWRITE of the last listed file (its digest "
                                   "read) to waitpid of the Wine process returning"))
        host_log = os.path.join(self.runner.scratch, "host.log")

        def run_host():
            target = self.work.target("ending")
            requests = Requests(self.server)
            code, _, _ = self.runner.wine([self.runner.exe("test_host.exe"), "--stamp", "--log", wine_path(host_log),
                                           "--timeout", str(self.args.timeout), "--", exe,
                                           "-openurl:" + package.list_url, "-apppath:" + wine_path(target)])
            with open(host_log, "rb") as f:
                events = [line.split("\t") for line in f.read().decode("utf-8", "replace").splitlines() if line]
            reports = [e for e in events if e[1:3] == ["message", "IPC_MainProcess_OnDownProcess"]]
            exits = [e for e in events if e[1] == "exit"]
            if code != 0 or not exits or exits[-1][2] != "0":
                raise RunFailed("test_host exited %d, client %s" % (code, exits[-1][2] if exits else "unknown"))
            if [e[-1] for e in reports[-2:]] != ["100", "100"]:
                raise RunFailed("the last reports were %s, not 100 twice" % [e[-1] for e in reports[-2:]])
            package.check_target(target)
            if sorted(requests.taken()) != package.expected_requests():
                raise RunFailed("the server was asked for other paths")
            return float(exits[-1][0]) - float(reports[-1][0])

        def watched(target, mask, fresh):
            requests = Requests(self.server)
            holder = {}

            def start_watch():
                holder["watch"] = Watch(target, mask)
            try:
                code, _, _ = self.runner.wine([exe, "-openurl:" + package.list_url, "-apppath:" + wine_path(target)],
                                              before=start_watch)
                exited = time.perf_counter()
            finally:
                if "watch" in holder:
                    holder["watch"].close()
            if code != 0:
                raise RunFailed("RadeVare exited %d" % code)
            package.check_target(target)
            expected = package.expected_requests() if fresh else [package.list_path]
            if sorted(requests.taken()) != expected:
                raise RunFailed("the server was asked for other paths")
            seen = holder["watch"].last(mask, last)
            if seen is None:
                raise RunFailed("no inotify event for %s" % last)
            return (exited - seen) * 1000.0

        def run_plain():
            return watched(self.work.target("ending"), IN_MOVED_TO, True)

        def run_current():
            target = os.path.join(self.work.targets, "ending")
            if not os.path.isdir(target) or not os.listdir(target):
                raise RunFailed("no installed package to check")
            return watched(target, IN_CLOSE_NOWRITE, False)
        # 6c follows 6b on the target 6b filled.
        measure([(host_row.rv, run_host), (plain_row.rv, run_plain), (current_row.rv, run_current)],
                self.args.runs, self.args.warmup)

    # 7 -------------------------------------------------------------------------------------------
    def memory(self):
        memory_rows = {}
        for group in ("large", "mid"):
            count, size = self.sizes[group]
            names = ["%s/big%d.bin" % (group, n) for n in range(count)]
            files = self.work.ensure(group, names, size)
            package = self.package("mem-" + group, [(n, files[n]) for n in names])
            label = "%d × %d MB" % (count, size // (1024 * 1024)) if size >= 1024 * 1024 else \
                "%d × %d KB" % (count, size // 1024)
            goal = "flat" if group == "large" else "none"
            ws = self.add(Row("7 peak working set, " + label, "MB", "floor", goal, fmt="%.1f",
                              note="VmHWM of the Wine process (the Windows process itself) from /proc, polled "
                              "every 10 ms, the last value seen; context: GetProcessMemoryInfo's "
                              "PeakWorkingSetSize of the child from mem_launch.exe, in separate runs"))
            private = self.add(Row("7 peak private bytes, " + label, "MB", "floor", goal, fmt="%.1f",
                                   note="the largest RssAnon (resident anonymous memory) of the same polls: Wine "
                                   "answers GetProcessMemoryInfo's PrivateUsage with 0 for another process"))
            launcher = self.runner.exe("mem_launch.exe")

            def floor_args(target):
                jobs = os.path.join(self.runner.scratch, "mem-jobs.txt")
                list_target = os.path.join(self.work.target("floor-list"), "FileList.xml")
                package.floor_jobs(jobs, target, list_target)
                return [self.runner.exe("url_floor.exe"), wine_path(jobs)]

            def rv_args(target):
                return [self.runner.exe("RadeVare.exe"), "-openurl:" + package.list_url, "-apppath:" + wine_path(target)]

            def polled(program_args, target_name, is_rv):
                def run():
                    requests = Requests(self.server)
                    target = self.work.target(target_name)
                    memory = {}
                    code, _, _ = self.runner.wine(program_args(target), watch_memory=memory)
                    if code != 0:
                        raise RunFailed("exited %d" % code)
                    package.check_target(target)
                    if is_rv and sorted(requests.taken()) != package.expected_requests():
                        raise RunFailed("the server was asked for other paths")
                    if memory["polls"] == 0:
                        raise RunFailed("no memory figure read from /proc")
                    return memory["hwm"] / MB, memory["anon"] / MB
                return run

            def windows_view():
                target = self.work.target("rv")
                code, _, text = self.runner.wine([launcher, "--"] + rv_args(target))
                found = re.search(r"^memory\t(\d+)\t(\d+)\t(\d+)\t(\d+)\t(\d+)\t(\d+)\t", text, re.M)
                if code != 0 or not found:
                    raise RunFailed("mem_launch exited %d: %r" % (code, text[-80:]))
                if found.group(1) != "0":
                    raise RunFailed("RadeVare exited %s" % found.group(1))
                package.check_target(target)
                return int(found.group(3)) / MB

            both_rv, both_floor, windows = Samples(), Samples(), Samples()
            measure([(both_rv, polled(rv_args, "rv", True)), (both_floor, polled(floor_args, "floor", False)),
                     (windows, windows_view)], self.args.runs, self.args.warmup)
            ws.context = [("RadeVare PeakWorkingSetSize (Windows view)", windows)]
            for samples, ws_side, private_side in ((both_rv, ws.rv, private.rv),
                                                   (both_floor, ws.peer, private.peer)):
                ws_side.error = private_side.error = samples.error
                ws_side.values = [v[0] for v in samples.values]
                private_side.values = [v[1] for v in samples.values]
            memory_rows[group] = (ws, private)
        # Flat with file size: the large files' figures against the smaller files'.
        if "large" in memory_rows and "mid" in memory_rows:
            for large_row, mid_row in zip(memory_rows["large"], memory_rows["mid"]):
                large_row.flat_against = mid_row.rv

    # 8 -------------------------------------------------------------------------------------------
    def mainthread(self):
        size = self.sizes["digest"]
        md5 = self.work.ensure("digest", ["digest/big.bin"], size)["digest/big.bin"]
        package = self.package("mainthread", [("digest/big.bin", md5)])
        gap = self.add(Row("8 longest unanswered probe, %d MB download" % (size // 1000000), "ms", None, "none",
                           fmt="%.1f", note="ui_probe.exe's clock: WM_NULL by SendMessageTimeoutW every 10 ms to "
                           "the RADEVARE_DOWNLOAD window, the longest wait for an answer"))
        total = self.add(Row("8 that run's total", "s", None, "none", fmt="%.3f",
                             note="ui_probe.exe's clock, CreateProcess to the child's exit"))

        def run():
            target = self.work.target("rv")
            requests = Requests(self.server)
            code, _, text = self.runner.wine([self.runner.exe("ui_probe.exe"), "--",
                                              self.runner.exe("RadeVare.exe"), "-openurl:" + package.list_url,
                                              "-apppath:" + wine_path(target)])
            line = [l for l in text.splitlines() if l.startswith("probe\t")]
            fields = line[-1].split("\t") if line else []
            if code != 0 or len(fields) != 6:
                raise RunFailed("ui_probe exited %d: %r" % (code, text[:80]))
            if fields[1] != "0":
                raise RunFailed("RadeVare exited %s" % fields[1])
            if int(fields[3]) == 0:
                raise RunFailed("the window never answered a probe (found at %s ms)" % fields[5])
            package.check_target(target)
            if sorted(requests.taken()) != package.expected_requests():
                raise RunFailed("the server was asked for other paths")
            return float(fields[4]), float(fields[2]) / 1000.0
        both = Samples()
        measure([(both, run)], self.args.runs, self.args.warmup)
        gap.rv.error = total.rv.error = both.error
        gap.rv.values = [v[0] for v in both.values]
        total.rv.values = [v[1] for v in both.values]


def per_sample(samples, factor):
    return Samples([v * factor for v in samples.values], samples.error)


HEADER = ["Benchmark", "Arch", "Unit", "RadeVare.exe median [min–max]", "Peer median [min–max]", "Ratio", "Goal",
          "Met", "Context (not the peer)"]


def main(argv):
    parser = argparse.ArgumentParser(description="RadeVare's benchmarks, for one architecture")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--warmup", type=int, default=1)
    parser.add_argument("--work", default=os.path.join(os.environ.get("RADEVARE_BUILD_DIR") or
                                                       os.path.join(SOURCE, "build"), "bench"))
    parser.add_argument("--tiny", action="store_true")
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("--wrong-digest", action="store_true")
    parser.add_argument("--table", help="append the rows as JSON lines to this file")
    parser.add_argument("filters", nargs="*")
    args = parser.parse_intermixed_args(argv)
    if args.runs < 1 or args.warmup < 0:
        parser.error("--runs must be at least 1, --warmup at least 0")
    arch = os.environ.get("RADEVARE_ARCH", "?")
    bench = Bench(args, arch)
    log("%s: %d runs after %d warm-up, data in %s" % (arch, args.runs, args.warmup, bench.work.folder))
    rows = bench.run_all()
    if not rows:
        log("no benchmark matches %s" % args.filters)
        return 1
    if args.table:
        with open(args.table, "a") as f:
            for row in rows:
                f.write(json.dumps({"cells": row.cells(arch), "note": row.note, "failed": row.failed()}) + "\n")
    else:
        print(render([{"cells": row.cells(arch), "note": row.note, "failed": row.failed()} for row in rows]))
    return 1 if any(row.failed() for row in rows) else 0


def render(records):
    """The markdown table of every row, then what each row's figures span."""
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    notes = []
    for record in records:
        lines.append("| " + " | ".join(c.replace("|", "/") for c in record["cells"]) + " |")
        note = "%s: %s" % (record["cells"][0], record["note"])
        if record["note"] and note not in notes:
            notes.append(note)
    failed = sum(1 for r in records if r["failed"])
    lines.append("")
    lines.append("%d rows, %d with figures, %d failed" % (len(records), len(records) - failed, failed))
    lines.append("")
    lines.append("What each figure spans:")
    lines.extend("- " + n for n in notes)
    return "\n".join(lines)


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--render":
        with open(sys.argv[2]) as f:
            records = [json.loads(line) for line in f if line.strip()]
        print(render(records))
        sys.exit(0 if records and not any(r["failed"] for r in records) else 1)
    sys.exit(main(sys.argv[1:]))
