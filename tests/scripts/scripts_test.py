"""The scripts that choose architectures and own folders: the probe, the
narrowing by RADEVARE_ARCHS, and the refusal to touch a folder of someone
else's (an inherited WINEPREFIX, a --work folder of the main job)."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("RADEVARE_SOURCE") or os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPTS = os.path.join(SOURCE, "scripts")


def bash(script, env=None):
    environment = dict(os.environ)
    environment.update(env or {})
    completed = subprocess.run(["bash", "-c", script], env=environment, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=60)
    return completed.returncode, completed.stdout.decode(), completed.stderr.decode()


def archs(narrow=""):
    """What the probe finds runnable, narrowed as RADEVARE_ARCHS narrows it (empty: no narrowing)."""
    code, out, err = bash('. "%s/arch"; radevare_archs' % SCRIPTS, {"RADEVARE_ARCHS": narrow})
    return out.split()


def snapshot(folder):
    """Every path under folder with its kind, size, time and contents' digest."""
    seen = {}
    for parent, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            digest = None
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    digest = hashlib.md5(f.read()).hexdigest()
            seen[os.path.relpath(path, folder)] = (info.st_mode, info.st_size, info.st_mtime_ns, digest)
    return seen


class ArchitectureTest(unittest.TestCase):
    def test_the_architecture_under_test_is_one_the_probe_finds(self):
        # CTest runs this under the build's own architecture, which the
        # probe must have found runnable, or scripts/test would not be here.
        self.assertIn(os.environ.get("RADEVARE_ARCH", "x86-64"), archs())
        self.assertTrue(set(archs()) <= {"i686", "x86-64"})

    def test_narrowing_keeps_only_the_named_architectures(self):
        everything = archs()
        for arch in ("i686", "x86-64"):
            self.assertEqual(archs(arch), [arch] if arch in everything else [])

    def test_an_unknown_architecture_name_fails_the_test_run(self):
        code, out, err = bash('"%s/test"' % SCRIPTS, {"RADEVARE_ARCHS": "x86_64"})
        self.assertNotEqual(code, 0)
        self.assertIn("unknown architecture 'x86_64'", err)

    def test_a_run_that_can_execute_nothing_fails_and_says_why(self):
        missing = [arch for arch in ("i686", "x86-64") if arch not in archs()]
        if not missing:
            self.skipTest("this machine executes both architectures")
        code, out, err = bash('"%s/test"' % SCRIPTS, {"RADEVARE_ARCHS": missing[0]})
        self.assertNotEqual(code, 0)
        self.assertIn("executes none of the architectures", err)
        self.assertEqual(out.strip().splitlines()[-1], "0 passed, 0 failed")


class ForeignFolderTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="rv_foreign_")
        self.addCleanup(shutil.rmtree, self.folder, True)
        os.makedirs(os.path.join(self.folder, "drive_c", "users"))
        for name, text in (("user.reg", "WINE REGISTRY Version 2\n"), ("drive_c/users/notes.txt", "mine\n")):
            with open(os.path.join(self.folder, name), "w") as f:
                f.write(text)

    def test_wine_exec_leaves_an_inherited_prefix_of_someone_else_as_it_was(self):
        before = snapshot(self.folder)
        for prefix in (self.folder, os.path.join(self.folder, "user.reg")):
            code, out, err = bash('"%s/wine-exec" cmd.exe /c exit' % SCRIPTS, {"WINEPREFIX": prefix})
            self.assertNotEqual(code, 0)
            self.assertIn("not a Wine prefix this project made", err)
        self.assertEqual(snapshot(self.folder), before)

    def test_the_main_job_leaves_a_work_folder_of_someone_else_as_it_was(self):
        before = snapshot(self.folder)
        demo = os.path.join(SOURCE, "tools", "demo", "demo.py")
        completed = subprocess.run([sys.executable, demo, "--work", self.folder], stdin=subprocess.DEVNULL,
                                   capture_output=True, timeout=60)
        self.assertNotEqual(completed.returncode, 0)
        self.assertIn(b"holds files this script did not make", completed.stderr)
        self.assertEqual(snapshot(self.folder), before)


if __name__ == "__main__":
    unittest.main(verbosity=2)
