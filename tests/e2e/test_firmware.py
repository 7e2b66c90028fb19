"""Firmware update through the simulated device's serial loader."""
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

from messages import PROMPT, START
from messages import FW_ABOUT as ABOUT, FW_CONFIRM as CONFIRM, FW_FAILED as FAILED, FW_NO_PROMPT as NO_PROMPT, \
    FW_NOT_UPDATED as NOT_UPDATED, FW_POWER as POWER, FW_SUCCEEDED as SUCCEEDED
from qvtest import EXAMPLE_FIRMWARE, ON_WINE, SOURCE_DIR, firmware_file, run_host, short_firmware, start_host
from simtest import Sim

# The whole example goes once (test_whole_update); the other cases send its
# first records, since every record line takes its time on the line.
FIRMWARE = short_firmware()


def records(path):
    with open(path, "rb") as f:
        return [line.rstrip(b"\r\n") for line in f if line.startswith(b":")]


def memory(path):
    """The bytes an Intel HEX file loads, by address (record types 00, 02 and 04)."""
    loaded, base = {}, 0
    for line in records(path):
        raw = bytes.fromhex(line[1:].decode())
        count, address, kind, data = raw[0], int.from_bytes(raw[1:3], "big"), raw[3], raw[4:4 + raw[0]]
        if kind == 0:
            for i in range(count):
                loaded[base + address + i] = data[i]
        elif kind == 2:
            base = int.from_bytes(data, "big") << 4
        elif kind == 4:
            base = int.from_bytes(data, "big") << 16
    return loaded


def documented_reblock_command():
    """The srec_cat command of the README's firmware section (continued lines
    joined), and the man page's, which must be the same."""
    with open(os.path.join(SOURCE_DIR, "README.md")) as f:
        readme = f.read()
    found = re.search(r"^    (srec_cat (?:.*\\\n)*.*)$", readme, re.M)
    assert found, "the README shows no srec_cat command"
    command = re.sub(r"\\\n\s*", "", found.group(1))
    with open(os.path.join(SOURCE_DIR, "doc", "quorvantis-host.1")) as f:
        page = f.read()
    in_page = re.search(r"^(srec_cat (?:.*\\e\n)*.*)$", page, re.M)
    assert in_page, "the man page shows no srec_cat command"
    page_command = re.sub(r"\\e\n\s*", "", in_page.group(1)).replace("\\-", "-")
    assert page_command == command, (page_command, command)
    return shlex.split(command)


class Session:
    """The host on a pipe: commands go in, the device is powered on when the
    host asks for it, and the port must be closed before the host is told to exit."""

    def __init__(self, sim, commands, power=True):
        self.sim = sim
        self.host = start_host(sim.env)
        self.host.send(commands)
        self.started = time.monotonic()
        if power:
            self.host.wait_for(b"seconds to do this...", 1, 20)
            sim.power_on()

    def finish(self, expect_open=True):
        with self.host:
            if expect_open:
                closed = self.sim.wait_for(lambda line: line == "closed", 30)
            self.elapsed = time.monotonic() - self.started
            rc, self.err = self.host.finish(b"exit\n")
        out = self.host.out
        if expect_open:
            assert closed is not None, "the port stayed open after the firmware command"
        assert rc == 0, (rc, self.err)
        assert out.startswith(START + PROMPT), out[:300]
        assert out.endswith(PROMPT), out[-300:]
        return out[len(START + PROMPT):-len(PROMPT)]


