"""The simulator as an operator runs it by hand: what its --link does to the
path it is given, and what its help promises."""
import os
import re
import select
import signal
import subprocess
import termios
import time
import tty
import unittest

from messages import VERSION_TEXT
from qvproc import Sim, run_program
from qvtest import SIM, SOURCE_DIR, TempDirCase, run_host


def sim_command():
    if not SIM:
        raise AssertionError("QV_SIM is not set: run the tests through ctest")
    return [SIM]


def running_sim(*args):
    """The simulator started with exactly these arguments, up to its "ready"
    line or its end: its slave is None when it did not start."""
    sim = Sim(sim_command()[0], *args, start=False)
    sim.start(require=False)
    return sim


def run_sim(*args):
    """The simulator run to its end: its output, its standard error (text) and its status."""
    out, err, rc = run_program(sim_command() + list(args), timeout=10)
    return out, err.decode(errors="replace"), rc


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
                sim = running_sim("--link", path)
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
                self.assertIsNotNone(sim.slave, sim.lines())
                self.assertEqual(os.readlink(path), sim.slave)
                replaced = "replaced link %s (it pointed at %s)" % (path, before)
                self.assertEqual(replaced in sim.lines(), outcome == "replace", sim.lines())
                rc, err = sim.stop(signal.SIGINT)
                self.assertEqual(rc, 0, err)
                self.assertFalse(os.path.lexists(path))

    def test_a_link_pointed_elsewhere_meanwhile_stays(self):
        path = os.path.join(self.tmp, "com1")
        sim = running_sim("--link", path)
        self.assertIsNotNone(sim.slave)
        # The operator points the port at an adapter while the simulator runs.
        os.unlink(path)
        os.symlink("/dev/null", path)
        rc, _ = sim.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(os.readlink(path), "/dev/null")


