"""Ctrl-C (SIGINT to the program) during a device operation stops it at the
next point between two exchanges: one line that says so, the operation's own
failure texts, the port closed, and the prompt again. At the prompt and at
the questions Ctrl-C ends the program, as before."""
import os
import signal
import time
import unittest

from messages import CONF_WARNING, ENDING, FW_ABOUT, FW_CONFIRM, FW_FAILED, FW_POWER, NOT_CONNECTED, PROMPT, \
    START, connected, connecting
from qvtest import EXAMPLE_FIRMWARE, EXAMPLES, ON_WINE, TempDirCase, start_host
from simtest import Sim

INTERRUPTED = b"\n\a\aError: interrupted by Ctrl-C!\n"
STATION = os.path.join(EXAMPLES, "station.cfg").encode()
RULES = os.path.join(EXAMPLES, "rules.txt").encode()


def ctrl_c(host):
    """What the terminal does when the operator presses Ctrl-C."""
    os.kill(host.pid, signal.SIGINT)


# Wine turns the SIGINT into the console's CTRL_C_EVENT, but it runs a
# synchronous read of a COM port inside the program's own thread rather than
# as a request of its server, so CancelSynchronousIo finds nothing to cancel
# (the server answers NOT_FOUND) and the read under way runs to its time-out
# before the program stops; a Windows serial driver cancels it.
WINE_READ_NOT_CANCELLED = ("Wine cannot cancel a synchronous COM-port read (CancelSynchronousIo finds no request "
                           "to cancel), so Ctrl-C in a 20-second wait takes effect only when the wait is over")


class InterruptTest(TempDirCase):
    def skip_long_wait_under_wine(self):
        if ON_WINE:
            self.skipTest(WINE_READ_NOT_CANCELLED)

    def session(self, sim):
        host = start_host(sim.env)
        host.expect(START + PROMPT)
        return host

    def finish(self, host, sim):
        """The port is closed and the session goes on: the next command runs."""
        self.assertIsNotNone(sim.wait_for(lambda line: line == "closed", 10), sim.events())
        out = host.command(b"disconnect")
        self.assertEqual(out, NOT_CONNECTED)
        rc, err = host.finish(b"exit\n")
        self.assertEqual(rc, 0, err)

    def test_during_connects_power_on_wait(self):
        self.skip_long_wait_under_wine()
        with Sim(self.tmp, "--manual-power") as sim, self.session(sim) as host:
            start = host.mark()
            host.send(b"connect 1\n")
            host.expect(b"seconds to do this...", start=start)
            pressed = time.monotonic()
            ctrl_c(host)
            host.expect(PROMPT, start=start)
            self.assertLess(time.monotonic() - pressed, 5)  # not the 20 s of the wait
            self.assertEqual(host.since(start), connecting(9600) + INTERRUPTED + PROMPT)
            self.finish(host, sim)

    def test_during_bauds_prompt_wait(self):
        self.skip_long_wait_under_wine()
        with Sim(self.tmp, "--fault", "silent-cr") as sim, self.session(sim) as host:
            self.assertEqual(host.command(b"connect 1"), connected(9600))
            start = host.mark()
            host.send(b"baud 57600\n")
            self.assertIsNotNone(sim.wait_for(lambda line: line == "cr", 10), sim.events())
            ctrl_c(host)
            host.expect(PROMPT, start=start, timeout=10)
            self.assertEqual(host.since(start), b"Connecting at 57600...\n" + INTERRUPTED + PROMPT)
            self.finish(host, sim)

    def test_during_a_download(self):
        # The third packet (the configuration's second half) gets no answer:
        # Ctrl-C while the program waits for it (under Wine the program stops
        # when the 5-second wait is over).
        with Sim(self.tmp, "--opt", "dl_silent_packet=3") as sim, self.session(sim) as host:
            for command in (b"configure " + STATION, b"rules " + RULES, b"connect 1"):
                host.command(command)
            start = host.mark()
            host.send(b"download\n")
            self.assertIsNotNone(sim.wait_for(lambda line: line.startswith("dl packet 3 "), 10), sim.events())
            ctrl_c(host)
            host.expect(PROMPT, start=start, timeout=15)
            self.assertEqual(host.since(start),
                             INTERRUPTED + b"\a\aError: writing data pkt: -7\n"
                             b"\a\aError: writing Configuration file failed: -3\n"
                             b"\a\aError: Download failed: -2\n" + ENDING + PROMPT)
            self.finish(host, sim)

    def firmware_session(self, sim):
        host = self.session(sim)
        start = host.mark()
        host.send(b"firmware 1 " + EXAMPLE_FIRMWARE.encode() + b"\ny\n\n")
        host.expect(b"seconds to do this...", start=start)
        return host, start

    def test_during_the_firmware_power_on_wait(self):
        self.skip_long_wait_under_wine()
        with Sim(self.tmp, "--mode", "loader", "--manual-power") as sim:
            host, start = self.firmware_session(sim)
            with host:
                ctrl_c(host)
                host.expect(PROMPT, start=start, timeout=10)
                self.assertEqual(host.since(start), FW_CONFIRM + FW_ABOUT + FW_POWER + INTERRUPTED + FW_FAILED + PROMPT)
                self.finish(host, sim)

    def test_during_the_firmware_transfer(self):
        received = os.path.join(self.tmp, "received.hex")
        with Sim(self.tmp, "--mode", "loader", "--manual-power", "--opt", "enq-delay=0",
                 "--opt", "out=" + received) as sim:
            host, start = self.firmware_session(sim)
            with host:
                sim.power_on()
                self.assertIsNotNone(sim.wait_for(lambda line: line == "loader line 20 06", 20), sim.events())
                ctrl_c(host)
                host.expect(PROMPT, start=start, timeout=10)
                text = host.since(start)
                self.assertTrue(text.endswith(INTERRUPTED + FW_FAILED + PROMPT), text[-300:])
                self.assertNotIn(b"resending", text)
                self.finish(host, sim)
                lines = [e for e in sim.events() if e.startswith("loader line ")]
        # It stopped between two records, soon after the key: each record line
        # the loader got was whole and acknowledged, and the progress line
        # shows each of them, but for the last one when the key cut the wait
        # for its answer short.
        with open(EXAMPLE_FIRMWARE, "rb") as f:
            total = sum(1 for line in f if line.startswith(b":"))
        # (Wine starts a thread for the console's event, which on a loaded
        # machine takes a second or so.)
        self.assertLess(len(lines), total if ON_WINE else 40)
        self.assertTrue(all(e.endswith(" 06") for e in lines), lines)
        with open(received, "rb") as f:
            self.assertEqual(len(f.read().split()), len(lines))
        self.assertIn(text.count(b"\r"), (len(lines) - 1, len(lines)))
        self.assertLess(len(lines), total)

    def test_at_the_prompt_and_at_the_questions_the_program_ends(self):
        cases = [
            ("the prompt", b"", PROMPT),
            ("the firmware question", b"firmware 1 " + EXAMPLE_FIRMWARE.encode() + b"\n", FW_CONFIRM),
            ("the download question", b"connect 1\ndownload\n", CONF_WARNING),
        ]
        for name, commands, asked in cases:
            with self.subTest(name), Sim(self.tmp) as sim, self.session(sim) as host:
                if commands:
                    start = host.mark()
                    host.send(commands)
                    host.expect(asked, start=start)
                ctrl_c(host)
                rc, _ = host.finish()
                # Under Wine the console's default handler ends the program
                # with a status of Wine's.
                if not ON_WINE:
                    self.assertEqual(rc, -signal.SIGINT)


if __name__ == "__main__":
    unittest.main()
