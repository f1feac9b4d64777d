"""The benchmarks that watch a run from outside (6 to 8): its ending, its peak memory, its main thread's
answers; each one small class or function that makes its rows and measures their sides, as in rows.py."""
import functools
import os
import re
import subprocess
import time

from data import MB
from render import Row
from data import warm
from rows import check_asked, client_args, small_package
from runlib import folders, host
from runlib.paths import wine_path
from runlib.server import Requests
from sides import IN_CLOSE_NOWRITE, IN_MOVED_TO, RunFailed, Samples, Watch, measure, split


# 6 ---------------------------------------------------------------------------------------------------------
class Ending:
    """From the last file in place to the client's end: with a host, without one, and with nothing to fetch."""

    def __init__(self, bench):
        self.bench = bench
        count, size = bench.sizes["ending"]
        names = ["ending/e%d.bin" % n for n in range(count)]
        files = bench.work.ensure("ending", names, size)
        self.package = bench.package("ending", [(n, files[n]) for n in names])
        self.last = self.package.local(names[-1])
        self.host_row = bench.add(Row("6a ending, host acks at once", "ms", None, "ending", fmt="%.1f",
                                      note="test_host's clock (--stamp): its receipt of the last report (the "
                                      "second 100) to its wait on the client's process handle returning"))
        self.plain_row = bench.add(Row("6b ending, no host", "ms", None, "ending", fmt="%.1f",
                                       note="Linux clock: inotify IN_MOVED_TO of the last file read by a thread of "
                                       "ours, to waitpid of the Wine process returning"))
        self.current_row = bench.add(Row("6c ending, nothing to download", "ms", None, "ending", fmt="%.1f",
                                         note="Linux clock: inotify IN_CLOSE_NOWRITE of the last listed file (its "
                                         "digest read) to waitpid of the Wine process returning"))
        self.host_log = os.path.join(bench.runner.scratch, "host.log")

    def measure(self):
        # 6c follows 6b on the target 6b filled.
        measure([(self.host_row.rv, self.run_host), (self.plain_row.rv, self.run_plain),
                 (self.current_row.rv, self.run_current)], self.bench.args.runs, self.bench.args.warmup)

    def run_host(self):
        target = self.bench.work.target("ending")
        requests = Requests(self.bench.server)
        client = client_args(self.bench, self.package, target)
        code, _, _ = self.bench.runner.run(host.command(client[0], client[1:], self.host_log,
                                                        self.bench.args.timeout, ["--stamp"]))
        run = host.HostRun.from_log(self.host_log, stamped=True)
        exit_code = run.client_exit_code()
        if code != 0 or exit_code != 0:
            raise RunFailed("test_host exited %d, client %s" % (code, "unknown" if exit_code is None else exit_code))
        if [e[-1] for e in run.reports()[-2:]] != ["100", "100"]:
            raise RunFailed("the last reports were %s, not 100 twice" % [e[-1] for e in run.reports()[-2:]])
        self.package.check_target(target)
        check_asked(requests, self.package.expected_requests())
        return run.stamp_of_last(lambda e: e[0] == "exit") - run.stamp_of_last(host.is_report)

    def run_plain(self):
        return self.watched(self.bench.work.target("ending"), IN_MOVED_TO, True)

    def run_current(self):
        target = os.path.join(self.bench.work.targets, "ending")
        if not os.path.isdir(target) or not os.listdir(target):
            raise RunFailed("no installed package to check")
        return self.watched(target, IN_CLOSE_NOWRITE, False)

    def watched(self, target, mask, fresh):
        """RadeVare without a host, target watched from just before its start: the time from the last file's
        event to its exit, in ms."""
        requests = Requests(self.bench.server)
        watches = []
        try:
            code, _, _ = self.bench.runner.wine(client_args(self.bench, self.package, target),
                                                before=lambda: watches.append(Watch(target, mask)))
            exited = time.perf_counter()
        finally:
            for watch in watches:
                watch.close()
        if code != 0:
            raise RunFailed("RadeVare exited %d" % code)
        self.package.check_target(target)
        check_asked(requests, self.package.expected_requests() if fresh else [self.package.list_path])
        seen = watches[0].last(mask, self.last)
        if seen is None:
            raise RunFailed("no inotify event for %s" % self.last)
        return (exited - seen) * 1000.0


def ending(bench):
    Ending(bench).measure()


