"""A long run against one simulated device: cycles of configure, rules,
connect and disconnect in one program. Every cycle must connect for real (the
device sees every open and close), the port must be closed after each
disconnect, and the program's memory must stay flat.

Each connect costs at least one empty drain read of 110 ms (100 ms and the
10 ms margin, at 57600 baud), about 130 ms a cycle. make soak runs 1,000
cycles (QV_SOAK=1, about two minutes) and compares the resident size after
100, 500 and 1,000 cycles. make test runs 100 (13 s): natively the resident
size after 10 and after 100 cycles must be the same within a few pages (it
does not move at all); with the sanitizers, whose allocator keeps filling its
caches for the first hundred cycles or so, LeakSanitizer checks instead that
the program has lost nothing when it ends. The file runs beside the other
end-to-end files."""
import os
import sys
import tempfile
import time
import unittest

from messages import PROMPT, connected
from qvtest import EXAMPLES, ON_WINE, start_host
from simtest import Sim

SOAK = os.environ.get("QV_SOAK", "") == "1"
SANITIZED = os.environ.get("QV_SANITIZED", "") == "1"
CYCLES = 1000 if SOAK else 100
WARM = CYCLES // 10
HALF = CYCLES // 2
STATION = os.path.join(EXAMPLES, "station.cfg").encode()
RULES = os.path.join(EXAMPLES, "rules.txt").encode()
CONNECTED = connected(57600)


@unittest.skipIf(ON_WINE, "reads the program's own /proc entries")
class CycleTest(unittest.TestCase):
    def test_configure_rules_connect_disconnect_cycles(self):
        # Freed blocks held back by a sanitizer's quarantine would look like
        # growth. The short run has LeakSanitizer look at the end instead.
        options = os.environ.get("ASAN_OPTIONS", "")
        leaks = "detect_leaks=0" if SOAK else "detect_leaks=1"
        env_extra = {"ASAN_OPTIONS": (options + ":" if options else "") + "quarantine_size_mb=0:" + leaks}
        with tempfile.TemporaryDirectory() as tmp:
            # The power-on comes just after the host's drain and purge.
            with Sim(tmp, "--power-delay", "125") as sim, \
                    start_host(dict(sim.env, **env_extra), limit=1800) as host:
                host.expect(PROMPT)
                std = sorted(host.open_files())
                self.assertEqual(len(std), 3, std)
                started = time.monotonic()
                rss_warm = rss_half = None
                for cycle in range(1, CYCLES + 1):
                    for line in (b"configure " + STATION, b"rules " + RULES):
                        out = host.command(line)
                        self.assertNotIn(b"Error", out, (cycle, line, out))
                    self.assertEqual(host.command(b"connect 1 57600"), CONNECTED, cycle)
                    if cycle == 1:
                        self.assertIn(sim.slave, host.open_files())
                    self.assertEqual(host.command(b"disconnect"), b"Disconnected\n", cycle)
                    if cycle in (1, WARM, CYCLES):
                        self.assertEqual(sorted(host.open_files()), std, cycle)
                    if cycle == WARM:
                        rss_warm = host.status("VmRSS")
                    if cycle == HALF:
                        rss_half = host.status("VmRSS")
                elapsed = time.monotonic() - started
                rss_end = host.status("VmRSS")
                peak = host.status("VmHWM")
                rc, err = host.finish(b"exit\n")
                end = time.monotonic() + 5
                while sim.events().count("closed") < CYCLES and time.monotonic() < end:
                    time.sleep(0.05)
                events = sim.events()
        self.assertEqual(rc, 0, err[-500:])
        self.assertEqual(events.count("opened"), CYCLES)
        self.assertEqual(events.count("closed"), CYCLES)
        self.assertEqual(events.count("ctrl-c"), CYCLES)
        sys.stderr.write("\n%d configure/rules/connect/disconnect cycles in %.1f s (%.0f ms a cycle): "
                         "VmRSS %d kB after %d, %d kB after %d, %d kB after %d, peak (VmHWM) %d kB\n"
                         % (CYCLES, elapsed, 1000 * elapsed / CYCLES, rss_warm, WARM, rss_half, HALF, rss_end, CYCLES,
                            peak))
        if SOAK:
            # A sanitizer's allocator may still be filling its caches around
            # cycle 100 (a few hundred kB, done by cycle 300); after that
            # nothing may grow.
            self.assertLess(rss_end - rss_warm, 1024, "memory grew from %d kB to %d kB" % (rss_warm, rss_end))
            self.assertLess(rss_end - rss_half, 128, "memory grew from %d kB to %d kB" % (rss_half, rss_end))
        elif not SANITIZED:
            self.assertLess(rss_end - rss_warm, 64, "memory grew from %d kB to %d kB" % (rss_warm, rss_end))


if __name__ == "__main__":
    unittest.main()
