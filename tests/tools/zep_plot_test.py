#!/usr/bin/python3
"""zep-plot against a session of known values: the PNG's size and where the curves are drawn.

    zep_plot_test.py <path of zep-plot>
"""
import datetime
import os
import subprocess
import sys
import tempfile
import unittest

import matplotlib.image

PLOT = None
START = datetime.datetime(2026, 12, 7, 21, 0, 0)
SECONDS = 60


def colour(hex_rgb):
    return tuple(int(hex_rgb[i:i + 2], 16) / 255.0 for i in (1, 3, 5))


# The curves' colours as the tool draws them.
LATENCY, FULL, JITTER = colour("#d62728"), colour("#1f77b4"), colour("#2ca02c")
FPS_SERVER, FPS_RENDER = colour("#9467bd"), colour("#ff7f0e")
DROPS, QUEUED = colour("#e377c2"), colour("#17becf")
VIDEO, AUDIO = colour("#8c564b"), colour("#bcbd22")


def write_session(folder, with_log=True):
    """A minute of records: the frame rates halve after 30 s, drops grow by one a second."""
    with open(os.path.join(folder, "vektaclient.csv"), "w") as f:
        f.write("Date;Time;Severity;TID;This;Function;Message\n")
        for s in range(SECONDS):
            t = START + datetime.timedelta(seconds=s)
            fps = 60.0 if s < 30 else 30.0
            f.write(f"{t:%Y/%m/%d;%H:%M:%S}.000;DEBUG;77;0000000000000000;StatsThreadProc@580;"
                    f"\"10000;40000;2;{fps:.1f};0;50\"\n")
        f.write("2026/12/07;21:01:00.500;DEBUG;77;0;StatsThreadProc@580;\"torn\n")
    if not with_log:
        return
    with open(os.path.join(folder, "vektaclient.log"), "w") as f:
        for s in range(SECONDS):
            t = START + datetime.timedelta(seconds=s, milliseconds=500)
            stamp = f"{t:%Y-%m-%d %H:%M:%S}.500"
            render = 55.0 if s < 30 else 25.0
            f.write(f"{stamp} INFO  [78] [LogStatisticsLine@40] Statistics: frames received {s * 60}, "
                    f"FPS (server) 60.0, latency 10.00 ms, jitter 2.00 ms, clock offset -3600000000 us, "
                    f"video 8.00 Mbit/s, audio 0.50 Mbit/s, video alive 1\n")
            f.write(f"{stamp} INFO  [79] [Report@154] Video: {s * 60} pictures, frames count {s * 60}, "
                    f"FPS (render) {render:.1f}, render idle 80 %, render loop busy 20 %, render frame drops "
                    f"{s}, full latency 40000 us, decoder 1, decoder idle 70 %, client area 1280x720\n")


def rows_of(image, x, rgb, tolerance=0.1):
    """The mean row of the pixels in column x that have the colour rgb (None when there are none)."""
    hits = [y for y in range(image.shape[0])
            if all(abs(float(image[y, x, c]) - rgb[c]) <= tolerance for c in range(3))]
    return sum(hits) / len(hits) if hits else None


class ZepPlot(unittest.TestCase):
    def run_plot(self, folder, *extra):
        out = os.path.join(folder, "session.png")
        done = subprocess.run([sys.executable, PLOT, os.path.join(folder, "vektaclient.csv"), "-o", out, *extra],
                              capture_output=True, text=True, timeout=120)
        return done, out

    def test_curves_follow_the_records(self):
        with tempfile.TemporaryDirectory() as folder:
            write_session(folder)
            done, out = self.run_plot(folder)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout.strip(), out)
            image = matplotlib.image.imread(out)
            self.assertEqual(image.shape[:2], (1000, 1200))
            early, late = 300, 850  # columns at about 20 % and 80 % of the time axis
            for x in (early, late):
                # Latency panel: 40 ms above 10 ms above 2 ms (rows grow downwards).
                full, lat, jit = rows_of(image, x, FULL), rows_of(image, x, LATENCY), rows_of(image, x, JITTER)
                self.assertIsNotNone(full)
                self.assertIsNotNone(lat)
                self.assertIsNotNone(jit)
                self.assertLess(full, lat)
                self.assertLess(lat, jit)
                video, audio = rows_of(image, x, VIDEO), rows_of(image, x, AUDIO)
                self.assertIsNotNone(video)
                self.assertIsNotNone(audio)
                self.assertLess(video, audio)
                self.assertIsNotNone(rows_of(image, x, QUEUED))
            # The frame rates drop after 30 s, so both curves sit lower on the right.
            for rgb in (FPS_SERVER, FPS_RENDER):
                left, right = rows_of(image, early, rgb), rows_of(image, late, rgb)
                self.assertIsNotNone(left)
                self.assertIsNotNone(right)
                self.assertGreater(right - left, 20)
            # 55 fps rendered is below 60 served, in the same panel.
            self.assertGreater(rows_of(image, early, FPS_RENDER), rows_of(image, early, FPS_SERVER))
            # Drops grow: higher on the right.
            self.assertLess(rows_of(image, late, DROPS), rows_of(image, early, DROPS) - 20)

    def test_csv_alone_and_bad_input(self):
        with tempfile.TemporaryDirectory() as folder:
            write_session(folder, with_log=False)
            done, out = self.run_plot(folder)
            self.assertEqual(done.returncode, 0, done.stderr)
            image = matplotlib.image.imread(out)
            self.assertIsNotNone(rows_of(image, 300, LATENCY))
            self.assertIsNone(rows_of(image, 300, JITTER))  # only the text log carries jitter
            self.assertIsNone(rows_of(image, 300, VIDEO))
            empty = os.path.join(folder, "empty.csv")
            with open(empty, "w") as f:
                f.write("Date;Time;Severity;TID;This;Function;Message\n")
            done = subprocess.run([sys.executable, PLOT, empty, "-o", out, "--log", empty + ".none"],
                                  capture_output=True, text=True, timeout=120)
            self.assertNotEqual(done.returncode, 0)
            self.assertIn("no statistics records", done.stderr)
            done = subprocess.run([sys.executable, PLOT, os.path.join(folder, "missing.csv")],
                                  capture_output=True, text=True, timeout=120)
            self.assertEqual(done.returncode, 2)
            self.assertIn("no such file", done.stderr)


if __name__ == "__main__":
    PLOT = sys.argv.pop(1)
    unittest.main()
