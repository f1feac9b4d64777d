"""The stall watchdog: a transfer that stops for about 16 seconds ends the
run; a slow one that keeps arriving is never cut."""
import unittest

from harness import Package, ServerTestCase, run_host, wine_path


class WatchdogTest(ServerTestCase):
    def test_stalled_transfer_times_out_with_the_box(self):
        pkg = Package(self.server, prefix="/stall")
        pkg.add("\\big.dat", bytes(200000), stall=(20, 50000))
        url = pkg.publish("/stall/FileList.xml")
        run = run_host(self.client, "-openurl:%s -apppath:%s" % (url, wine_path(self.client.join("g"))),
                       host_options=["--close-box"])
        self.assertEqual(run.client_exit_code(), 0, run)
        self.assertEqual(run.progress(), [0, -1], run)
        self.assertEqual(len(run.boxes()), 1, run)
        # About 16 idle ticks after the last bytes arrived, well before the stall ends.
        self.assertGreater(run.elapsed, 14)
        self.assertLess(run.elapsed, 20 + 15)

    def test_slow_steady_transfer_longer_than_the_watchdog_succeeds(self):
        pkg = Package(self.server, prefix="/slow")
        data = bytes(range(256)) * 700  # 179,200 bytes at 7,000 a second: about 26 s
        pkg.add("\\slow.dat", data, rate=7000)
        url = pkg.publish("/slow/FileList.xml")
        run = run_host(self.client, "-openurl:%s -apppath:%s -noprocess" % (url, wine_path(self.client.join("g"))),
                       timeout=120)
        self.assertEqual(run.client_exit_code(), 0, run)
        self.assertEqual(run.progress(), [0, 100, 100], run)
        self.assertGreater(run.elapsed, 20, "the transfer outlasted the watchdog")
        self.assertEqual(self.client.read("g/slow.dat"), data)

    def test_stalled_background_download_ends_quietly(self):
        self.server.add_file("/stall/later.pak", bytes(100000))
        self.server.set_fault("/stall/later.pak", stall=40)
        run = run_host(self.client, "-norun -noprocess -downtype:%s/stall/later.pak -apppath:later.pak"
                       % self.server.base_url, host_options=["--watch-window"], timeout=60)
        self.assertEqual(run.client_exit_code(), 0, run)
        self.assertEqual(run.progress(), [])
        self.assertLess(run.elapsed, 35, "the background instance did not wait for the stall to end")


if __name__ == "__main__":
    unittest.main(verbosity=2)
