"""The whole run, end to end: the real RadeVare.exe under Wine, fetching
packages from the project's HTTP test server and reporting to its test host."""
import os
import unittest

import harness
from harness import Package, ServerTestCase, run_client, run_host, wait_for, wine_path

RUNNER = open(os.path.join(harness.BIN, "run_recorder.exe"), "rb").read()


def blob(size, seed):
    """Deterministic content that differs per seed."""
    out = bytearray()
    state = seed * 2654435761 % 2**32 or 1
    while len(out) < size:
        state = (state * 1103515245 + 12345) % 2**31
        out += state.to_bytes(4, "little")
    return bytes(out[:size])


class WorkflowTestCase(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.prefix = "/%s" % self.id().rsplit(".", 1)[-1]

    def package(self):
        return Package(self.server, prefix=self.prefix)

    def assertRunEnded(self, run):
        self.assertFalse(run.timed_out(), run)
        self.assertEqual(run.client_exit_code(), 0, run)


class OpenUrlTest(WorkflowTestCase):
    def test_three_files_are_fetched_verified_started_and_handed_on(self):
        pkg = self.package()
        pkg.add("\\bin\\Runner.exe", RUNNER, opt="RUN", cmd="-fromlist x")
        pkg.add("\\data\\deep\\er\\a.dat", blob(300000, 1))
        pkg.add("\\data\\b.dat", blob(70000, 2))
        # A blank in the path: the background instance still gets it whole.
        pkg.add("\\later on\\delayed music.pak", blob(50000, 3), opt="DELAY")
        url = pkg.publish(self.prefix + "/FileList.xml")
        target = self.client.join("game")

        run = run_host(self.client, "-openurl:%s -apppath:%s -gameid:42" % (url, wine_path(target)))

        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [0, 33, 66, 100, 100], run)
        self.assertEqual(set(run.game_ids()), {42})
        for relative in ("bin/Runner.exe", "data/deep/er/a.dat", "data/b.dat"):
            self.assertEqual(self.client.read("game/" + relative), pkg.contents["\\" + relative.replace("/", "\\")])
        # The file list itself lies beside the executable.
        self.assertTrue(self.client.exists("FileList.xml"))
        # The run-list program gets a blank and its CMD.
        runlog = self.client.join("game", "bin", "Runner.exe.runlog")
        self.assertTrue(wait_for(lambda: os.path.exists(runlog)), "the RUN program was not started")
        with open(runlog, encoding="utf-8") as f:
            self.assertEqual(f.read(), '"%s"  -fromlist x\n' % wine_path(os.path.join(target, "bin", "Runner.exe")))
        # The DELAY entry is fetched by a background instance into the program's folder.
        delayed = "later on/delayed music.pak"
        self.assertTrue(wait_for(lambda: self.client.exists(delayed)), "no background instance fetched it")
        self.assertTrue(wait_for(lambda: self.client.read(delayed) == pkg.contents["\\later on\\delayed music.pak"]))
        self.assertFalse(self.client.exists("game/" + delayed))

    def test_up_to_date_package_ends_at_once_with_100(self):
        pkg = self.package()
        pkg.add("\\a.dat", blob(1000, 4))
        pkg.add("\\sub\\b.dat", blob(2000, 5))
        pkg.add("\\tool\\Runner.exe", RUNNER, opt="RUN", cmd="go")
        url = pkg.publish(self.prefix + "/FileList.xml")
        for file_path, data in pkg.contents.items():
            self.client.write("game" + file_path.replace("\\", "/"), data)

        run = run_host(self.client, "-openurl:%s -apppath:%s" % (url, wine_path(self.client.join("game"))),
                       host_options=["--close-box"])

        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [100], run)
        self.assertEqual(run.boxes(), [])
        self.assertLess(run.elapsed, 12, "an up-to-date package must not wait for the watchdog")
        self.assertTrue(wait_for(lambda: self.client.exists("game/tool/Runner.exe.runlog")))
        for file_path in ("/a.dat", "/sub/b.dat"):
            self.assertEqual(self.server.request_count(self.prefix + file_path), 0)

    def test_target_folder_outside_the_ansi_code_page(self):
        pkg = self.package()
        pkg.add("\\数据\\游戏.dat", blob(5000, 6))
        url = pkg.publish(self.prefix + "/FileList.xml")
        target = self.client.join("游戏目录")

        run = run_host(self.client, "-openurl:%s -apppath:%s" % (url, wine_path(target)), host_options=["--close-box"])

        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [0, 100, 100], run)
        self.assertEqual(self.client.read("游戏目录/数据/游戏.dat"), pkg.contents["\\数据\\游戏.dat"])

    def test_a_command_line_that_selects_no_mode_ends_at_once(self):
        # Nothing would ever end it otherwise: no window, no timer, no download.
        for args in ("-gameid:3 -norun", "-noprocess -biw:0", "   "):
            with self.subTest(args):
                run = run_host(self.client, args.split() or [args], timeout=30)
                self.assertRunEnded(run)
                self.assertEqual(run.progress(), [])
                self.assertLess(run.elapsed, 12)

    def test_empty_openurl_ends_at_once(self):
        run = run_host(self.client, "-openurl: -gameid:1")
        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [])
        self.assertLess(run.elapsed, 12)


