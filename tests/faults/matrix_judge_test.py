"""The fault matrix's own judge: rows that hold nothing must fail, and for
the right reason. Each row here runs the real program (or, for a crash,
another real program in its place) with an expectation that does not hold,
and the test asserts that the matrix said so and counted it. A matrix whose
rows all passed because its checks saw nothing fails here."""
import os
import unittest

import matrix
from matrix import OLD, File, Scenario, done, filefail, listfail, quiet, timeout

A, B, C = "\\a.dat", "\\sub\\b.dat", "\\c.dat"


def three(**b_fields):
    return [File(A, 3000), File(B, 5000, installed=OLD, **b_fields), File(C, 4000, installed=OLD)]


# Every row states an expectation that the run it describes cannot meet.
LIARS = [
    Scenario("judge/done expected of a failing file", files=three(fault="status=404"), ending=done()),
    Scenario("judge/failure expected of a fine file", files=three(), ending=filefail(B)),
    Scenario("judge/time-out expected of a refused list", files=three(), list_fault="status=404",
             ending=timeout()),
    Scenario("judge/list failure expected of a stalled list that the host ends", files=three(),
             list_fault="delay=60", ending=listfail(), host_timeout=5),
    Scenario("judge/delayed file written elsewhere", files=[File("\\later\\music.pak", 3000)],
             args="-norun -noprocess -downtype:{file0} -apppath:{u}.pak", ending=quiet(fetched=False)),
    Scenario("judge/another program crashes in its place", files=three(), program="crash_after_summary.exe"),
    Scenario("judge/forged posts that never go out", files=three(), forge=["0x602:0:0"], forge_after=77,
             needs=["forge_posts.exe"]),
    Scenario("judge/a tool that does not exist", files=three(), needs=["no_such_tool.exe"]),
]
ROWS = {}


def setUpModule():
    # crash_after_summary.exe crashes at its end only when asked to.
    os.environ["RADEVARE_CRASH_ON_EXIT"] = "1"
    try:
        ROWS.update((row.scenario.name, row) for row in matrix.run_scenarios(LIARS, jobs=len(LIARS)))
    finally:
        del os.environ["RADEVARE_CRASH_ON_EXIT"]


class JudgeTest(unittest.TestCase):
    def row(self, name):
        row = ROWS[name]
        if row.skipped is not None and "no_such_tool" not in name:
            self.skipTest(row.skipped)
        return row

    def assertFailedFor(self, row, text):
        self.assertFalse(row.passed, row.observed)
        self.assertTrue(any(text in reason for reason in row.failures), row.failures)

    def test_a_wrong_ending_fails_the_row(self):
        row = self.row("judge/done expected of a failing file")
        self.assertFailedFor(row, "progress [0,33,")
        self.assertFalse(row.ending_ok)

    def test_installed_files_replaced_against_the_expectation_are_counted_lost(self):
        row = self.row("judge/failure expected of a fine file")
        self.assertEqual(sorted(row.lost), ["c.dat", "sub/b.dat"], row.failures)
        self.assertEqual(matrix.totals([row])["installed files lost"], 2)

    def test_an_ending_too_early_for_the_watchdog_fails(self):
        row = self.row("judge/time-out expected of a refused list")
        self.assertFailedFor(row, "after the last activity")

    def test_a_client_the_host_had_to_end_is_a_hang(self):
        row = self.row("judge/list failure expected of a stalled list that the host ends")
        self.assertTrue(row.hang, row.failures)
        self.assertFalse(row.crash)
        self.assertEqual(matrix.totals([row])["hangs past the watchdog"], 1)

    def test_a_file_written_where_the_row_allows_none_is_counted(self):
        row = self.row("judge/delayed file written elsewhere")
        self.assertEqual(len(row.outside), 1, row.failures)
        self.assertTrue(row.outside[0].endswith(".pak"), row.outside)

    def test_a_crash_is_counted_whatever_else_the_run_did(self):
        row = self.row("judge/another program crashes in its place")
        self.assertTrue(row.crash, row.failures)
        self.assertFailedFor(row, "exited with")

    def test_forged_posts_that_never_went_out_fail_the_row(self):
        self.assertFailedFor(self.row("judge/forged posts that never go out"), "never posted")

    def test_a_row_without_its_tool_is_skipped_never_passed(self):
        row = ROWS["judge/a tool that does not exist"]
        self.assertIn("no_such_tool.exe", row.skipped)
        self.assertFalse(row.passed)
        self.assertEqual(row.verdict(), "SKIP")
        self.assertEqual(matrix.totals([row])["passed"], 0)


class PlanTest(unittest.TestCase):
    """The figures a row expects, from its files alone."""

    def test_files_up_to_date_for_later_or_repeated_are_not_fetched(self):
        files = [File(A, installed=matrix.SAME), File(B), File(B), File("\\later.pak", opt="DELAY"), File(C)]
        scenario = Scenario("plan/mixed", files=files)
        self.assertEqual([f.path for f in scenario.fetch_plan()], [B, C])
        self.assertEqual(scenario.expected_progress(done()), [0, 50, 100, 100])

    def test_a_failure_reports_the_files_before_it_then_minus_one(self):
        scenario = Scenario("plan/three", files=three())
        self.assertEqual(scenario.expected_progress(filefail(C)), [0, 33, 66, -1, -1])
        self.assertEqual(scenario.expected_progress(timeout(A)), [0, -1])
        self.assertEqual(scenario.expected_progress(timeout()), [-1])

    def test_rows_must_have_names_of_their_own(self):
        with self.assertRaises(ValueError):
            matrix.check_unique([Scenario("a/b c"), Scenario("a/b-c")])


if __name__ == "__main__":
    unittest.main(verbosity=2)
