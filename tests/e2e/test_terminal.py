"""The program with a terminal on its standard input: end of input (Ctrl-D)
at a question answers that question only; the session goes on."""
import os
import select
import subprocess
import time
import unittest

from qvtest import EXAMPLES, FW_CONFIRM, ON_WINE, PROMPT, START, TempDirCase, host_command
from simtest import Sim

EOF_KEY = b"\x04"  # the terminal's end-of-input character (VEOF)


class TerminalSession:
    """The host with a pseudo-terminal as its standard input (as typed at a
    terminal) and a pipe as its standard output."""

    def __init__(self, env):
        self.master, slave = os.openpty()
        self.proc = subprocess.Popen(host_command(), stdin=slave, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=dict(os.environ, **env))
        os.close(slave)
        self.out = b""

    def type(self, keys):
        os.write(self.master, keys)

    def wait_for(self, text, count=1, timeout=30):
        """Reads the output until text has appeared count times."""
        end = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while self.out.count(text) < count:
            # What the terminal echoes is not looked at.
            ready, _, _ = select.select([fd, self.master], [], [], max(0.0, end - time.monotonic()))
            if not ready:
                raise AssertionError("timed out waiting for %r in %r" % (text, self.out[-400:]))
            if self.master in ready:
                try:
                    os.read(self.master, 4096)
                except OSError:
                    pass
            if fd in ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise AssertionError("output ended before %r: %r" % (text, self.out[-400:]))
                self.out += chunk.replace(b"\r\n", b"\n") if ON_WINE else chunk

    def finish(self, timeout=30):
        try:
            rest, err = self.proc.communicate(timeout=timeout)
        finally:
            os.close(self.master)
        self.out += rest.replace(b"\r\n", b"\n") if ON_WINE else rest
        return self.proc.returncode, err


class EndOfInputAtAQuestionTest(TempDirCase):
    def test_end_of_input_answers_only_the_question(self):
        if ON_WINE:
            self.skipTest("Wine's console on a Unix terminal passes Ctrl-D and Ctrl-Z Enter to the program as "
                          "characters, never as an end of input, so it cannot be typed there")
        firmware = os.path.join(EXAMPLES, "firmware.hex").encode()
        download_question = b"Do you want to use the Default Configuration? (yes|no) [no]: "
        cases = [
            # (commands before, the command that asks, its question, what end of input answers)
            (b"connect 1\n", b"download\n", download_question, b"\n\a\aDownload Aborted!\n"),
            (b"", b"firmware 1 " + firmware + b"\n", FW_CONFIRM, b"\nQuorvantis Firmware will NOT be updated!\n"),
        ]
        for before, command, question, answered in cases:
            with self.subTest(command=command.split()[0]), Sim(self.tmp) as sim:
                term = TerminalSession(sim.env)
                term.wait_for(START + PROMPT)
                if before:
                    term.type(before)
                    term.wait_for(PROMPT, 2)
                term.type(command)
                term.wait_for(question)
                term.type(EOF_KEY)
                term.wait_for(question + answered + PROMPT)
                # The next command is read and runs: the session goes on.
                term.type(b"helpme\n")
                term.wait_for(b"\a\aError: unknown command: helpme\n" + PROMPT)
                term.type(b"exit\n")
                rc, err = term.finish()
                self.assertEqual(rc, 0, (term.out[-300:], err))


if __name__ == "__main__":
    unittest.main()
