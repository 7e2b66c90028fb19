"""The download command end to end against the simulated device: the images
the device receives, the two warnings, and every failure of the sequence."""
import os
import struct
import unittest

from messages import ABORTED, CONF_OK, CONF_WARNING, ENDING, NOT_CONNECTED, PROMPT, RULES_OK, RULES_WARNING
from messages import DOWNLOADED as SUCCESS
from qvtest import EXAMPLES, TempDirCase, run_host, write_file
from simtest import Sim, read_download_report


def image(call=b"notset", ssid=0, host=57600, dstar=9600, tnc=19200, lat=None, lon=None, widemax=3,
          widetotal=6, relay=1, nsr=0, dupewin=28, log=1, halt=0, dropm=1, fixvalid=1, implicit=112,
          rule_count=0, digipath=()):
    """The 120-byte configuration image, field by field from its layout table."""
    head = struct.pack("<III", host, dstar, tnc)
    position = struct.pack("<ff", lat, lon) if lat is not None else None
    tail = call.ljust(8, b"\0")
    tail += struct.pack("<14H", ssid, widemax, widetotal, relay, nsr, 1, dupewin, log, halt, dropm, fixvalid, 0,
                        implicit, rule_count)
    path = b"".join(part.ljust(8, b"\0") for part in digipath).ljust(64, b"\0")
    return head, position, tail + path


def rule_record(kind, action, call, line, ssid=None):
    """A destin (37) or source (38) record: call, SSID, kind, flags, line."""
    flags = {"pass": 0x08, "drop": 0x04}[action] | (0x40 if ssid is not None else 0)
    slots = call.ljust(6, b"\0") + (bytes([ssid]) if ssid is not None else b"\0") + b"\0" * 17
    return slots + bytes([kind, flags]) + struct.pack("<H", line)


def hundred_rules():
    """A rules file of 100 rules after a comment line, and the records it gives."""
    lines = [b"# one hundred call rules"]
    records = b""
    for i in range(100):
        if i % 2 == 0:
            lines.append(b"pass destin N%dXY" % i)
            records += rule_record(37, "pass", b"N%dXY" % i, i + 2)
        else:
            lines.append(b"drop source K%dAB-%d" % (i, i % 16))
            records += rule_record(38, "drop", b"K%dAB" % i, i + 2, i % 16)
    return b"\n".join(lines) + b"\n", records


def connects(script):
    return b"connect 1\n" in script


