"""A device that misbehaves at every stage, end to end against the simulator:
unplugged during the handshake, at each download packet and at each stage of
a firmware update; refusing a packet until the program gives up; answering
garbage; falling silent; never falling quiet. Each case must end with its
message and the port closed, back at the prompt, or, where a read of the port
fails, with exit status 3; and nothing half-done may be reported as success.

The cases are independent (each has its own simulator and configuration
directory), so they run a few at a time: most of their time is spent waiting,
in the five-second pause of the fatal path or in a reply wait."""
import collections
import concurrent.futures
import os
import queue
import re
import tempfile
import unittest

from messages import CONF_OK, CONF_WARNING, ENDING, FW_FAILED, NOT_CONNECTED, PROMPT, RULES_OK, RULES_WARNING, \
    START, TURN_ON, connected, could_not_open
from messages import FW_ABOUT as ABOUT, FW_CONFIRM as CONFIRM, FW_POWER as POWER, FW_SUCCEEDED
from qvtest import EXAMPLES, ON_WINE, SHORT_FIRMWARE_RECORDS, short_firmware, start_host
from simtest import Sim, read_download_report

# Cases side by side, each on a port of its own (COM1 to COM5): under Wine the
# ports are mapped once for the whole run, so two cases cannot share one.
WORKERS = 5

STATION = os.path.join(EXAMPLES, "station.cfg")
RULES = os.path.join(EXAMPLES, "rules.txt")
# The first records of the example firmware: enough for a first, a middle and
# a last record, each of which takes its time on the line.
FIRMWARE = short_firmware()

# The system's text for a device that has gone (under Windows its text keeps
# its CR).
GONE = b"Not ready.\r" if ON_WINE else b"Input/output error"
# A read of a port whose device has gone ends the program, with the system's
# own text and number: under Windows "not ready" (21), whose text keeps its CR.
if ON_WINE:
    READ_FAILED = re.compile(rb"^\a\aError: could not read on COM port COM1: [^\n]*\r\n"
                             rb"Return code 26, system error code 21\n$")
else:
    READ_FAILED = (b"\a\aError: could not read on COM port COM1: Input/output error\n"
                   b"Return code 26, system error code 5\n")

CONNECTED = connected(9600)
COULD_NOT_OPEN = could_not_open(1)
# What the port may refuse when its device goes the moment it is opened.
OPEN_REFUSED = re.compile(rb"\a\aError: (required comm properties for port COM1 not settable: Settable Params "
                          rb"0x00000000|could not get comm properties for port COM1: [^\n]*|could not get the comm "
                          rb"state for port COM1: [^\n]*|could not set the comm state for port COM1: [^\n]*|could not "
                          rb"set the comm timeouts for port COM1: [^\n]*)\n")

# Its first line: nothing half-done may print even that.
SUCCEEDED_LINE = FW_SUCCEEDED[:FW_SUCCEEDED.index(b"\n") + 1]
FW_RECORDS = SHORT_FIRMWARE_RECORDS

# The example station and its eight rules (224 bytes) go as nine packets:
# the conf packet, two configuration data packets, the rules packet, four
# rule data packets (60, 60, 60 and 44 bytes of payload) and the finish packet.
PACKETS = {1: "conf command", 2: "conf data", 3: "conf data", 4: "rules command", 5: "rule data", 6: "rule data",
           7: "rule data", 8: "rule data", 9: "finish"}
PAYLOADS = {2: 60, 3: 60, 5: 60, 6: 60, 7: 60, 8: 44}
DOWNLOAD_SCRIPT = [b"configure " + STATION.encode(), b"rules " + RULES.encode(), b"connect 1", b"download",
                   b"download"]


def printed_before(packet):
    """What the download has printed when packet number packet waits for its reply."""
    text = b""
    if packet >= 4:
        text += CONF_OK
    if packet >= 9:
        text += RULES_OK
    return text


