"""Connect, baud and disconnect against the simulated device on a pseudo-terminal."""
import fcntl
import os
import struct
import unittest

from messages import NOT_CONNECTED, PROMPT, VERSION_TEXT, connected, connecting, could_not_open
from qvtest import ON_WINE, TempDirCase, run_host, start_host
from simtest import Sim

NO_PRODUCT = b"\n\a\aError: did not receive the Quorvantis prompt!\nExpected: Quorvantis\n"
WRONG_VERSION = b"\n\a\aError: did not receive the correct Quorvantis version (" + VERSION_TEXT + b")!\n"


def no_confirmation(speed):
    return b"\n\a\aError: did not receive the Quorvantis Connected string!\nExpected Connected %d\n" % speed


class ConnectTest(TempDirCase):
    def session(self, sim_args, script):
        with Sim(self.tmp, *sim_args) as sim:
            run = run_host(script, env=sim.env)
            sim.wait_for(lambda line: line in ("closed", "unplugged"))
            events = sim.events()
        return run, events

    def test_connect_baud_disconnect(self):
        run, events = self.session([], b"connect 1\nbaud 57600\ndisconnect\ndisconnect\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + connected(9600) + PROMPT + b"Connecting at 57600...\nConnected at 57600\n" +
                         PROMPT + b"Disconnected\n" + PROMPT + NOT_CONNECTED + PROMPT)
        self.assertEqual(run.rc, 0, run.diagnosis())
        self.assertIn("host 57600", events)
        self.assertIn("ctrl-c", events)
        self.assertIn("cr", events)

    def test_connect_speeds(self):
        for args, speed in ((b"com1,19200", 19200), (b"COM1 4800", 4800), (b"1 38400x", 38400)):
            with self.subTest(args=args):
                run, _ = self.session([], b"connect " + args + b"\nexit\n")
                self.assertEqual(run.after_start(), PROMPT + connected(speed) + PROMPT)

    def test_handshake_failures(self):
        cases = [
            (["--fault", "no-product"], connecting(9600) + NO_PRODUCT + b"Got: length 100 (0x64):\n"),
            (["--fault", "wrong-version"], connecting(9600) + WRONG_VERSION),
            (["--fault", "version-before-product"], connecting(9600) + WRONG_VERSION),
            (["--fault", "wrong-speed"], connecting(9600) + no_confirmation(9600) + b"Got: length 1024 (0x400):\n"),
            (["--fault", "no-confirm"], connecting(9600) + no_confirmation(9600) + b"Got: length 0 (0x0):\n"),
        ]
        for args, start in cases:
            with self.subTest(args=args):
                run, events = self.session(args, b"connect 1\ndisconnect\nexit\n")
                out = run.after_start()
                self.assertTrue(out.startswith(PROMPT + start), out[:400])
                self.assertTrue(out.endswith(PROMPT + NOT_CONNECTED + PROMPT), out[-200:])
                self.assertEqual(run.rc, 0, run.diagnosis())
                self.assertIn("closed", events)

    def test_start_up_text_with_nul_and_high_bytes(self):
        run, _ = self.session(["--fault", "nul-high"], b"connect 1\nexit\n")
        self.assertEqual(run.after_start(), PROMPT + connected(9600) + PROMPT)

    def test_reply_that_fills_the_buffer_without_nul(self):
        run, _ = self.session(["--fault", "no-nul"], b"connect 1\nexit\n")
        self.assertEqual(run.after_start(), PROMPT + connected(9600) + PROMPT)

    def test_no_prompt_after_resync(self):
        run, _ = self.session(["--fault", "no-prompt"], b"connect 1\nbaud 19200\ndisconnect\nconnect 1\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + connected(9600) + PROMPT + b"Connecting at 19200...\n"
                         b"\a\aError: did not receive the Quorvantis prompt!\n" + PROMPT + NOT_CONNECTED +
                         PROMPT + connected(9600) + PROMPT)

    def test_device_that_never_falls_quiet(self):
        run, _ = self.session(["--fault", "chatter"], b"connect 1\nexit\n")
        out = run.after_start()
        self.assertTrue(out.startswith(PROMPT + connecting(9600) + NO_PRODUCT), out[:300])
        self.assertEqual(run.rc, 0, run.diagnosis())

    def test_missing_port(self):
        run = run_host(b"connect 2\nexit\n", env={"XDG_CONFIG_HOME": os.path.join(self.tmp, "none")})
        out = run.after_start()
        if ON_WINE:
            # Wine opens a COM port whose device is missing, and refuses the
            # first request for its properties instead.
            self.assertTrue(out.startswith(PROMPT + b"Connecting at 9600...\n\a\aError: could not get comm "
                                           b"properties for port COM2: "), out)
        else:
            # Without a link COM2 is the second on-board port, and the message names it.
            self.assertTrue(out.startswith(PROMPT + b"Connecting at 9600...\n\a\aError: cannot open com port COM2: "
                                           b"/dev/ttyS1: "), out)
        self.assertTrue(out.endswith(b"\n" + could_not_open(2) + PROMPT))

    def test_unplugged_during_a_read(self):
        run, events = self.session(["--unplug-at", "ctrl-c"], b"connect 1\nexit\n")
        self.assertEqual(run.after_start(), PROMPT + connecting(9600))
        # The system's own text for the vanished device and its error number:
        # under Windows "not ready", whose text keeps its own CR (the
        # console's CR LF line ends are read as LF already).
        err = run.err
        if ON_WINE:
            text, code = b"[^\n]*\r\n", b"21"
        else:
            text, code = b"Input/output error\n", b"5"
        self.assertRegex(err, b"^\a\aError: could not read on COM port COM1: " + text +
                         b"Return code 26, system error code " + code + b"\n")
        self.assertEqual(run.rc, 3)
        self.assertIn("unplugged", events)

    @unittest.skipIf(ON_WINE, "Wine lets a second program open a COM port that is in use")
    def test_second_instance_refused(self):
        with Sim(self.tmp) as sim, start_host(sim.env) as first:
            first.send(b"connect 1\n")
            first.expect(b"Connected at 9600\n")
            run = run_host(b"connect 1\nexit\n", env=sim.env)
            out = run.after_start()
            # The system's own text: the device and "Device or resource busy"
            # here, a sharing violation under Windows.
            busy = b"" if ON_WINE else sim.slave.encode() + b": Device or resource busy"
            self.assertTrue(out.startswith(PROMPT + b"Connecting at 9600...\n\a\aError: cannot open com port COM1: "
                                           + busy), out)
            self.assertTrue(out.endswith(b"\n" + could_not_open(1) + PROMPT), out)
            first.send(b"disconnect\nexit\n")
            rc, _ = first.finish()
            self.assertEqual(rc, 0)

    @unittest.skipIf(ON_WINE, "looks at /proc of the program")
    def test_port_closed_after_every_failure(self):
        cases = [
            (["--fault", "no-product"], b"connect 1\n"),
            (["--fault", "wrong-version"], b"connect 1\n"),
            (["--fault", "no-confirm"], b"connect 1\n"),
            (["--fault", "no-prompt"], b"connect 1\nbaud 4800\n"),
            ([], b"connect 1\ndisconnect\n"),
        ]
        for args, script in cases:
            with self.subTest(args=args), Sim(self.tmp, *args) as sim, start_host(sim.env) as host:
                host.send(b"connect 1\n")
                host.expect(PROMPT, 2)
                if b"Connected at" in host.out:
                    self.assertIn(sim.slave, host.open_files())
                for line in script.splitlines(True)[1:]:
                    host.send(line)
                host.expect(PROMPT, 1 + len(script.splitlines()))
                self.assertNotIn(sim.slave, host.open_files())
                host.send(b"exit\n")
                rc, _ = host.finish()
                self.assertEqual(rc, 0)


    @unittest.skipIf(ON_WINE, "under Wine the port's exclusive flag is Wine's own, not the program's")
    def test_leaving_while_connected_gives_the_port_back(self):
        # The program holds the port exclusively while connected. Leaving
        # with exit or at the end of input must give that up, or the line
        # stays refused to everyone but root after the program has gone.
        tiocgexcl = 0x80045440
        for script in (b"connect 1\nexit\n", b"connect 1\n"):
            with self.subTest(script=script), Sim(self.tmp) as sim:
                run = run_host(script, env=sim.env)
                self.assertIn(b"Connected at 9600\n", run.out)
                fd = os.open(sim.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                try:
                    flag = struct.unpack("i", fcntl.ioctl(fd, tiocgexcl, b"\0" * 4))[0]
                finally:
                    os.close(fd)
                self.assertEqual(flag, 0)

if __name__ == "__main__":
    unittest.main()
