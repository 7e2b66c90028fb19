"""What the operator's documents say, tried against the programs: every
transcript of the README is the program's real output, byte for byte
(trailing blanks included), and the statements that were found untrue are
checked against what the programs do.

scripts/test-docs runs this file with QV_HOST, QV_SIM (the build's programs)
and QV_SOURCE_DIR.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.environ.get("QV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

from qvproc import Program, Sim, run_program  # noqa: E402

HOST = os.environ.get("QV_HOST", "")
SIM = os.environ.get("QV_SIM", "")
EXAMPLES = os.path.join(SOURCE_DIR, "examples")
# The README's walk-through runs on the console of make run.
RUN_CONSOLE = os.path.join(SOURCE_DIR, "scripts", "run-console")

# Where the program reads a line: the prompt and the questions.
READ_POINTS = (b"Command> ", b"[n]: ", b"[no]: ", b"continue...")
# What a terminal shows for Ctrl-C.
CTRL_C_ECHO = b"^C"
# A link to an adapter that is not plugged in, as the README's Linux section has it.
ADAPTER = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0"
# Transcripts that need what a test machine does not have, and why.
NOT_REPRODUCED = {
    "Permission denied (owned by group dialout)":
        "needs an adapter's device node that the user may not open (root opens any)",
}


def need(value, name):
    if not value:
        raise AssertionError("%s is not set: run scripts/test-docs" % name)
    return value


def read(*parts):
    with open(os.path.join(SOURCE_DIR, *parts), "rb") as f:
        return f.read()


def words(text):
    """The text with every run of white space one blank (man page source:
    its requests and escapes taken out), for finding a statement whatever
    the line breaks."""
    if isinstance(text, bytes):
        text = text.decode()
    text = re.sub(r"^\.[A-Z]+ ?", "", text, flags=re.M)
    text = text.replace("\\-", "-").replace("\\e", "\\").replace("\\(lq", '"').replace("\\(rq", '"')
    text = re.sub(r"\\f[BIRP]|\\c|\\&|\\%", "", text)
    return " ".join(text.split())


class Terminal:
    """A program at a terminal as the README shows it: what it prints, and
    what the operator types echoed where it was typed."""

    def __init__(self, argv, env=None, cwd=None):
        self.program = Program(argv, env=env, cwd=cwd)
        self.echoes = []  # (output offset, the terminal's echo)
        self.typed_at = -1

    def wait_to_read(self, timeout=60):
        """Until the program, having printed something since the last line
        typed, waits at its prompt or a question."""
        end = time.monotonic() + timeout
        while True:
            out = self.program.out
            if len(out) > self.typed_at and out.endswith(READ_POINTS):
                return
            if time.monotonic() > end or self.program.proc.poll() is not None:
                raise AssertionError("the program does not read: %r" % out[-300:])
            time.sleep(0.01)

    def type(self, line):
        self.wait_to_read()
        self.typed_at = self.program.mark()
        self.echoes.append((self.typed_at, line + b"\n"))
        self.program.send(line + b"\n")

    def ctrl_c(self, after):
        self.program.expect(after, start=max(self.typed_at, 0))
        self.echoes.append((self.program.mark(), CTRL_C_ECHO))
        os.kill(self.program.pid, signal.SIGINT)

    def finish(self):
        with self.program:
            self.program.finish()
        return self.view()

    def view(self):
        """The lines the terminal shows: the output with the echoes in it,
        the bells not shown (as the README says), each line as its last
        carriage return left it."""
        out, shown, at = self.program.out, b"", 0
        for offset, echo in self.echoes:
            shown += out[at:offset] + echo
            at = offset
        shown += out[at:]
        lines = shown.replace(b"\a", b"").split(b"\n")
        return [line.rsplit(b"\r", 1)[-1] for line in lines]


def readme_blocks():
    """The README's indented blocks, without their indent, as lists of lines."""
    blocks, current = [], None
    for line in read("README.md").split(b"\n") + [b"end"]:
        if line.startswith(b"    "):
            current = (current or []) + [line[4:]]
        elif line == b"" and current is not None:
            current.append(b"")
        else:
            if current:
                while current[-1] == b"":
                    current.pop()
                blocks.append(current)
            current = None
    return blocks


