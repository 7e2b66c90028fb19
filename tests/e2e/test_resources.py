"""Resources and bad input: no descriptor left open after a command, memory
flat over a long run of configure/rules cycles, and lines no operator should
type (NUL bytes, bytes above 0x7F, very long lines, end of input in the middle
of a question) neither crash the program nor run an answer as a command."""
import os
import sys
import unittest

from messages import ENDING, FW_ABOUT, FW_FAILED, FW_SUCCEEDED, PROMPT, RULES_OK, START, could_not_open, summary, \
    unknown
from messages import FW_CONFIRM as FIRMWARE_QUESTION, FW_NOT_UPDATED as NOT_UPDATED
from qvtest import EXAMPLES, ON_WINE, TempDirCase, run_host, short_firmware, start_host, write_file
from simtest import Sim

STATION = (b"call N0CALL\nssid 7\nposition 45:30:15, -122:30:00\nhost 57600\n"
           b"widemax 3\nwidetotal 6\ndupewin 30\ndigipath WIDE1-1,WIDE2-2\n")
BAD_STATION = b"ssid 16\n"
RULES = b"pass src *\ndrop dst ABCDEF\npass compass NE\ndrop implicit\n"
BAD_RULES = b"pass nothing\n"

# Its first lines: what the device sessions below look for.
SUCCEEDED_LINE = FW_SUCCEEDED[:FW_SUCCEEDED.index(b"\n") + 1]
FAILED_LINE = FW_FAILED[:FW_FAILED.index(b"\n") + 1]


class Interactive:
    """The program waiting at its prompt, fed a line at a time."""

    def __init__(self, env=None):
        self.host = start_host(env)
        self.host.expect(PROMPT)

    def send(self, lines, prompts=None, wait=PROMPT):
        """Sends lines (bytes) and waits for one prompt per line, or for the
        given number of wait texts; gives what the program printed meanwhile."""
        if prompts is None:
            # A line at a time, each answered before the next is written.
            seen = b""
            for line in lines.splitlines(keepends=True):
                seen += self.send(line, 1 if line.endswith(b"\n") else 0)
            return seen
        start = self.host.mark()
        self.host.send(lines)
        self.host.expect(wait, prompts, 60, start)
        return self.host.since(start)

    def fds(self):
        return self.host.fds()

    def targets(self):
        return self.host.open_files()

    def status(self, field):
        return self.host.status(field)

    @property
    def out(self):
        return self.host.out

    def finish(self):
        with self.host:
            return self.host.finish(b"exit\n", timeout=60)


@unittest.skipIf(ON_WINE, "reads the process's own /proc entries")
class DescriptorTest(TempDirCase):
    def test_no_descriptor_left_after_commands(self):
        good = write_file(self.tmp, "good.cfg", STATION).encode()
        bad = write_file(self.tmp, "bad.cfg", BAD_STATION).encode()
        rules = write_file(self.tmp, "good.rules", RULES).encode()
        bad_rules = write_file(self.tmp, "bad.rules", BAD_RULES).encode()
        missing = os.path.join(self.tmp, "missing.cfg").encode()
        hexfile = os.path.join(EXAMPLES, "firmware.hex").encode()
        commands = [
            b"help", b"angles", b"dconfigure", b"drules",
            b"configure " + good, b"configure " + bad, b"configure " + missing, b"configure",
            b"rules " + rules, b"rules " + bad_rules, b"rules " + missing,
            b"dconfigure", b"drules", b"download", b"disconnect", b"baud 9600",
            b"connect com11", b"connect com1 1234", b"nonsense", b".",
        ]
        host = Interactive()
        try:
            self.assertEqual(host.fds(), [0, 1, 2])
            for command in commands:
                with self.subTest(command=command):
                    host.send(command + b"\n")
                    self.assertEqual(host.fds(), [0, 1, 2])
            # While the confirmation waits for its answer and after it.
            host.send(b"firmware 1 " + hexfile + b"\n", 1, wait=b"[n]: ")
            self.assertEqual(host.fds(), [0, 1, 2])
            host.send(b"n\n")
            self.assertEqual(host.fds(), [0, 1, 2])
        finally:
            rc, err = host.finish()
        self.assertEqual(rc, 0, err)
        self.assertTrue(host.out.startswith(START))