def download_failure(packet, code, byte=None):
    """The download's whole output when packet number packet fails with the
    packet code (-4 no reply, -5 a byte that is neither ACK nor NAK, -6 five NAKs)."""
    text = printed_before(packet)
    text += {-4: b"\a\aError: reading ack or nak: 0\n",
             -5: b"\a\aError: reading ack or nak: got 0x%02x\n" % (byte if byte is not None else 0),
             -6: b""}[code]
    kind = PACKETS[packet]
    if kind == "conf command":
        text += b"\a\aError: writing Configuration command failed: %d\n" % code
        step = -1
    elif kind == "conf data":
        text += b"\a\aError: writing data pkt: %d\n\a\aError: writing Configuration file failed: -3\n" % code
        step = -2
    elif kind == "rules command":
        text += b"\a\aError: writing Rules command failed: %d\n" % code
        step = -3
    elif kind == "rule data":
        text += b"\a\aError: writing data pkt: %d\n\a\aError: writing Rules file failed: -3\n" % code
        step = -4
    else:
        text += b"\a\aError: error writing finish pkt: %d\n" % code
        step = -5
    return text + b"\a\aError: Download failed: %d\n" % step + ENDING


def received_before(packet):
    """Bytes of the configuration and of the rules the device has taken when packet arrives."""
    conf = sum(PAYLOADS[p] for p in (2, 3) if p < packet)
    rules = sum(PAYLOADS[p] for p in (5, 6, 7, 8) if p < packet)
    return conf, rules


def firmware_script(*extra):
    return [b"firmware 1 " + FIRMWARE.encode(), b"y", b""] + list(extra)


def record_failures(line, word, times=9):
    return (b"\n\a\aError: Firmware updating error: %s on Line %d, resending.\n" % (word, line)) * times


MAX_ERRORS = b"\n\a\aError: maximum Firmware updating errors (10) encountered- aborting!\n"


# name: what is tried; args: the simulator's; script: input lines, answers
# included; commands: how many of them are commands; at: the index of the
# command that meets the fault.
# fatal: that command's output up to the failed read (the program then ends
# with status 3), or None when it must not end the program.
# outputs: the outputs of the commands from `at` on when the program stays at
# the prompt, or None when it must end.
# Where the device's timing decides between the two (it goes while the program
# is still writing), both are given and either is accepted.
Case = collections.namedtuple("Case", "name args script commands at fatal outputs")


def case(name, args, script, commands, at, fatal=None, outputs=None):
    return Case(name, tuple(args), tuple(script), commands, at, fatal, outputs)


def start(env, script):
    """The program on pipes with the whole script (it is short) as its input so far."""
    host = start_host(env)
    host.send_lines(script)
    return host


# closed: the device saw the port closed while the program still ran.
Result = collections.namedtuple("Result", "rc out err outputs at_prompt fds closed events received")


FREE_PORTS = queue.Queue()
for _port in range(1, WORKERS + 1):
    FREE_PORTS.put(_port)


def on_port(script, port):
    """The case's input with its port number changed from 1 to port."""
    return [line.replace(b"connect 1", b"connect %d" % port).replace(b"firmware 1 ", b"firmware %d " % port)
            for line in script]


def as_com1(text, port):
    """The program's output with the port's name as if it were COM1."""
    return text.replace(b"COM%d" % port, b"COM1")


def run_case(c):
    port = FREE_PORTS.get()
    try:
        result = run_case_on(c, port)
    finally:
        FREE_PORTS.put(port)
    return result._replace(out=as_com1(result.out, port), err=as_com1(result.err, port),
                           outputs=[as_com1(out, port) for out in result.outputs])


def run_case_on(c, port):
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "received.txt")
        with Sim(tmp, "--opt", "dl_report=" + report, *c.args, port=port) as sim, \
                start(sim.env, on_port(c.script, port)) as host:
            # Until it waits at its prompt after the last command, or ends.
            at_prompt = host.wait_for(PROMPT, c.commands + 1, 60)
            fds = None
            closed = False
            if at_prompt:
                # The port must be closed by now, while the program runs on.
                if not ON_WINE:
                    fds = host.fds()
                closed = sim.wait_for(lambda line: line == "closed", 5) is not None
                rc, err = host.finish(b"exit\n")
            else:
                rc, err = host.finish()
                sim.wait_for(lambda line: line in ("closed", "unplugged"), 5)
            events = sim.events()
        received = read_download_report(report)
    assert host.out.startswith(START), host.out[:300]
    outputs = host.out[len(START):].split(PROMPT)[1:]
    return Result(rc, host.out, err, outputs, at_prompt, fds, closed, events, received)


