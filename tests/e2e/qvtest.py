"""Helpers of the end-to-end tests: run the real program with a script on its
standard input and give back what it printed, byte for byte.

QV_HOST names the program to run. QV_WINE=1 runs it under Wine (the Windows
build); the few cases that differ by platform look at ON_WINE.
"""
import atexit
import os
import shutil
import subprocess
import tempfile
import unittest

HOST = os.environ.get("QV_HOST", "")
SIM = os.environ.get("QV_SIM", "")
SOURCE_DIR = os.environ.get("QV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
ON_WINE = os.environ.get("QV_WINE", "") == "1"
EXAMPLES = os.path.join(SOURCE_DIR, "examples")
EXAMPLE_FIRMWARE = os.path.join(EXAMPLES, "firmware.hex")

BANNER = (b"Quorvantis PC Host Utility Version 2.0-1, written by the quorvantis-host developers\n"
          b"for the Quorvantis packet-radio digipeater\n")
PROMPT = b"Command> "


def summary(default_baud=9600):
    """The command summary as the table of commands gives it."""
    rows = [
        ("help", "", "Displays this summary (alias ?)"),
        (".", "", "Repeats the previous command"),
        ("angles", "", "Displays the Angles format used for Lat and Lon"),
        ("baud", "baud", "Changes the baud rates on host and Quorvantis\n\t\t\t\tonce connected. Default [ ]"),
        ("configure", "file_name", "Reads a Configuration file"),
        ("dconfigure", "", "Displays the Configuration"),
        ("rules", "file_name", "Reads a Rules file"),
        ("drules", "", "Displays the Rules"),
        ("connect", "com_port [baud]", "Connect to Quorvantis at optional baud\n\t\t\t\t(8 bits No Parity 1 Stop)"),
        ("disconnect", "", "Disconnect from the Quorvantis"),
        ("download", "", "Download Configuration and Rules to Quorvantis"),
        ("firmware", "com_port file_name", "Update Quorvantis firmware from firmware file"),
        ("exit", "", "Exits this program (aliases quit, x)"),
    ]
    text = "\n\t\tCommand Summary:\n%-10s %-20s %s\n" % ("Command", "Arguments", "Comments")
    for name, args, comment in rows:
        text += "%-10s %-20s %s\n" % (name, args, comment)
        if name == "baud":
            text += " " * 10 + " Valid Baud Rates:\t"
            for rate in (4800, 9600, 19200, 38400, 57600):
                text += ("[%d] " if rate == default_baud else "%d ") % rate
            text += "\n\n"
    return text.encode()


START = BANNER + summary() + b"\n"

# The firmware command's questions and its failure line, as several cases see them.
FW_CONFIRM = (b"\a\aWARNING! This will alter the Quorvantis firmware!\n"
              b"Do you want to continue (n or y)? [n]: ")
FW_ABOUT = (b"\n\a\aWARNING! The Quorvantis Firmware is about to be updated!\n"
            b"This will take less than 5 minutes.\n"
            b"Do NOT interrupt the process once started!\n"
            b"If power is interrupted during this process you may not be able\n"
            b"to communicate with the Quorvantis due to firmware corruption.\n"
            b"If this happens correct the power problem and restart this entire process.\n\n"
            b"Type the Enter key when you are ready to continue...")
FW_POWER = (b"\nTo begin TURN ON the Quorvantis or CYCLE THE POWER if it is already on.\n"
            b"\a\aYou have 20 seconds to do this...")
FW_FAILED = b"Error: Firmware update failed!\n\tPower cycle Quorvantis and try again!\n"


class Run:
    def __init__(self, out, err, rc):
        self.out, self.err, self.rc = out, err, rc

    def after_start(self):
        """What was printed after the banner, the summary and its empty line."""
        assert self.out.startswith(START), self.out[:400]
        return self.out[len(START):]


def host_command():
    # Under ctest both programs are always given: a missing one is a failure.
    if not HOST:
        raise AssertionError("QV_HOST is not set: run the tests through ctest or scripts/test-windows")
    return ["wine", HOST] if ON_WINE else [HOST]


def run_host(script, env=None, timeout=120, cwd=None):
    """Runs the program with script (bytes) as its whole standard input."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    proc = subprocess.run(host_command(), input=script, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=full_env, timeout=timeout, cwd=cwd)
    out = proc.stdout
    if ON_WINE:
        out = out.replace(b"\r\n", b"\n")
    return Run(out, proc.stderr, proc.returncode)


def write_file(directory, name, data):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    return path


class TempDirCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.tmp = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()


def proc_status(pid, field):
    """A number from /proc/<pid>/status, e.g. VmRSS or VmHWM in kB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError(field)


def hex_record(address, record_type, data):
    """One Intel HEX record line: byte count, load address, type, data and the
    checksum that makes the sum of its bytes 0."""
    body = bytes([len(data), address >> 8, address & 0xFF, record_type]) + bytes(data)
    return b":" + (body + bytes([-sum(body) & 0xFF])).hex().upper().encode()


def firmware_file(directory, name, record_size, data_records):
    """A firmware file of data_records data records of record_size bytes each
    (a multiple of 4), loaded one after the other from address 0, so that
    every one starts at a multiple of 4, and the end record. Gives its path."""
    lines = [hex_record(i * record_size, 0, [(i * record_size + j) & 0xFF for j in range(record_size)])
             for i in range(data_records)]
    lines.append(b":00000001FF")
    return write_file(directory, name, b"\n".join(lines) + b"\n")


SHORT_FIRMWARE_RECORDS = 17
_short_firmware = []


def short_firmware():
    """The example firmware cut to its first 16 data records and its end
    record (17 records), for the cases that need a transfer but not a long
    one: each record line takes its time on the line (44 bytes at 19200
    baud, 23 ms). Written once per run of the tests."""
    if not _short_firmware:
        directory = tempfile.mkdtemp(prefix="qv-firmware-")
        atexit.register(shutil.rmtree, directory, True)
        with open(EXAMPLE_FIRMWARE, "rb") as f:
            records = [line.rstrip(b"\r\n") for line in f if line.startswith(b":")]
        lines = records[:SHORT_FIRMWARE_RECORDS - 1] + [records[-1]]
        _short_firmware.append(write_file(directory, "short.hex", b"\n".join(lines) + b"\n"))
    return _short_firmware[0]
