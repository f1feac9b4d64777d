"""The fault matrix's own judge: rows that hold nothing must fail, and for
the right reason. Each row here runs the real program (or, for a crash,
another real program in its place) with an expectation that does not hold,
and the test asserts that the matrix said so and counted it. A matrix whose
rows all passed because its checks saw nothing fails here."""
import io
import os
import unittest

import render
import runner
from model import OLD, SAME, File, Scenario, done, filefail, listfail, quiet, timeout
from runlib.host import HostRun

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
    Scenario("judge/forged posts that never go out", files=three(), forge=["0x602:0:0"], forge_after=77),
    Scenario("judge/a program that is not built", files=three(), program="no_such_tool.exe"),
    Scenario("judge/a quick package expected to outlast the watchdog", files=three(), ending=done(at_least=16)),
]
# Rows that hold, for what the table says of them.
TRUE_ROWS = [
    Scenario("judge/a list refused until its attempts are spent", files=three(), list_url="{refused}/FileList.xml",
             ending=listfail(quick=False, seconds=25)),
]
ROWS = {}


def setUpModule():
    # crash_after_summary.exe crashes at its end only when asked to.
    os.environ["RADEVARE_CRASH_ON_EXIT"] = "1"
    try:
        rows = runner.run_scenarios(LIARS + TRUE_ROWS, jobs=len(LIARS + TRUE_ROWS))
        ROWS.update((row.scenario.name, row) for row in rows)
    finally:
        del os.environ["RADEVARE_CRASH_ON_EXIT"]


class JudgeTest(unittest.TestCase):
    def row(self, name):
        return ROWS[name]

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
        self.assertEqual(render.totals([row])["installed files lost"], 2)

    def test_an_ending_too_early_for_the_watchdog_fails(self):
        row = self.row("judge/time-out expected of a refused list")
        self.assertFailedFor(row, "after the last activity")

    def test_a_client_the_host_had_to_end_is_a_hang(self):
        row = self.row("judge/list failure expected of a stalled list that the host ends")
        self.assertTrue(row.hang, row.failures)
        self.assertFalse(row.crash)
        self.assertEqual(render.totals([row])["hangs past the watchdog"], 1)

    def test_a_file_written_where_the_row_allows_none_is_counted(self):
        row = self.row("judge/delayed file written elsewhere")
        self.assertEqual(len(row.outside), 1, row.failures)
        self.assertTrue(row.outside[0].endswith(".pak"), row.outside)

    def test_a_crash_is_counted_whatever_else_the_run_did(self):
        row = self.row("judge/another program crashes in its place")
        self.assertTrue(row.crash, row.failures)
        self.assertFailedFor(row, "exited with")

    def test_a_run_too_short_to_outlast_the_watchdog_fails(self):
        row = self.row("judge/a quick package expected to outlast the watchdog")
        self.assertFailedFor(row, "less than the 16s it must last")
        self.assertTrue(row.ending_ok, row.failures)

    def test_forged_posts_that_never_went_out_fail_the_row(self):
        self.assertFailedFor(self.row("judge/forged posts that never go out"), "never posted")

    def test_a_row_that_cannot_run_fails_never_passes(self):
        row = self.row("judge/a program that is not built")
        self.assertFailedFor(row, "no_such_tool.exe")
        self.assertEqual(row.verdict(), "FAIL")
        self.assertEqual(render.totals([row])["passed"], 0)
        self.assertEqual(render.totals([row])["failed"], 1)

    def test_https_servers_that_could_not_be_set_up_fail_the_rows_that_need_them(self):
        matrix = runner.Matrix()
        matrix.tls_problem = "trust_cert.exe failed with exit code 1"
        row = matrix.run_row(Scenario("judge/https", files=[File(A, tls="good")]))
        self.assertFailedFor(row, "trust_cert.exe failed")