def transcripts():
    return [block for block in readme_blocks() if any(line.startswith(b"Command>") for line in block)]


PROGRESS = re.compile(rb"^( *)(\d+)(s TTC .*)$")


def line_time_seconds(path, speed=19200):
    """How long the records of a firmware file take on the line: each record
    line and its CR, 10 bits a byte."""
    with open(path, "rb") as f:
        sent = sum(len(line.rstrip(b"\r\n")) + 1 for line in f if line.startswith(b":"))
    return sent * 10 / speed


def same_line(shown, documented, last):
    """A documented line against what the terminal showed: the same bytes,
    but for a bare prompt at the end of a block (the operator types next),
    and for the elapsed seconds of the progress line, which the line's time
    decides (the README shows a run of the example file at 19200 baud)."""
    if last and documented == b"Command> ":
        return shown.startswith(documented)
    found, shown_found = PROGRESS.match(documented), PROGRESS.match(shown)
    if found and shown_found:
        seconds = line_time_seconds(os.path.join(EXAMPLES, "firmware.hex"))
        return (found.group(1) + found.group(3) == shown_found.group(1) + shown_found.group(3)
                and int(seconds) <= int(found.group(2)) <= int(seconds) + 1)
    return shown == documented


def found_in(block, view):
    for start in range(len(view) - len(block) + 1):
        if all(same_line(view[start + k], block[k], k == len(block) - 1) for k in range(len(block))):
            return True
    return False


def hex_record(address, record_type, data):
    body = bytes([len(data), address >> 8, address & 0xFF, record_type]) + bytes(data)
    return b":" + (body + bytes([-sum(body) & 0xFF])).hex().upper().encode()


class TranscriptTest(unittest.TestCase):
    """Each README transcript (a block with a "Command>" line) is what the
    terminal shows in one of these sessions: the walk-through on make run's
    console, the error examples, and Ctrl-C at connect."""

    @classmethod
    def setUpClass(cls):
        need(HOST, "QV_HOST")
        need(SIM, "QV_SIM")
        cls._tmp = tempfile.TemporaryDirectory()
        cls.views = [cls.walk_through(), cls.error_examples(cls._tmp.name), cls.ctrl_c_at_connect(cls._tmp.name)]

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    @staticmethod
    def walk_through():
        term = Terminal([RUN_CONSOLE], cwd=SOURCE_DIR)
        for line in (b"dconfigure", b"configure examples/station.cfg", b"dconfigure", b"rules examples/rules.txt",
                     b"drules", b"connect 1", b"baud 57600", b"disconnect", b"connect 1", b"download",
                     b"firmware 2 examples/firmware.hex", b"y", b"", b"exit"):
            term.type(line)
        return term.finish()

    @staticmethod
    def error_examples(tmp):
        directory = os.path.join(tmp, "errors")
        os.makedirs(os.path.join(directory, "config", "quorvantis"))
        files = {
            "bad.cfg": b"# a station\ncall n0call\nhost 12345\n",
            "bad.txt": b"# rules\ndrop implicit\npass dst APRS\npass dst ABCDEFG\n",
            # What objcopy makes of a binary placed at 0x102.
            "original.hex": hex_record(0x102, 0, range(16)) + b"\n:00000001FF\n",
        }
        for name, data in files.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
        os.symlink(ADAPTER, os.path.join(directory, "config", "quorvantis", "com1"))
        term = Terminal([HOST], env={"XDG_CONFIG_HOME": os.path.join(directory, "config")}, cwd=directory)
        for line in (b"configure bad.cfg", b"configure /tmp", b"rules bad.txt", b"firmware 1 original.hex", b"y",
                     b"connect 1", b"connect /dev/ttyUSB1", b"exit"):
            term.type(line)
        return term.finish()

    @staticmethod
    def ctrl_c_at_connect(tmp):
        with Sim(SIM, "--manual-power", config=os.path.join(tmp, "ctrl-c")) as sim:
            term = Terminal([HOST], env=sim.env)
            term.type(b"connect 1")
            term.ctrl_c(b"seconds to do this...")
            term.type(b"exit")
            return term.finish()

    def test_every_transcript_is_the_programs_output(self):
        blocks = transcripts()
        self.assertGreater(len(blocks), 10)
        for block in blocks:
            text = b"\n".join(block)
            reason = [why for what, why in NOT_REPRODUCED.items() if what.encode() in text]
            with self.subTest(transcript=block[0].decode()):
                if reason:
                    continue
                self.assertTrue(any(found_in(block, view) for view in self.views),
                                "not the program's output:\n%s\n\nthe sessions showed:\n%s" % (
                                    text.decode(), "\n----\n".join(b"\n".join(v).decode(errors="replace")
                                                                    for v in self.views)))


