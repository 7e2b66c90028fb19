"""The console at a terminal, as an operator types at it: the line editor
(the arrows, Ctrl keys, Ctrl-R, Tab completion, the history of the commands
of the run) with the same prompts, texts, bells and ends as on a pipe; and
device paths given to connect and firmware.

The terminal is a pseudo-terminal the test drives (qvproc.Terminal). What it
shows is compared as a screen (vtscreen.Screen), so the editor's way of
drawing a line does not matter, only what the operator sees."""
import os
import re
import shutil
import signal
import unittest

from messages import (CONF_WARNING, DISCONNECTED, FW_ABOUT, FW_CONFIRM, FW_FAILED, FW_SUCCEEDED, NOT_CONNECTED,
                      PROMPT, connected)
from qvtest import (ON_WINE, SOURCE_DIR, TempDirCase, run_host, short_firmware, start_host, start_terminal,
                    write_file)
from simtest import Sim
from vtscreen import Screen

COMMAND = "Command> "
UP, DOWN, LEFT = b"\x1b[A", b"\x1b[B", b"\x1b[D"
HOME, END = b"\x1b[H", b"\x1b[F"
TAB = b"\t"

WINDOWS_CONSOLE = ("the Windows build reads lines as the console edits them: no Tab completion or Ctrl-R "
                   "search, and the console's history keeps answers too")
WINE_NO_END_OF_INPUT = ("Wine's console on a Unix terminal passes Ctrl-D and Ctrl-Z Enter to the program as "
                        "characters, never as an end of input, so it cannot be typed there")


def last_line(question):
    """The last line of a question: the one the editor shows as its prompt."""
    return question[question.rindex(b"\n") + 1:]


FW_ENTER = last_line(FW_ABOUT)


def typed_on_a_pipe(out, reads):
    """The screen of a run whose output on a pipe was out, with each line
    typed shown after its prompt: reads are (prompt, text) in the order they
    were read; text None for a prompt that reads the rest of a long line."""
    shown = b""
    rest = out
    for prompt, text in reads:
        at = rest.index(prompt) + len(prompt)
        shown += rest[:at] + (b"" if text is None else text + b"\n")
        rest = rest[at:]
    # The terminal starts each line it is sent at its left margin (ONLCR).
    return Screen((shown + rest).replace(b"\n", b"\r\n"))


def normal(lines):
    """The lines with the seconds of the firmware progress line made alike:
    two runs of one transfer need not count the same seconds."""
    return [re.sub(r"^ *\d+s TTC +\d+s", "Ns TTC Ns", line) for line in lines]


class TerminalCase(TempDirCase):
    def start(self, env=None, cwd=None):
        term = start_terminal(env, cwd=cwd)
        self.addCleanup(term.__exit__, None, None, None)
        term.wait_screen(lambda s: s.cursor_line == COMMAND.rstrip(), what="the first prompt")
        return term

    def read(self, term, keys, shown, prompt=COMMAND, next_prompt=COMMAND, timeout=30, lines=None):
        """At prompt, types keys until the line reads shown after it, then
        Enter; waits for next_prompt on a later line (with the lines given
        between, when they are given: a prompt may begin a line of output).
        Gives the lines between."""
        row = term.screen().row

        def done(s):
            return (s.row > row and s.cursor_line == next_prompt.rstrip() and
                    (lines is None or s.lines[row + 1:s.row] == lines))

        term.enter(keys, prompt + shown, timeout)
        screen = term.wait_screen(done, timeout, "%r after %r" % (next_prompt, shown))
        return screen.lines[row + 1:screen.row]

    def show(self, term, keys, shown, prompt=COMMAND):
        """Types keys and waits until the line reads shown after prompt."""
        term.type(keys)
        term.wait_screen(lambda s: s.cursor_line == (prompt + shown).rstrip(), what="the line %r" % shown)


