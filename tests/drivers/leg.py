#!/usr/bin/env python3
"""The program against the kernel's own serial drivers: the 8250 UART driver
(an emulated 16550A) and ftdi_sio (an emulated FTDI FT232 USB adapter), in a
Debian kernel under QEMU, with the simulated device on the far end of a null
modem from each (see guest_vm.py). Prints one line per check, each for one
driver, and a closing "N passed, M failed"; a check that cannot run fails.

    leg.py --build DIR --kernel DIR [--work DIR] [--only NAME]...

--build holds static builds of quorvantis-host and quorvantis-sim (NAME-static);
--kernel the unpacked kernel (vmlinuz, modules/NAME.ko and package), fetched
there when it is not.
"""
import argparse
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import guest_image  # noqa: E402 (it also makes the end-to-end helpers importable)
from guest_vm import PORTS, Guest, GuestError  # noqa: E402
from messages import (DISCONNECTED, DOWNLOADED, FW_FAILED, FW_SUCCEEDED, PROMPT, STATION_ITEMS,  # noqa: E402
                      could_not_open)
from simtest import read_download_report  # noqa: E402
from test_download import hundred_rules, image  # noqa: E402

Q = "/tmp/q"  # the guest's scratch directory (guest.sh)
ASYNC_LOW_LATENCY = 0x2000
LATENCY_REQUEST = 0x4009  # FTDI: set the latency timer
MODEM_REQUEST = 0x4001    # FTDI: set DTR and RTS (high byte: which, low byte: their levels)
LATENCY_TIMER = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"
USUAL_LATENCY = 16        # a real FT232's latency timer (QEMU's model starts at 0)
BUSY = "Device or resource busy"
# Seconds a check may take; the longest takes about 40 s on a loaded machine.
CHECK_LIMIT = 180


class CheckFailed(Exception):
    pass


def expect(condition, why):
    if not condition:
        raise CheckFailed(why)


def text(data):
    return data.decode(errors="replace")


def shown(data, limit=300):
    """The end of a transcript for a failure line: bells and CRs as escapes."""
    return repr(text(data)[-limit:])


# What a check has started and not yet ended: ended by the check's end
# whatever became of the check.
started = []


class Device:
    """The simulated device on the port's partner UART (quorvantis-sim --tty)."""

    count = 0

    def __init__(self, guest, port, *args):
        Device.count += 1
        self.g = guest
        self.name = "d%d" % Device.count
        self.running = True
        started.append(self)
        guest.ok("sim_start", self.name, port["partner"], *args)

    def power(self):
        self.g.ok("sim_power", self.name)

    def clear(self):
        if self.running:
            self.stop()

    def wait(self, line, seconds=30):
        out, status = self.g.run("sim_wait", self.name, line, seconds * 10, timeout=seconds + 30)
        expect(status == 0, "the device did not report %r" % line)

    def stop(self):
        """Stops the device; gives its report lines."""
        self.running = False
        return self.g.ok("sim_stop", self.name, timeout=30).splitlines()


