"""The benchmarks of the transfer's own machinery (11 and 12): what a run fetches again after a run killed in
the middle of a large file, and what the retries and the resume cost when nothing fails, against the program
as it was before them (--baseline)."""
import functools
import os
import signal
import subprocess
import time
import uuid

from data import warm
from render import Row
from rows import WholeRun, add_per_file, large_label, large_package, per_file, small_package
from runlib import wine
from runlib.nginx import NginxServer
from runlib.paths import wine_path
from sides import RUN_TAG, RunFailed, Samples, measure

# Benchmark 11: nginx sends the file in about this many seconds, so that a kill lands at half of it, and the
# run is killed once the partial file holds this share of it.
RESUME_SECONDS = 4
KILL_AT = 0.5


# 11 --------------------------------------------------------------------------------------------------------
class Resume:
    """One large file from nginx: a first run killed (SIGKILL, as taskkill /f ends a process) once its partial
    file holds half the file, then a second run; the share of the file nginx sends that second run."""

    def __init__(self, bench):
        self.bench = bench
        size = bench.sizes["resume"]
        names = ["resume/big.bin"]
        self.files = bench.work.ensure("resume", names, size)
        self.size = size
        self.names = names
        self.rate = size // RESUME_SECONDS
        self.row = bench.add(Row("11 resume, second run after a kill at half, 1 × %d MB" % (size // (1024 * 1024)),
                                 "of file", None, "resume", fmt="%.3f",
                                 note="nginx from Debian at %.0f MiB/s; its access log's body bytes of the second "
                                 "run over the file's size; context: the share the killed run had written"
                                 % (self.rate / (1024 * 1024))))
        self.held = Samples()
        self.row.context = [("held at the kill", self.held)]

    def measure(self):
        with NginxServer(self.bench.work.srv, parent=self.bench.runner.scratch, rate=self.rate) as nginx:
            self.package = self.bench.package("resume", [(n, self.files[n]) for n in self.names], nginx)
            self.nginx = nginx
            measure([(self.row.rv, self.run_once)], self.bench.args.runs, self.bench.args.warmup)

    def start(self, target):
        runner = self.bench.runner
        runner.prefix.clear_cache()
        argv = [wine.LOADER, runner.exe("RadeVare.exe"), "-openurl:" + self.package.list_url,
                "-apppath:" + wine_path(target)]
        env = dict(os.environ, **{RUN_TAG: uuid.uuid4().hex})
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env)

    def partial(self, target):
        local = os.path.join(target, self.package.local(self.names[0]))
        folder, name = os.path.split(local)
        found = [os.path.join(folder, n) for n in os.listdir(folder) if n.startswith(name + ".")
                 and n.endswith(".rvpart")] if os.path.isdir(folder) else []
        return max((os.path.getsize(p) for p in found), default=0)

    def run_once(self):
        target = self.bench.work.target("resume")
        warm([os.path.join(self.bench.work.srv, n) for n in self.names])
        first = self.start(target)
        deadline = time.monotonic() + self.bench.args.timeout
        # Started by the loader, the program is the Wine process itself: killing it kills the program.
        while self.partial(target) < KILL_AT * self.size:
            if first.poll() is not None:
                raise RunFailed("the first run ended (%s) before half of the file was there" % first.returncode)
            if time.monotonic() > deadline:
                first.kill()
                raise RunFailed("half of the file never came")
            time.sleep(0.005)
        os.kill(first.pid, signal.SIGKILL)
        first.wait()
        held = self.partial(target)
        self.held.values.append(held / self.size)
        # nginx logs a request when it ends: the first run's is in the log once its connection is closed.
        time.sleep(0.5)
        began = time.time()
        second = self.start(target)
        try:
            code = second.wait(self.bench.args.timeout)
        except subprocess.TimeoutExpired:
            second.kill()
            raise RunFailed("the second run did not end")
        if code != 0:
            raise RunFailed("the second run exited %d" % code)
        self.package.check_target(target)
        path = "/" + self.names[0]
        sent = sum(r["body_bytes_sent"] for r in self.nginx.requests(timeout=0)
                   if r["uri"].endswith(path) and r["time"] - r["request_time"] >= began)
        if sent == 0:
            raise RunFailed("nginx logged no bytes of the file for the second run")
        return sent / self.size


def resume(bench):
    Resume(bench).measure()


# 12 --------------------------------------------------------------------------------------------------------
def machinery(bench):
    """The per-file and large-file runs of 3 and 5, RadeVare against the program before the retries and the
    resume (the RadeVare.exe in --baseline), interleaved in the same invocation on the same data."""
    baseline = bench.args.baseline
    note = "as 3 and 5, against the RadeVare.exe in %s (the program without retries and resume)" % (baseline or "-")
    n = min(1000, bench.sizes["small"][0])
    rows = [bench.add(Row("12 nothing fails, %d × 8 KB, per file" % n, "ms/file", "before", "before", fmt="%.2f",
                          note=note)),
            bench.add(Row("12 nothing fails, " + large_label(bench), "s", "before", "before", fmt="%.3f",
                          note=note))]
    exe = os.path.join(baseline, "RadeVare.exe") if baseline else None
    if exe is None or not os.path.isfile(exe):
        for row in rows:
            row.rv.error = row.peer.error = "no baseline program: give --baseline BIN (scripts/bench --baseline REV)"
        return
    small = WholeRun(bench, small_package(bench, "machinery%d" % n, n))
    measure([(rows[0].rv, functools.partial(per_file, small.run_rv, n)),
             (rows[0].peer, functools.partial(per_file, functools.partial(small.run_rv, exe, "before"), n))],
            bench.args.runs, bench.args.warmup)
    large = WholeRun(bench, large_package(bench, "machinery-large"))
    measure([(rows[1].rv, large.run_rv), (rows[1].peer, functools.partial(large.run_rv, exe, "before"))],
            bench.args.runs, bench.args.warmup)