class ConsoleTest(TerminalCase):
    """What the console gives on both builds (the Windows console recalls and
    edits lines itself): the previous command with Up, a line longer than 255
    characters read in the pieces of a pipe, and Ctrl-C."""

    def test_up_recalls_the_previous_command_and_enter_runs_it(self):
        term = self.start()
        self.assertEqual(self.read(term, b"helpme", "helpme"), ["Error: unknown command: helpme"])
        self.assertEqual(self.read(term, UP, "helpme"), ["Error: unknown command: helpme"])
        # The arrows and Home and End move in the recalled line.
        self.assertEqual(self.read(term, UP + LEFT * 2 + b"X" + HOME + b"Y" + END + b"Z", "YhelpXmeZ"),
                         ["Error: unknown command: YhelpXmeZ"])
        self.show(term, UP + UP, "helpme")
        # Down past the newest command gives the empty line back.
        self.assertEqual(self.read(term, DOWN + DOWN, ""), [])

    def test_long_line_gives_the_pieces_of_a_pipe(self):
        # Typed, recalled whole (the history holds the line as typed) and run
        # again; then a line whose rest after its first piece is the answer
        # to the question that piece asks, as it is from a pipe.
        line = b"y" * 255 + b"z" * 45
        answered = b"firmware 1 x.hex,".ljust(255) + b"n"
        pipe = run_host(line + b"\n" + line + b"\n" + answered + b"\nexit\n")
        expected = typed_on_a_pipe(pipe.out, [(PROMPT, line), (PROMPT, None)] * 2 +
                                   [(PROMPT, answered), (last_line(FW_CONFIRM), None), (PROMPT, b"exit")])
        term = self.start()
        pieces = ["Error: unknown command: " + "y" * 255, COMMAND + "Error: unknown command: " + "z" * 45]
        self.read(term, line, line.decode(), lines=pieces)
        self.read(term, UP, line.decode(), lines=pieces)
        self.read(term, answered, answered.decode(),
                  lines=["WARNING! This will alter the Quorvantis firmware!",
                         last_line(FW_CONFIRM).decode() + "Quorvantis Firmware will NOT be updated!"])
        rc, err = term.finish(b"exit\r")
        self.assertEqual((rc, err), (pipe.rc, pipe.err))
        screen = term.screen()
        self.assertEqual(screen.lines, expected.lines)
        if not ON_WINE:  # Wine's console shows no bells on a Unix terminal (see the walk-through)
            self.assertEqual(screen.bells, expected.bells)

    def test_ctrl_c_at_the_prompt_ends_the_program(self):
        # As without the editor: the terminal shows "^C", and its interrupt
        # signal ends the program at once (nothing printed), the terminal's
        # settings as they were; Ctrl-\\ the same with its quit signal.
        keys = [(b"\x03", "^C", -signal.SIGINT)]
        if not ON_WINE:
            keys.append((b"\x1c", "^\\", -signal.SIGQUIT))
        for key, shown, rc in keys:
            with self.subTest(shown=shown):
                term = self.start(cwd=self.tmp)  # where a core file of the quit signal may go
                self.show(term, b"conn", "conn")
                status = term.finish(key)
                self.assertEqual(term.settings_after, term.settings)
                # Wine's console on a Unix terminal ends the program at Ctrl-C
                # with status 0 and shows no "^C"; a Windows console shows it
                # and ends with its own status.
                if not ON_WINE:
                    self.assertEqual(status, (rc, b""))
                    self.assertEqual(term.screen().lines[-1], COMMAND + "conn" + shown)


@unittest.skipIf(ON_WINE, WINE_NO_END_OF_INPUT)
class EndOfInputTest(TerminalCase):
    def test_end_of_input_on_an_empty_line_ends_with_status_1(self):
        term = self.start()
        # Ctrl-D on a line that is not empty deletes under the cursor.
        self.show(term, b"help" + b"\x04" * 2 + LEFT * 4 + b"\x04", "elp")
        rc, err = term.finish(b"\x01\x0b\x04")
        self.assertEqual((rc, err), (1, b""))
        self.assertEqual(term.screen().lines[-2:], ["Command>", ""])
        self.assertEqual(term.settings_after, term.settings)


