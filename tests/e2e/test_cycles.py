"""A long run against one simulated device: 1,000 cycles of configure, rules,
connect and disconnect in one program. Every cycle must connect for real (the
device sees every open and close), the port must be closed after each
disconnect, and the program's memory must stay flat: its resident size after
100 cycles and after 1,000 are compared, and the peak is reported.

Each connect costs at least one empty drain read of 110 ms (100 ms and the
10 ms margin, at 57600 baud), so the run takes about two minutes; it has a
file of its own so that it runs beside the other end-to-end files."""
import os
import sys
import tempfile
import time
import unittest

from messages import PROMPT, connected
from qvtest import EXAMPLES, ON_WINE, start_host
from simtest import Sim

CYCLES = 1000
WARM = 100
HALF = 500
STATION = os.path.join(EXAMPLES, "station.cfg").encode()
RULES = os.path.join(EXAMPLES, "rules.txt").encode()
CONNECTED = connected(57600)


@unittest.skipIf(ON_WINE, "reads the program's own /proc entries")
class CycleTest(unittest.TestCase):
    def test_thousand_configure_rules_connect_disconnect_cycles(self):
        # Freed blocks held back by a sanitizer's quarantine would look like growth.
        options = os.environ.get("ASAN_OPTIONS", "")
        env_extra = {"ASAN_OPTIONS": (options + ":" if options else "") + "quarantine_size_mb=0:detect_leaks=0"}
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
        # A sanitizer's allocator may still be filling its caches around cycle
        # 100 (a few hundred kB, done by cycle 300); after that nothing may grow.
        self.assertLess(rss_end - rss_warm, 1024, "memory grew from %d kB to %d kB" % (rss_warm, rss_end))
        self.assertLess(rss_end - rss_half, 128, "memory grew from %d kB to %d kB" % (rss_half, rss_end))


if __name__ == "__main__":
    unittest.main()
