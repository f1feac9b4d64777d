"""The progress strip on a real (Xvfb) screen: where it is, what it shows,
and that it never shows without a user interface."""
import os
import sys
import unittest

import harness
from harness import Package, ServerTestCase, run_host, wine_path

sys.path.insert(0, os.path.join(harness.SOURCE, "tools", "demo"))
from bmp import bar_row, is_fill, is_track, read_bmp  # noqa: E402

# The strip is 250 x 12, centred on the 1920 x 1080 work area of the screen.
EXPECTED_RECT = (835, 534, 1085, 546)


class WindowTest(ServerTestCase):
    def three_slow_files(self, prefix):
        # Each file waits before its body, so every state of the bar stays on
        # screen long enough for a screenshot.
        pkg = Package(self.server, prefix=prefix)
        for i in range(3):
            pkg.add("\\f%d.dat" % i, bytes([i]) * 3000, stall=2)
        return pkg.publish(prefix + "/FileList.xml")

    def test_bar_is_centred_and_fills_by_the_truncated_percentage(self):
        url = self.three_slow_files("/bar")
        snaps = self.client.join("snaps")
        os.makedirs(snaps)
        run = run_host(self.client, "-openurl:%s -apppath:%s" % (url, wine_path(self.client.join("g"))),
                       host_options=["--watch-window", "--snap", wine_path(snaps), "--snap-delay", "300"])
        self.assertEqual(run.client_exit_code(), 0, run)
        self.assertEqual(run.progress(), [0, 33, 66, 100, 100], run)

        shown = [w for w in run.window_events() if w[0] == "1"]
        self.assertTrue(shown, run)
        self.assertEqual(tuple(int(v) for v in shown[0][1:5]), EXPECTED_RECT, run)
        self.assertEqual(run.window_events()[-1][0], "0", "the strip is hidden at the end")

        by_figure = {s[1]: s for s in run.snaps()}
        for figure, fill in (("0", 0), ("33", 82), ("66", 165)):
            snap = by_figure.get(figure)
            self.assertIsNotNone(snap, "no screenshot after %s: %r" % (figure, run))
            self.assertEqual(snap[6], "1", "the strip is visible at %s" % figure)
            self.assertEqual(tuple(int(v) for v in snap[2:6]), EXPECTED_RECT)
            image = read_bmp(snap[0].replace("Z:", "", 1).replace("\\", "/"))
            left, top, right, bottom = EXPECTED_RECT
            blue, dark = bar_row(image, EXPECTED_RECT)
            if fill == 0:
                self.assertEqual(blue, [], "no fill before the first file")
                self.assertGreater(len(dark), 240, "the track spans the strip")
            else:
                self.assertTrue(blue, "a fill at %s" % figure)
                self.assertEqual(blue[0], 0, "the fill starts at the left edge")
                self.assertIn(len(blue), (fill - 1, fill), "fill width at %s%%" % figure)
                self.assertEqual(blue, list(range(len(blue))), "the fill is one run")
                self.assertGreater(len(dark), 250 - fill - 4, "the track shows to the right of the fill")
            # Outside the strip the screen is untouched.
            self.assertFalse(is_fill(image.pixel(left - 3, top + 6)) or is_track(image.pixel(left - 3, top + 6)))

    def test_no_window_ever_shows_without_user_interface(self):
        url = self.three_slow_files("/hidden")
        run = run_host(self.client, "-openurl:%s -apppath:%s -noprocess" % (url, wine_path(self.client.join("g"))),
                       host_options=["--watch-window"])
        self.assertEqual(run.client_exit_code(), 0, run)
        self.assertEqual(run.progress(), [0, 33, 66, 100, 100], run)
        self.assertEqual(run.window_events(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