@unittest.skipIf(ON_WINE, WINDOWS_CONSOLE)
class EditingTest(TerminalCase):
    def test_history_holds_each_command_once_and_no_blank_line(self):
        term = self.start()
        for keys in (b"helpme", b"helpme", b"", b"  \t ", b"quitx", b"."):
            self.read(term, keys, keys.decode().expandtabs(0))
        # '.' ran quitx again and is in the history as typed; the repeated
        # helpme is there once, the blank lines not at all.
        for shown in (".", "quitx", "helpme"):
            self.show(term, UP, shown)
        self.assertEqual(self.read(term, b"", "helpme"), ["Error: unknown command: helpme"])

    def test_ctrl_keys_edit_the_line(self):
        term = self.start()
        # Ctrl-A and Ctrl-E go to the ends, Ctrl-W takes a word back, Ctrl-U
        # everything before the cursor, Ctrl-K everything from it.
        cases = [
            (b"elpme\x01h\x05X", "helpmeX"),
            (b"helpme now then\x17\x17", "helpme "),
            (b"now helpme" + LEFT * 6 + b"\x15", "helpme"),
            (b"helpmenow" + LEFT * 3 + b"\x0b", "helpme"),
        ]
        for keys, shown in cases:
            with self.subTest(shown=shown):
                self.assertEqual(self.read(term, keys, shown), ["Error: unknown command: " + shown.strip()])

    def test_ctrl_r_finds_an_earlier_command(self):
        term = self.start(cwd=SOURCE_DIR)
        self.read(term, b"configure examples/station.cfg", "configure examples/station.cfg")
        self.read(term, b"helpme", "helpme")
        row = term.screen().row
        term.type(b"\x12conf")
        term.wait_screen(lambda s: COMMAND + "configure examples/station.cfg" in s.lines[row:], what="the search")
        term.type(b"\r")
        screen = term.wait_screen(lambda s: s.row > row and s.cursor_line == COMMAND.rstrip(), what="the prompt")
        self.assertEqual(screen.lines[screen.row - 1], "Configuration items processed 17")

    def test_answer_at_the_download_question_is_not_in_the_history(self):
        question = last_line(CONF_WARNING).decode()
        with Sim(self.tmp) as sim:
            term = self.start(env=sim.env)
            self.read(term, b"connect 1", "connect 1")
            self.assertEqual(self.read(term, b"download", "download", next_prompt=question),
                             ["Warning: Configuration file has not yet been processed!"])
            self.assertEqual(self.read(term, b"no", "no", prompt=question), ["Download Aborted!"])
            for shown in ("download", "connect 1"):
                self.show(term, UP, shown)
            # Ctrl-D at the question answers it and nothing more.
            self.read(term, b"\x01\x0b" + b"download", "download", next_prompt=question)
            row = term.screen().row
            term.type(b"\x04")
            screen = term.wait_screen(lambda s: s.row > row and s.cursor_line == COMMAND.rstrip(), what="the prompt")
            self.assertEqual(screen.lines[row:screen.row], [question.rstrip(), "Download Aborted!"])
            rc, err = term.finish(b"exit\r")
        self.assertEqual((rc, err), (0, b""))

    def test_tab_completes_commands_and_file_names(self):
        os.mkdir(os.path.join(self.tmp, "files"))
        with open(os.path.join(SOURCE_DIR, "examples", "station.cfg"), "rb") as f:
            write_file(os.path.join(self.tmp, "files"), "my station.cfg", f.read())
        # Names a file argument cannot take (a comma or a tab ends it) are not offered.
        write_file(os.path.join(self.tmp, "files"), "my,other.cfg", b"call x\n")
        files = os.path.join(self.tmp, "files")
        term = self.start()
        self.show(term, b"conf" + TAB, "configure ")
        self.show(term, files.encode() + b"/m" + TAB, "configure " + files + "/my station.cfg")
        term.type(b"\r")
        term.wait_screen(lambda s: s.lines[s.row - 1:] == ["Configuration items processed 17", "Command>"],
                         what="the configuration read")
        # Several commands begin with d: the first Tab rings the bell, the
        # second lists them, and the line stays as it was.
        bells = term.screen().bells
        self.show(term, b"d" + TAB, "d")
        term.wait_screen(lambda s: s.bells == bells + 1, what="the bell")
        term.type(TAB)
        listing = ["dconfigure", "disconnect", "download", "drules"]
        term.wait_screen(lambda s: s.lines[s.row - 1].split() == listing and s.cursor_line == COMMAND + "d",
                         what="the listing")
        self.assertEqual(self.read(term, b"r" + TAB, "drules "), ["No Rules are configured!  Implicit Rule Action is Pass"])
        # The file name of rules, where "my,other.cfg" is no match (its
        # comma would end the name), and of firmware after its port word.
        self.show(term, b"rules " + files.encode() + b"/my" + TAB, "rules " + files + "/my station.cfg")
        term.type(b"\x01\x0b")
        self.show(term, b"firm" + TAB + b"2 " + files.encode() + b"/my s" + TAB,
                  "firmware 2 " + files + "/my station.cfg")
        rc, err = term.finish(b"\x01\x0bexit\r")
        self.assertEqual((rc, err), (0, b""))

    def test_tab_completes_device_paths(self):
        # A directory like /dev/serial/by-id: the device's link, and a file
        # that is no device (left out).
        devices = os.path.join(self.tmp, "by-id")
        os.mkdir(devices)
        write_file(devices, "notes.txt", b"")
        with Sim(self.tmp) as sim:
            os.symlink(sim.slave, os.path.join(devices, "usb-Sim_Quorvantis-if00-port0"))
            term = self.start(env=sim.env)
            path = devices + "/usb-Sim_Quorvantis-if00-port0"
            self.show(term, b"connect " + devices.encode() + b"/" + TAB, "connect " + path + " ")
            lines = self.read(term, b"9600", "connect " + path + " 9600")
            self.assertEqual(lines[-1], "Connected at 9600")
            rc, err = term.finish(b"disconnect\rexit\r")
        self.assertEqual((rc, err), (0, b""))

