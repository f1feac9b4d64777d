#!/usr/bin/env python3
"""Runs one test program and judges the whole run, not just one sign of it.

usage: check_run.py gtest|unittest -- COMMAND [ARGS...]

CTest starts every test through this. A run passes only when the program
ended with exit code 0 *and* its own closing summary says that at least one
test ran and none failed:
  gtest     "[  PASSED  ] N tests." with N > 0, and no "[  FAILED  ]" line
  unittest  "Ran N tests" with N > 0, then a line "OK" (or "OK (...)")
Either alone can lie: under Wine a program that dies of a stack overflow can
end with exit code 0, and a program that crashes after printing its summary
(in a static destructor, say) prints a perfect summary. A run also fails when
Wine reports damage to a heap ("err:heap:" or "warn:heap:" lines, printed when
a test runs with WINEDEBUG=warn+heap): the program went on past it, but a
block was freed twice or written past its end. The program's output is passed
through unchanged; the verdict is the last line.
"""
import re
import subprocess
import sys
import threading

SUMMARIES = {
    "gtest": re.compile(r"^\[  PASSED  \] (\d+) tests?\.", re.M),
    "unittest": re.compile(r"^Ran (\d+) tests? in ", re.M),
}
# Wine's heap checks, as its debug channels print them ("0124:err:heap:...").
HEAP_ERROR = re.compile(r"^(?:[0-9a-f]+:)*(?:err|warn):heap:", re.M)
FAILURES = {
    "gtest": re.compile(r"^\[  FAILED  \]", re.M),
    "unittest": re.compile(r"^FAILED \(", re.M),
}


def judge(kind, output, exit_code):
    """The reason the run fails, or None when it passes."""
    if exit_code != 0:
        return "exit code %d" % exit_code
    if HEAP_ERROR.search(output):
        return "Wine reported a damaged heap"
    found = SUMMARIES[kind].findall(output)
    if not found:
        return "no closing summary: the program ended before its tests were done"
    if int(found[-1]) == 0:
        return "the summary counts 0 tests"
    if FAILURES[kind].search(output):
        return "a test failed"
    if kind == "unittest" and not re.search(r"^OK( \(.*\))?$", output[output.rfind("\nRan "):], re.M):
        return "no OK after the summary"
    return None


def main(argv):
    if len(argv) < 3 or argv[0] not in SUMMARIES or argv[1] != "--":
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    kind, command = argv[0], argv[2:]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    chunks = []

    def relay():
        for chunk in iter(lambda: process.stdout.read1(65536), b""):
            chunks.append(chunk)
            sys.stdout.buffer.write(chunk)
            sys.stdout.buffer.flush()

    reader = threading.Thread(target=relay, daemon=True)
    reader.start()
    exit_code = process.wait()
    # A process the program started may still hold the pipe; its output
    # after the program's end is not the program's.
    reader.join(10)
    output = b"".join(chunks).decode("utf-8", "replace").replace("\r\n", "\n")
    reason = judge(kind, output, exit_code)
    if reason is not None:
        print("check_run: FAILED: %s" % reason, flush=True)
        return 1
    print("check_run: passed (exit code 0, summary: %s)" % SUMMARIES[kind].findall(output)[-1], flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
