"""The harness under every runner (tools/runlib): what it writes and what it refuses to touch, without Wine."""
import os
import shutil
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tools"))

from runlib import filelist, folders, host, paths  # noqa: E402


class FolderTestCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="rv_runlib_")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def write(self, rel, data):
        return folders.write_file(os.path.join(self.folder, *rel.split("/")), data)


class FileListTest(unittest.TestCase):
    def test_every_attribute_value_reads_back_as_written(self):
        awkward = ('\\a&b\\"quoted"\\<tag>.dat', "http://127.0.0.1:1/x?a=1&b=<2>", "0" * 32, "RUN", 'say "hi" & go')
        text = filelist.document([filelist.entry(*awkward), filelist.entry("\\plain.dat", "u", "1" * 32, "", None)])
        files = ElementTree.fromstring(text.encode("utf-8")).findall("File")
        self.assertEqual([files[0].get(k) for k in ("FilePath", "url", "md5", "opt", "CMD")], list(awkward))
        # A value of None leaves the attribute out, as a broken list does.
        self.assertNotIn("CMD", files[1].attrib)


class FoldersTest(FolderTestCase):
    def test_a_snapshot_sees_changed_contents_and_leaves_out_the_skipped_subtree(self):
        path = self.write("a/f.bin", b"one")
        self.write("skip/g.bin", b"x")
        before = folders.snapshot(self.folder, skip=os.path.join(self.folder, "skip"), digests=True)
        self.assertEqual(sorted(before), ["a", os.path.join("a", "f.bin")])
        stat = os.stat(path)
        with open(path, "wb") as f:
            f.write(b"two")
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        self.write("skip/h.bin", b"y")
        after = folders.snapshot(self.folder, skip=os.path.join(self.folder, "skip"), digests=True)
        self.assertEqual(folders.changes(before, after), [os.path.join("a", "f.bin")])

    def test_an_owned_folder_refuses_someone_elses_files_and_paths_outside_it(self):
        self.write("theirs.txt", b"keep")
        work = folders.OwnedFolder(self.folder, ".marker", "a test")
        with self.assertRaises(SystemExit):
            work.claim()
        with self.assertRaises(RuntimeError):
            work.remove(os.path.join(self.folder, "theirs.txt"))
        self.assertTrue(os.path.exists(os.path.join(self.folder, "theirs.txt")))

        mine = folders.OwnedFolder(os.path.join(self.folder, "mine"), ".marker", "a test")
        mine.claim()
        self.write("mine/made.bin", b"x")
        with self.assertRaises(RuntimeError):
            mine.remove(os.path.join(self.folder, "theirs.txt"))
        with self.assertRaises(RuntimeError):
            mine.remove(mine.path)
        mine.empty()
        self.assertEqual(os.listdir(mine.path), [".marker"])
        self.assertTrue(os.path.exists(os.path.join(self.folder, "theirs.txt")))


class PathsTest(FolderTestCase):
    def test_a_name_is_found_in_another_letter_case_as_windows_finds_it(self):
        self.write("Game/Data.PAK", b"pak")
        self.assertEqual(paths.read_bytes(os.path.join(self.folder, "game", "data.pak")), b"pak")
        self.assertIsNone(paths.read_bytes(os.path.join(self.folder, "game", "other.pak")))
        self.assertEqual(paths.local_of("\\Game\\\\sub/x.dat"), "Game/sub/x.dat")
        self.assertEqual(paths.wine_path("/tmp/a b"), "Z:\\tmp\\a b")


class LaunchTest(FolderTestCase):
    """A host that never ran is started once more; one that ran, or fails again, is what it is."""

    def launch(self, script):
        """A Launch whose host is a shell script, run with the log's path and a count of its runs."""
        log = os.path.join(self.folder, "host.log")
        runs = os.path.join(self.folder, "runs")
        argv = ["sh", "-c", script, "host", log, runs]
        original = host.command
        host.command = lambda *a, **k: argv
        try:
            launch = host.Launch("client.exe", [], log, timeout=20, margin=5)
        finally:
            host.command = original
        for _ in range(400):
            if launch.poll():
                return launch
            time.sleep(0.05)
        self.fail("the launch never ended")

    # Counts its runs in $2; the first one exits 1 at once without a line.
    FIRST_FAILS = 'echo x >> "$2"; [ "$(wc -l < "$2")" -ge 2 ] || exit 1; printf "started\\t7\\nexit\\t0\\n" > "$1"'

    def test_a_host_that_ends_before_its_first_line_is_started_once_more(self):
        launch = self.launch(self.FIRST_FAILS)
        self.assertEqual(launch.relaunched, 1)
        self.assertEqual(launch.process.returncode, 0)
        self.assertEqual(launch.lines, ["started\t7", "exit\t0"])

    def test_a_host_that_fails_again_or_wrote_a_line_is_not_started_again(self):
        launch = self.launch('echo x >> "$2"; exit 3')
        self.assertEqual(launch.relaunched, 3)
        self.assertEqual(launch.process.returncode, 3)
        with open(os.path.join(self.folder, "runs")) as f:
            self.assertEqual(len(f.readlines()), 2)
        os.remove(os.path.join(self.folder, "runs"))
        launch = self.launch('echo x >> "$2"; printf "started\\t7\\n" > "$1"; exit 1')
        self.assertIsNone(launch.relaunched)
        self.assertEqual(launch.process.returncode, 1)


if __name__ == "__main__":
    unittest.main()