class WalkThroughTest(TerminalCase):
    """The README's walk-through typed at a terminal shows what it shows on a
    pipe, with the commands where they were typed: the same prompts, texts
    and bells. The Linux build's keys use completion and the history."""

    def test_readme_walk_through(self):
        reads = [  # (prompt, the line read, the keys that type it)
            (PROMPT, b"configure examples/station.cfg", b"conf\texamples/st\t"),
            (PROMPT, b"dconfigure", b"dc\t"),
            (PROMPT, b"rules examples/rules.txt", b"rules examples/ru\t"),
            (PROMPT, b"drules", b"dr\t"),
            (PROMPT, b"connect 1", b"connect 1"),
            (PROMPT, b"baud 57600", b"baud 57600"),
            (PROMPT, b"disconnect", b"disc\t"),
            (PROMPT, b"connect 1", UP * 3),
            (PROMPT, b"download", b"do\t"),
            (PROMPT, b"firmware 2 examples/firmware.hex", b"firm\t2 examples/fi\t"),
            (last_line(FW_CONFIRM), b"y", b"y"),
            (FW_ENTER, b"", b""),
            (PROMPT, b"exit", b"ex\t"),
        ]
        # The walk-through's files in a directory of its own: the example
        # configuration and rules, and as examples/firmware.hex the example's
        # first records (the transfer is not what is looked at here, and
        # test_firmware sends the example whole).
        work = os.path.join(self.tmp, "walk")
        os.makedirs(os.path.join(work, "examples"))
        for name in ("station.cfg", "rules.txt"):
            shutil.copy(os.path.join(SOURCE_DIR, "examples", name), os.path.join(work, "examples"))
        shutil.copy(short_firmware(), os.path.join(work, "examples", "firmware.hex"))
        with Sim(self.tmp, port=1) as sim, Sim(self.tmp, "--mode", "loader", port=2):
            pipe = run_host(b"".join(text + b"\n" for _, text, _ in reads), env=sim.env, cwd=work)
        self.assertEqual(pipe.rc, 0, pipe.diagnosis())
        self.assertIn(FW_SUCCEEDED, pipe.out)
        expected = typed_on_a_pipe(pipe.out, [(prompt, text) for prompt, text, _ in reads])

        with Sim(self.tmp, port=1) as sim, Sim(self.tmp, "--mode", "loader", port=2):
            term = self.start(env=sim.env, cwd=work)
            for (prompt, text, keys), (next_prompt, _, _) in zip(reads, reads[1:]):
                self.read(term, text if ON_WINE else keys, text.decode(), prompt=prompt.decode(),
                          next_prompt=next_prompt.decode(), timeout=60)
            rc, err = term.finish((reads[-1][1] if ON_WINE else reads[-1][2]) + b"\r")
        self.assertEqual((rc, err), (0, b""))
        screen = term.screen()
        self.assertEqual(normal(screen.lines), normal(expected.lines))
        # Wine's console draws its screen on a Unix terminal without the bell
        # characters the program writes; a Windows console rings them.
        if not ON_WINE:
            self.assertEqual(screen.bells, expected.bells)