class StatementTest(unittest.TestCase):
    def test_a_failed_rules_file_keeps_its_implicit_action(self):
        # The README says what stays after a failed rules file: the implicit
        # action of an "implicit" line before the failing one, which the
        # download sends when the operator answers yes to "Implicit Rule only".
        text = words(read("README.md"))
        self.assertIn("an `implicit` line before the failing line has already set the implicit action, and "
                      "it stays", text)
        self.assertIn("fix the file and run `rules` again", text)
        with tempfile.TemporaryDirectory() as tmp:
            rules = os.path.join(tmp, "r.txt")
            with open(rules, "w") as f:
                f.write("drop implicit\npass dst ABCDEFG\n")
            report = os.path.join(tmp, "received")
            with Sim(need(SIM, "QV_SIM"), "--opt", "dl_report=" + report, config=os.path.join(tmp, "c")) as sim:
                out, _, rc = run_program([need(HOST, "QV_HOST")], b"rules " + rules.encode() + b"\ndrules\n"
                                         b"configure " + os.path.join(EXAMPLES, "station.cfg").encode() +
                                         b"\nconnect 1\ndownload\nyes\nexit\n", env=sim.env)
                sim.wait_for(lambda line: line == "closed")
            self.assertEqual(rc, 0)
            self.assertIn(b"No Rules are configured!  Implicit Rule Action is Drop\n", out)
            self.assertIn(b"Do you  want to use the Implicit Rule only", out)
            with open(report) as f:
                conf = [line.split(": ", 1)[1].strip() for line in f if line.startswith("conf: ")][-1]
            self.assertEqual(bytes.fromhex(conf)[52:56], bytes([ord("d"), 0, 0, 0]))  # implicit drop, no rules

    def test_the_windows_readme_tells_the_order_of_the_firmware_command(self):
        text = words(read("packaging", "README-windows.txt.in"))
        self.assertNotIn("checks the whole file first", text)
        self.assertIn("asks first whether to go on, then checks the whole file", text)
        # And so the program does: the question, then the check's message.
        with tempfile.TemporaryDirectory() as tmp:
            bad = os.path.join(tmp, "bad.hex")
            with open(bad, "wb") as f:
                f.write(b":0400000001020304F3\n:00000001FF\n")
            out, _, _ = run_program([need(HOST, "QV_HOST")], b"firmware 1 " + bad.encode() + b"\ny\nexit\n")
        question = out.index(b"Do you want to continue (n or y)? [n]: ")
        self.assertLess(question, out.index(b"Error: checksum mismatch"))

    def test_the_example_firmware_is_said_to_be_no_firmware(self):
        # Where an operator reads first: the README's walk-through, the man
        # page's EXAMPLES and the examples' own directory (installed with it).
        said = "is not firmware for any device"
        readme = words(read("README.md"))
        walk = readme[readme.index("### 5. Replace the firmware"):readme.index("### Stopping a device operation")]
        page = words(read("doc", "quorvantis-host.1"))
        examples = page[page.index("EXAMPLES"):page.index("SEE ALSO")]
        for name, text in (("README walk-through", walk), ("man page EXAMPLES", examples),
                           ("examples/README.txt", words(read("examples", "README.txt")))):
            with self.subTest(name):
                self.assertIn("firmware.hex", text)
                self.assertIn(said, text)

    def test_the_environment_the_program_reads(self):
        page = read("doc", "quorvantis-host.1").decode()
        self.assertNotIn("or environment variables", words(page))
        environment = words(page.split(".SH ENVIRONMENT", 1)[1].split(".SH ", 1)[0])
        self.assertIn("XDG_CONFIG_HOME", environment)
        self.assertIn("HOME", environment.replace("XDG_CONFIG_HOME", ""))
        self.assertIn("COM", environment)
        # And what the program does with them: COMn is the link comn in
        # $XDG_CONFIG_HOME/quorvantis/, or in $HOME/.config/quorvantis/
        # without it; the message names the link's target.
        with tempfile.TemporaryDirectory() as tmp:
            for variable, directory in (("XDG_CONFIG_HOME", os.path.join(tmp, "xdg", "quorvantis")),
                                        ("HOME", os.path.join(tmp, "home", ".config", "quorvantis"))):
                with self.subTest(variable):
                    os.makedirs(directory)
                    target = os.path.join(tmp, "adapter-of-" + variable)
                    os.symlink(target, os.path.join(directory, "com4"))
                    env = {k: v for k, v in os.environ.items() if k not in ("XDG_CONFIG_HOME", "HOME")}
                    env[variable] = os.path.join(tmp, "xdg" if variable == "XDG_CONFIG_HOME" else "home")
                    out = subprocess.run([need(HOST, "QV_HOST")], input=b"connect 4\nexit\n", env=env,
                                         stdout=subprocess.PIPE, timeout=60).stdout
                    self.assertIn(b"cannot open com port COM4: " + target.encode() + b": No such file", out)

    def test_the_simulators_reports_stay_out_of_the_console(self):
        # Every example that starts the simulator in the background sends
        # its reports (its standard output) to a file; one in the foreground
        # is in a terminal of its own.
        texts = {"README.md": read("README.md"), "quorvantis-sim.1": read("doc", "quorvantis-sim.1"),
                 "quorvantis-host.1": read("doc", "quorvantis-host.1"),
                 "README-windows.txt.in": read("packaging", "README-windows.txt.in"),
                 "quorvantis-sim --help": subprocess.run([need(SIM, "QV_SIM"), "--help"], stdout=subprocess.PIPE,
                                                         check=True).stdout}
        backgrounded = 0
        for name, text in texts.items():
            for line in text.decode().replace("\\-", "-").splitlines():
                if "quorvantis-sim " in line and re.search(r"&\s*$", line):
                    backgrounded += 1
                    with self.subTest(document=name, line=line.strip()):
                        self.assertRegex(line, r"quorvantis-sim [^&]*>\s*\S+\s*&\s*$")
        self.assertGreater(backgrounded, 0)

    def test_the_simulator_echoes_nothing_and_picocom_gets_local_echo(self):
        help_text = subprocess.run([need(SIM, "QV_SIM"), "--help"], stdout=subprocess.PIPE, check=True).stdout
        readme = words(read("README.md"))
        texts = {"README": readme[readme.index("## The simulator"):readme.index("## Layout")],
                 "quorvantis-sim.1": words(read("doc", "quorvantis-sim.1")),
                 "quorvantis-sim --help": words(help_text)}
        for name, text in texts.items():
            with self.subTest(name):
                self.assertIn("echoes nothing", text)
                self.assertIn("answers only what it knows", text)
                self.assertRegex(text, r"picocom -b 9600 -c ")
                self.assertIn("local echo", text)


if __name__ == "__main__":
    unittest.main()