class FaultCase(unittest.TestCase):
    maxDiff = None

    def run_all(self, cases):
        """Runs the cases a few at a time, then checks each in its own subtest."""
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            futures = [(c, pool.submit(run_case, c)) for c in cases]
            results = []
            for c, future in futures:
                try:
                    results.append((c, future.result(), None))
                except Exception as error:  # reported in the case's own subtest
                    results.append((c, None, error))
        for c, result, error in results:
            with self.subTest(c.name):
                if error is not None:
                    raise error
                self.check(c, result)
        return {c.name: result for c, result, _ in results}

    def check(self, c, r):
        if not r.at_prompt:
            self.assertIsNotNone(c.fatal, "the program ended: %r %r" % (r.out[-300:], r.err))
            self.assertEqual(r.rc, 3, r.err)
            self.assert_output(r.err, READ_FAILED)
            # The failing command is the last thing the program printed.
            self.assertEqual(len(r.outputs), c.at + 1, r.outputs)
            self.assert_output(r.outputs[c.at], c.fatal)
            self.assertIn("unplugged", r.events)
        else:
            self.assertIsNotNone(c.outputs, "the program stayed at its prompt: %r" % r.out[-400:])
            self.assertEqual(r.rc, 0, r.err)
            self.assertEqual(r.err, b"")
            self.assertEqual(len(r.outputs), c.commands + 1, r.outputs)
            for index, expected in enumerate(c.outputs, c.at):
                self.assert_output(r.outputs[index], expected)
            self.assertEqual(r.outputs[c.commands], b"")  # after the last command: the exit
            if r.fds is not None:
                self.assertEqual(r.fds, [0, 1, 2])
            if "unplugged" not in r.events:
                self.assertTrue(r.closed, r.events)
        # Nothing half-done passes for done, on either side of the line.
        self.assertNotIn(SUCCEEDED_LINE, r.out)
        if "state" in r.received:
            self.assertEqual(r.received["state"], "download incomplete")

    def assert_output(self, actual, expected):
        if isinstance(expected, re.Pattern):
            self.assertRegex(actual, expected)
        elif callable(expected):
            expected(self, actual)
        else:
            self.assertEqual(actual, expected)


class HandshakeUnplugTest(FaultCase):
    def test_unplugged_at_every_handshake_point(self):
        connect_then_baud = [b"connect 1", b"baud 19200", b"disconnect"]
        baud = b"Connecting at 19200...\n"
        cases = [
            # Gone the moment the port opens: the settings find no terminal,
            # or the drain's read fails.
            case("open", ["--unplug-at", "open"], [b"connect 1", b"disconnect"], 2, 0,
                 fatal=b"Connecting at 9600...\n",
                 outputs=[re.compile(rb"^Connecting at 9600\.\.\.\n" + OPEN_REFUSED.pattern + re.escape(COULD_NOT_OPEN)
                                     + rb"$"), NOT_CONNECTED]),
            # The host has drained its line long before the device powers on.
            case("power-on", ["--unplug-at", "power-on", "--power-delay", "800"], [b"connect 1"], 1, 0,
                 fatal=b"Connecting at 9600...\n" + TURN_ON),
            case("ctrl-c", ["--unplug-at", "ctrl-c"], [b"connect 1"], 1, 0, fatal=b"Connecting at 9600...\n" + TURN_ON),
            # The carriage return follows the speed command at once: it either
            # still goes out (then the read fails) or its write fails.
            case("host", ["--unplug-at", "host"], connect_then_baud, 3, 1, fatal=baud,
                 outputs=[baud + b"\a\aError: wrote 0 of 1, got error on port COM1: " + GONE + b"\n"
                          b"\a\aError: wrote CR character, got error on port COM1\n", NOT_CONNECTED]),
            case("cr", ["--unplug-at", "cr"], connect_then_baud, 3, 1, fatal=baud),
        ]
        self.run_all(cases)


