"""One side of a row: a Windows program run under Wine and timed (its memory polled, a folder watched while it
runs), the measured runs of a side, and the interleaving of every side of a row."""
import ctypes
import os
import re
import select
import signal
import statistics
import struct
import subprocess
import threading
import time
import uuid

from runlib import paths, wine

# Every Wine process of one run carries this variable, its value the run's own tag.
RUN_TAG = "RADEVARE_BENCH_RUN"


def log(text):
    print("bench: " + text, flush=True)


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


class Connections:
    """The connections each run of one side made to the test server (Requests.connections), as a row's context
    shows them beside the Samples: "1 conn per run", over TLS "4 conn, 4 handshakes (3 resumed) per run"; a
    spread across runs as "1–2"."""

    error = None

    def __init__(self, tls):
        self.tls = tls
        self.runs = []

    def add(self, counts):
        self.runs.append(counts)

    def spread(self, name):
        values = [counts[name] for counts in self.runs]
        return "%d" % values[0] if min(values) == max(values) else "%d–%d" % (min(values), max(values))

    def text(self, fmt=None):
        if not self.runs:
            return "-"
        text = "%s conn" % self.spread("connections")
        if self.tls:
            handshakes = self.spread("handshakes")
            text += ", %s handshake%s (%s resumed)" % (handshakes, "" if handshakes == "1" else "s",
                                                       self.spread("resumed"))
        return text + " per run"


def per_sample(samples, factor):
    return Samples([v * factor for v in samples.values], samples.error)


def split(both, *sides):
    """Hands the n-th figure of every run in both (a Samples of tuples) to the n-th of sides, its error to all."""
    for n, side in enumerate(sides):
        side.error = both.error
        side.values = [v[n] for v in both.values]


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


class Runner:
    """Runs the programs of a side: Windows ones under Wine from a cleared internet cache, Linux ones timed."""

    def __init__(self, work, prefix, timeout):
        self.prefix = prefix
        self.timeout = timeout
        self.scratch = os.path.join(work.folder, "scratch")
        work.owned.remove(self.scratch)
        os.makedirs(self.scratch)

    def exe(self, name):
        path = paths.tool_exe(name)
        if not os.path.isfile(path):
            raise SystemExit("bench: %s is missing: run scripts/build first" % path)
        return path

    def wine(self, args, out_name="out.txt", before=None, watch_memory=None):
        """A Windows program and its arguments, started by the session's Wine loader: see run."""
        return self.run([wine.LOADER] + list(args), out_name, before, watch_memory)

    def run(self, argv, out_name="out.txt", before=None, watch_memory=None):
        """Runs a command line that starts a Windows program, from a cleared internet cache; (exit code, seconds
        start to exit, its standard output). A tag in the environment marks every Wine process of this run, so
        that a run past its time can end exactly the processes it started (Wine hands children to init)."""
        self.prefix.clear_cache()
        tag = uuid.uuid4().hex
        env = dict(os.environ, **{RUN_TAG: tag})
        out_path = os.path.join(self.scratch, out_name)
        # Output goes to a file, never a pipe: Wine's services may outlive the program and hold a pipe open.
        with open(out_path, "wb") as out:
            if before is not None:
                before()
            started = time.perf_counter()
            process = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                       env=env)
            poller = None
            if watch_memory is not None:
                # Started by the loader, the program is the Wine process itself: same pid, its memory in /proc.
                poller = MemoryPoller(process.pid, watch_memory)
            try:
                code = process.wait(self.timeout)
            except subprocess.TimeoutExpired:
                end_tagged(tag)
                process.wait()
                raise RunFailed("%s still running after %d s, ended" % (os.path.basename(argv[1]), self.timeout))
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


def end_tagged(tag):
    """Ends, by process id, every process whose environment carries this run's tag."""
    for pid in wine.processes_tagged(RUN_TAG, tag):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


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


# inotify, for the ending latencies
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
