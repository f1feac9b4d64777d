"""What each row came to, and how the matrix shows it: a name for what the host saw, the totals, the table
as text and as markdown."""
import re
import sys

from model import WATCHDOG_MIN_SECONDS, figures_text


class Row:
    """What one scenario came to: passed, or failed with every reason."""

    def __init__(self, scenario):
        self.scenario = scenario
        self.expected = scenario.describe(scenario.ending)
        if scenario.rerun:
            self.expected += ", then " + scenario.describe(scenario.rerun)
        self.observed = ""
        self.failures = []
        self.crash = False
        self.hang = False
        self.outside = []
        self.lost = []
        self.ending_ok = None  # every run of the row ended as expected (None: none has ended yet)
        self.seconds = 0.0

    @property
    def passed(self):
        return not self.failures

    def fail(self, text):
        self.failures.append(text)

    def verdict(self):
        return "pass" if self.passed else "FAIL"


def classify(run, outer_timeout, idle_before_failure=None):
    """A short name for what the host saw. idle_before_failure: how long the run had been quiet when the
    first -1 came (None: no -1). A lone -1 after the watchdog's silence is a file's time-out; for the list,
    whose attempts and their waits are quiet too, the host cannot tell a time-out from a failure then. A file
    failure ([..., -1, -1]) is never the watchdog's, however long its transfer ran without a report."""
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
    lone_failure = progress[-1:] == [-1] and progress[-2:] != [-1, -1]
    quiet_long = idle_before_failure is not None and idle_before_failure >= WATCHDOG_MIN_SECONDS
    if progress == [-1] and quiet_long:
        words = "list failed or time-out"
    elif lone_failure and quiet_long:
        words = "time-out"
    elif progress == [100]:
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
    return {
        "scenarios": len(rows),
        "passed": sum(1 for r in rows if r.passed),
        "failed": sum(1 for r in rows if not r.passed),
        "endings as expected": sum(1 for r in rows if r.ending_ok),
        "crashes": sum(1 for r in rows if r.crash),
        "hangs past the watchdog": sum(1 for r in rows if r.hang),
        "files written outside the target": sum(len(r.outside) for r in rows),
        "installed files lost": sum(len(r.lost) for r in rows),
    }


def totals_line(rows):
    t = totals(rows)
    return ("%d scenarios: %d passed, %d failed; %d endings as expected; %d crashes, %d hangs past the watchdog, "
            "%d files written outside the target, %d installed files lost"
            % (t["scenarios"], t["passed"], t["failed"], t["endings as expected"], t["crashes"],
               t["hangs past the watchdog"], t["files written outside the target"], t["installed files lost"]))


def reasons(rows):
    """(scenario name, reason) for every reason a row failed, in table order."""
    return [(r.scenario.name, reason) for r in rows for reason in r.failures]


def table(rows, out=sys.stdout, arch=None):
    width = max([len(r.scenario.name) for r in rows] + [8])
    exp_width = min(max([len(r.expected) for r in rows] + [8]), 48)
    out.write("%-*s  %-*s  %-6s %s\n" % (width, "scenario", exp_width, "expected", "result", "observed"))
    for r in rows:
        out.write("%-*s  %-*s  %-6s %s\n" % (width, r.scenario.name, exp_width, r.expected, r.verdict(), r.observed))
    failing = reasons(rows)
    if failing:
        out.write("\nwhy rows failed:\n")
        for name, reason in failing:
            out.write("  %s: %s\n" % (name, reason))
    out.write("\n%s%s\n" % ("%s: " % arch if arch else "", totals_line(rows)))
    out.flush()


def cell(text):
    """Text for a markdown table cell or list item: its own characters, never markup."""
    return re.sub(r"([\\|*_<`])", r"\\\1", " ".join(text.split()))


def markdown(rows, out, arch=None):
    """The table for one architecture as markdown: a heading, the totals, the rows, why rows failed."""
    out.write("## %s\n\n%s\n\n" % (arch or "?", totals_line(rows)))
    out.write("| scenario | expected | observed | result | s |\n| --- | --- | --- | --- | --- |\n")
    for r in rows:
        out.write("| %s | %s | %s | %s | %.1f |\n" % (cell(r.scenario.name), cell(r.expected), cell(r.observed),
                                                    r.verdict(), r.seconds))
    failing = reasons(rows)
    if failing:
        out.write("\nWhy rows failed:\n\n")
        for name, reason in failing:
            out.write("- %s: %s\n" % (cell(name), cell(reason)))
    out.flush()
