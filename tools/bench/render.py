"""The table: the goal each row is judged by, a row's cells, and the markdown of every row of every
architecture with what each row's figures span."""
import json
import os
import re
import subprocess

from runlib.paths import SOURCE
from sides import Samples

# The goals each row is judged by: (text for the table, test on the row's RadeVare figure and peer figure).
GOALS = {
    "throughput": ("≥ 1.00 × peer", lambda rv, peer: rv >= peer),
    "time": ("≤ 1.00 × peer", lambda rv, peer: rv <= peer),
    # Large files, over HTTP and HTTPS, and small files from a server that answers late: the time is the
    # transfer's or the network's, so RadeVare must be close to the floor.
    "large": ("≤ 1.05 × floor", lambda rv, peer: rv <= 1.05 * peer),
    "small": ("≤ 1.10 × floor", lambda rv, peer: rv <= 1.10 * peer),
    "ending": ("< 100 ms", lambda rv, peer: rv < 100.0),
    # A run after a kill at half fetches the half it lacks, and little more.
    "resume": ("≤ 0.51 of the file", lambda rv, peer: rv <= 0.51),
    # The retries and the resume cost nothing worth the name when nothing fails.
    "before": ("≤ 1.03 × before", lambda rv, peer: rv <= 1.03 * peer),
    "stretch": ("≤ 100 ms", lambda rv, peer: rv <= 100.0),
    # Judged against the same figure of the run with smaller files (Row.flat_against).
    "flat": ("≤ 1.10 × the smaller files' figure", None),
    "none": ("none", None),
}

# The goals judged by RadeVare's figure alone: their rows have no peer.
ALONE = ("ending", "stretch", "resume")

HEADER = ["Benchmark", "Arch", "Unit", "RadeVare.exe median [min–max]", "Peer median [min–max]", "Ratio", "Goal",
          "Met", "Context (not the peer)"]


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
        elif self.goal in ALONE and self.rv.values and not self.rv.error:
            met = "yes" if test(self.rv.median, None) else "NO"
        if self.goal == "flat" and self.rv.values and not self.rv.error and self.flat_against is not None \
                and self.flat_against.values and not self.flat_against.error:
            met = "yes" if self.rv.median <= 1.10 * self.flat_against.median else "NO"
        if self.failed():
            met = "ERROR"
        context = "; ".join("%s %s" % (name, s.text(self.fmt)) for name, s in self.context) or "-"
        peer = "%s: %s" % (self.peer_name, self.peer.text(self.fmt)) if self.peer_name else "-"
        return [self.name, arch, self.unit, self.rv.text(self.fmt), peer, ratio, goal_text, met, context]

    def record(self, arch):
        """The row as one line of the table file."""
        return {"cells": self.cells(arch), "note": self.note, "failed": self.failed()}


def read_table(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


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


def build_line():
    """RadeVare's version (CMakeLists.txt) and the commit of the sources the programs were built from."""
    version = "?"
    try:
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            found = re.search(r"^project\(RadeVare VERSION ([0-9.]+)", f.read(), re.M)
        version = found.group(1) if found else version
    except OSError:
        pass
    try:
        commit = subprocess.run(["git", "-C", SOURCE, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, timeout=30).stdout.strip() or "unknown"
        changed = subprocess.run(["git", "-C", SOURCE, "status", "--porcelain", "--untracked-files=no"],
                                 capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        commit, changed = "unknown", ""
    return "RadeVare %s, commit %s%s" % (version, commit, " with uncommitted changes" if changed else "")


def write_markdown(path, text, machine):
    """The rendered table in a file of its own, headed by the machine and the build it was measured on."""
    with open(path + ".new", "w", encoding="utf-8") as f:
        f.write("Measured on %s; %s.\n\n%s\n" % (machine, build_line(), text))
    os.replace(path + ".new", path)