class FailureTest(WorkflowTestCase):
    def one_file_run(self, url, host_options=("--close-box",), extra="", md5=None):
        pkg = self.package()
        pkg.add("\\one.dat", blob(4000, 7), url=url, md5=md5)
        list_url = pkg.publish(self.prefix + "/FileList.xml")
        return run_host(self.client, "-openurl:%s -apppath:%s %s" % (list_url, wine_path(self.client.join("g")), extra),
                        host_options=list(host_options))

    def assertFailedFile(self, run, box):
        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [0, -1, -1], run)
        if box:
            self.assertEqual(run.boxes(), [["下载错误", "下载出现错误！请重新打开！"]], run)
        else:
            self.assertEqual(run.boxes(), [], run)

    def test_not_found_shows_the_box(self):
        self.assertFailedFile(self.one_file_run(self.server.base_url + "/x/status=404/one.dat"), box=True)

    def test_server_error_without_ui_shows_no_box(self):
        # Refused for good (a 5xx would be tried again first, for seconds).
        run = self.one_file_run(self.server.base_url + "/x/status=403/one.dat", extra="-noprocess")
        self.assertFailedFile(run, box=False)

    def test_refused_connection(self):
        # Port 9 on loopback: nothing listens there.
        run = self.one_file_run("http://127.0.0.1:9/one.dat", extra="-noprocess")
        self.assertFailedFile(run, box=False)

    def test_later_failures_while_the_box_is_open_are_held_back(self):
        pkg = self.package()
        pkg.add("\\a.dat", b"a", url=self.server.base_url + "/x/status=404/a.dat")
        pkg.add("\\b.dat", b"b", url=self.server.base_url + "/x/status=404/b.dat")
        pkg.add("\\c.dat", blob(100, 12))
        url = pkg.publish(self.prefix + "/FileList.xml")
        run = run_host(self.client, "-openurl:%s -apppath:%s" % (url, wine_path(self.client.join("g"))),
                       host_options=["--close-box", "--box-delay", "2500"])
        self.assertRunEnded(run)
        # One box, one failure sequence: the second failure and the success
        # after it arrive while the box is open and change nothing.
        self.assertEqual(len(run.boxes()), 1, run)
        self.assertEqual(run.progress(), [0, -1, -1], run)

    def test_digest_mismatch(self):
        self.server.add_file(self.prefix + "/one.dat", blob(4000, 7))
        run = self.one_file_run(self.server.base_url + self.prefix + "/one.dat", md5="0" * 32)
        self.assertFailedFile(run, box=True)

    def test_failed_file_list_reports_once_and_the_report_arrives(self):
        run = run_host(self.client, "-openurl:%s/x/status=404/FileList.xml -apppath:%s -noprocess"
                       % (self.server.base_url, wine_path(self.client.join("g"))))
        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [-1], run)

    def test_unreadable_list_fails_at_once(self):
        self.server.add_file(self.prefix + "/FileList.xml", b"this is not a file list")
        run = run_host(self.client, "-openurl:%s%s/FileList.xml -apppath:%s"
                       % (self.server.base_url, self.prefix, wine_path(self.client.join("g"))),
                       host_options=["--close-box"])
        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [-1], run)
        self.assertEqual(len(run.boxes()), 1, run)
        self.assertLess(run.elapsed, 12)

    def test_unsafe_file_path_writes_nothing_outside_the_target(self):
        pkg = self.package()
        pkg.add("\\fine.dat", blob(100, 8))
        pkg.add("\\..\\escaped.dat", blob(100, 9), url=self.server.base_url + self.prefix + "/escaped.dat")
        self.server.add_file(self.prefix + "/escaped.dat", blob(100, 9))
        url = pkg.publish(self.prefix + "/FileList.xml")
        target = self.client.join("inner", "game")
        os.makedirs(target)

        run = run_host(self.client, "-openurl:%s -apppath:%s -noprocess" % (url, wine_path(target)))

        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [-1], run)
        self.assertFalse(self.client.exists("inner/escaped.dat"))
        self.assertEqual(self.server.request_count(self.prefix + "/escaped.dat"), 0)
        self.assertEqual(self.server.request_count(self.prefix + "/fine.dat"), 0)