class FirmwareTest(unittest.TestCase):
    def setUp(self):
        self.tmp_dir = tempfile.TemporaryDirectory()
        self.tmp = self.tmp_dir.name
        self.received = os.path.join(self.tmp, "received.hex")

    def tearDown(self):
        self.tmp_dir.cleanup()

    def loader(self, *opts):
        args = ["--mode", "loader", "--manual-power", "--opt", "enq-delay=0", "--opt", "out=" + self.received]
        for opt in opts:
            args += ["--opt", opt]
        return Sim(self.tmp, *args)

    def update(self, sim, path=FIRMWARE, answer=b"y"):
        return Session(sim, b"firmware 1 " + path.encode() + b"\n" + answer + b"\n\n").finish()

    def check_progress(self, text, acknowledged, total):
        """text holds one progress line per acknowledged record, in order: the
        first 21 characters of the formatted times and percent, then the bar."""
        lines = text.split(b"\r")
        self.assertEqual(lines[0], b"")
        self.assertEqual(len(lines) - 1, acknowledged)
        for done, line in enumerate(lines[1:], 1):
            bar = int(59 * done / total)
            head, tail = line[:20], line[20:]
            self.assertEqual(tail, b"=" * bar, (done, line))
            times = re.match(rb"^ *\d+s TTC +\d+s ", head)
            self.assertIsNotNone(times, line)
            percent = b"%4.1f%% " % (100 * done / total)
            self.assertTrue(percent.startswith(head[times.end():]), (done, line))

    def test_whole_update(self):
        with self.loader() as sim:
            text = self.update(sim, EXAMPLE_FIRMWARE)
            events = sim.events()
        total = len(records(EXAMPLE_FIRMWARE))
        self.assertEqual(total, 257)
        prefix = CONFIRM + ABOUT + POWER + b"\n\n"
        self.assertTrue(text.startswith(prefix), text[:800])
        self.assertTrue(text.endswith(b"\n" + SUCCEEDED), text[-400:])
        body = text[len(prefix):-len(b"\n" + SUCCEEDED)]
        self.check_progress(body, total, total)
        last = body.split(b"\r")[-1]
        self.assertRegex(last, rb"^ *\d+s TTC +\d+s 100\.0%={59}$")
        self.assertEqual(len(last), 80 - 1)
        self.assertEqual(records(self.received), records(EXAMPLE_FIRMWARE))
        self.assertIn("loader syn", events)
        self.assertIn("loader identifier", events)
        self.assertIn("loader end", events)

    def test_reblocked_toolchain_file(self):
        # A file as objcopy makes it from a binary that loads at 0x102: good
        # records, but data records off the 4-byte boundaries. The command that
        # the README and the man page give re-blocks it into a file that the
        # check accepts and the loader takes, with every byte at its address.
        if shutil.which("srec_cat") is None:
            self.fail("srec_cat is not installed (Debian package srecord; scripts/install-deps installs it)")
        binary = os.path.join(self.tmp, "image.bin")
        with open(binary, "wb") as f:
            f.write(bytes((7 * i + 3) & 0xFF for i in range(100)))
        original = os.path.join(self.tmp, "original.hex")
        subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", "0x102", binary, original],
                       check=True)
        refused = run_host(b"firmware 1 " + original.encode() + b"\ny\nexit\n")
        self.assertIn(b"\a\aError: data record offset boundary error for line 1 in Firmware file!\n", refused.out)

        command = documented_reblock_command()
        self.assertIn("original.hex", command)
        self.assertIn("device.hex", command)
        subprocess.run(command, cwd=self.tmp, check=True, timeout=30)
        device = os.path.join(self.tmp, "device.hex")
        before, after = memory(original), memory(device)
        self.assertEqual({a: after.get(a) for a in before}, before)
        self.assertTrue(all(after[a] == 0xFF for a in after if a not in before))
        with self.loader() as sim:
            text = self.update(sim, device)
        self.assertTrue(text.endswith(b"\n" + SUCCEEDED), text[-400:])
        self.assertEqual(records(self.received), records(device))

    def test_device_that_powers_on_by_itself(self):
        # The simulator's own power-on after the port opens, as `make run` has it.
        with Sim(self.tmp, "--mode", "loader", "--opt", "out=" + self.received) as sim:
            session = Session(sim, b"firmware 1 " + FIRMWARE.encode() + b"\ny\n\n", power=False)
            text = session.finish()
        self.assertTrue(text.endswith(b"\n" + SUCCEEDED), text[-400:])
        self.assertEqual(records(self.received), records(FIRMWARE))

    def test_bad_checksum_reply_resends_with_line_number(self):
        # Two comment lines before the records: the third record is line 5.
        path = os.path.join(self.tmp, "commented.hex")
        with open(FIRMWARE, "rb") as f:
            data = f.read()
        with open(path, "wb") as f:
            f.write(b"# firmware for the test\n\n" + data)
        with self.loader("script=3:12") as sim:
            text = self.update(sim, path)
            events = sim.events()
        message = b"\n\a\aError: Firmware updating error: bad record checksum on Line 5, resending.\n"
        self.assertEqual(text.count(message), 1)
        self.assertTrue(text.endswith(b"\n" + SUCCEEDED))
        self.assertIn("loader line 3 12", events)
        self.assertIn("loader line 4 06", events)
        self.assertEqual(records(self.received), records(FIRMWARE))

    def test_every_resent_reply(self):
        cases = [
            ("11", b"didn't get start character"),
            ("15", b"validation"),
            ("none", b"timed out"),
            ("42", b"unknown"),
        ]
        for status, words in cases:
            with self.subTest(status=status), self.loader("script=2:" + status) as sim:
                text = self.update(sim)
                self.assertIn(b"\n\a\aError: Firmware updating error: " + words + b" on Line 2, resending.\n"
                              b"\r", text)
                self.assertTrue(text.endswith(b"\n" + SUCCEEDED))
                self.assertEqual(records(self.received), records(FIRMWARE))

    def test_ten_failures_spread_over_records_abort(self):
        # Every other reply fails: record n+1 fails once and goes on its second
        # try, until the tenth failure (on record 11) ends the transfer.
        statuses = ["11", "12", "15", "none", "42", "11", "12", "15", "42", "12"]
        script = ",".join("%d:%s" % (2 * (i + 1), s) for i, s in enumerate(statuses))
        with self.loader("script=" + script) as sim:
            text = self.update(sim)
            events = sim.events()
        words = [b"didn't get start character", b"bad record checksum", b"validation", b"timed out",
                 b"unknown", b"didn't get start character", b"bad record checksum", b"validation", b"unknown"]
        for number, word in enumerate(words, 2):
            self.assertIn(b"\n\a\aError: Firmware updating error: %s on Line %d, resending.\n" % (word, number),
                          text)
        self.assertEqual(text.count(b"resending"), 9)
        self.assertTrue(text.endswith(
            b"\n\a\aError: maximum Firmware updating errors (10) encountered- aborting!\n" + FAILED), text[-300:])
        self.assertEqual(text.count(b"\r"), 10)  # records 1 to 10 were acknowledged
        self.assertEqual(events.count("loader line 20 12"), 1)
        self.assertFalse(any(line.startswith("loader line 21 ") for line in events))

    def test_buffer_full_and_fatal_abort(self):
        cases = [
            ("17", b"\n\a\aError: Firmware updating error: buffer full on Line 4- aborting!\n"),
            ("18", b"\n\a\aError: Firmware updating error: fatal on Line 4- aborting!\n"),
        ]
        for status, message in cases:
            with self.subTest(status=status), self.loader("script=4:" + status) as sim:
                text = self.update(sim)
                self.assertTrue(text.endswith(message + FAILED), text[-300:])
                self.assertEqual(text.count(b"\r"), 3)
                self.assertEqual(len(records(self.received)), 3)

    def test_wrong_prompt_byte(self):
        with self.loader("prompt=0x41") as sim:
            session = Session(sim, b"firmware com1 " + FIRMWARE.encode() + b"\nY\n\n")
            text = session.finish()
        self.assertEqual(text, CONFIRM + ABOUT + POWER + NO_PROMPT + FAILED)
        self.assertLess(session.elapsed, 10)

    def test_device_that_never_falls_quiet(self):
        # The drain gives up after a few seconds and the chatter is no prompt.
        with Sim(self.tmp, "--mode", "loader", "--fault", "chatter") as sim:
            session = Session(sim, b"firmware 1 " + FIRMWARE.encode() + b"\ny\n\n", power=False)
            text = session.finish()
        self.assertEqual(text, CONFIRM + ABOUT + POWER + NO_PROMPT + FAILED)
        self.assertLess(session.elapsed, 15)

    def test_answers_that_do_not_update(self):
        for answer in (b"n", b"", b"no", b"N"):
            with self.subTest(answer=answer), self.loader() as sim:
                text = Session(sim, b"firmware 1 " + FIRMWARE.encode() + b"\n" + answer + b"\n",
                               power=False).finish(expect_open=False)
                self.assertEqual(text, CONFIRM + NOT_UPDATED)
                self.assertNotIn("opened", sim.events())

    def test_end_of_input_at_the_confirmation(self):
        with self.loader() as sim:
            run = run_host(b"firmware 1 " + FIRMWARE.encode() + b"\n", env=sim.env, timeout=30)
            self.assertNotIn("opened", sim.events())
        self.assertEqual(run.rc, 1)
        self.assertEqual(run.out, START + PROMPT + CONFIRM + b"\n" + NOT_UPDATED + PROMPT + b"\n")

    def test_late_reply_is_not_taken_for_the_copy(self):
        # The device answers record 2 after the program's window: the program
        # times out, then reads the line until it is quiet before it sends the
        # record again, so the late ACK is not counted for the copy, and every
        # later ACK answers the record just sent. The device gets record 2
        # twice (the same bytes at the same address), every other record once.
        with self.loader("late=2") as sim:
            text = self.update(sim)
            events = sim.events()
        total = len(records(FIRMWARE))
        self.assertEqual(text.count(b"\n\a\aError: Firmware updating error: timed out on Line 2, resending.\n"), 1,
                         text[-600:])
        self.assertEqual(text.count(b"resending"), 1)
        self.assertTrue(text.endswith(b"\n" + SUCCEEDED), text[-400:])
        self.assertIn("loader line 2 reply late", events)
        # No record line reached the device while the late answer was still to
        # come: each answer the program read was the one to the line it sent.
        self.assertEqual([e for e in events if " while reply " in e], [])
        received = records(self.received)
        self.assertEqual(received, records(FIRMWARE)[:2] + records(FIRMWARE)[1:])
        self.assertIn("loader end", events)
        # One progress line for each record of the file: acknowledged once.
        self.assertEqual(text.count(b"\r"), total)

    def test_incomplete_files_are_refused_before_anything_is_sent(self):
        # What an interrupted copy leaves (the first five records, no end
        # record), and records after the end record: the check refuses both
        # and the port is never opened.
        first = records(EXAMPLE_FIRMWARE)[:5]
        cases = [
            ("cut short", first, b"\a\aError: missing end of file record in Firmware file!\n"),
            ("a record after the end", first + [b":00000001FF"] + first[1:2],
             b"\a\aError: record after end of file record for line 7 in Firmware file!\n"),
        ]
        for name, lines, message in cases:
            with self.subTest(name), self.loader() as sim:
                path = os.path.join(self.tmp, "incomplete.hex")
                with open(path, "wb") as f:
                    f.write(b"\n".join(lines) + b"\n")
                run = run_host(b"firmware 1 " + path.encode() + b"\ny\nexit\n", env=sim.env, timeout=30)
                self.assertEqual(run.rc, 0, run.diagnosis())
                self.assertEqual(run.after_start(), PROMPT + CONFIRM + message +
                                 b"\a\aError: Firmware file has some kind of error!\n" + FAILED + PROMPT)
                self.assertNotIn("opened", sim.events())

    def test_refused_while_connected(self):
        with Sim(self.tmp) as sim:
            run = run_host(b"connect 1\nfirmware 1 " + FIRMWARE.encode() + b"\nexit\n", env=sim.env, timeout=60)
        self.assertEqual(run.rc, 0, run.diagnosis())
        self.assertIn(b"Connected at 9600\n" + PROMPT +
                      b"\a\aError: already Connected, Disconnect first!\n" + PROMPT, run.out)