class NamesTest(TempDirCase):
    """The faults, points and settings a test names must be ones the device
    acts on: a misspelt one is refused at start, never run as no fault."""

    def names(self):
        out, err, rc = run_sim("--names")
        self.assertEqual(rc, 0, err)
        return [line.split() for line in out.decode().splitlines()]

    def test_misspelt_names_are_refused(self):
        cases = [
            (["--fault", "no-prodcut"], "--fault no-prodcut: no such fault; the faults are: no-product "),
            (["--fault", "chatter", "--fault", "Chatter"], "--fault Chatter: no such fault"),
            (["--unplug-at", "power_on"], "--unplug-at power_on: no such point; the points are: open power-on "),
            (["--unplug-at", "loader-line-0"], "--unplug-at loader-line-0: no such point"),
            (["--unplug-at", "loader-line-"], "--unplug-at loader-line-: no such point"),
            (["--unplug-at", "loader-line-2x"], "--unplug-at loader-line-2x: no such point"),
            (["--opt", "dl_nak_pakcet=3"], "--opt dl_nak_pakcet=3: no such setting; the settings are: download: "),
            (["--opt", "enq_delay=0"], "--opt enq_delay=0: no such setting"),
            (["--opt", "dl_nak_packet=two"], "--opt dl_nak_packet wants a number: two"),
            (["--opt", "late-ms=190ms"], "--opt late-ms wants a number: 190ms"),
            (["--mode", "lodaer"], "--mode lodaer: no such mode; the modes are: download loader"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                link = os.path.join(self.tmp, "com1")
                out, err, rc = run_sim("--link", link, *args)
                self.assertEqual(rc, 2)
                self.assertEqual(out, b"")
                self.assertTrue(err.startswith("quorvantis-sim: " + message), err)
                self.assertFalse(os.path.lexists(link))

    def test_every_listed_name_is_taken(self):
        names = self.names()
        kinds = {kind for kind, _, _ in names}
        self.assertEqual(kinds, {"fault", "point", "opt"})
        for kind, name, owner in names:
            args = {"fault": ["--fault", name],
                    "point": ["--unplug-at", name.replace("-N", "-3")],
                    "opt": ["--opt", name.partition("=")[0] + "=7"]}[kind]
            with self.subTest(name=name):
                sim = running_sim(*args)
                rc, err = sim.stop()
                self.assertIsNotNone(sim.slave, err)
                self.assertEqual(rc, 0, err)

    def test_help_lists_every_name(self):
        words = run_sim("--help")[0].decode().split()
        for kind, name, owner in self.names():
            with self.subTest(name=name):
                self.assertIn(name, words)
                if owner != "device":
                    self.assertIn(owner + ":", words)


class CommandLineTest(unittest.TestCase):
    def test_version_is_the_one_the_program_expects(self):
        out, err, rc = run_sim("--version")
        self.assertEqual((rc, err), (0, ""))
        banner = re.match(rb"Quorvantis PC Host Utility (Version \S+),", run_host(b"exit\n").out)
        self.assertIsNotNone(banner)
        self.assertEqual(out, b"quorvantis-sim " + banner.group(1) + b"\n")

    def test_ctrl_c_ignored_at_its_start_stays_ignored(self):
        # Started in the background by a script (make run), Ctrl-C at the
        # terminal is meant for the console, not for the device; SIGTERM
        # still stops it.
        proc = subprocess.Popen(sim_command(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
        try:
            self.assertTrue(proc.stdout.readline().startswith(b"ready "))
            proc.send_signal(signal.SIGINT)
            with self.assertRaises(subprocess.TimeoutExpired):
                proc.wait(timeout=0.5)
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=5), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stdout.close()
            proc.stderr.close()

    def test_unknown_option_is_named_before_the_usage(self):
        for arg in ("--frobnicate", "-v", "com1"):
            with self.subTest(arg=arg):
                out, err, rc = run_sim(arg)
                self.assertEqual((rc, out), (2, b""))
                self.assertTrue(err.startswith("quorvantis-sim: unknown option: %s\nusage: quorvantis-sim " % arg),
                                err)


class SourceTest(unittest.TestCase):
    def test_no_header_of_the_program(self):
        # The oracle shares no code with what it checks: every header it
        # includes in quotes is one of its own.
        sim_dir = os.path.join(SOURCE_DIR, "sim")
        own = set(os.listdir(sim_dir))
        for name in sorted(own):
            if not name.endswith((".cpp", ".h")):
                continue
            with open(os.path.join(sim_dir, name)) as f:
                for line in f:
                    found = re.match(r'\s*#\s*include\s*"([^"]*)"', line)
                    if found:
                        with self.subTest(file=name, include=found.group(1)):
                            self.assertIn(found.group(1), own)


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

    def quiet_for(self, seconds):
        """What the device sends in that time (its start-up text padding read away first)."""
        got, end = b"", time.monotonic() + seconds
        while time.monotonic() < end:
            ready, _, _ = select.select([self.fd], [], [], max(0.0, end - time.monotonic()))
            if ready:
                got += os.read(self.fd, 4096)
        return got

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


def read_count(fd, count, timeout=5):
    """count bytes from fd, or what came within timeout seconds."""
    end = time.monotonic() + timeout
    got = b""
    while len(got) < count:
        ready, _, _ = select.select([fd], [], [], max(0.0, end - time.monotonic()))
        if not ready:
            break
        got += os.read(fd, count - len(got))
    return got


# What the host sends in each exchange, and how many bytes it reads back:
# the monitor (start-up text, Ctrl-C, carriage return, host N, a line the
# device does not know) and the firmware loader (ENQ, SYN, identifier, a
# record and the end record).
MONITOR_EXCHANGE = [(None, 100), (b"\x03", 1024), (b"\r", 1024), (b"host 57600\r\x03", 1024),
                    (b"hello\r\r", 1024)]
LOADER_EXCHANGE = [(None, 1), (b"\x16", 1), (b"QvNtIs1.0", 1), (b":0400000001020304F2\r", 1),
                   (b":0400000001020304F3\r", 1), (b":00000001FF\r", 1)]


def play(fd, sim, exchange):
    """Powers the device on and plays the host's side of exchange on fd; gives
    the device's answer to each step."""
    answers = []
    for sent, size in exchange:
        if sent is None:
            sim.power_on()
        else:
            os.write(fd, sent)
        answers.append(read_count(fd, size))
    return answers


class TtyTest(TempDirCase):
    """--tty: the device on an existing terminal, the far end of a null-modem
    line (here the slave of a pseudo-terminal whose master the test holds as
    the host's port)."""

    def line(self):
        """A pseudo-terminal pair: the master for the test, the slave's path for --tty."""
        master, slave = os.openpty()
        tty.setraw(master)
        path = os.ttyname(slave)
        os.close(slave)
        self.addCleanup(os.close, master)
        return master, path

    def test_its_bytes_are_those_of_its_own_pseudo_terminal(self):
        for mode, exchange in ((None, MONITOR_EXCHANGE), ("loader", LOADER_EXCHANGE)):
            args = ["--mode", mode, "--opt", "enq-delay=0"] if mode else []
            with self.subTest(mode=mode or "monitor"):
                own = running_sim("--manual-power", *args)
                try:
                    term = TerminalProgram(own.slave)
                    expected = play(term.fd, own, exchange)
                    term.close()
                finally:
                    own.stop()
                master, path = self.line()
                sim = running_sim("--tty", path, *args)
                try:
                    self.assertEqual(sim.slave, path, sim.err)
                    got = play(master, sim, exchange)
                finally:
                    sim.stop()
                self.assertEqual([len(answer) for answer in got], [size for _, size in exchange])
                self.assertEqual(got, expected)
                if mode is None:
                    self.assertIn(b"Connected 9600\r\n", got[1])
                    self.assertIn(b"Quorva> ", got[2])
                else:
                    self.assertEqual(b"".join(got), b"\x05\x06\x06\x06\x12\x06")

    def test_power_comes_and_cycles_on_sigusr1(self):
        master, path = self.line()
        sim = running_sim("--tty", path, "--speed", "57600")
        try:
            # Nothing before power-on: the device is off.
            self.assertEqual(read_count(master, 1, timeout=0.5), b"")
            sim.power_on()
            self.assertIn(b"Version 2.0-1\r\n", read_count(master, 100))
            os.write(master, b"\x03")
            self.assertIn(b"\r\nConnected 57600\r\n", read_count(master, 1024))
            os.write(master, b"down")  # half a command when the power goes
            time.sleep(0.2)
            sim.power_on()  # on again: the power cycles
            self.assertIn(b"Version 2.0-1\r\n", read_count(master, 100))
            os.write(master, b"load\r")
            self.assertIsNotNone(sim.wait_for(lambda line: line == "line load"), sim.events())
        finally:
            rc, err = sim.stop()
        self.assertEqual(rc, 0, err)
        self.assertEqual(sim.events(), ["power-on", "ctrl-c", "power-off", "power-on", "line load"])

    def test_unplugged_it_falls_silent_and_the_line_stays(self):
        # As a cable pulled from the device: no answer, and what the host
        # goes on sending is taken off the line (a partner UART nobody reads
        # would stop the host's UART).
        master, path = self.line()
        sim = running_sim("--tty", path, "--unplug-at", "ctrl-c")
        try:
            sim.power_on()
            self.assertIn(b"Version 2.0-1\r\n", read_count(master, 100))
            os.write(master, b"\x03")
            self.assertIsNotNone(sim.wait_for(lambda line: line == "unplugged"), sim.events())
            self.assertEqual(read_count(master, 1, timeout=0.3), b"")
            sent = 0
            end = time.monotonic() + 10
            while sent < 256 * 1024 and time.monotonic() < end:
                _, ready, _ = select.select([], [master], [], 1)
                if ready:
                    sent += os.write(master, b"x" * 4096)
            self.assertEqual(sent, 256 * 1024)
            self.assertIsNone(sim.proc.poll())
        finally:
            rc, err = sim.stop()
        self.assertEqual(rc, 0, err)
        self.assertEqual(sim.events(), ["power-on", "ctrl-c", "unplugged"])

    def test_identifier_answered_late(self):
        # id-late-ms: the loader holds its answer to the identifier, and the
        # line stays quiet meanwhile.
        own = running_sim("--manual-power", "--mode", "loader", "--opt", "enq-delay=0", "--opt", "id-late-ms=300")
        try:
            term = TerminalProgram(own.slave)
            own.power_on()
            self.assertEqual(read_count(term.fd, 1), b"\x05")
            os.write(term.fd, b"\x16")
            self.assertEqual(read_count(term.fd, 1), b"\x06")
            os.write(term.fd, b"QvNtIs1.0")
            sent = time.monotonic()
            self.assertEqual(read_count(term.fd, 1, timeout=0.25), b"")
            self.assertEqual(read_count(term.fd, 1), b"\x06")
            self.assertGreaterEqual(time.monotonic() - sent, 0.3)
            term.close()
        finally:
            own.stop()
        self.assertIn("loader identifier reply late", own.events())

    def test_what_it_refuses(self):
        master, path = self.line()
        cases = [
            (["--tty", path, "--link", os.path.join(self.tmp, "com1")], 2, "--link links the simulator's own"),
            (["--tty", path, "--power-delay", "0"], 2, "--power-delay counts from the host's open"),
            (["--tty", path, "--pace-exact", "9600"], 2, "--pace-exact needs the simulator's own pseudo-terminal"),
            (["--tty", path, "--speed", "0"], 2, "--speed wants a speed above 0"),
            (["--speed", "9600"], 2, "--speed sets the speed of a --tty terminal"),
            (["--tty", "/dev/null"], 1, "cannot set /dev/null to 9600 baud 8N1"),
            (["--tty", os.path.join(self.tmp, "none")], 1, "cannot open %s: No such file or directory"
             % os.path.join(self.tmp, "none")),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                out, err, rc = run_sim(*args)
                self.assertEqual(rc, status, err)
                self.assertEqual(out, b"")
                self.assertTrue(err.startswith("quorvantis-sim: " + message), err)


class HelpTest(TempDirCase):
    def help_text(self):
        out, _, rc = run_sim("--help")
        self.assertEqual(rc, 0)
        return " ".join(out.decode().split())

    def test_what_a_terminal_program_sees(self):
        # The help's paragraph for terminal programs, key by key.
        sim = running_sim("--power-delay", "0")
        try:
            term = TerminalProgram(sim.slave)
            startup = term.read_until(VERSION_TEXT + b"\r\n")  # the start-up text after power-on
            for _ in range(50):  # its whole 100 bytes, within 5 s
                if len(startup) >= 100:
                    break
                startup += term.quiet_for(0.1)
            self.assertEqual(len(startup), 100)
            # It echoes nothing, and a line it does not know gets no answer.
            os.write(term.fd, b"hello\r")
            self.assertEqual(term.quiet_for(0.3), b"")
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
            term.read_until(VERSION_TEXT + b"\r\n")
            term.close()
        finally:
            sim.stop()
        events = sim.events()
        self.assertEqual(events[:7], ["opened", "power-on", "line hello", "ctrl-c", "cr", "host 57600", "ctrl-c"])
        self.assertIn("closed", events)
        self.assertEqual(events[events.index("closed") + 1:events.index("closed") + 3], ["opened", "power-on"])
        # The help says what the device did with "host N", and promises no more.
        text = self.help_text()
        self.assertNotIn("changes the host port speed", text)
        self.assertIn('records it and reports "host N", but the line and the "Connected" reply keep the '
                      "terminal's speed", text)


if __name__ == "__main__":
    unittest.main()
