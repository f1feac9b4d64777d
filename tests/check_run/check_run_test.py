"""The judge of a test run (tests/check_run.py): a run passes only with exit
code 0 and a summary of at least one test, none failed."""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK_RUN = os.path.join(os.path.dirname(HERE), "check_run.py")
sys.path.insert(0, os.path.dirname(HERE))

import check_run  # noqa: E402

SOURCE = os.environ.get("RADEVARE_SOURCE") or os.path.dirname(os.path.dirname(HERE))
BIN = os.environ.get("RADEVARE_BIN") or os.path.join(SOURCE, "build", "bin")
WINE_EXEC = os.path.join(SOURCE, "scripts", "wine-exec")

GTEST_PASSED = """[==========] Running 2 tests from 1 test suite.
[       OK ] A.B (0 ms)
[==========] 2 tests from 1 test suite ran. (0 ms total)
[  PASSED  ] 2 tests.
"""
UNITTEST_OK = "test_a (m.T.test_a) ... ok\n\n----\nRan 3 tests in 0.010s\n\nOK\n"


def judged(kind, command, crash=False):
    env = dict(os.environ)
    env.pop("RADEVARE_CRASH_ON_EXIT", None)
    if crash:
        env["RADEVARE_CRASH_ON_EXIT"] = "1"
    completed = subprocess.run([sys.executable, CHECK_RUN, kind, "--"] + command, env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=90)
    return completed.returncode, completed.stdout.decode("utf-8", "replace")


class VerdictTest(unittest.TestCase):
    def test_a_good_run_passes(self):
        self.assertIsNone(check_run.judge("gtest", GTEST_PASSED, 0))
        self.assertIsNone(check_run.judge("unittest", UNITTEST_OK, 0))
        self.assertIsNone(check_run.judge("unittest", UNITTEST_OK.replace("OK\n", "OK (skipped=1)\n"), 0))

    def test_a_perfect_summary_with_a_bad_exit_code_fails(self):
        self.assertEqual(check_run.judge("gtest", GTEST_PASSED, 5), "exit code 5")
        self.assertEqual(check_run.judge("unittest", UNITTEST_OK, 1), "exit code 1")

    def test_exit_code_zero_without_a_summary_fails(self):
        # What Wine leaves of a program that died of a stack overflow.
        output = "[==========] Running 2 tests from 1 test suite.\n[ RUN      ] A.B\n"
        self.assertIn("no closing summary", check_run.judge("gtest", output, 0))
        self.assertIn("no closing summary", check_run.judge("unittest", "test_a ... ok\n", 0))

    def test_zero_tests_fail(self):
        self.assertIn("0 tests", check_run.judge("gtest", "[  PASSED  ] 0 tests.\n", 0))
        self.assertIn("0 tests", check_run.judge("unittest", "\nRan 0 tests in 0.000s\n\nOK\n", 0))

    def test_a_failed_test_fails_even_with_exit_code_zero(self):
        output = GTEST_PASSED.replace("[  PASSED  ] 2 tests.", "[  PASSED  ] 1 test.\n[  FAILED  ] 1 test, listed below:")
        self.assertEqual(check_run.judge("gtest", output, 0), "a test failed")
        self.assertEqual(check_run.judge("unittest", "\nRan 2 tests in 0.1s\n\nFAILED (failures=1)\n", 0),
                         "a test failed")

    def test_a_heap_error_from_wine_fails_a_perfect_run(self):
        for line in ("0124:err:heap:validate_used_block heap 00410000, block 0041AB20: invalid block header\n",
                     "warn:heap:RtlFreeHeap invalid block 00345678\n",
                     "0030:0124:err:heap:heap_validate_ptr heap 00410000, ptr 0041AB30: invalid block pointer\n"):
            self.assertEqual(check_run.judge("gtest", line + GTEST_PASSED, 0), "Wine reported a damaged heap", line)
        # Other channels, and the word in a test's own text, are no heap report.
        self.assertIsNone(check_run.judge("gtest", "0124:fixme:ole:x\nheap: fine\n" + GTEST_PASSED, 0))


class RealProgramTest(unittest.TestCase):
    """The judge around real programs, as CTest starts them."""

    def test_python_program_with_a_bad_exit_after_ok(self):
        script = "import sys; print('Ran 4 tests in 0.1s'); print(); print('OK'); sys.exit(3)"
        code, output = judged("unittest", [sys.executable, "-c", script])
        self.assertEqual(code, 1, output)
        self.assertIn("check_run: FAILED: exit code 3", output)

    def test_windows_program_that_crashes_after_its_summary_fails(self):
        program = os.path.join(BIN, "crash_after_summary.exe")
        code, output = judged("gtest", [WINE_EXEC, program])
        self.assertEqual(code, 0, output)
        self.assertIn("check_run: passed", output)
        code, output = judged("gtest", [WINE_EXEC, program], crash=True)
        self.assertIn("[  PASSED  ] 1 test.", output)
        self.assertEqual(code, 1, output)
        self.assertRegex(output, r"check_run: FAILED: exit code [1-9]")

    def test_windows_program_with_no_tests_fails(self):
        code, output = judged("gtest", [WINE_EXEC, os.path.join(BIN, "no_tests.exe")])
        self.assertIn("[  PASSED  ] 0 tests.", output)
        self.assertEqual(code, 1, output)
        self.assertIn("check_run: FAILED: the summary counts 0 tests", output)


if __name__ == "__main__":
    unittest.main(verbosity=2)