class Program:
    """A run of quorvantis-host in the guest, as root or as the user op; its
    output is taken piece by piece, each command's up to the next prompt."""

    count = 0

    def __init__(self, guest, user="root"):
        Program.count += 1
        self.g = guest
        self.name = "h%d" % Program.count
        self.asked = 0    # how often it has asked for the device's power
        self.prompts = 1  # prompts printed so far
        self.taken = 0    # bytes of its output taken so far
        self.running = True
        started.append(self)
        guest.ok("program_start", self.name, user, timeout=60)
        self.take()

    def clear(self):
        if self.running:
            self.end(0)

    def send(self, *lines):
        for line in lines:
            self.g.ok("program_send", self.name, line)

    def wait(self, what, count=1, seconds=30):
        out, status = self.g.run("program_wait", self.name, what, count, seconds * 10, timeout=seconds + 30)
        if status != 0:
            raise CheckFailed("%s; the program's output ends %s" % (text(out).strip(), shown(self.output())))

    def power_when_asked(self, device):
        self.asked += 1
        self.g.ok("power_when_asked", self.name, device.name, self.asked, timeout=60)

    def wait_asked(self):
        """Until the program asks for the device's power once more."""
        self.asked += 1
        self.wait("You have 20 seconds to do this...", self.asked)

    def output(self):
        return self.g.run("program_out", self.name)[0]

    def take(self):
        """The output since the last take."""
        out = self.g.run("tail", "-c", "+%d" % (self.taken + 1), "%s/%s.out" % (Q, self.name))[0]
        self.taken += len(out)
        return out

    def command(self, line, *answers, device=None, seconds=30):
        """Sends a command (and its answers); powers the device on when the
        program asks for it; gives what the command printed before the next
        prompt."""
        self.send(line, *answers)
        if device is not None:
            self.power_when_asked(device)
        self.prompts += 1
        self.wait(PROMPT.decode(), self.prompts, seconds)
        got = self.take()
        expect(got.endswith(PROMPT), "no prompt after %s: %s" % (line, shown(got)))
        return got[:-len(PROMPT)]

    def connect(self, port, speed, device):
        got = self.command("connect %d %d" % (port["com"], speed), device=device)
        expect(got.endswith(b"\nConnected at %d\n" % speed), "connect %d %d: %s" % (port["com"], speed, shown(got)))

    def end(self, seconds=15):
        """Waits for the program's end (killed after seconds); gives its exit status."""
        self.running = False
        out = self.g.run("program_end", self.name, seconds * 10, timeout=seconds + 30)[0].decode()
        found = re.search(r"status (\d+)", out)
        expect(found is not None, "the program did not end: " + out.strip())
        return int(found.group(1))

    def exit(self):
        self.send("exit")
        status = self.end()
        expect(status == 0, "exit gave status %d" % status)

    def error_output(self):
        return self.g.run("program_err", self.name)[0]

    def ports(self):
        return self.g.ok("program_ports", self.name).split()


def file_records_digest(guest, path):
    """The records of a firmware file as the loader receives them (without
    line ends), as a count and a digest computed in the guest."""
    out = guest.ok("sh", "-c", "grep '^:' %s | tr -d '\\r' | wc -l; grep '^:' %s | tr -d '\\r' | md5sum"
                   % (path, path))
    count, digest = out.split()[:2]
    return int(count), digest


def received_records_digest(guest, path):
    """The records the loader accepted (its out= file): how many, and the
    count and digest of them with a record that came again at once (after a
    time-out) taken once."""
    out = guest.ok("sh", "-c", "wc -l < %s; uniq %s | wc -l; uniq %s | md5sum" % (path, path, path))
    count, once, digest = out.split()[:3]
    return int(count), (int(once), digest)


TIMED_OUT = re.compile(rb"\n\a\aError: Firmware updating error: timed out on Line \d+, resending\.\n")


