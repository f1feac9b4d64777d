"""The benchmarks that time a whole run (1 to 5, 9 and 10): a file's digest, a package already up to date, and a
package downloaded from an empty target (over HTTP, over HTTPS, with every answer late), each one function or
one small class that makes its rows and measures their sides.

Each takes the bench (bench.py's Bench): its options (args), sizes, work folder, runner, server, and its
package() and add(row)."""
import functools
import os
import re
import subprocess
import time

from data import MB, nested, warm
from render import Row
from runlib import folders
from runlib.paths import wine_path
from runlib.server import Requests
from sides import Connections, RunFailed, Samples, measure, per_sample

# Benchmark 10: how late the server answers every request of the package.
ROUND_TRIP_DELAY = 0.02


def client_args(bench, package, target, exe=None):
    """RadeVare.exe (the build's, or another one) with the package's list and a target."""
    return [exe or bench.runner.exe("RadeVare.exe"), "-openurl:" + package.list_url, "-apppath:" + wine_path(target)]


def check_asked(requests, expected):
    if sorted(requests.taken()) != expected:
        raise RunFailed("the server was asked for other paths")

# 1 ---------------------------------------------------------------------------------------------------------
DIGEST_LINE = r"^([0-9a-f]{32}) "


def digest(bench):
    size = bench.sizes["digest"]
    md5 = bench.work.ensure("digest", ["digest/big.bin"], size)["digest/big.bin"]
    path = os.path.join(bench.work.srv, "digest", "big.bin")
    runs, warmup = bench.args.runs, bench.args.warmup
    rv = Samples()
    warm([path])
    code, _, text = bench.runner.wine([bench.runner.exe("md5_bench.exe"), wine_path(path), str(runs + warmup)])
    per_run = [float(s) for s in re.findall(r"FileDigest run \d+: ([0-9.]+) s", text)]
    found = re.search(r"FileDigest ([0-9a-f]{32}) best", text)
    if code != 0 or len(per_run) != runs + warmup or not found:
        rv.error = "md5_bench exited %d, %d runs" % (code, len(per_run))
    elif found.group(1) != md5:
        rv.error = "FileDigest gave %s, the file's digest is %s" % (found.group(1), md5)
    else:
        rv.values = [size / MB / s for s in per_run[warmup:]]
    for peer_name, argv in (("md5sum", ["md5sum", path]), ("openssl md5", ["openssl", "md5", "-r", path])):
        row = bench.add(Row("1 digest, %d MB file in the page cache" % (size // 1000000), "MB/s", peer_name,
                            "throughput", note="FileDigest's own clock around one call (md5_bench.exe, one "
                            "process, each run a line); the peer: its process from start to exit"))
        row.rv = rv
        measure([(row.peer, functools.partial(peer_digest, bench.runner, argv, path, md5, size))], runs, warmup)


def peer_digest(runner, argv, path, md5, size):
    warm([path])
    seconds, out = runner.timed(argv)
    got = re.match(DIGEST_LINE, out)
    if not got or got.group(1) != md5:
        raise RunFailed("%s gave %r" % (argv[0], out[:60]))
    return size / MB / seconds


# 2 ---------------------------------------------------------------------------------------------------------
class UpToDate:
    """RadeVare over a package already installed, against md5sum -c over the same files."""

    def __init__(self, bench):
        self.bench = bench
        count, size = bench.sizes["uptodate"]
        names = nested("uptodate/pkg", count, max(1, count // 20))
        files = bench.work.ensure("uptodate", names, size)
        self.package = bench.package("uptodate", [(n, files[n]) for n in names])
        self.installed = os.path.join(bench.work.srv, self.package.common)
        self.sums = os.path.join(bench.runner.scratch, "uptodate.md5")
        self.package.sums(self.sums)
        self.row = bench.add(Row("2 up to date, %d files, %d MB" % (count, count * size // 1000000), "s",
                                 "md5sum -c", "time", fmt="%.3f", note="start to exit of the Wine process "
                                 "(RadeVare) and of md5sum -c over a checksum file made beforehand"))
        self.before = folders.snapshot(self.installed, inodes=True)
        self.installed_paths = [os.path.join(bench.work.srv, rel) for rel, _ in self.package.files]

    def measure(self):
        measure([(self.row.rv, self.run_rv), (self.row.peer, self.run_peer)], self.bench.args.runs,
                self.bench.args.warmup)

    def run_rv(self):
        requests = Requests(self.bench.server)
        warm(self.installed_paths)
        code, seconds, _ = self.bench.runner.wine(client_args(self.bench, self.package, self.installed))
        if code != 0:
            raise RunFailed("RadeVare exited %d" % code)
        taken = requests.taken()
        if taken != [self.package.list_path]:
            raise RunFailed("asked for %d paths, not only the list: %s" % (len(taken), taken[:3]))
        if folders.changes(self.before, folders.snapshot(self.installed, inodes=True)):
            raise RunFailed("an installed file changed")
        return seconds

    def run_peer(self):
        warm(self.installed_paths)
        started = time.perf_counter()
        result = subprocess.run(["md5sum", "-c", "--quiet", self.sums], cwd=self.installed, capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=self.bench.args.timeout)
        if result.returncode != 0:
            raise RunFailed("md5sum -c exited %d" % result.returncode)
        return time.perf_counter() - started


def uptodate(bench):
    UpToDate(bench).measure()


# 3, 4, 5 ---------------------------------------------------------------------------------------------------
class WholeRun:
    """The sides of a whole run from an empty target: RadeVare, the floor, and curl with and without md5sum; the
    connections (and TLS handshakes) each run of RadeVare and of the floor made to the package's server."""

    def __init__(self, bench, package, server=None):
        self.bench = bench
        self.runner = bench.runner
        self.package = package
        self.server = server or bench.server
        self.served = [os.path.join(bench.work.srv, rel) for rel, _ in package.files]
        tls = self.server.base_url.startswith("https:")
        self.rv_connections, self.floor_connections = Connections(tls), Connections(tls)

    def run_rv(self, exe=None, side="rv"):
        """A run of the build's RadeVare.exe, or of exe (another build of it) on a target of side's own."""
        target = self.bench.work.target(side)
        warm(self.served)
        requests = Requests(self.server)
        code, seconds, _ = self.runner.wine(client_args(self.bench, self.package, target, exe))
        if code != 0:
            raise RunFailed("RadeVare exited %d" % code)
        self.package.check_target(target)
        taken = sorted(requests.taken())
        if taken != self.package.expected_requests():
            raise RunFailed("asked for %d paths, %d expected" % (len(taken), len(self.package.expected_requests())))
        self.rv_connections.add(requests.connections())
        return seconds

    def run_floor(self):
        target = self.bench.work.target("floor")
        warm(self.served)
        list_target = os.path.join(self.bench.work.target("floor-list"), "FileList.xml")
        jobs = os.path.join(self.runner.scratch, "floor-jobs.txt")
        self.package.floor_jobs(jobs, target, list_target)
        requests = Requests(self.server)
        code, seconds, text = self.runner.wine([self.runner.exe("url_floor.exe"), wine_path(jobs)])
        if code != 0:
            raise RunFailed("url_floor exited %d" % code)
        self.package.check_target(target, "floor")
        self.floor_connections.add(requests.connections())
        return seconds

    def run_curl(self, verify=False):
        target = self.bench.work.target("curl")
        warm(self.served)
        config = os.path.join(self.runner.scratch, "curl.cfg")
        self.package.curl_config(config, target)
        sums = os.path.join(self.runner.scratch, "curl.md5")
        self.package.sums(sums)
        started = time.perf_counter()
        subprocess.run(["curl", "-s", "--fail", "--create-dirs", "-K", config], check=True,
                       stdin=subprocess.DEVNULL, timeout=self.bench.args.timeout)
        if verify:
            result = subprocess.run(["md5sum", "-c", "--quiet", sums], cwd=target, capture_output=True,
                                    stdin=subprocess.DEVNULL, timeout=self.bench.args.timeout)
            if result.returncode != 0:
                raise RunFailed("md5sum -c of curl's files failed")
        seconds = time.perf_counter() - started
        self.package.check_target(target, "curl")
        return seconds

    def run_curl_md5(self):
        return self.run_curl(verify=True)

    def measure_against_floor(self, row, others=()):
        """RadeVare against the floor; the other sides, (name, run) each, measured with them as the row's
        context, and after them the connections each run of RadeVare and of the floor made."""
        context = [(name, Samples()) for name, _ in others]
        row.context = context + [("RadeVare", self.rv_connections), ("floor", self.floor_connections)]
        measure([(row.rv, self.run_rv), (row.peer, self.run_floor)] +
                [(samples, run) for (_, samples), (_, run) in zip(context, others)],
                self.bench.args.runs, self.bench.args.warmup)

    def measure_with_curl(self, row):
        """RadeVare against the floor, curl's two (and the connections) as the row's context."""
        self.measure_against_floor(row, [("curl", self.run_curl), ("curl+md5sum -c", self.run_curl_md5)])


def large_label(bench):
    count, size = bench.sizes["large"]
    return "%d × %d MB" % (count, size // (1024 * 1024))


def large_package(bench, name, server=None):
    """The large files as a package of that name on a server (the plain one unless given)."""
    count, size = bench.sizes["large"]
    names = ["large/big%d.bin" % n for n in range(count)]
    files = bench.work.ensure("large", names, size)
    return bench.package(name, [(n, files[n]) for n in names], server)


def large(bench):
    package = large_package(bench, "large")
    row = bench.add(Row("3 whole run, " + large_label(bench), "s", "floor", "large",
                        fmt="%.3f", note="start to exit of the Wine process, from an empty target; the floor "
                        "url_floor.exe: URLDownloadToFileW of the list and each file in one process; context: the "
                        "connections to the server each run made"))
    WholeRun(bench, package).measure_with_curl(row)


def small_files(bench):
    count, size = bench.sizes["small"]
    names = nested("small/pkg", count, max(1, count // 20))
    files = bench.work.ensure("small", names, size)
    return names, files


def small_package(bench, name, n, server=None, faults=""):
    """The first n small files as a package of that name, on a server and through faults when given."""
    names, files = small_files(bench)
    return bench.package(name, [(rel, files[rel]) for rel in names[:n]], server, faults)


def add_per_file(bench, total, name, n):
    """A row of the same runs' totals over the file count, in ms/file, after the row of the totals."""
    row = bench.add(Row(name, "ms/file", total.peer_name, total.goal, fmt="%.2f",
                        note="the same runs' totals over the file count"))
    row.rv = per_sample(total.rv, 1000.0 / n)
    row.peer = per_sample(total.peer, 1000.0 / n)


def small(bench):
    n = bench.sizes["small_row"]
    package = small_package(bench, "small%d" % n, n)
    total = bench.add(Row("4 whole run, %d × 8 KB" % n, "s", "floor", "small", fmt="%.3f",
                          note="as 3, with many small files"))
    WholeRun(bench, package).measure_with_curl(total)
    add_per_file(bench, total, "4 whole run, %d × 8 KB, per file" % n, n)


def per_file(run, n):
    return run() * 1000.0 / n


def growth(bench):
    for n in bench.sizes["small_counts"]:
        package = small_package(bench, "growth%d" % n, n)
        row = bench.add(Row("5 cost per file, %d × 8 KB" % n, "ms/file", "floor", "small", fmt="%.2f",
                            note="whole run start to exit over the file count"))
        sides = WholeRun(bench, package)
        measure([(row.rv, functools.partial(per_file, sides.run_rv, n)),
                 (row.peer, functools.partial(per_file, sides.run_floor, n))], bench.args.runs, bench.args.warmup)


# 9 ---------------------------------------------------------------------------------------------------------
def https(bench):
    """3 and 4 again over HTTPS, from the test server with the test certificate the prefix trusts."""
    n = bench.sizes["small_row"]
    note = ("as 3 and 4, over HTTPS from the test server (good.pem, its authority trusted in the prefix); "
            "context: the connections and TLS handshakes each run made, and how many resumed a session")
    large_row = bench.add(Row("9 HTTPS whole run, " + large_label(bench), "s", "floor", "large", fmt="%.3f",
                              note=note))
    small_row = bench.add(Row("9 HTTPS whole run, %d × 8 KB" % n, "s", "floor", "small", fmt="%.3f", note=note))
    try:
        server = bench.tls_server()
    except (RuntimeError, OSError) as e:
        for row in (large_row, small_row):
            row.rv.error = row.peer.error = "no HTTPS server: %s" % e
        return
    WholeRun(bench, large_package(bench, "https-large", server), server).measure_against_floor(large_row)
    WholeRun(bench, small_package(bench, "https-small%d" % n, n, server), server).measure_against_floor(small_row)


# 10 --------------------------------------------------------------------------------------------------------
def roundtrip(bench):
    """Small files from a server that answers every request late (its delay fault on every path): how much of
    a file's time is the network's wait."""
    n = bench.sizes["roundtrip"]
    late = "every answer %d ms late" % round(ROUND_TRIP_DELAY * 1000)
    package = small_package(bench, "roundtrip%d" % n, n, faults="/x/delay=%g" % ROUND_TRIP_DELAY)
    total = bench.add(Row("10 round trip, %d × 8 KB, %s" % (n, late), "s", "floor", "large", fmt="%.3f",
                          note="as 4, the test server's delay fault on the list and every file"))
    WholeRun(bench, package).measure_against_floor(total)
    add_per_file(bench, total, "10 round trip, %d × 8 KB, per file, %s" % (n, late), n)