class ConnectedUnplugTest(FaultCase):
    """The cable pulled while the program is connected and waits at its prompt:
    the next write to the port fails."""

    def session(self, script, commands):
        with tempfile.TemporaryDirectory() as tmp, Sim(tmp) as sim:
            with start(sim.env, [b"connect 1"]) as host:
                host.expect(PROMPT, 2)
                sim.unplug()
                self.assertIsNotNone(sim.wait_for(lambda line: line == "unplugged", 5))
                host.send_lines(script)
                host.expect(PROMPT, 2 + commands)
                fds = None if ON_WINE else host.fds()
                rc, err = host.finish(b"exit\n")
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, b"")
        outputs = host.out[len(START):].split(PROMPT)[1:]
        self.assertEqual(outputs[0], CONNECTED)
        return outputs[1:-1], fds

    def test_cable_pulled_while_connected(self):
        def wrote(count, of):
            return b"\a\aError: wrote %d of %d, got error on port COM1: " % (count, of) + GONE + b"\n"

        disconnected = b"Disconnected\n"
        cases = [
            # The download command stays connected when its command cannot be written.
            ("download", [b"download", b"y", b"y", b"connect 1", b"disconnect"], 3,
             [CONF_WARNING + RULES_WARNING + wrote(0, 10) + b"\a\aError: wrote Download command, got error on port "
              b"COM1\n", b"\a\aError: already Connected!\n", disconnected]),
            # A failed speed command ends the connection.
            ("baud", [b"baud 19200", b"disconnect"], 2,
             [wrote(0, 11) + b"\a\aError: wrote Host Baud command, got error on port COM1\n", NOT_CONNECTED]),
            ("disconnect", [b"disconnect", b"disconnect"], 2, [disconnected, NOT_CONNECTED]),
            ("firmware", [b"firmware 1 " + FIRMWARE.encode(), b"disconnect"], 2,
             [b"\a\aError: already Connected, Disconnect first!\n", disconnected]),
        ]
        for name, script, commands, expected in cases:
            with self.subTest(name):
                outputs, fds = self.session(script, commands)
                self.assertEqual(outputs, expected)
                if fds is not None:
                    self.assertEqual(fds, [0, 1, 2])


class DownloadUnplugTest(FaultCase):
    def test_unplugged_at_the_command_and_at_every_packet(self):
        cases = [case("download command", ["--unplug-at", "download"], DOWNLOAD_SCRIPT, 5, 3, fatal=b"")]
        for packet in sorted(PACKETS):
            cases.append(case("packet %d (%s)" % (packet, PACKETS[packet]), ["--opt", "dl_unplug_packet=%d" % packet],
                              DOWNLOAD_SCRIPT, 5, 3, fatal=printed_before(packet)))
        results = self.run_all(cases)
        for packet in sorted(PACKETS):
            with self.subTest(packet=packet):
                received = results["packet %d (%s)" % (packet, PACKETS[packet])].received
                conf, rules = received_before(packet)
                self.assertEqual(len(received["conf"]), conf)
                self.assertEqual(len(received["rules"]), rules)
                self.assertEqual(received["state"], "download incomplete")


