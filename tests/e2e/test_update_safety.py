"""An update that never loses the installed game, and file lists that cannot
make the program write or fetch where they should not: the real RadeVare.exe
under Wine against the project's HTTP test server and test host."""
import os
import unittest
import uuid

from harness import Package, ServerTestCase, run_host, wine_path

ERROR_BOX = [["下载错误", "下载出现错误！请重新打开！"]]


def blob(size, seed):
    return bytes((i * 7 + seed) % 251 for i in range(size))


def partial_files(folder):
    """Every partial download file left anywhere under folder."""
    found = []
    for dirpath, _dirs, files in os.walk(folder):
        found += [os.path.join(dirpath, name) for name in files if name.endswith(".rvpart")]
    return found


class SafetyTestCase(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.prefix = "/%s" % self.id().rsplit(".", 1)[-1]
        self.target = self.client.join("game")
        os.makedirs(self.target)

    def package(self, name=""):
        return Package(self.server, prefix=self.prefix + name)

    def run_list(self, pkg, extra="", host_options=("--close-box",), name="/FileList.xml"):
        url = pkg.publish(self.prefix + name)
        return run_host(self.client, "-openurl:%s -apppath:%s %s" % (url, wine_path(self.target), extra),
                        host_options=list(host_options))

    def install(self, relative, data):
        return self.client.write("game/" + relative, data)

    def assertEnded(self, run, progress, box=True):
        self.assertFalse(run.timed_out(), run)
        self.assertEqual(run.client_exit_code(), 0, run)
        self.assertEqual(run.progress(), progress, run)
        self.assertEqual(run.boxes(), ERROR_BOX if box else [], run)
        self.assertEqual(partial_files(self.client.path), [], "a partial download was left behind")


class FailedUpdateTest(SafetyTestCase):
    def test_every_failed_download_leaves_the_installed_file_byte_for_byte(self):
        old = blob(5000, 1)
        new = blob(6000, 2)
        faults = {
            "not found": dict(status=404),
            "server error": dict(status=500),
            "cut body": dict(cut=1000),
            "empty body": dict(size=0),
        }
        for what, fault in faults.items():
            with self.subTest(what):
                self.install("data/a.dat", old)
                pkg = self.package("/" + what.replace(" ", "_"))
                pkg.add("\\data\\a.dat", new, **fault)
                run = self.run_list(pkg, name="/%s.xml" % what.replace(" ", "_"))
                self.assertEnded(run, [0, -1, -1])
                self.assertEqual(self.client.read("game/data/a.dat"), old)

    def test_a_wrong_digest_never_replaces_the_installed_file(self):
        old = blob(5000, 3)
        self.install("a.dat", old)
        pkg = self.package()
        pkg.add("\\a.dat", blob(5000, 4), md5="0" * 32)
        run = self.run_list(pkg)
        self.assertEnded(run, [0, -1, -1])
        self.assertEqual(self.client.read("game/a.dat"), old)

    def test_a_read_only_file_is_a_failed_file_and_stays(self):
        old = blob(300, 5)
        path = self.install("locked.dat", old)
        pkg = self.package()
        pkg.add("\\locked.dat", blob(400, 6))
        # Wine shows a file without write permission as read-only.
        os.chmod(path, 0o444)
        try:
            run = self.run_list(pkg)
        finally:
            os.chmod(path, 0o644)
        self.assertEnded(run, [0, -1, -1])
        self.assertEqual(self.client.read("game/locked.dat"), old)

    def test_a_successful_update_replaces_the_file(self):
        self.install("a.dat", blob(5000, 7))
        pkg = self.package()
        pkg.add("\\a.dat", blob(7000, 8))
        run = self.run_list(pkg)
        self.assertEnded(run, [0, 100, 100], box=False)
        self.assertEqual(self.client.read("game/a.dat"), blob(7000, 8))

    def test_nothing_is_fetched_behind_the_box_after_a_failure(self):
        pkg = self.package()
        pkg.add("\\a.dat", b"a", url=self.server.base_url + "/x/status=404/a.dat")
        # In flight when the failure is handled: stopped, its partial file
        # removed. Left to run, it would end well within the box's 4 s, and
        # the next file would follow.
        pkg.add("\\b.dat", blob(80000, 9), rate=40000)
        pkg.add("\\c.dat", blob(100, 10))
        run = self.run_list(pkg, host_options=["--close-box", "--box-delay", "4000"])
        self.assertEnded(run, [0, -1, -1])
        self.assertEqual(self.server.request_count(self.prefix + "/c.dat"), 0, "fetched behind the box")
        self.assertFalse(self.client.exists("game/b.dat"))


class UnusableListTest(SafetyTestCase):
    def assertUnusable(self, run, *never_requested):
        self.assertEnded(run, [-1])
        for path in never_requested:
            self.assertEqual(self.server.request_count(path), 0, path)
        self.assertEqual(os.listdir(self.target), [], "something was written into the target")

    def test_lists_that_could_write_or_fetch_elsewhere(self):
        share = "\\\\127.0.0.1\\share\\a.dat"
        local = self.client.write("local.dat", b"a local file")
        forms = {
            "environment reference": [("\\%TEMP%\\a.dat", None)],
            "file address": [("\\a.dat", "file:///" + wine_path(local).replace("\\", "/"))],
            "share": [("\\a.dat", share)],
            "other scheme": [("\\a.dat", "ftp://127.0.0.1/a.dat")],
            "same file, two digests": [("\\Data\\a.dat", None), ("/data/A.DAT", "other digest")],
        }
        for what, entries in forms.items():
            with self.subTest(what):
                pkg = self.package("/" + what.split()[0])
                for file_path, url in entries:
                    if url == "other digest":
                        pkg.add(file_path, blob(10, 11), md5="1" * 32)
                    elif url is None:
                        pkg.add(file_path, blob(10, 12))
                    else:
                        pkg.add(file_path, b"x", url=url)
                run = self.run_list(pkg, name="/%s.xml" % what.split()[0])
                self.assertUnusable(run, pkg.prefix + "/Data/a.dat", pkg.prefix + "/%25TEMP%25/a.dat")

    def test_without_a_target_folder_nothing_is_fetched_or_written(self):
        # Without apppath the paths would start at the root of the current
        # drive, under Wine the root of this machine.
        name = "rv_safety_%s.dat" % uuid.uuid4().hex
        pkg = self.package()
        pkg.add("\\" + name, blob(100, 13))
        url = pkg.publish(self.prefix + "/FileList.xml")
        for args in ("-openurl:%s" % url, "-openurl:%s -apppath:" % url):
            with self.subTest(args):
                run = run_host(self.client, args, host_options=["--close-box"])
                created = os.path.exists("/" + name)
                if created:
                    os.remove("/" + name)
                self.assertFalse(created, "written at the root of the drive")
                self.assertEnded(run, [-1])
                self.assertEqual(self.server.request_count(self.prefix + "/" + name), 0)

    def test_file_list_from_anything_but_a_web_address_is_a_failed_list(self):
        listed = self.client.write("other/FileList.xml", self.package().file_list_xml())
        run = run_host(self.client, "-openurl:file:///%s -apppath:%s" % (wine_path(listed).replace("\\", "/"),
                                                                          wine_path(self.target)),
                       host_options=["--close-box"])
        self.assertEnded(run, [-1])
        self.assertFalse(self.client.exists("FileList.xml"))

    def test_a_background_download_of_anything_but_a_web_address_writes_nothing(self):
        source = self.client.write("source.dat", b"a local file")
        run = run_host(self.client, "-norun -noprocess -downtype:file:///%s -apppath:copied.dat"
                       % wine_path(source).replace("\\", "/"))
        self.assertFalse(run.timed_out(), run)
        self.assertEqual(run.client_exit_code(), 0, run)
        self.assertEqual(run.progress(), [])
        self.assertFalse(self.client.exists("copied.dat"))
        self.assertEqual(partial_files(self.client.path), [])


class PathFormTest(SafetyTestCase):
    def test_forward_slashes_reach_new_folders(self):
        pkg = self.package()
        pkg.add("/data/new/a.dat", blob(3000, 14), url=None)
        pkg.add("\\data\\new/deeper/b.dat", blob(2000, 15))
        run = self.run_list(pkg)
        self.assertEnded(run, [0, 50, 100, 100], box=False)
        self.assertEqual(self.client.read("game/data/new/a.dat"), blob(3000, 14))
        self.assertEqual(self.client.read("game/data/new/deeper/b.dat"), blob(2000, 15))

    def test_the_same_file_listed_twice_is_fetched_once(self):
        data = blob(4000, 16)
        pkg = self.package()
        first = pkg.add("\\Data\\a.dat", data)
        # Another letter case and the other separator: the same file to Windows.
        pkg.add("/data/A.dat", data, url=first, md5=pkg.entries[0][2].upper())
        run = self.run_list(pkg)
        self.assertEnded(run, [0, 100, 100], box=False)
        self.assertEqual(self.server.request_count(self.prefix + "/Data/a.dat"), 1)
        self.assertEqual(self.client.read("game/Data/a.dat"), data)


if __name__ == "__main__":
    unittest.main(verbosity=2)