@unittest.skipIf(ON_WINE, "reads the process's own /proc entries")
class DeviceDescriptorTest(TempDirCase):
    """The device commands against the simulator: the port is the one more
    descriptor while connected, and none is left after a download or a
    firmware update, whether it succeeded or failed."""

    def session(self, sim_args, steps):
        """steps: (input, prompts to wait for, text the output must hold, port open afterwards)."""
        with Sim(self.tmp, *sim_args) as sim:
            host = Interactive(sim.env)
            try:
                for lines, prompts, text, port_open in steps:
                    with self.subTest(lines=lines[:40]):
                        out = host.send(lines, prompts)
                        self.assertIn(text, out)
                        if port_open:
                            self.assertEqual(host.fds(), [0, 1, 2, 3])
                            self.assertEqual(host.targets()[3], sim.slave)
                        else:
                            self.assertEqual(host.fds(), [0, 1, 2])
            finally:
                rc, err = host.finish()
        self.assertEqual(rc, 0, err)

    def test_download(self):
        station = os.path.join(EXAMPLES, "station.cfg").encode()
        rules = os.path.join(EXAMPLES, "rules.txt").encode()
        ending = ENDING
        prepare = [(b"configure " + station + b"\n", 1, b"", False), (b"rules " + rules + b"\n", 1, b"", False),
                   (b"connect 1\n", 1, b"Connected at 9600\n", True)]
        cases = [
            ([], RULES_OK + ending),
            (["--opt", "dl_nak_packet=4", "--opt", "dl_nak_times=5"], b"\a\aError: Download failed: -3\n" + ending),
            (["--opt", "dl_garbage_packet=2", "--opt", "dl_garbage_byte=0x41"],
             b"\a\aError: Download failed: -2\n" + ending),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                self.session(args, prepare + [(b"download\n", 1, text, False), (b"connect 1\n", 1, b"Connected", True),
                                              (b"disconnect\n", 1, b"Disconnected\n", False)])

    def test_firmware(self):
        good = short_firmware().encode()
        bad = write_file(self.tmp, "bad.hex", ":10000000CBBED3A6811058DF3443A676C621D1E6F6\n").encode()
        succeeded = SUCCEEDED_LINE
        failed = FAILED_LINE
        # The Enter line is asked for only once the file is good and the port open.
        cases = [
            ([], good + b"\ny\n\n", succeeded),
            (["--opt", "script=3:18"], good + b"\ny\n\n", failed),
            (["--opt", "script=1:17"], good + b"\ny\n\n", failed),
            (["--opt", "syn-reply=none"], good + b"\ny\n\n", failed),
            ([], bad + b"\ny\n", b"\a\aError: Firmware file has some kind of error!\n" + failed),
        ]
        for args, answers, text in cases:
            with self.subTest(args=args, answers=answers):
                self.session(["--mode", "loader", "--opt", "enq-delay=0"] + args,
                             [(b"firmware 1 " + answers, 1, text, False),
                              (b"firmware 2 " + good + b"\ny\n", 1, could_not_open(2), False)])


@unittest.skipIf(ON_WINE, "reads the process's own /proc entries; COMn links are the POSIX mapping")
class NotAPortTest(TempDirCase):
    def test_names_that_are_no_serial_port_leave_nothing_open(self):
        # Anything that is not a terminal reports no settable parameters.
        refused = b"\a\aError: required comm properties for port COM%d not settable: Settable Params 0x00000000\n"
        fifo = os.path.join(self.tmp, "fifo")
        os.mkfifo(fifo)
        targets = [
            (1, os.devnull, refused % 1),
            (2, fifo, refused % 2),
            (3, write_file(self.tmp, "plain.txt", "not a port\n"), refused % 3),
            # A failed open names the device the link leads to.
            (4, self.tmp, b"\a\aError: cannot open com port COM4: %s: Is a directory\n" % self.tmp.encode()),
            (5, os.path.join(self.tmp, "nothing"),
             b"\a\aError: cannot open com port COM5: %s/nothing: No such file or directory\n" % self.tmp.encode()),
        ]
        config = os.path.join(self.tmp, "config")
        os.makedirs(os.path.join(config, "quorvantis"))
        for port, target, _ in targets:
            os.symlink(target, os.path.join(config, "quorvantis", "com%d" % port))
        hexfile = os.path.join(EXAMPLES, "firmware.hex").encode()
        host = Interactive({"XDG_CONFIG_HOME": config})
        try:
            for port, target, message in targets:
                with self.subTest(target=target):
                    out = host.send(b"connect %d\n" % port)
                    self.assertEqual(out, b"Connecting at 9600...\n" + message + could_not_open(port) + PROMPT)
                    self.assertEqual(host.fds(), [0, 1, 2])
                    out = host.send(b"firmware %d %s\ny\n" % (port, hexfile), 1)
                    self.assertEqual(out, FIRMWARE_QUESTION + message + could_not_open(port) + FW_FAILED + PROMPT)
                    self.assertEqual(host.fds(), [0, 1, 2])
        finally:
            rc, err = host.finish()
        self.assertEqual(rc, 0, err)


@unittest.skipIf(ON_WINE, "reads the process's own /proc entries")
class MemoryTest(TempDirCase):
    CYCLES = 1000

    def test_configure_rules_cycles_hold_memory_flat(self):
        good = write_file(self.tmp, "good.cfg", STATION).encode()
        bad = write_file(self.tmp, "bad.cfg", BAD_STATION).encode()
        rules = write_file(self.tmp, "good.rules", RULES).encode()
        bad_rules = write_file(self.tmp, "bad.rules", BAD_RULES).encode()
        cycle = (b"configure " + good + b"\nrules " + rules + b"\nconfigure " + bad + b"\nrules " + bad_rules
                 + b"\ndconfigure\ndrules\n")
        # Freed blocks held back by a sanitizer's quarantine would look like growth.
        options = os.environ.get("ASAN_OPTIONS", "")
        env = {"ASAN_OPTIONS": (options + ":" if options else "") + "quarantine_size_mb=0:detect_leaks=0"}
        host = Interactive(env)
        try:
            warm = self.CYCLES // 10
            host.send(cycle * warm)
            rss_warm = host.status("VmRSS")
            host.send(cycle * (self.CYCLES - warm))
            rss_end = host.status("VmRSS")
            peak = host.status("VmHWM")
            self.assertEqual(host.fds(), [0, 1, 2])
        finally:
            rc, err = host.finish()
        self.assertEqual(rc, 0, err[-500:])
        sys.stderr.write("\n%d configure/rules cycles: VmRSS %d kB after %d, %d kB at the end, peak %d kB\n"
                         % (self.CYCLES, rss_warm, warm, rss_end, peak))
        self.assertLess(rss_end - rss_warm, 512, "memory grew from %d kB to %d kB" % (rss_warm, rss_end))


class BadInputTest(TempDirCase):
    def expect(self, script, after_start, rc=0):
        run = run_host(script)
        self.assertEqual(run.after_start(), after_start)
        self.assertEqual(run.rc, rc)
        self.assertEqual(run.err, b"")

    def test_bytes_above_7f_are_an_unknown_word(self):
        for word in (b"\xff", b"\x80abc", b"h\xe9lp", b"\xc3\xa9"):
            with self.subTest(word=word):
                self.expect(word + b"\nexit\n", PROMPT + unknown(word) + PROMPT)

    def test_line_of_10000_characters_is_read_in_pieces(self):
        # 39 pieces of 255 characters, then the last 55 with the line feed.
        expected = (PROMPT + unknown(b"x" * 255)) * 39 + PROMPT + unknown(b"x" * 55) + PROMPT
        self.expect(b"x" * 10000 + b"\nexit\n", expected)

    def test_nul_bytes_never_crash(self):
        for line in (b"\x00", b"\x00\x00\x00help", b"help\x00", b"conf\x00igure x", b"\x00" * 10000,
                     b"exit\x00now" * 40):
            with self.subTest(line=line[:20]):
                run = run_host(line + b"\nexit\n")
                self.assertIn(run.rc, (0, 1))
                self.assertEqual(run.err, b"")
                self.assertTrue(run.after_start().endswith(PROMPT) or run.rc == 1)

    def test_nul_line_is_an_empty_line(self):
        self.expect(b"\x00\nexit\n", PROMPT * 2)

    def test_firmware_answer_is_never_a_command(self):
        hexfile = os.path.join(EXAMPLES, "firmware.hex").encode()
        for answer in (b"exit", b"help", b"", b"n" * 10000, b"no\x00exit", b"\xff\xfe"):
            with self.subTest(answer=answer[:20]):
                script = b"firmware 1 " + hexfile + b"\n" + answer + b"\nhelpme\nexit\n"
                expected = PROMPT + FIRMWARE_QUESTION + NOT_UPDATED + PROMPT + unknown(b"helpme") + PROMPT
                self.expect(script, expected)

    def test_long_firmware_answer_rest_is_discarded(self):
        hexfile = os.path.join(EXAMPLES, "firmware.hex").encode()
        script = b"firmware 1 " + hexfile + b"\n" + b"n" * 100 + b"exit" * 100 + b"\nhelp\nexit\n"
        self.expect(script, PROMPT + FIRMWARE_QUESTION + NOT_UPDATED + PROMPT + summary() + PROMPT)

    def test_end_of_input_at_the_firmware_question(self):
        hexfile = os.path.join(EXAMPLES, "firmware.hex").encode()
        self.expect(b"firmware 1 " + hexfile + b"\n",
                    PROMPT + FIRMWARE_QUESTION + b"\n" + NOT_UPDATED + PROMPT + b"\n", rc=1)

    def test_repeat_after_an_answer_runs_the_command_again(self):
        hexfile = os.path.join(EXAMPLES, "firmware.hex").encode()
        script = b"firmware 1 " + hexfile + b"\nn\n.\nn\nexit\n"
        once = FIRMWARE_QUESTION + NOT_UPDATED
        self.expect(script, PROMPT + once + PROMPT + once + PROMPT)



class FirmwareEnterLineTest(TempDirCase):
    """The line the firmware command waits for before it asks for power: its
    text and the end of input are ignored, and it never runs as a command."""
    ABOUT_END = FW_ABOUT[FW_ABOUT.rindex(b"\n") + 1:]
    SUCCEEDED = FW_SUCCEEDED

    def test_enter_line_is_never_a_command(self):
        hexfile = short_firmware().encode()
        cases = [
            (b"exit\n", b"exit\n", PROMPT, 0),
            (b"exit" * 2500 + b"\n", b"helpme\nexit\n", PROMPT + unknown(b"helpme") + PROMPT, 0),
            (b"\x00help\xff\n", b"exit\n", PROMPT, 0),
            (b"", b"", PROMPT + b"\n", 1),
        ]
        for line, rest, tail, rc in cases:
            with self.subTest(line=line[:20]), Sim(self.tmp, "--mode", "loader") as sim:
                run = run_host(b"firmware 1 " + hexfile + b"\ny\n" + line + rest, env=sim.env)
                out = run.after_start()
                self.assertTrue(out.startswith(PROMPT + FIRMWARE_QUESTION), out[:300])
                self.assertIn(self.ABOUT_END + b"\nTo begin TURN ON the Quorvantis", out)
                self.assertTrue(out.endswith(self.SUCCEEDED + tail), out[-400:])
                self.assertEqual(run.rc, rc)
                self.assertEqual(run.err, b"")


if __name__ == "__main__":
    unittest.main()