class SetupModeTest(WorkflowTestCase):
    CENTER = "HKCU\\SOFTWARE\\VodiDeveCenter"
    CHANNELS = "HKCU\\SOFTWARE\\Rirodaza"

    def tearDown(self):
        harness.reg_delete(self.CHANNELS, "RvE2eChannelKey")
        harness.reg_delete(self.CENTER, "pkey")
        harness.reg_delete(self.CENTER, "channelid")

    def write_config(self, downurl):
        attributes = 'channelid="ch-e2e-7" gKey="RvE2eChannelKey" pKey="pk-e2e"'
        if downurl:
            attributes = 'downurl="%s" ' % downurl + attributes
        self.client.write("LumoConfig.xml", ('<?xml version="1.0" encoding="UTF-8"?>\n<Lumo>\n  <Client %s/>\n</Lumo>\n'
                                             % attributes).encode("utf-8"))

    def test_configured_setup_fetches_into_the_program_folder_and_hands_over_keys(self):
        pkg = self.package()
        pkg.add("\\Setup\\Runner.exe", RUNNER, opt="RUN", cmd="/quiet")
        pkg.add("\\res\\r.dat", blob(9000, 10))
        self.write_config(pkg.publish(self.prefix + "/FileList.xml"))

        run = run_host(self.client, "DovuVadedeZizaz -gameid:5")

        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [0, 50, 100, 100], run)
        self.assertEqual(self.client.read("res/r.dat"), pkg.contents["\\res\\r.dat"])
        runlog = self.client.join("Setup", "Runner.exe.runlog")
        self.assertTrue(wait_for(lambda: os.path.exists(runlog)))
        with open(runlog, encoding="utf-8") as f:
            line = f.read()
        # The whole command line the program got, a blank and the CMD.
        self.assertRegex(line, r'^"[^"]*Runner\.exe" DovuVadedeZizaz -gameid:5 -biw:\d+ /quiet\n$')
        self.assertEqual(harness.reg_query(self.CENTER, "pkey"), "pk-e2e")
        self.assertEqual(harness.reg_query(self.CENTER, "channelid"), "ch-e2e-7")
        self.assertEqual(harness.reg_query(self.CHANNELS, "RvE2eChannelKey"), "ch-e2e-7")

    def test_setup_without_file_list_url_ends_at_once(self):
        self.write_config(None)
        run = run_host(self.client, "DovuVadedeZizaz")
        self.assertRunEnded(run)
        self.assertEqual(run.progress(), [])
        self.assertLess(run.elapsed, 12)
        # The keys are written only for a configured setup.
        self.assertIsNone(harness.reg_query(self.CENTER, "pkey"))


class DelayedDownloadTest(WorkflowTestCase):
    def test_success_and_failure_end_without_window_or_report(self):
        self.server.add_file(self.prefix + "/one.pak", blob(20000, 11))
        ok = run_host(self.client, "-norun -noprocess -downtype:%s%s/one.pak -apppath:\\data\\one.pak"
                      % (self.server.base_url, self.prefix), host_options=["--watch-window"])
        self.assertRunEnded(ok)
        self.assertEqual(ok.progress(), [])
        self.assertEqual(ok.window_events(), [])
        self.assertEqual(self.client.read("data/one.pak"), blob(20000, 11))

        failed = run_host(self.client, "-norun -noprocess -downtype:%s/x/status=404/two.pak -apppath:two.pak"
                          % self.server.base_url, host_options=["--watch-window"])
        self.assertRunEnded(failed)
        self.assertEqual(failed.progress(), [])
        self.assertFalse(self.client.exists("two.pak"))

    def test_path_outside_the_program_folder_is_refused(self):
        self.server.add_file(self.prefix + "/evil.pak", b"x")
        code, _ = run_client(self.client, "-noprocess -downtype:%s%s/evil.pak -apppath:..\\evil.pak"
                             % (self.server.base_url, self.prefix))
        self.assertEqual(code, 0)
        self.assertEqual(self.server.request_count(self.prefix + "/evil.pak"), 0)
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.client.path), "evil.pak")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