# 7 ---------------------------------------------------------------------------------------------------------
class Memory:
    """The peak memory of RadeVare and of the floor over one package of large files, seen from Linux, and
    RadeVare's as Windows reports it to its parent."""

    def __init__(self, bench, group):
        self.bench = bench
        self.runner = bench.runner
        count, size = bench.sizes[group]
        names = ["%s/big%d.bin" % (group, n) for n in range(count)]
        files = bench.work.ensure(group, names, size)
        self.package = bench.package("mem-" + group, [(n, files[n]) for n in names])
        label = "%d × %d MB" % (count, size // (1024 * 1024)) if size >= 1024 * 1024 else \
            "%d × %d KB" % (count, size // 1024)
        goal = "flat" if group == "large" else "none"
        self.ws = bench.add(Row("7 peak working set, " + label, "MB", "floor", goal, fmt="%.1f",
                                note="VmHWM of the Wine process (the Windows process itself) from /proc, polled "
                                "every 10 ms, the last value seen; context: GetProcessMemoryInfo's "
                                "PeakWorkingSetSize of the child from mem_launch.exe, in separate runs"))
        self.private = bench.add(Row("7 peak private bytes, " + label, "MB", "floor", goal, fmt="%.1f",
                                     note="the largest RssAnon (resident anonymous memory) of the same polls: Wine "
                                     "answers GetProcessMemoryInfo's PrivateUsage with 0 for another process"))

    def measure(self):
        both_rv, both_floor, windows = Samples(), Samples(), Samples()
        measure([(both_rv, functools.partial(self.polled, self.rv_args, "rv", True)),
                 (both_floor, functools.partial(self.polled, self.floor_args, "floor", False)),
                 (windows, self.windows_view)], self.bench.args.runs, self.bench.args.warmup)
        self.ws.context = [("RadeVare PeakWorkingSetSize (Windows view)", windows)]
        split(both_rv, self.ws.rv, self.private.rv)
        split(both_floor, self.ws.peer, self.private.peer)

    def rv_args(self, target):
        return client_args(self.bench, self.package, target)

    def floor_args(self, target):
        jobs = os.path.join(self.runner.scratch, "mem-jobs.txt")
        list_target = os.path.join(self.bench.work.target("floor-list"), "FileList.xml")
        self.package.floor_jobs(jobs, target, list_target)
        return [self.runner.exe("url_floor.exe"), wine_path(jobs)]

    def polled(self, program_args, target_name, is_rv):
        """One run with its memory polled: (peak working set, peak private bytes) in MB."""
        requests = Requests(self.bench.server)
        target = self.bench.work.target(target_name)
        memory = {}
        code, _, _ = self.runner.wine(program_args(target), watch_memory=memory)
        if code != 0:
            raise RunFailed("exited %d" % code)
        self.package.check_target(target)
        if is_rv:
            check_asked(requests, self.package.expected_requests())
        if memory["polls"] == 0:
            raise RunFailed("no memory figure read from /proc")
        return memory["hwm"] / MB, memory["anon"] / MB

    def windows_view(self):
        target = self.bench.work.target("rv")
        code, _, text = self.runner.wine([self.runner.exe("mem_launch.exe"), "--"] + self.rv_args(target))
        found = re.search(r"^memory\t(\d+)\t(\d+)\t(\d+)\t(\d+)\t(\d+)\t(\d+)\t", text, re.M)
        if code != 0 or not found:
            raise RunFailed("mem_launch exited %d: %r" % (code, text[-80:]))
        if found.group(1) != "0":
            raise RunFailed("RadeVare exited %s" % found.group(1))
        self.package.check_target(target)
        return int(found.group(3)) / MB


def memory(bench):
    groups = []
    for group in ("large", "mid"):
        # Each group's files are made (and so in the page cache) right before its runs.
        groups.append(Memory(bench, group))
        groups[-1].measure()
    # Flat with file size: the large files' figures against the smaller files'.
    large_group, mid_group = groups
    for large_row, mid_row in ((large_group.ws, mid_group.ws), (large_group.private, mid_group.private)):
        large_row.flat_against = mid_row.rv


# 8 ---------------------------------------------------------------------------------------------------------
STRETCH_NOTE = ("ui_probe.exe's clock: WM_NULL by SendMessageTimeoutW every 10 ms to the RADEVARE_DOWNLOAD "
                "window while IsWindowVisible says it is shown, the longest wait for an answer (a wait begun "
                "while shown counts to its end); context: when that longest wait began, after the strip was "
                "first shown")


def mainthread(bench):
    """The longest stretch the window's thread leaves the shown strip unanswered: over one large download, and
    over a whole run of many small files."""
    size = bench.sizes["mainthread"]
    md5 = bench.work.ensure("mainthread", ["mainthread/big.bin"], size)["mainthread/big.bin"]
    package = bench.package("mainthread", [("mainthread/big.bin", md5)])
    label = "%g GB" % (size / 1e9) if size >= 1e9 else "%d MB" % (size // 1000000)
    gap = bench.add(Row("8 longest unanswered while shown, %s download" % label, "ms", None, "stretch",
                        fmt="%.1f", note=STRETCH_NOTE))
    total = bench.add(Row("8 that run's total", "s", None, "none", fmt="%.3f",
                          note="ui_probe.exe's clock, CreateProcess to the child's exit"))
    n = bench.sizes["small_row"]
    small = small_package(bench, "mainthread-small%d" % n, n)
    small_gap = bench.add(Row("8 longest unanswered while shown, %d × 8 KB" % n, "ms", None, "stretch", fmt="%.1f",
                              note=STRETCH_NOTE))
    large_runs, small_runs = Samples(), Samples()
    measure([(large_runs, functools.partial(probed, bench, package)),
             (small_runs, functools.partial(probed, bench, small))], bench.args.runs, bench.args.warmup)
    # Where in the run the longest stretch lay: the queuing of the files right after the strip is shown, or
    # somewhere among the files.
    began, small_began = Samples(), Samples()
    gap.context = [("began after shown (ms)", began)]
    small_gap.context = [("began after shown (ms)", small_began)]
    split(large_runs, gap.rv, total.rv, began)
    split(small_runs, small_gap.rv, Samples(), small_began)


def ui_probe(bench, options, client):
    """One run of client (a command line) under ui_probe.exe with options; its line's fields, once the probe
    and RadeVare both ended well."""
    code, _, text = bench.runner.wine([bench.runner.exe("ui_probe.exe")] + options + ["--"] + client)
    line = [l for l in text.splitlines() if l.startswith("probe\t")]
    fields = line[-1].split("\t") if line else []
    if code != 0 or len(fields) != 9:
        raise RunFailed("ui_probe exited %d: %r" % (code, text[:80]))
    if fields[1] != "0":
        raise RunFailed("RadeVare exited %s" % fields[1])
    return fields


def probed(bench, package):
    """One run under ui_probe.exe: (the longest unanswered probe while shown in ms, the run's total in s, how
    long after the strip was first shown that longest wait began in ms)."""
    target = bench.work.target("rv")
    requests = Requests(bench.server)
    fields = ui_probe(bench, [], client_args(bench, package, target))
    if float(fields[6]) < 0:
        raise RunFailed("the strip was never shown (window found at %s ms)" % fields[5])
    if int(fields[3]) == 0:
        raise RunFailed("the shown window never answered a probe (shown at %s ms)" % fields[6])
    package.check_target(target)
    check_asked(requests, package.expected_requests())
    return float(fields[4]), float(fields[2]) / 1000.0, float(fields[7]) - float(fields[6])


# 13 --------------------------------------------------------------------------------------------------------
BIGCHECK_NOTE = ("ui_probe.exe --hidden: WM_NULL by SendMessageTimeoutW every 10 ms to the RADEVARE_DOWNLOAD window "
                 "from the moment it exists, shown or not, over a run whose every file is installed and up to date; "
                 "the longest wait for an answer. Peer (with --baseline): the same of the program before")


def bigcheck(bench):
    """A large game already installed: the longest stretch the window's thread leaves its window unanswered
    while every file is checked (against the program before, with --baseline), and the check's time start to
    exit against md5sum -c over the same files."""
    count, size = bench.sizes["bigcheck"]
    names = ["bigcheck/pkg/part%02d.pak" % i for i in range(count)]
    files = bench.work.ensure("bigcheck", names, size)
    package = bench.package("bigcheck", [(n, files[n]) for n in names])
    installed = os.path.join(bench.work.srv, package.common)
    sums = os.path.join(bench.runner.scratch, "bigcheck.md5")
    package.sums(sums)
    paths = [os.path.join(bench.work.srv, rel) for rel, _ in package.files]
    total = count * size
    label = "%d × %d MB, %s" % (count, size // 1000000,
                                "%.1f GB" % (total / 1e9) if total >= 1e9 else "%d MB" % (total // 1000000))
    baseline = bench.args.baseline
    exe = os.path.join(baseline, "RadeVare.exe") if baseline else None
    if exe is not None and not os.path.isfile(exe):
        exe = None
    stretch = bench.add(Row("13 longest unanswered, check of %s installed" % label, "ms",
                            "before" if exe else None, "stretch", fmt="%.1f", note=BIGCHECK_NOTE))
    check = bench.add(Row("13 that check, start to exit", "s", "md5sum -c", "time", fmt="%.3f",
                          note="ui_probe.exe's clock, CreateProcess to the child's exit; md5sum -c over a checksum "
                               "file made beforehand; the files in the page cache for both"))
    before = folders.snapshot(installed, inodes=True)

    def probe(program):
        requests = Requests(bench.server)
        warm(paths)
        fields = ui_probe(bench, ["--hidden"], client_args(bench, package, installed, program))
        if int(fields[3]) == 0:
            raise RunFailed("the window never answered a probe (found at %s ms)" % fields[5])
        if requests.taken() != [package.list_path]:
            raise RunFailed("asked for more than the list: %s" % requests.taken()[:3])
        if folders.changes(before, folders.snapshot(installed, inodes=True)):
            raise RunFailed("an installed file changed")
        return float(fields[4]), float(fields[2]) / 1000.0

    def peer():
        warm(paths)
        started = time.perf_counter()
        result = subprocess.run(["md5sum", "-c", "--quiet", sums], cwd=installed, capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=bench.args.timeout)
        if result.returncode != 0:
            raise RunFailed("md5sum -c exited %d" % result.returncode)
        return time.perf_counter() - started

    runs, before_runs = Samples(), Samples()
    sides = [(runs, functools.partial(probe, None)), (check.peer, peer)]
    if exe is not None:
        sides.append((before_runs, functools.partial(probe, exe)))
    measure(sides, bench.args.runs, bench.args.warmup)
    split(runs, stretch.rv, check.rv)
    if exe is not None:
        split(before_runs, stretch.peer, Samples())
