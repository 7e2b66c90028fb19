"""Helpers of the end-to-end tests: run the real program with a script on its
standard input and give back what it printed, byte for byte (run_host), or
start it to talk with it (start_host; see qvproc.Program). The texts the
tests expect are in messages.py.

QV_HOST names the program to run. QV_WINE=1 runs it under Wine (the Windows
build); the few cases that differ by platform look at ON_WINE.
"""
import atexit
import os
import shutil
import tempfile
import unittest

from messages import START
from qvproc import Program, Terminal, run_program

HOST = os.environ.get("QV_HOST", "")
SIM = os.environ.get("QV_SIM", "")
SOURCE_DIR = os.environ.get("QV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
ON_WINE = os.environ.get("QV_WINE", "") == "1"
EXAMPLES = os.path.join(SOURCE_DIR, "examples")
EXAMPLE_FIRMWARE = os.path.join(EXAMPLES, "firmware.hex")

class Run:
    def __init__(self, out, err, rc):
        self.out, self.err, self.rc = out, err, rc

    def diagnosis(self):
        """What to show when the run ended otherwise than expected."""
        return "status %r, error output %r, output ending %r" % (self.rc, self.err[-300:], self.out[-300:])

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
    out, err, rc = run_program(host_command(), script, env=env, cwd=cwd, crlf=ON_WINE, timeout=timeout)
    return Run(out, err, rc)


def start_host(env=None, **options):
    """The program running, its input on a pipe (see qvproc.Program)."""
    return Program(host_command(), env=env, crlf=ON_WINE, **options)


# The terminal the cases that type at one use: an xterm, with no editor
# settings of the operator's (an ~/.editrc) in the way.
TERMINAL_ENV = {"TERM": "xterm", "EDITRC": os.devnull}


def start_terminal(env=None, **options):
    """The program at a terminal of its own (see qvproc.Terminal)."""
    full_env = dict(TERMINAL_ENV)
    full_env.update(env or {})
    return Terminal(host_command(), env=full_env, **options)


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
