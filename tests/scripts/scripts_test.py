"""The scripts that choose architectures and own folders: the probe, the
narrowing by RADEVARE_ARCHS, and the refusal to touch a folder of someone
else's (an inherited WINEPREFIX, a --work folder of the main job)."""
import contextlib
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("RADEVARE_SOURCE") or os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPTS = os.path.join(SOURCE, "scripts")
sys.path.insert(0, os.path.join(SOURCE, "tools"))

from runlib import folders, paths  # noqa: E402


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
    return folders.snapshot(folder, digests=True)


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


FAKE_APT = r"""#!/usr/bin/env bash
# apt-get as a mirror out of step answers it: FAKE_APT says which installs fail.
echo "apt-get $*" >>"$FAKE_LOG"
case " $* " in *" install "*) ;; *) exit 0 ;; esac
fails=0
case "$FAKE_APT" in
plain) case " $* " in *" -t "*) ;; *) fails=1 ;; esac ;;
wine32) case " $* " in *" wine32:i386 "*) fails=1 ;; esac ;;
all) fails=1 ;;
esac
if [ $fails = 1 ]; then
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100
fi
"""


class SetupTest(unittest.TestCase):
    """scripts/setup against an apt that cannot resolve the install, with
    apt, dpkg and the architecture probe replaced by stand-ins: nothing is
    installed for real."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="rv-setup-")
        self.addCleanup(shutil.rmtree, self.root, True)
        os.makedirs(os.path.join(self.root, "scripts"))
        os.makedirs(os.path.join(self.root, "third_party", "tinyxml"))
        open(os.path.join(self.root, "third_party", "tinyxml", "tinyxml.h"), "w").close()
        shutil.copy(os.path.join(SCRIPTS, "setup"), os.path.join(self.root, "scripts", "setup"))
        with open(os.path.join(self.root, "scripts", "arch"), "w") as f:
            f.write('radevare_machine_runs() { [ "$1" = x86-64 ] || [ "${FAKE_RUNS_I686:-0}" = 1 ]; }\n')
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.bin)
        stubs = {
            "apt-get": FAKE_APT,
            "dpkg-query": "#!/bin/sh\nexit 1\n",
            "dpkg": '#!/bin/sh\n[ "$1" = --print-foreign-architectures ] && echo i386\nexit 0\n',
            "tee": '#!/bin/sh\ncat >/dev/null\n',
            "sudo": '#!/bin/sh\nexec "$@"\n',
        }
        for name, text in stubs.items():
            path = os.path.join(self.bin, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        self.log = os.path.join(self.root, "apt.log")
        self.suite = "bookworm"
        if os.path.exists("/etc/os-release"):
            with open("/etc/os-release") as f:
                for line in f:
                    if line.startswith("VERSION_CODENAME=") and line.strip().split("=", 1)[1]:
                        self.suite = line.strip().split("=", 1)[1].strip('"')

    def setup(self, fake_apt, runs_i686=True):
        open(self.log, "w").close()
        completed = subprocess.run(
            [os.path.join(self.root, "scripts", "setup")], stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
            env=dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"], FAKE_LOG=self.log,
                     FAKE_APT=fake_apt, FAKE_RUNS_I686="1" if runs_i686 else "0"))
        with open(self.log) as f:
            installs = [line.split() for line in f if " install " in line]
        return completed.returncode, completed.stderr.decode(), installs

    def test_an_unresolvable_install_is_tried_once_more_preferring_the_main_archive(self):
        code, err, installs = self.setup("plain")
        self.assertEqual(code, 0, err)
        self.assertEqual(len(installs), 2, installs)
        self.assertNotIn("-t", installs[0])
        self.assertEqual(installs[1][installs[1].index("-t") + 1], self.suite)
        self.assertIn("wine32:i386", installs[1])
        self.assertEqual(err.count("trying once more with Debian's main archive preferred (-t %s)" % self.suite), 1)
        self.assertNotIn("cannot be installed", err)

    def test_without_wine32_the_rest_is_installed_and_the_reason_said(self):
        code, err, installs = self.setup("wine32")
        self.assertEqual(code, 0, err)
        self.assertIn("Wine's 32-bit half (wine32:i386) cannot be installed", err)
        self.assertTrue(all("wine32:i386" in i for i in installs[:2]), installs)
        self.assertEqual(len(installs), 3, installs)
        self.assertNotIn("wine32:i386", installs[2])
        self.assertIn("wine64", installs[2])

    def test_an_install_that_fails_for_everything_fails_the_setup(self):
        for runs_i686 in (True, False):
            code, err, installs = self.setup("all", runs_i686)
            self.assertNotEqual(code, 0, err)
            self.assertIn("setup: could not install", err)
            self.assertEqual(any("wine32:i386" in i for i in installs), runs_i686, installs)

    def test_a_machine_without_32_bit_code_never_asks_for_wine32(self):
        code, err, installs = self.setup("wine32", runs_i686=False)
        self.assertEqual(code, 0, err)
        self.assertEqual(len(installs), 1, installs)
        self.assertNotIn("wine32:i386", installs[0])


def write_bar_bmp(path, fill, width=250, track=(12, 12, 16), blue=(30, 140, 250), white=(255, 255, 255)):
    """A 24-bit screenshot of a white screen with the strip at (20, 10), fill pixels of it blue."""
    screen_w, screen_h = width + 40, 32
    rows = []
    for y in range(screen_h):
        row = [white] * screen_w
        if 10 <= y < 22:
            for x in range(width):
                row[20 + x] = blue if x < fill else track
        rows.append(row)
    stride = (screen_w * 3 + 3) & ~3
    body = b"".join(bytes(v for p in row for v in (p[2], p[1], p[0])).ljust(stride, b"\0") for row in reversed(rows))
    header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(body), 0, 0, 54, 40, screen_w, screen_h, 1, 24, 0,
                         len(body), 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(header + body)
    return [paths.wine_path(path), None, "20", "10", str(20 + width), "22", "1"]


class MainJobPictureTest(unittest.TestCase):
    """The main job's picture of the bar must show the figure it was taken at."""

    def setUp(self):
        sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
        import demo
        self.demo = demo
        self.folder = tempfile.mkdtemp(prefix="rv-picture-")
        self.png = os.path.join(self.folder, "bar.png")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def judge(self, figure, fill):
        snap = write_bar_bmp(os.path.join(self.folder, "snap-%d.bmp" % fill), fill)
        snap[1] = str(figure)
        with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(io.StringIO()) as err:
            ok = self.demo.report_picture([snap], self.png, required=True)
        return ok, out.getvalue(), err.getvalue()

    def test_a_picture_that_shows_its_figure_is_kept_with_its_width(self):
        # 48% of 250 pixels, truncated, is 120; 17 of 35 files fill 121.
        for fill in (120, 121, 119):
            ok, out, err = self.judge(48, fill)
            self.assertTrue(ok, err)
            self.assertIn("screenshot of the bar at 48%%: fill %d of 250 pixels (120 expected)" % fill, out)
        self.assertTrue(os.path.isfile(self.png))

    def test_an_empty_bar_or_another_figure_is_refused(self):
        for fill in (0, 113, 122):
            ok, out, err = self.judge(48, fill)
            self.assertFalse(ok, fill)
            self.assertIn("does not show its figure: a fill of %d pixels at 48%%, not 120" % fill, err)

    def test_no_picture_in_mid_run_is_refused_for_the_sample(self):
        with contextlib.redirect_stderr(io.StringIO()) as err:
            self.assertFalse(self.demo.report_picture([], self.png, required=True))
            self.assertTrue(self.demo.report_picture([], self.png, required=False))
        self.assertIn("no picture of the bar", err.getvalue())


if __name__ == "__main__":
    unittest.main(verbosity=2)
