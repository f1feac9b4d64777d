"""tools/bench/bench.py on a few small files: the table's shape and honesty, never its speed."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("RADEVARE_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
ENGINE = os.path.join(SOURCE, "tools", "bench", "bench.py")
FIGURE = re.compile(r"^\d+\.\d+ \[\d+\.\d+–\d+\.\d+\]$")
# Every row the engine makes, by the start of its name, and whether it has a peer.
ROWS = [("1 digest", True), ("1 digest", True), ("2 up to date", True), ("3 whole run", True),
        ("4 whole run", True), ("4 whole run", True), ("5 cost per file", True), ("5 cost per file", True),
        ("6a ending", False), ("6b ending", False), ("6c ending", False), ("7 peak working set", True),
        ("7 peak private bytes", True), ("7 peak working set", True), ("7 peak private bytes", True),
        ("8 longest unanswered while shown", False), ("8 that run", False), ("8 longest unanswered while shown", False),
        ("9 HTTPS whole run", True), ("9 HTTPS whole run", True), ("10 round trip", True), ("10 round trip", True),
        ("11 resume", False), ("12 nothing fails", True), ("12 nothing fails", True),
        ("13 longest unanswered", True), ("13 that check", True)]
# The context of a row against the floor ends with the connections each side made per run.
CONNECTIONS = r"RadeVare \d+ conn per run; floor \d+ conn per run$"
TLS_CONNECTIONS = (r"^RadeVare \d+ conn, \d+ handshakes? \(\d+ resumed\) per run; "
                   r"floor \d+ conn, \d+ handshakes? \(\d+ resumed\) per run$")


class BenchSmokeTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="bench-smoke-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.table = os.path.join(self.work, "table.jsonl")

    def engine(self, *args, timeout=100):
        result = subprocess.run([sys.executable, ENGINE, "--tiny", "--runs", "1", "--warmup", "0", "--work",
                                 os.path.join(self.work, "bench"), "--table", self.table] + list(args),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
        with open(self.table) as f:
            records = [json.loads(line) for line in f if line.strip()]
        return result, records

    def test_every_row_has_figures_and_a_verdict(self):
        # The build against itself: the rows that compare two builds need a second one to run.
        result, records = self.engine("--timeout", "60", "--baseline", os.environ["RADEVARE_BIN"])
        self.assertEqual(result.returncode, 0, result.stdout[-3000:] + result.stderr[-3000:])
        self.assertEqual(len(records), len(ROWS), [r["cells"][0] for r in records])
        for record, (start, has_peer) in zip(records, ROWS):
            name, arch, unit, rv, peer, ratio, goal, met, _ = record["cells"]
            with self.subTest(row=name):
                self.assertTrue(name.startswith(start), name)
                self.assertEqual(arch, os.environ.get("RADEVARE_ARCH", "?"))
                self.assertFalse(record["failed"])
                self.assertRegex(rv, FIGURE)
                self.assertTrue(record["note"], "every row says what it spans")
                if has_peer:
                    self.assertRegex(peer, r"^[a-z0-9 +-]+: " + FIGURE.pattern[1:])
                    self.assertRegex(ratio, r"^\d+\.\d\d$")
                    # The smaller files' memory rows are what the larger ones are judged by.
                    self.assertIn(met, ("-",) if goal == "none" else ("yes", "NO"))
                elif goal in ("< 100 ms", "≤ 100 ms", "≤ 0.51 of the file"):
                    self.assertIn(met, ("yes", "NO"))
                else:
                    self.assertEqual((peer, met), ("-", "-"))
        context = {}  # the first row's of each name
        for record in records:
            context.setdefault(record["cells"][0].split(",")[0], record["cells"][8])
        self.assertRegex(context["3 whole run"], r"^curl \S+ \[.*\]; curl\+md5sum -c \S+ \[.*\]; " + CONNECTIONS)
        self.assertRegex(context["10 round trip"], "^" + CONNECTIONS)
        self.assertRegex(context["9 HTTPS whole run"], TLS_CONNECTIONS)
        # Every file over HTTPS took a handshake on some connection: none of them went over plain HTTP.
        self.assertNotIn(" 0 handshakes", context["9 HTTPS whole run"])
        # Every answer of the round trip's server waited 20 ms: no side's file can have taken less.
        per_file = [r["cells"] for r in records if r["cells"][0].startswith("10 round trip") and "per file" in
                    r["cells"][0]][0]
        for figure in (per_file[3], per_file[4].split(": ")[1]):
            self.assertGreaterEqual(float(figure.split(" ")[0]), 20.0, per_file)
        # The rendered table says the same: every row with figures.
        rendered = subprocess.run([sys.executable, ENGINE, "--render", self.table], capture_output=True, text=True)
        self.assertEqual(rendered.returncode, 0)
        self.assertIn("%d rows, %d with figures, 0 failed" % (len(ROWS), len(ROWS)), rendered.stdout)

    def test_a_list_with_a_wrong_digest_is_an_error_not_a_figure(self):
        # RadeVare then fails the file and waits at its error box, so the run ends at the engine's time limit.
        result, records = self.engine("--timeout", "8", "--wrong-digest", "large", "ending")
        self.assertEqual(result.returncode, 1, result.stdout[-3000:])
        self.assertEqual([r["cells"][0][:2] for r in records], ["3 ", "6a", "6b", "6c"])
        for record in records:
            name, _, _, rv, _, ratio, _, met, _ = record["cells"]
            with self.subTest(row=name):
                self.assertTrue(record["failed"])
                self.assertTrue(rv.startswith("ERROR: "), rv)
                self.assertNotRegex(rv, r"\d+\.\d+ \[")
                self.assertEqual((ratio, met), ("-", "ERROR"))
        # The floor and curl, which do not check digests, still measured: only RadeVare's side is the error.
        self.assertRegex(records[0]["cells"][4], r"^floor: \d")
        rendered = subprocess.run([sys.executable, ENGINE, "--render", self.table], capture_output=True, text=True)
        self.assertEqual(rendered.returncode, 1)
        self.assertIn("4 rows, 0 with figures, 4 failed", rendered.stdout)

    def test_markdown_file_is_the_printed_table_under_the_machine_and_build(self):
        cells = ["6a ending, host acks at once", "x86-64", "ms", "7.6 [7.6–7.6]", "-", "-", "< 100 ms", "yes", "-"]
        failed = ["3 whole run | 2 × 1 MB", "x86-64", "s", "ERROR: RadeVare exited 1", "floor: 0.6 [0.6–0.6]", "-",
                  "≤ 1.05 × floor", "ERROR", "-"]
        with open(self.table, "w") as f:
            f.write(json.dumps({"cells": cells, "note": "the host's clock", "failed": False}) + "\n")
            f.write(json.dumps({"cells": failed, "note": "start to exit", "failed": True}) + "\n")
        markdown = os.path.join(self.work, "bench.md")
        rendered = subprocess.run([sys.executable, ENGINE, "--render", self.table, "--markdown", markdown,
                                   "--machine", "Test CPU, 2 cores; wine-8.0"], capture_output=True, text=True)
        # A failed row still fails the render, and the file is written all the same.
        self.assertEqual(rendered.returncode, 1, rendered.stderr)
        with open(markdown, encoding="utf-8") as f:
            heading, blank, table = f.read().split("\n", 2)
        self.assertRegex(heading, r"^Measured on Test CPU, 2 cores; wine-8\.0; RadeVare [0-9.]+, commit \S+")
        self.assertEqual(blank, "")
        self.assertEqual(table, rendered.stdout)
        self.assertIn("| 3 whole run / 2 × 1 MB | x86-64 |", table)
        self.assertIn("2 rows, 1 with figures, 1 failed", table)
        # Without the machine the file could not say where its figures are from: refused, nothing written.
        os.remove(markdown)
        refused = subprocess.run([sys.executable, ENGINE, "--render", self.table, "--markdown", markdown],
                                 capture_output=True, text=True)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("--machine", refused.stderr)
        self.assertFalse(os.path.exists(markdown))

    def test_refuses_a_work_folder_it_did_not_make(self):
        foreign = os.path.join(self.work, "bench")
        os.makedirs(foreign)
        with open(os.path.join(foreign, "keep.txt"), "w") as f:
            f.write("not the bench's\n")
        result = subprocess.run([sys.executable, ENGINE, "--tiny", "--work", foreign, "digest"],
                                capture_output=True, text=True, timeout=60)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("not ours", result.stdout + result.stderr)
        self.assertEqual(os.listdir(foreign), ["keep.txt"])


if __name__ == "__main__":
    unittest.main()