class PacedLineTest(unittest.TestCase):
    """Against a device whose line carries every byte in its real time at
    19200 baud: each record's reply window must start when the record's last
    byte is on the wire, whatever the record's length."""

    def test_every_record_size_goes_through_without_a_resend(self):
        for size in (16, 32, 64, 96, 120, 128):
            with self.subTest(size=size), tempfile.TemporaryDirectory() as tmp:
                path = firmware_file(tmp, "records%d.hex" % size, size, 4)
                received = os.path.join(tmp, "received.hex")
                with Sim(tmp, "--mode", "loader", "--manual-power", "--pace-exact", "19200", "--opt", "enq-delay=0",
                         "--opt", "out=" + received) as sim:
                    text = Session(sim, b"firmware 1 " + path.encode() + b"\ny\n\n").finish()
                    events = sim.events()
                self.assertNotIn(b"resending", text)
                self.assertTrue(text.endswith(b"\n" + SUCCEEDED), text[-400:])
                # The device took every record line, end record included, once.
                self.assertEqual(records(received), records(path))
                self.assertEqual(len([e for e in events if e.startswith("loader line ")]), len(records(path)))
                self.assertIn("loader end", events)
                self.assertEqual(text.count(b"\r"), 5)


if __name__ == "__main__":
    unittest.main()