class DownloadFaultTest(FaultCase):
    def expect_failure(self, name, opts, packet, code, byte=None):
        args = []
        for opt in opts:
            args += ["--opt", opt]
        return case(name, args, DOWNLOAD_SCRIPT, 5, 3, outputs=[download_failure(packet, code, byte), NOT_CONNECTED])

    def test_nak_storm_on_every_packet(self):
        # Refused for ever: five transmissions, then the program gives up.
        cases = [self.expect_failure("packet %d (%s)" % (packet, PACKETS[packet]),
                                     ["dl_nak_packet=%d" % packet, "dl_nak_times=1000"], packet, -6)
                 for packet in sorted(PACKETS)]
        results = self.run_all(cases)
        for packet in sorted(PACKETS):
            with self.subTest(packet=packet):
                r = results["packet %d (%s)" % (packet, PACKETS[packet])]
                sent = [e for e in r.events if e.startswith("dl packet %d " % packet)]
                self.assertEqual(len(sent), 5, sent)
                self.assertTrue(all(e.endswith("reply 15") for e in sent), sent)
                self.assertFalse(any(e.startswith("dl packet %d " % (packet + 1)) for e in r.events))
                self.assertEqual(r.received["state"], "download incomplete")
                conf, rules = received_before(packet)
                self.assertEqual((len(r.received["conf"]), len(r.received["rules"])), (conf, rules))

    def test_garbage_reply_of_each_kind_of_packet(self):
        cases = [
            self.expect_failure("conf command, NUL", ["dl_garbage_packet=1", "dl_garbage_byte=0x00"], 1, -5, 0x00),
            self.expect_failure("last conf data, 0xff", ["dl_garbage_packet=3", "dl_garbage_byte=0xff"], 3, -5, 0xFF),
            self.expect_failure("rules command, SYN", ["dl_garbage_packet=4", "dl_garbage_byte=0x16"], 4, -5, 0x16),
            self.expect_failure("middle rule data, letter",
                                ["dl_garbage_packet=6", "dl_garbage_byte=0x41"], 6, -5, 0x41),
            self.expect_failure("finish, ACK with the high bit",
                                ["dl_garbage_packet=9", "dl_garbage_byte=0x86"], 9, -5, 0x86),
        ]
        self.run_all(cases)

    def test_silence_after_a_packet(self):
        # Each waits out the five-second reply wait: the case is about it.
        cases = [
            self.expect_failure("first conf data", ["dl_silent_packet=2"], 2, -4),
            self.expect_failure("last rule data", ["dl_silent_packet=8"], 8, -4),
            self.expect_failure("finish", ["dl_silent_packet=9"], 9, -4),
        ]
        self.run_all(cases)

    def test_device_that_never_falls_quiet(self):
        # One short drain read, then the noise is taken for the conf packet's reply.
        cases = [
            self.expect_failure("chatter after its text", ["dl_chatter=0x2e"], 1, -5, 0x2E),
            self.expect_failure("chatter only", ["dl_chatter=0x2e", "dl_quiet=1"], 1, -5, 0x2E),
        ]
        self.run_all(cases)


def firmware_output(acknowledged, tail, records_started=True):
    """A check of the firmware command's output: the two questions and the
    power-on request, then (once the transfer began) two newlines and one
    progress line per acknowledged record, then tail."""

    def check(test, actual):
        head = CONFIRM + ABOUT + POWER
        test.assertTrue(actual.startswith(head), actual[:600])
        rest = actual[len(head):]
        if not records_started:
            test.assertEqual(rest, tail)
            return
        test.assertTrue(rest.startswith(b"\n\n"), rest[:100])
        progress = re.match(rb"(\r *\d+s TTC +\d+s +\d+\.\d% =*)*", rest[2:]).group(0)
        test.assertEqual(rest[2 + len(progress):], tail)
        lines = progress.split(b"\r")[1:]
        test.assertEqual(len(lines), acknowledged)
        for done, line in enumerate(lines, 1):
            test.assertTrue(line[20:] == b"=" * int(59 * done / FW_RECORDS), (done, line))
            test.assertIn(b"%.1f%%" % (100.0 * done / FW_RECORDS), line[:21])

    return check


def loader(*opts, unplug=None, power_delay=None):
    args = ["--mode", "loader"]
    if unplug is not None:
        args += ["--unplug-at", unplug]
    if power_delay is not None:
        args += ["--power-delay", str(power_delay)]
    for opt in opts:
        args += ["--opt", opt]
    return args


class FirmwareUnplugTest(FaultCase):
    def test_unplugged_at_every_stage(self):
        middle = (FW_RECORDS + 1) // 2
        script = firmware_script()
        cases = [
            # Gone the moment the port opens: the drain's read fails, or the
            # settings find no terminal.
            # The Enter line is never asked for.
            case("open", loader(unplug="open"), script[:2], 1, 0, fatal=CONFIRM,
                 outputs=[re.compile(rb"^" + re.escape(CONFIRM) + OPEN_REFUSED.pattern + re.escape(COULD_NOT_OPEN)
                                     + re.escape(FW_FAILED) + rb"$")]),
            case("power-on", loader(unplug="power-on", power_delay=800), script, 1, 0,
                 fatal=firmware_output(0, b"", records_started=False)),
            case("sync", loader(unplug="loader-syn"), script, 1, 0, fatal=firmware_output(0, b"", False)),
            case("identifier", loader(unplug="loader-identifier"), script, 1, 0,
                 fatal=firmware_output(0, b"", False)),
            case("first record", loader(unplug="loader-line-1"), script, 1, 0, fatal=firmware_output(0, b"")),
            case("middle record", loader(unplug="loader-line-%d" % middle), script, 1, 0,
                 fatal=firmware_output(middle - 1, b"")),
            case("last record", loader(unplug="loader-line-%d" % FW_RECORDS), script, 1, 0,
                 fatal=firmware_output(FW_RECORDS - 1, b"")),
            # Record 5 refused once; the device goes when it comes again.
            case("resent record", loader("script=5:12", unplug="loader-line-6"), script, 1, 0,
                 fatal=firmware_output(4, b"\n\a\aError: Firmware updating error: bad record checksum on Line 5, "
                                          b"resending.\n")),
        ]
        self.run_all(cases)


