#!/usr/bin/env python3
"""The fault matrix: every scenario of scenarios.py run against the real
RadeVare.exe under Wine, served by the project's HTTP test server and hosted
by its test host, with one table of what each row expected and what it saw.

usage: matrix.py [--jobs N] [--markdown FILE] [NAME_FILTER...]
  rows whose name holds any filter text (all without one); --markdown also
  writes the table as markdown to FILE
The environment comes from scripts/wine-session (WINEPREFIX, DISPLAY, a
persistent wineserver) and RADEVARE_BIN / RADEVARE_SOURCE; scripts/faults
sets all of it up. Exit code 0 only when every row ran and held.

A scenario is a record (model.py: Scenario and File); runner.py gives every
row the same checks (checks.py), whatever the scenario: the ending the host
saw (progress figures, boxes, exit code), the requests the server saw, the
files in the target afterwards, files written anywhere else, installed files
kept byte for byte, and how long the run took against the stall watchdog.
render.py names what each row saw and prints the table.
"""
import argparse
import os
import sys
import threading
import time

import render
import runner


def main(argv):
    import scenarios as table_of_rows
    parser = argparse.ArgumentParser(description="RadeVare's fault matrix")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("RADEVARE_FAULT_JOBS", "6")))
    parser.add_argument("--markdown", metavar="FILE", help="also write the table as markdown to FILE")
    parser.add_argument("filters", nargs="*")
    args = parser.parse_args(argv)
    chosen = runner.select(table_of_rows.SCENARIOS, args.filters)
    if not chosen:
        print("faults: no scenario matches %s" % " ".join(args.filters), file=sys.stderr)
        return 1
    started = time.monotonic()
    lock = threading.Lock()

    def progress(row):
        with lock:
            sys.stderr.write("faults: %-4s %s (%.1fs)\n" % (row.verdict(), row.scenario.name, row.seconds))

    rows = runner.run_scenarios(chosen, args.jobs, progress)
    arch = os.environ.get("RADEVARE_ARCH")
    print("fault matrix on %s, %d rows in %.0fs, %d at once" % (arch or "?", len(rows), time.monotonic() - started,
                                                               args.jobs))
    render.table(rows, arch=arch)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as out:
            render.markdown(rows, out, arch)
    return 0 if all(r.passed for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