class DevicePathTest(TempDirCase):
    """connect and firmware take the device's own path on Linux, opened as a
    COMn link's target is and named by that path in the messages."""

    def test_connect_by_path(self):
        with Sim(self.tmp) as sim:
            path = sim.slave.encode()
            run = run_host(b"connect " + path + b"\ndisconnect\nconnect " + path + b",57600\nexit\n", env=sim.env)
            sim.wait_for(lambda line: line == "closed")
        if ON_WINE:
            invalid = b"\a\aError: invalid COM port number (1..10): " + path + b"\n"
            self.assertEqual(run.after_start(), PROMPT + invalid + PROMPT + NOT_CONNECTED + PROMPT + invalid + PROMPT)
        else:
            self.assertEqual(run.after_start(),
                             PROMPT + connected(9600) + PROMPT + DISCONNECTED + PROMPT + connected(57600) + PROMPT)
        self.assertEqual(run.rc, 0, run.diagnosis())

    @unittest.skipIf(ON_WINE, "the Windows build names its ports COMn only")
    def test_firmware_by_path(self):
        received = os.path.join(self.tmp, "received.hex")
        with Sim(self.tmp, "--mode", "loader", "--opt", "out=" + received) as sim:
            run = run_host(b"firmware " + sim.slave.encode() + b" " + short_firmware().encode() + b"\ny\n\nexit\n",
                           env=sim.env)
        self.assertEqual(run.rc, 0, run.diagnosis())
        self.assertTrue(run.out.endswith(FW_SUCCEEDED + PROMPT), run.out[-300:])
        with open(short_firmware(), "rb") as f, open(received, "rb") as got:
            self.assertEqual(got.read().split(), f.read().split())

    @unittest.skipIf(ON_WINE, "the Windows build names its ports COMn only")
    def test_missing_path_names_it(self):
        missing = os.path.join(self.tmp, "ttyUSB9").encode()
        cannot = (b"\a\aError: cannot open com port " + missing + b": No such file or directory\n"
                  b"\a\aError: could not open COM port " + missing + b"\n")
        run = run_host(b"connect " + missing + b"\nfirmware " + missing + b" " + short_firmware().encode() +
                       b"\ny\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"Connecting at 9600...\n" + cannot + PROMPT + FW_CONFIRM + cannot + FW_FAILED + PROMPT)

    @unittest.skipIf(ON_WINE, "the Windows build names its ports COMn only")
    def test_path_in_use_is_refused(self):
        with Sim(self.tmp) as sim, start_host(sim.env) as first:
            path = sim.slave.encode()
            first.send(b"connect " + path + b"\n")
            first.expect(b"Connected at 9600\n")
            run = run_host(b"connect " + path + b"\nexit\n", env=sim.env)
            self.assertEqual(run.after_start(),
                             PROMPT + b"Connecting at 9600...\n\a\aError: cannot open com port " + path +
                             b": Device or resource busy\n\a\aError: could not open COM port " + path + b"\n" + PROMPT)
            rc, _ = first.finish(b"disconnect\nexit\n")
            self.assertEqual(rc, 0)


if __name__ == "__main__":
    unittest.main()