class DownloadTest(TempDirCase):
    def run_download(self, script, *sim_args):
        """Runs the program with the simulator as COM1; gives the outputs of the
        commands one by one, the run, the device's report and its events."""
        report = os.path.join(self.tmp, "received.txt")
        with Sim(self.tmp, "--opt", "dl_report=" + report, *sim_args) as sim:
            run = run_host(script, env=sim.env)
            if connects(script):
                sim.wait_for(lambda line: line in ("closed", "unplugged"))
            events = sim.events()
        outputs = run.after_start().split(PROMPT)[1:]
        received = read_download_report(report)
        return outputs, run, received, events

    def packets(self, events):
        return [e for e in events if e.startswith("dl packet ")]

    def test_example_station_and_hundred_rules(self):
        text, records = hundred_rules()
        rules = write_file(self.tmp, "rules100.txt", text)
        station = os.path.join(EXAMPLES, "station.cfg")
        script = b"configure %s\nrules %s\nconnect 1\ndownload\ndownload\nexit\n" % (station.encode(), rules.encode())
        outputs, run, received, events = self.run_download(script)
        self.assertEqual(run.rc, 0, run.diagnosis())
        self.assertEqual(outputs[3], SUCCESS)
        self.assertEqual(outputs[4], NOT_CONNECTED)
        head, _, tail = image(call=b"N0CALL", ssid=7, lat=39.5, lon=-104.5, rule_count=100,
                              digipath=(b"WIDE1-1", b"WIDE2-1"))
        self.assertEqual(received["conf"], head + struct.pack("<ff", 39.5, -104.5) + tail)
        self.assertEqual(received["rules"], records)
        self.assertEqual(received["state"], "download complete")
        lengths = [int(p.split()[4]) for p in self.packets(events)]
        self.assertEqual(lengths, [21, 64, 64, 21] + [64] * 46 + [44] + [21])
        self.assertTrue(all(p.endswith("crc ok reply 06") for p in self.packets(events)))
        self.assertIn("closed", events)

    def test_at_38400_and_57600_on_a_paced_line(self):
        # Every byte takes its time on the line: a 64-byte packet 16.7 ms at
        # 38400 and 11.1 ms at 57600, more than the 10 ms write limit at these
        # speeds, which bounds only the handing over of the bytes. The device
        # prints nothing after the download command: its 64 bytes of text
        # would take 16.7 ms of the program's one 20 ms read at 38400, which
        # a loaded machine can miss (the read-away has cases of its own).
        station = os.path.join(EXAMPLES, "station.cfg").encode()
        rules = os.path.join(EXAMPLES, "rules.txt").encode()
        for speed in (b"38400", b"57600"):
            with self.subTest(speed=speed):
                script = b"configure %s\nrules %s\nconnect 1 %s\ndownload\nexit\n" % (station, rules, speed)
                outputs, run, received, events = self.run_download(script, "--pace-exact", speed.decode(),
                                                                   "--opt", "dl_quiet=1")
                self.assertEqual(run.rc, 0, run.diagnosis())
                self.assertTrue(outputs[2].endswith(b"Connected at " + speed + b"\n"), outputs[2])
                self.assertEqual(outputs[3], SUCCESS)
                self.assertEqual(received["state"], "download complete")
                self.assertEqual(len(received["conf"]), 120)
                self.assertEqual(len(received["rules"]), 8 * 28)
                self.assertTrue(all(p.endswith("crc ok reply 06") for p in self.packets(events)))

    def test_shared_hundred_rule_file(self):
        rules = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "rules100.txt")
        self.assertTrue(os.path.exists(rules), rules)
        outputs, run, received, events = self.run_download(b"rules %s\nconnect 1\ndownload\ny\nexit\n" % rules.encode())
        self.assertEqual(outputs[2], CONF_WARNING + SUCCESS)
        self.assertEqual(struct.unpack("<H", received["conf"][54:56])[0], 100)
        self.assertEqual(len(received["rules"]), 2800)
        # Records in file order: their line numbers only grow.
        lines = [struct.unpack("<H", received["rules"][r + 26:r + 28])[0] for r in range(0, 2800, 28)]
        self.assertEqual(lines, sorted(lines))
        self.assertEqual(len(self.packets(events)), 52)

    def test_no_rules_only_the_implicit_rule(self):
        station = os.path.join(EXAMPLES, "station.cfg")
        rules = write_file(self.tmp, "implicit.txt", "drop implicit\n")
        script = b"configure %s\nrules %s\nconnect 1\ndownload\nexit\n" % (station.encode(), rules.encode())
        outputs, run, received, events = self.run_download(script)
        self.assertEqual(outputs[3], SUCCESS)
        head, _, tail = image(call=b"N0CALL", ssid=7, implicit=100, digipath=(b"WIDE1-1", b"WIDE2-1"))
        self.assertEqual(received["conf"][:12], head)
        self.assertEqual(received["conf"][20:], tail)
        self.assertEqual(received["rules"], b"")
        self.assertEqual(received["state"], "download complete")
        self.assertEqual([int(p.split()[4]) for p in self.packets(events)], [21, 64, 64, 21, 21])

    def test_warnings_and_answers(self):
        go_on = CONF_WARNING + RULES_WARNING + SUCCESS
        cases = [
            (b"yes\nyes\n", go_on),
            (b"y\nY\n", go_on),
            (b"Yes\nYES\n", go_on),
            (b"no\n", CONF_WARNING + ABORTED),
            (b"\n", CONF_WARNING + ABORTED),
            (b" yes\n", CONF_WARNING + ABORTED),
            (b"yes\nno\n", CONF_WARNING + RULES_WARNING + ABORTED),
            (b"yes\n\n", CONF_WARNING + RULES_WARNING + ABORTED),
        ]
        for answers, expected in cases:
            with self.subTest(answers=answers):
                outputs, run, received, _ = self.run_download(b"connect 1\ndownload\n" + answers + b"download\nexit\n")
                self.assertEqual(outputs[1], expected)
                if expected.endswith(SUCCESS):
                    head, _, tail = image()
                    self.assertEqual(received["conf"][:12], head)
                    self.assertEqual(received["conf"][20:], tail)
                    self.assertEqual(outputs[2], NOT_CONNECTED)
                else:
                    # Still connected: the next download asks again.
                    self.assertTrue(outputs[2].startswith(CONF_WARNING), outputs[2])

    def test_end_of_input_at_each_warning(self):
        for answers, expected in ((b"", CONF_WARNING + b"\n" + ABORTED),
                                  (b"yes\n", CONF_WARNING + RULES_WARNING + b"\n" + ABORTED)):
            with self.subTest(answers=answers):
                outputs, run, _, _ = self.run_download(b"connect 1\ndownload\n" + answers)
                self.assertEqual(outputs[1], expected)
                self.assertEqual(run.rc, 1)

    def test_long_answer_is_discarded_to_its_end(self):
        answer = b"n" * 255 + b"help\n"
        outputs, run, _, _ = self.run_download(b"connect 1\ndownload\n" + answer + b"exit\n")
        self.assertEqual(outputs[1], CONF_WARNING + ABORTED)
        self.assertEqual(len(outputs), 3)
        self.assertEqual(outputs[2], b"")
        self.assertEqual(run.rc, 0, run.diagnosis())

    def test_failures(self):
        conf_ok = CONF_OK
        rules_ok = RULES_OK
        cases = [
            ("conf packet refused five times", ["dl_nak_packet=1", "dl_nak_times=5"],
             b"\a\aError: writing Configuration command failed: -6\n\a\aError: Download failed: -1\n"),
            ("garbage after configuration data", ["dl_garbage_packet=3", "dl_garbage_byte=0"],
             b"\a\aError: reading ack or nak: got 0x00\n\a\aError: writing data pkt: -5\n"
             b"\a\aError: writing Configuration file failed: -3\n\a\aError: Download failed: -2\n"),
            ("rules packet refused", ["dl_nak_packet=4", "dl_nak_times=5"],
             conf_ok + b"\a\aError: writing Rules command failed: -6\n\a\aError: Download failed: -3\n"),
            ("rule data refused", ["dl_nak_packet=6", "dl_nak_times=5"],
             conf_ok + b"\a\aError: writing data pkt: -6\n\a\aError: writing Rules file failed: -3\n"
             b"\a\aError: Download failed: -4\n"),
            ("finish packet garbage", ["dl_garbage_packet=7", "dl_garbage_byte=0xa5"],
             conf_ok + rules_ok + b"\a\aError: reading ack or nak: got 0xa5\n"
             b"\a\aError: error writing finish pkt: -5\n\a\aError: Download failed: -5\n"),
            ("four NAKs are not a failure", ["dl_nak_packet=2", "dl_nak_times=4"], conf_ok + rules_ok),
        ]
        # Three rules: 84 bytes in two data packets (packets 5 and 6), finish is 7.
        rules = write_file(self.tmp, "three.txt", "pass destin AB1\ndrop source CD2-3\npass dst *\n")
        station = os.path.join(EXAMPLES, "station.cfg").encode()
        for name, opts, lines in cases:
            with self.subTest(name=name):
                args = []
                for opt in opts:
                    args += ["--opt", opt]
                script = b"configure %s\nrules %s\nconnect 1\ndownload\ndownload\nexit\n" % (station, rules.encode())
                outputs, run, received, events = self.run_download(script, *args)
                self.assertEqual(outputs[3], lines + ENDING)
                self.assertEqual(outputs[4], NOT_CONNECTED)
                self.assertEqual(received["state"],
                                 "download complete" if name.startswith("four") else "download incomplete")

    def test_device_that_never_answers(self):
        # The one case that waits out the five-second reply wait.
        outputs, run, received, events = self.run_download(
            b"connect 1\ndownload\ny\ny\ndownload\nexit\n", "--opt", "dl_silent_packet=1")
        self.assertEqual(outputs[1], CONF_WARNING + RULES_WARNING
                         + b"\a\aError: reading ack or nak: 0\n"
                         b"\a\aError: writing Configuration command failed: -4\n"
                         b"\a\aError: Download failed: -1\n" + ENDING)
        self.assertEqual(outputs[2], NOT_CONNECTED)

    def test_device_unplugged_mid_download(self):
        # The read of the reply fails: the program ends through its fatal path.
        station = os.path.join(EXAMPLES, "station.cfg").encode()
        outputs, run, received, events = self.run_download(
            b"configure %s\nconnect 1\ndownload\ny\nexit\n" % station, "--opt", "dl_unplug_packet=3")
        self.assertEqual(run.rc, 3)
        self.assertIn(b"\a\aError: could not read on COM port COM1: ", run.err)
        self.assertEqual(outputs[2], RULES_WARNING)
        self.assertEqual(len(received["conf"]), 60)
        self.assertIn("unplugged", events)


if __name__ == "__main__":
    unittest.main()
