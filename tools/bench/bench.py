#!/usr/bin/env python3
"""RadeVare's benchmarks: the real RadeVare.exe under Wine against a peer measured in the same run on the same
data, one table over every architecture run.

usage: bench.py [--runs N] [--warmup N] [--work DIR] [--tiny] [--timeout S] [--wrong-digest] [--table FILE]
                [--baseline BIN] [NAME_FILTER...]
       bench.py --render TABLE [--markdown FILE --machine TEXT]
The environment comes from scripts/wine-session (WINEPREFIX, WINELOADER, DISPLAY, a persistent wineserver,
RADEVARE_ARCH) and RADEVARE_BIN / RADEVARE_SOURCE; scripts/bench sets all of it up, once per architecture, and
prints the table that the runs appended to --table (--render); --markdown also writes that table to a file,
headed by the machine (--machine) and the build.

Every figure is the median of --runs runs after --warmup runs, with its min and max. Every run of RadeVare is
checked (exit code, the files it left, what it asked the server for); a run that failed makes its row an
ERROR, never a figure, and the exit code 1. --tiny makes a few small files instead of the real data (for the
smoke test); --wrong-digest lists one file of every download row with a wrong digest (the smoke test's
failing run).

--baseline names the bin folder of another build of RadeVare (the program of an earlier revision), which
benchmarks 12 and 13 run against this one.

The parts: data.py (sizes, the work folder, the packages), sides.py (running and timing a side), rows.py,
probes.py and transfers.py (the thirteen benchmarks), render.py (a row's cells, the table).
"""
import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from data import Package, Work, real_sizes, tiny_sizes  # noqa: E402
from render import read_table, render, write_markdown  # noqa: E402
import probes  # noqa: E402
import rows  # noqa: E402
import transfers  # noqa: E402
from runlib import paths, server, tls, wine  # noqa: E402
from sides import Runner, log  # noqa: E402


# In the order they run and stand in the table; the names are the filters' words.
BENCHMARKS = (("digest", rows.digest), ("uptodate", rows.uptodate), ("large", rows.large), ("small", rows.small),
              ("growth", rows.growth), ("ending", probes.ending), ("memory", probes.memory),
              ("mainthread", probes.mainthread), ("https", rows.https), ("roundtrip", rows.roundtrip),
              ("resume", transfers.resume), ("machinery", transfers.machinery), ("bigcheck", probes.bigcheck))


class Bench:
    """What every benchmark of one architecture's run shares: options, data, runner, servers, the rows."""

    def __init__(self, args, arch):
        self.args = args
        self.arch = arch
        self.sizes = tiny_sizes() if args.tiny else real_sizes()
        self.work = Work(args.work, self.sizes)
        self.prefix = wine.Prefix()
        self.runner = Runner(self.work, self.prefix, args.timeout)
        self.server = None
        self.https_server = None
        self.rows = []

    def wanted(self, group):
        return not self.args.filters or any(f in group for f in self.args.filters)

    def package(self, name, files, on_server=None, faults=""):
        """A package of srv/ files on the plain server, or on the one given; through faults when given."""
        return Package(name, files, (on_server or self.server).base_url, self.work.srv,
                       wrong_digest=self.args.wrong_digest, faults=faults)

    def tls_server(self):
        """The test server over HTTPS, serving srv/ as the plain one does, started at first use with the test
        certificate, its authority trusted in the prefix; RuntimeError or OSError when that cannot be done."""
        if self.https_server is None:
            certs = tls.trusted_certs(os.path.join(self.work.folder, "certs"))
            self.https_server = server.ServerProcess(self.work.srv, os.path.join(self.work.folder, "https.log"),
                                                     tls=(certs["good.pem"], certs["good.key"]),
                                                     cafile=certs["ca.pem"])
        return self.https_server

    def add(self, row):
        self.rows.append(row)
        return row

    def run_all(self):
        self.server = server.ServerProcess(self.work.srv, os.path.join(self.work.folder, "server.log"))
        try:
            for group, benchmark in BENCHMARKS:
                if self.wanted(group):
                    started = time.monotonic()
                    benchmark(self)
                    log("%s: %s done in %.0f s" % (self.arch, group, time.monotonic() - started))
        finally:
            self.server.stop()
            if self.https_server is not None:
                self.https_server.stop()
        return self.rows


def parse(argv):
    parser = argparse.ArgumentParser(description="RadeVare's benchmarks, for one architecture")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--warmup", type=int, default=1)
    parser.add_argument("--work", default=os.path.join(os.environ.get("RADEVARE_BUILD_DIR") or
                                                       os.path.join(paths.SOURCE, "build"), "bench"))
    parser.add_argument("--tiny", action="store_true")
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("--wrong-digest", action="store_true")
    parser.add_argument("--table", help="append the rows as JSON lines to this file")
    parser.add_argument("--baseline", metavar="BIN", help="the bin folder of the build benchmarks 12 and 13 compare with")
    parser.add_argument("--render", metavar="TABLE", help="print the table of the rows in this file, run nothing")
    parser.add_argument("--markdown", metavar="FILE", help="with --render: write the table to this file too")
    parser.add_argument("--machine", metavar="TEXT", help="with --markdown: the machine the figures are from")
    parser.add_argument("filters", nargs="*")
    args = parser.parse_intermixed_args(argv)
    if args.runs < 1 or args.warmup < 0:
        parser.error("--runs must be at least 1, --warmup at least 0")
    if (args.markdown or args.machine) and not args.render:
        parser.error("--markdown and --machine go with --render")
    if args.markdown and not args.machine:
        parser.error("--markdown needs --machine: the file names the machine its figures are from")
    return args


def render_table(args):
    records = read_table(args.render)
    text = render(records)
    print(text)
    if args.markdown:
        write_markdown(args.markdown, text, args.machine)
    return 0 if records and not any(r["failed"] for r in records) else 1


def main(argv):
    args = parse(argv)
    if args.render:
        return render_table(args)
    arch = os.environ.get("RADEVARE_ARCH", "?")
    bench = Bench(args, arch)
    log("%s: %d runs after %d warm-up, data in %s" % (arch, args.runs, args.warmup, bench.work.folder))
    made = bench.run_all()
    if not made:
        log("no benchmark matches %s" % args.filters)
        return 1
    records = [row.record(arch) for row in made]
    if args.table:
        with open(args.table, "a") as f:
            for record in records:
                f.write(json.dumps(record) + "\n")
    else:
        print(render(records))
    return 1 if any(row.failed() for row in made) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
