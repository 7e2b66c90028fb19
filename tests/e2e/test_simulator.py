"""The simulator as an operator runs it by hand: what its --link does to the
path it is given, and what its help promises."""
import os
import select
import signal
import subprocess
import termios
import time
import tty
import unittest

from qvtest import SIM, TempDirCase


def sim_command():
    if not SIM:
        raise unittest.SkipTest("QV_SIM is not set")
    return [SIM]


class RunningSim:
    """The simulator started with some arguments, read up to its "ready" line."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(sim_command() + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.slave = None
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            self.lines.append(line)
            if line.startswith("ready "):
                self.slave = line[len("ready "):]
                break

    def stop(self, sig=signal.SIGTERM):
        """Stops it as an operator does; its exit status and standard error."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        rest, err = self.proc.communicate(timeout=10)
        self.lines += rest.decode(errors="replace").splitlines()
        return self.proc.returncode, err.decode(errors="replace")


class LinkTest(TempDirCase):
    def test_what_is_at_the_link_path(self):
        # (what is there, what the simulator does, what is there after it stopped)
        def regular(path):
            with open(path, "w") as f:
                f.write("an operator's file\n")

        def directory(path):
            os.mkdir(path)

        def link_to_device(path):
            os.symlink("/dev/null", path)

        def dangling_link(path):
            os.symlink(os.path.join(self.tmp, "gone"), path)

        def nothing(path):
            pass

        cases = [
            ("regular file", regular, "refuse"),
            ("directory", directory, "refuse"),
            ("link to a device", link_to_device, "replace"),
            ("dangling link", dangling_link, "replace"),
            ("nothing", nothing, "create"),
        ]
        for name, make, outcome in cases:
            with self.subTest(name):
                path = os.path.join(self.tmp, name.replace(" ", "-"))
                make(path)
                before = os.readlink(path) if os.path.islink(path) else None
                sim = RunningSim("--link", path)
                if outcome == "refuse":
                    rc, err = sim.stop()
                    self.assertIsNone(sim.slave)
                    self.assertEqual(rc, 1)
                    self.assertIn("will not replace " + path + ": it is not a symbolic link", err)
                    if make is regular:
                        with open(path) as f:
                            self.assertEqual(f.read(), "an operator's file\n")
                    else:
                        self.assertTrue(os.path.isdir(path))
                    continue
                self.assertIsNotNone(sim.slave, sim.lines)
                self.assertEqual(os.readlink(path), sim.slave)
                replaced = "replaced link %s (it pointed at %s)" % (path, before)
                self.assertEqual(replaced in sim.lines, outcome == "replace", sim.lines)
                rc, err = sim.stop(signal.SIGINT)
                self.assertEqual(rc, 0, err)
                self.assertFalse(os.path.lexists(path))

    def test_a_link_pointed_elsewhere_meanwhile_stays(self):
        path = os.path.join(self.tmp, "com1")
        sim = RunningSim("--link", path)
        self.assertIsNotNone(sim.slave)
        # The operator points the port at an adapter while the simulator runs.
        os.unlink(path)
        os.symlink("/dev/null", path)
        rc, _ = sim.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(os.readlink(path), "/dev/null")


class TerminalProgram:
    """The simulated device's line opened as a terminal program opens it: raw,
    8N1, at a given speed."""

    def __init__(self, slave, speed=termios.B9600):
        self.fd = os.open(slave, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd, termios.TCSANOW)
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = speed
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def speed(self):
        return termios.tcgetattr(self.fd)[5]

    def read_until(self, text, timeout=5):
        end = time.monotonic() + timeout
        got = b""
        while text not in got:
            ready, _, _ = select.select([self.fd], [], [], max(0.0, end - time.monotonic()))
            if not ready:
                raise AssertionError("no %r in %r" % (text, got))
            got += os.read(self.fd, 4096)
        return got

    def close(self):
        os.close(self.fd)


class HelpTest(TempDirCase):
    def help_text(self):
        run = subprocess.run(sim_command() + ["--help"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=10)
        self.assertEqual(run.returncode, 0)
        return " ".join(run.stdout.decode().split())

    def test_what_a_terminal_program_sees(self):
        # The help's paragraph for terminal programs, key by key.
        sim = RunningSim("--power-delay", "0")
        try:
            term = TerminalProgram(sim.slave)
            term.read_until(b"Version 2.0-1\r\n")  # the start-up text after power-on
            os.write(term.fd, b"\x03")
            term.read_until(b"\r\nConnected 9600\r\n")
            os.write(term.fd, b"\r")
            term.read_until(b"\r\nQuorva> ")
            # "host N" then Enter: recorded and reported; the line and the
            # Connected reply keep the terminal's speed.
            os.write(term.fd, b"host 57600\r")
            os.write(term.fd, b"\x03")
            term.read_until(b"\r\nConnected 9600\r\n")
            self.assertEqual(term.speed(), termios.B9600)
            term.close()
            # Closing the terminal program power-cycles the device.
            term = TerminalProgram(sim.slave)
            term.read_until(b"Version 2.0-1\r\n")
            term.close()
        finally:
            sim.stop()
        events = [line for line in sim.lines if not line.startswith("ready ")]
        self.assertEqual(events[:6], ["opened", "power-on", "ctrl-c", "cr", "host 57600", "ctrl-c"])
        self.assertIn("closed", events)
        self.assertEqual(events[events.index("closed") + 1:events.index("closed") + 3], ["opened", "power-on"])
        # The help says what the device did with "host N", and promises no more.
        text = self.help_text()
        self.assertNotIn("changes the host port speed", text)
        self.assertIn('records it and reports "host N", but the line and the "Connected" reply keep the '
                      "terminal's speed", text)


if __name__ == "__main__":
    unittest.main()