class Leg:
    def __init__(self, guest, work):
        self.g = guest
        self.work = work
        self.passed = 0
        self.failed = 0
        self.lines_held = {}   # by port: DTR and RTS while connected, from the low-latency check
        self.modem_trace = []  # the FTDI adapter's modem-control requests then

    def result(self, label, port, ok, detail):
        line = "%-4s %s, %s (COM%d %s)" % ("ok" if ok else "FAIL", label, port["name"], port["com"],
                                           port["device"])
        if detail:
            line += ": " + detail
        print(line, flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1

    def check(self, label, port, body):
        """Runs one check; any failure to run it is its failure."""
        began = time.monotonic()
        self.g.deadline = began + CHECK_LIMIT
        try:
            detail = body(port)
            ok = True
        except (CheckFailed, GuestError) as e:
            ok, detail = False, str(e)
        self.g.deadline = None
        # Nothing a check started outlives it, so the next one finds the line free.
        while started:
            try:
                started.pop().clear()
            except (CheckFailed, GuestError):
                pass
        self.result(label, port, ok, "%s [%.1f s]" % (detail or "", time.monotonic() - began))

    # The port's state around the program's open and close.

    def low_latency_state(self, port):
        """What the driver holds of low latency: the 8250's flag (sysfs
        flags), the FTDI adapter's latency timer (sysfs shows 1 while the
        driver's low-latency flag is set)."""
        if port["name"] == "8250":
            return int(self.g.ok("cat", "/sys/class/tty/ttyS1/flags").strip(), 16) & ASYNC_LOW_LATENCY
        return int(self.g.ok("cat", LATENCY_TIMER).strip())

    def modem_lines(self, port):
        """DTR and RTS as the 8250 driver shows them."""
        line = [l for l in self.g.ok("cat", "/proc/tty/driver/serial").splitlines() if l.startswith("1:")]
        expect(line, "no line for ttyS1 in /proc/tty/driver/serial")
        return [name for name in ("DTR", "RTS") if name in line[0].split()[-1].split("|")]

    def latency_requests(self, mark):
        return [value for request, value in self.g.trace_since(mark) if request == LATENCY_REQUEST]

    # a. Low latency while connected, put back after disconnect, exit and a failed handshake; and f. DTR and RTS.

    def check_low_latency(self, port):
        ftdi = port["name"] == "FTDI"
        if ftdi:
            self.g.ok("sh", "-c", "echo %d > %s" % (USUAL_LATENCY, LATENCY_TIMER))
        before = self.low_latency_state(port)
        low = 1 if ftdi else ASYNC_LOW_LATENCY
        expect(before != low, "low latency already on before the program: %r" % before)
        mark = self.g.trace_mark()
        seen = []

        def look(phase, wanted):
            state = self.low_latency_state(port)
            seen.append(state)
            expect(state == wanted, "%s: %r, not %r" % (phase, state, wanted))

        device = Device(self.g, port)
        program = Program(self.g)
        program.connect(port, 9600, device)
        look("connected", low)
        if not ftdi:
            self.lines_held[port["name"]] = self.modem_lines(port)
        else:
            requests = [(r, v) for r, v in self.g.trace_since(mark) if r == MODEM_REQUEST]
            self.lines_held[port["name"]] = [] if requests and requests[-1][1] & 0x03 == 0 else ["DTR/RTS"]
            self.modem_trace = requests
        expect(program.command("disconnect") == DISCONNECTED, "disconnect")
        look("disconnected", before)
        program.connect(port, 9600, device)
        look("connected again", low)
        program.exit()
        look("after exit", before)
        device.stop()
        device = Device(self.g, port, "--fault", "wrong-speed")
        program = Program(self.g)
        got = program.command("connect %d 9600" % port["com"], device=device)
        expect(b"did not receive the Quorvantis Connected string" in got, "the handshake did not fail: " + shown(got))
        look("failed handshake", before)
        program.exit()
        device.stop()
        phases = "connected, disconnected, connected, exit, failed handshake"
        if ftdi:
            requests = self.latency_requests(mark)
            expect(requests == [1, before] * 3,
                   "the adapter's latency-timer requests were %r, not 1 and %d three times" % (requests, before))
            return ("latency_timer %d ms, then %s (%s), and the driver asked the chip for %s ms"
                    % (before, ", ".join(str(v) for v in seen), phases, ", ".join(str(r) for r in requests)))
        return ("low-latency flag %s, then %s (%s)"
                % ("on" if before else "off", ", ".join("on" if v else "off" for v in seen), phases))

    def check_modem_lines(self, port):
        # Measured by the low-latency check while it was connected.
        lines = self.lines_held.get(port["name"])
        expect(lines is not None, "not measured: the low-latency check did not get as far as connected")
        expect(lines == [], "%s on while connected (the adapter's modem-control requests: %r)"
               % (" and ".join(lines), self.modem_trace))
        if port["name"] == "FTDI":
            values = " then ".join("0x%03x" % v for _, v in self.modem_trace)
            return "both off while connected (the adapter's modem-control requests: %s)" % values
        return "both off while connected"

    # b. Exclusive use.

    def check_exclusive(self, port):
        device = Device(self.g, port)
        first = Program(self.g)
        first.connect(port, 9600, device)
        refusal = b"\a\aError: cannot open com port COM%d: %s: %s\n" % (port["com"], port["device"].encode(),
                                                                       BUSY.encode())
        others = [Program(self.g), Program(self.g, "op")]
        for other, who in zip(others, ("root", "an ordinary user")):
            got = other.command("connect %d 9600" % port["com"])
            expect(got == b"Connecting at 9600...\n" + refusal + could_not_open(port["com"]),
                   "a second program as %s got %s" % (who, shown(got)))
        expect(first.command("disconnect") == DISCONNECTED, "disconnect of the first")
        # The ordinary user gets past the exclusive flag only when the first
        # program's close cleared it.
        others[1].connect(port, 9600, device)
        for program in [first] + others:
            program.exit()
        device.stop()
        return "a second program refused as root and as a user (%s), the port opens again after the first closed" % BUSY

    # c. The whole job.

    def download_report(self, path):
        local = os.path.join(self.work, "download-report.txt")
        with open(local, "wb") as f:
            f.write(self.g.run("cat", path)[0])
        return read_download_report(local)

    def expect_download(self, got, path):
        expect(got == DOWNLOADED, "download printed %s" % shown(got))
        received = self.download_report(path)
        records = hundred_rules()[1]
        head, _, tail = image(call=b"N0CALL", ssid=7, lat=39.5, lon=-104.5, rule_count=100,
                              digipath=(b"WIDE1-1", b"WIDE2-1"))
        expect(received.get("conf") == head + struct.pack("<ff", 39.5, -104.5) + tail,
               "the device received another configuration image: %r" % received.get("conf"))
        expect(received.get("rules") == records, "the device received other rule records")
        expect(received.get("state") == "download complete", "the device says %r" % received.get("state"))

    def load_files(self, program):
        expect(program.command("configure " + guest_image.STATION) == STATION_ITEMS, "configure")
        got = program.command("rules " + guest_image.RULES)
        expect(got == b"Rules processed 100, implicit 0\n", "rules: " + shown(got))

    # The device prints nothing after the download command (dl_quiet): the
    # program reads that text away in one read of 20 ms at 57600 (84 ms at
    # 9600), which a guest on a loaded machine may answer too late; the
    # end-to-end tests show the read.
    QUIET = ("--opt", "dl_quiet=1")

    def check_download_9600(self, port):
        report = "%s/dl-%s-9600.txt" % (Q, port["name"])
        device = Device(self.g, port, *self.QUIET, "--opt", "dl_report=" + report)
        program = Program(self.g)
        self.load_files(program)
        program.connect(port, 9600, device)
        self.expect_download(program.command("download", seconds=60), report)
        program.exit()
        device.stop()
        return "configure, rules (100), connect at 9600 and download: the device got both images exactly"

    def check_download_57600(self, port):
        report = "%s/dl-%s-57600.txt" % (Q, port["name"])
        device = Device(self.g, port, "--speed", "57600", *self.QUIET, "--opt", "dl_report=" + report)
        program = Program(self.g)
        self.load_files(program)
        program.connect(port, 57600, device)
        got = program.command("baud 57600")
        expect(got == b"Connecting at 57600...\nConnected at 57600\n", "baud 57600: " + shown(got))
        self.expect_download(program.command("download", seconds=60), report)
        program.exit()
        events = device.stop()
        expect("host 57600" in events, "the device saw no host speed command: %r" % events[-5:])
        return "connect at 57600, baud 57600 and download: the device got both images exactly"

    def firmware(self, port, path, device, program, seconds):
        """Runs the firmware command against the loader; gives its output."""
        return program.command("firmware %d %s" % (port["com"], path), "y", "", device=device, seconds=seconds)

    def check_firmware(self, port, path, seconds):
        out = "%s/fw-%s.out" % (Q, port["name"])
        device = Device(self.g, port, "--mode", "loader", "--speed", "19200", "--opt", "out=" + out)
        program = Program(self.g)
        began = time.monotonic()
        got = self.firmware(port, path, device, program, seconds)
        took = time.monotonic() - began
        expect(got.endswith(FW_SUCCEEDED), "firmware: " + shown(got))
        # The only error allowed is a record sent again after its answer came
        # too late (a loaded machine can hold the guest for longer than the
        # loader's 100 ms window); the loader then takes it twice.
        late = len(TIMED_OUT.findall(got))
        expect(got.count(b"Firmware updating error") == late, "a record was refused: " + shown(got))
        program.exit()
        device.stop()
        want = file_records_digest(self.g, path)
        count, have = received_records_digest(self.g, out)
        expect(have == want and count - have[0] == late,
               "the loader received %d records, %d once (md5 %s), after %d time-outs; the file has %d (md5 %s)"
               % (count, have[0], have[1], late, want[0], want[1]))
        again = "" if late == 0 else " (%d went twice after an answer came late)" % late
        return "firmware %s: the loader got the file's %d records exactly%s, in %.1f s" % (
            os.path.basename(path), want[0], again, took)

    def check_firmware_example(self, port):
        return self.check_firmware(port, guest_image.FIRMWARE, 90)

    def check_firmware_16k(self, port):
        return self.check_firmware(port, guest_image.FIRMWARE_16K, 120)

    # d. The device goes: the USB adapter pulled out of the guest; on the
    # on-board port, whose UART cannot go, the cable pulled (the device on
    # its far end falls silent).

    def fatal_read_then_replug(self, program, port, device):
        """The program's end after a read that failed (status 3 and the fatal
        text); then the device stopped and the adapter plugged back."""
        status = program.end(20)
        err = program.error_output()
        want = (b"\a\aError: could not read on COM port COM%d: Input/output error\n"
                b"Return code 26, system error code 5\n" % port["com"])
        expect(status == 3 and err == want, "status %d, standard error %r" % (status, text(err)))
        device.stop()
        self.plug_back(port)

    def plug_back(self, port, program=None):
        """After a pull: the adapter (or the cable) back, and a connect
        through it works (in the same program when it is still there)."""
        if port["name"] == "FTDI":
            self.g.plug_adapter()
            self.g.ok("replug", port["device"])
        device = Device(self.g, port)
        own = program is None
        if own:
            program = Program(self.g)
        program.connect(port, 9600, device)
        expect(program.command("disconnect") == DISCONNECTED, "disconnect after plugging back")
        if own:
            program.exit()
        device.stop()

    def pull(self, port, device):
        """Pulls the adapter out, or the cable: its far end falls silent."""
        if port["name"] == "FTDI":
            self.g.unplug_adapter()
        else:
            self.g.ok("sim_unplug", device.name)

    def check_unplug_connect(self, port):
        device = Device(self.g, port)
        program = Program(self.g)
        program.send("connect %d 9600" % port["com"])
        program.wait_asked()
        self.pull(port, device)
        if port["name"] == "FTDI":
            self.fatal_read_then_replug(program, port, device)
            return "the read failed: status 3 and the fatal text; the adapter plugged back connects"
        # A silent line: the program waits its 20 seconds and says so.
        program.prompts += 1
        program.wait(PROMPT.decode(), program.prompts, 40)
        got = program.take()
        expect(got.endswith(b"\n\a\aError: did not receive the Quorvantis prompt!\nExpected: Quorvantis\n"
                            b"Got: length 0 (0x0):\n" + PROMPT), "connect ended with " + shown(got))
        expect(program.ports() == [], "the port is still open: %r" % program.ports())
        device.stop()
        self.plug_back(port, program)
        program.exit()
        return ("no device after 20 s, the port closed, back at the prompt; with the cable back the same program "
                "connects")

    def check_unplug_download(self, port):
        ftdi = port["name"] == "FTDI"
        # The adapter goes while the program waits for the reply to the rules
        # packet (the device keeps it back); the cable, when that packet arrives.
        fault = "dl_silent_packet=4" if ftdi else "dl_unplug_packet=4"
        device = Device(self.g, port, *self.QUIET, "--opt", fault)
        program = Program(self.g)
        self.load_files(program)
        program.connect(port, 9600, device)
        program.send("download")
        program.wait("Downloading Configuration succeeded")
        if ftdi:
            self.g.ok("usleep", "300000")
            self.pull(port, device)
            self.fatal_read_then_replug(program, port, device)
            return "the read of the reply failed: status 3 and the fatal text; the adapter plugged back connects"
        program.prompts += 1
        program.wait(PROMPT.decode(), program.prompts, 30)
        got = program.take()
        want = (b"Downloading Configuration succeeded\n\a\aError: reading ack or nak: 0\n"
                b"\a\aError: writing Rules command failed: -4\n\a\aError: Download failed: -3\n")
        expect(got.endswith(want + b"\a\aPlease Power OFF the Quorvantis and power it back on to RESET it.\n"
                            + DISCONNECTED + PROMPT), "download ended with " + shown(got))
        expect(program.ports() == [], "the port is still open: %r" % program.ports())
        device.stop()
        self.plug_back(port, program)
        program.exit()
        return "no reply after 5 s: the download failed, the port closed, back at the prompt; then connects again"

    def check_unplug_firmware(self, port):
        ftdi = port["name"] == "FTDI"
        args = ["--mode", "loader", "--speed", "19200"] + ([] if ftdi else ["--unplug-at", "loader-line-40"])
        device = Device(self.g, port, *args)
        program = Program(self.g)
        program.send("firmware %d %s" % (port["com"], guest_image.FIRMWARE), "y", "")
        program.power_when_asked(device)
        if ftdi:
            device.wait("loader line 40 06")
            self.pull(port, device)
        self.g.ok("program_settles", program.name, program.prompts + 1, 300, timeout=60)
        got = program.take()
        if got.endswith(PROMPT):
            program.prompts += 1
        if not ftdi:
            timeouts = got.count(b"\n\a\aError: Firmware updating error: timed out on Line 40, resending.\n")
            expect(timeouts == 9 and got.endswith(b"\n\a\aError: maximum Firmware updating errors (10) "
                                                  b"encountered- aborting!\n" + FW_FAILED + PROMPT),
                   "firmware ended with %d time-outs: %s" % (timeouts, shown(got)))
            expect(program.ports() == [], "the port is still open: %r" % program.ports())
            device.stop()
            self.plug_back(port, program)
            program.exit()
            return "9 time-outs on line 40, the tenth aborts the update, the port closed; then connects again"
        out, running = self.g.run("program_running", program.name)
        if running != 0:
            # The read met the unplug first.
            self.fatal_read_then_replug(program, port, device)
            return "the read failed: status 3 and the fatal text; the adapter plugged back connects"
        # The write met it: its message, the loader's, and the prompt.
        found = re.search(rb"\a\aError: wrote (\d+) of (\d+), got error on port COM%d: ([^\n]*)\n"
                          rb"\a\aError: wrote FIRMSYNC attention character, got error on port COM%d\n"
                          % (port["com"], port["com"]) + re.escape(FW_FAILED + PROMPT) + rb"$", got)
        expect(found is not None, "firmware ended with " + shown(got))
        written, length = int(found.group(1)), int(found.group(2))
        expect(written < length, "the message says %d of %d bytes left, although the device had gone"
               % (written, length))
        expect(program.ports() == [], "the port is still open: %r" % program.ports())
        device.stop()
        self.plug_back(port, program)
        program.exit()
        return ("the write failed (wrote %d of %d: %s), the port closed, back at the prompt; the adapter plugged "
                "back connects in the same program" % (written, length, text(found.group(3))))

    # e. Breaks.

    def breaks_seen(self, port):
        """The 8250 driver's count of breaks on ttyS1 (the adapter's driver shows none)."""
        if port["name"] != "8250":
            return None
        line = [l for l in self.g.ok("cat", "/proc/tty/driver/serial").splitlines() if l.startswith("1:")][0]
        found = re.search(r"brk:(\d+)", line)
        return int(found.group(1)) if found else 0

    def break_probe(self, port):
        """What a reader of the port without IGNBRK gets from one break."""
        self.g.ok("break_probe_start", port["device"])
        self.g.send_break(port["chardev"])
        return self.g.ok("break_probe_end").split()

    def check_break_connect(self, port):
        probe = self.break_probe(port)
        before = self.breaks_seen(port)
        results = []
        for fault, ending in (([], b"\nConnected at 9600\n"),
                              (["--fault", "no-product"], b"Got: length 100 (0x64):\n")):
            device = Device(self.g, port, *fault)
            program = Program(self.g)
            program.send("connect %d 9600" % port["com"])
            program.wait_asked()
            self.g.send_break(port["chardev"])
            self.g.ok("usleep", "200000")
            device.power()
            program.prompts += 1
            program.wait(PROMPT.decode(), program.prompts)
            results.append(program.take())
            program.exit()
            device.stop()
            expect(ending in results[-1], "connect after a break: " + shown(results[-1]))
        # The start-up text as the program received it: its first byte is
        # the device's CR, not a 0x00 from the break (a '#' after the
        # program's replacement).
        dump = results[1][results[1].index(b"Got: length 100"):]
        expect(b"\n   0 0000| 0d 0a 44 69 67 69 " in dump, "the start-up text began otherwise: " + shown(dump, 200))
        detail = "the handshake succeeds and the program's start-up text begins with the device's CR LF"
        after = self.breaks_seen(port)
        if after is not None:
            expect(after - before == 2, "the driver counted %d breaks, not 2" % (after - before))
            expect(probe == ["00"], "a reader without IGNBRK got %r from a break, not 00" % probe)
            return detail + " (the driver counted both breaks; without IGNBRK a break reads as 00)"
        if probe == ["00"]:
            return detail + " (without IGNBRK a break reads as 00)"
        got = "nothing" if not probe else " ".join(probe)
        return detail + (" (QEMU's FT232 sends its break without the NUL byte a real chip sends, so even a reader "
                         "without IGNBRK gets %s: IGNBRK's part is left to hardware)" % got)

    def check_break_firmware(self, port):
        # The break comes while the program waits for the loader's answer to
        # its identifier (held 3 s), when nothing else is on the line. (In a
        # record's exchange it may meet an answer in the UART's receive FIFO,
        # and QEMU's 16550 marks the break on whichever byte heads its FIFO:
        # that answer is dropped as the break and the break's 0x00 delivered
        # as data. A real UART marks the break's own byte.)
        out = "%s/fwb-%s.out" % (Q, port["name"])
        device = Device(self.g, port, "--mode", "loader", "--speed", "19200", "--opt", "out=" + out,
                        "--opt", "id-late-ms=3000")
        program = Program(self.g)
        before = self.breaks_seen(port)
        program.send("firmware %d %s" % (port["com"], guest_image.FIRMWARE_SHORT), "y", "")
        program.power_when_asked(device)
        device.wait("loader identifier")
        self.g.send_break(port["chardev"])
        program.prompts += 1
        program.wait(PROMPT.decode(), program.prompts, 90)
        got = program.take()
        expect(got.endswith(FW_SUCCEEDED + PROMPT), "firmware: " + shown(got))
        expect(b"Firmware updating error" not in got, "a record went again: " + shown(got))
        program.exit()
        events = device.stop()
        expect(events.index("loader identifier reply late") > events.index("loader identifier"),
               "the loader's answer was not held: %r" % events[:8])
        want = file_records_digest(self.g, guest_image.FIRMWARE_SHORT)
        count, have = received_records_digest(self.g, out)
        expect(have == want and count == want[0], "the loader received %d records, the file has %d"
               % (count, want[0]))
        after = self.breaks_seen(port)
        if after is not None:
            expect(after - before == 1, "the driver counted %d breaks, not 1" % (after - before))
        return ("a break while the program waits for the answer to its identifier: the answer is taken, every "
                "record answered at once, the loader got the file exactly")

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--source", default=os.path.normpath(os.path.join(HERE, "..", "..")))
    parser.add_argument("--work")
    parser.add_argument("--only", action="append", default=[], help="run only the checks whose label begins so")
    parser.add_argument("--port", action="append", default=[], choices=sorted(PORTS),
                        help="run the checks of this driver only")
    args = parser.parse_args()
    # Stopped from outside (the leg's time limit): QEMU goes on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    work = args.work or tempfile.mkdtemp(prefix="qv-drivers-")
    os.makedirs(work, exist_ok=True)
    root = os.path.join(work, "root")
    initrd = os.path.join(work, "initrd.cpio")
    checks = [
        ("a. low latency", "check_low_latency"),
        ("f. DTR and RTS", "check_modem_lines"),
        ("b. exclusive use", "check_exclusive"),
        ("c. download at 9600", "check_download_9600"),
        ("c. download at 57600 after baud", "check_download_57600"),
        ("c. firmware, example file", "check_firmware_example"),
        ("c. firmware, 16 KiB of 128-byte records", "check_firmware_16k"),
        ("d. unplug in connect's wait", "check_unplug_connect"),
        ("d. unplug during a download", "check_unplug_download"),
        ("d. unplug during a firmware transfer", "check_unplug_firmware"),
        ("e. break in connect's wait", "check_break_connect"),
        ("e. break during a firmware transfer", "check_break_firmware"),
    ]
    guest = None
    # Unix socket paths are short: the sockets live in a directory of their own under /tmp.
    sockets = tempfile.mkdtemp(prefix="qv-vm-")
    try:
        try:
            package = guest_image.fetch_kernel(args.kernel)
            guest_image.stage(root, args.build, args.kernel, args.source)
            guest_image.pack(root, initrd)
            guest = Guest(os.path.join(args.kernel, "vmlinuz"), initrd, sockets, os.path.join(work, "console.log"))
            print("guest up in %.1f s (%s): %s" % (guest.boot_seconds, package,
                                                  guest.boot_report.strip("\x1e").strip()), flush=True)
            not_run = None
        except (GuestError, RuntimeError, OSError, subprocess.SubprocessError) as e:
            not_run = "not run: %s" % e
        leg = Leg(guest, work)
        for name in args.port or ("8250", "FTDI"):
            port = dict(PORTS[name], name=name)
            for label, method in checks:
                if args.only and not any(label.startswith(o) for o in args.only):
                    continue
                if not_run:
                    leg.result(label, port, False, not_run)
                    continue
                leg.check(label, port, getattr(leg, method))
    finally:
        if guest is not None:
            guest.kill()
        shutil.rmtree(sockets, ignore_errors=True)
    if guest is not None and guest.cpu_seconds is not None:
        print("the guest ran %.0f s and took %.0f s of processor time" % (time.monotonic() - guest.started,
                                                                        guest.cpu_seconds), flush=True)
    print("%d passed, %d failed" % (leg.passed, leg.failed), flush=True)
    return 0 if leg.failed == 0 and leg.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