class FirmwareCablePulledTest(unittest.TestCase):
    def test_cable_pulled_while_the_program_waits_for_enter(self):
        # The port is open and drained; the wait for the device's prompt then fails.
        # Never powered on, so nothing is on its way when the cable goes.
        with tempfile.TemporaryDirectory() as tmp, Sim(tmp, "--manual-power", *loader()) as sim, \
                start(sim.env, firmware_script()[:2]) as host:
            host.expect(ABOUT)
            sim.unplug()
            self.assertIsNotNone(sim.wait_for(lambda line: line == "unplugged", 5))
            host.send_lines([b""])
            rc, err = host.finish()
        self.assertEqual(rc, 3)
        if ON_WINE:
            self.assertRegex(err, READ_FAILED)
        else:
            self.assertEqual(err, READ_FAILED)
        self.assertEqual(host.out, START + PROMPT + CONFIRM + ABOUT + POWER)


class FirmwareFaultTest(FaultCase):
    def test_faults_of_the_loader(self):
        middle = (FW_RECORDS + 1) // 2

        def storm(first, status):
            """The same answer to ten record lines from the first-th on (resends counted)."""
            return "script=" + ",".join("%d:%s" % (n, status) for n in range(first, first + 10))

        script = firmware_script()
        no_sync = b"\n\a\aError: did not synchronize with the Quorvantis!\n" + FW_FAILED
        no_id = b"\n\a\aError: did not receive QvNtIs identifier acknowledgement!\n" + FW_FAILED
        cases = [
            case("sync answered with garbage", loader("syn-reply=41"), script, 1, 0,
                 outputs=[firmware_output(0, no_sync, False)]),
            case("sync not answered", loader("syn-reply=none"), script, 1, 0,
                 outputs=[firmware_output(0, no_sync, False)]),
            case("identifier refused", loader("id-reply=15"), script, 1, 0,
                 outputs=[firmware_output(0, no_id, False)]),
            # The one firmware case that waits out its reply wait (5 s).
            case("identifier not answered", loader("id-reply=none"), script, 1, 0,
                 outputs=[firmware_output(0, no_id, False)]),
            case("first record refused for ever", loader(storm(1, "15")), script, 1, 0,
                 outputs=[firmware_output(0, record_failures(1, b"validation") + MAX_ERRORS + FW_FAILED)]),
            case("middle record answered with garbage", loader(storm(middle, "42")), script, 1, 0,
                 outputs=[firmware_output(middle - 1, record_failures(middle, b"unknown") + MAX_ERRORS + FW_FAILED)]),
            case("last record never answered", loader(storm(FW_RECORDS, "none")), script, 1, 0,
                 outputs=[firmware_output(FW_RECORDS - 1,
                                          record_failures(FW_RECORDS, b"timed out") + MAX_ERRORS + FW_FAILED)]),
            case("fatal on the first record", loader("script=1:18"), script, 1, 0,
                 outputs=[firmware_output(0, b"\n\a\aError: Firmware updating error: fatal on Line 1- aborting!\n"
                                          + FW_FAILED)]),
            case("buffer full on the last record", loader("script=%d:17" % FW_RECORDS), script, 1, 0,
                 outputs=[firmware_output(FW_RECORDS - 1, b"\n\a\aError: Firmware updating error: buffer full on "
                                          b"Line %d- aborting!\n" % FW_RECORDS + FW_FAILED)]),
        ]
        self.run_all(cases)


if __name__ == "__main__":
    unittest.main()
