"""One quick pass of the benchmark's download and turnaround runs against the
simulated device, so the bench keeps working as the programs change. The
figures themselves are not judged here, only that they are sound: a paced
download can never beat the line's own limit."""
import os
import re
import sys
import unittest

from qvproc import run_program
from qvtest import HOST, ON_WINE, SIM, SOURCE_DIR

FIGURE = re.compile(r"^figure: (\S+) (\S+) (\S+)$", re.M)


@unittest.skipIf(ON_WINE, "the bench times the native program against the simulator; under Wine it would time "
                          "Wine's console and serial emulation instead")
class BenchSmokeTest(unittest.TestCase):
    def test_download_figures_are_written_and_sound(self):
        self.assertTrue(HOST and SIM, "QV_HOST and QV_SIM must name the programs")
        bench = os.path.join(SOURCE_DIR, "bench", "bench.py")
        out, err, rc = run_program([sys.executable, bench, os.path.dirname(HOST), "--quick", "--only",
                                    "download,turnaround", "--host", HOST, "--sim", SIM], timeout=120)
        out = out.decode(errors="replace")
        self.assertEqual(rc, 0, out + err.decode(errors="replace"))
        figures = {name: (value, unit) for name, value, unit in FIGURE.findall(out)}
        self.assertEqual(sorted(figures), ["download_9600_ratio", "host_turnaround_us_median",
                                           "host_turnaround_us_p99"], out)
        ratio = float(figures["download_9600_ratio"][0])
        # 3231 bytes at 10 bits a byte and the 84 ms drain read: 3.450 s at
        # the least; a ratio under 1 would mean the simulated line is too fast.
        self.assertIn("3231 bytes", out)
        self.assertIn("limit of 3.450 s", out)
        self.assertGreaterEqual(ratio, 0.999, out)
        self.assertLess(ratio, 2.0, out)
        median = float(figures["host_turnaround_us_median"][0])
        p99 = float(figures["host_turnaround_us_p99"][0])
        self.assertGreater(median, 0.0)
        self.assertGreaterEqual(p99, median)
        self.assertIn("51 turnarounds a download", out)


if __name__ == "__main__":
    unittest.main()