class ObservedTest(unittest.TestCase):
    """The observed column names what the host saw, as the expected column does."""

    def test_a_list_that_failed_after_its_quiet_attempts_may_have_been_a_time_out(self):
        row = ROWS["judge/a list refused until its attempts are spent"]
        self.assertEqual(row.failures, [])
        self.assertEqual(row.observed, "list failed or time-out [-1] box")

    def test_a_failure_after_the_watchdogs_silence_is_a_time_out_and_a_prompt_one_is_not(self):
        lines = ["started\t42", "message\tIPC_MainProcess_OnDownProcess\t0\t0\t-1", "box\tcaption\ttext",
                 "exit\t0"]
        run = HostRun(lines, 0, 20.0)
        self.assertEqual(render.classify(run, False, 15.0), "list failed or time-out [-1] box")
        self.assertEqual(render.classify(run, False, 0.2), "list failed [-1] box")
        self.assertEqual(render.classify(run, False), "list failed [-1] box")
        self.assertEqual(render.classify(run, True, 15.0), "hang (ended by the matrix)")
        # A long transfer sends no report until it ends: its failure is a file's, not the watchdog's.
        lines[1:2] = ["message\tIPC_MainProcess_OnDownProcess\t0\t0\t%d" % figure for figure in (0, 33, -1, -1)]
        self.assertEqual(render.classify(HostRun(lines, 0, 70.0), False, 64.0), "file failed [0,33,-1,-1] box")


class MarkdownTest(unittest.TestCase):
    def test_the_table_with_its_totals_and_reasons_as_markdown(self):
        held = render.Row(Scenario("md/held", files=three()))
        held.observed = "done [0,33,66,100,100]"
        held.seconds = 2.5
        failed = render.Row(Scenario("md/a|b *c*", files=three(), ending=filefail(B)))
        failed.observed = "done [0,33,66,100,100]"
        failed.fail("progress [0,33,66,100,100], expected [0,33,-1,-1]")
        out = io.StringIO()
        render.markdown([held, failed], out, "x86-64")
        lines = out.getvalue().split("\n")
        self.assertEqual(lines[0], "## x86-64")
        self.assertEqual(lines[2], render.totals_line([held, failed]))
        self.assertIn("1 passed, 1 failed", lines[2])
        self.assertEqual(lines[4:6], ["| scenario | expected | observed | result | s |",
                                      "| --- | --- | --- | --- | --- |"])
        self.assertEqual(lines[6], "| md/held | done [0,33,66,100,100] | done [0,33,66,100,100] | pass | 2.5 |")
        self.assertEqual(lines[7], "| md/a\\|b \\*c\\* | file failed [0,33,-1,-1] box | done [0,33,66,100,100] "
                                   "| FAIL | 0.0 |")
        self.assertEqual(lines[9:], ["Why rows failed:", "",
                                     "- md/a\\|b \\*c\\*: progress [0,33,66,100,100], expected [0,33,-1,-1]", ""])


class PlanTest(unittest.TestCase):
    """The figures a row expects, from its files alone."""

    def test_files_up_to_date_for_later_or_repeated_are_not_fetched(self):
        files = [File(A, installed=SAME), File(B), File(B), File("\\later.pak", opt="DELAY"), File(C)]
        scenario = Scenario("plan/mixed", files=files)
        self.assertEqual([f.path for f in scenario.fetch_plan()], [B, C])
        self.assertEqual(scenario.expected_progress(done()), [0, 50, 100, 100])

    def test_a_failure_reports_the_files_before_it_then_minus_one(self):
        scenario = Scenario("plan/three", files=three())
        self.assertEqual(scenario.expected_progress(filefail(C)), [0, 33, 66, -1, -1])
        self.assertEqual(scenario.expected_progress(timeout(A)), [0, -1])
        self.assertEqual(scenario.expected_progress(timeout()), [-1])

    def test_one_file_in_another_letter_case_and_separator_is_fetched_once(self):
        same = Scenario("plan/same", files=[File("\\Data\\a.dat", 3000), File("/data/A.dat", 3000, md5="{MD5}")])
        self.assertEqual([f.path for f in same.fetch_plan()], ["\\Data\\a.dat"])
        other = Scenario("plan/other", files=[File("\\Data\\a.dat", 3000), File("/data/A.dat", 3001)])
        self.assertEqual(len(other.fetch_plan()), 2)
        digests = Scenario("plan/digests", files=[File(A, md5="ab" * 16), File("/A.DAT", md5="AB" * 16)])
        self.assertEqual(len(digests.fetch_plan()), 1)

    def test_rows_must_have_names_of_their_own(self):
        with self.assertRaises(ValueError):
            runner.check_unique([Scenario("a/b c"), Scenario("a/b-c")])


if __name__ == "__main__":
    unittest.main(verbosity=2)
