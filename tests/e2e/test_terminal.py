"""The program with a terminal on its standard input: end of input (Ctrl-D)
at a question answers that question only; the session goes on."""
import os
import threading
import unittest

from messages import ABORTED, CONF_WARNING, FW_CONFIRM, FW_NOT_UPDATED, PROMPT, START, unknown
from qvtest import EXAMPLES, ON_WINE, TempDirCase, start_host
from simtest import Sim

EOF_KEY = b"\x04"  # the terminal's end-of-input character (VEOF)


class TerminalSession:
    """The host with a pseudo-terminal as its standard input (as typed at a
    terminal) and a pipe as its standard output."""

    def __init__(self, env):
        self.master, slave = os.openpty()
        self.host = start_host(env, stdin=slave)
        os.close(slave)
        # What the terminal echoes is read away and not looked at.
        threading.Thread(target=self._read_echo, daemon=True).start()

    def _read_echo(self):
        while True:
            try:
                if not os.read(self.master, 4096):
                    return
            except OSError:  # the program has gone: no terminal any more
                return

    def type(self, keys):
        os.write(self.master, keys)

    def wait_for(self, text, count=1, timeout=30):
        """Waits until text has appeared count times in the output."""
        self.host.expect(text, count, timeout)

    @property
    def out(self):
        return self.host.out

    def finish(self, timeout=30):
        try:
            with self.host:
                return self.host.finish(timeout=timeout)
        finally:
            os.close(self.master)


class EndOfInputAtAQuestionTest(TempDirCase):
    def test_end_of_input_answers_only_the_question(self):
        if ON_WINE:
            self.skipTest("Wine's console on a Unix terminal passes Ctrl-D and Ctrl-Z Enter to the program as "
                          "characters, never as an end of input, so it cannot be typed there")
        firmware = os.path.join(EXAMPLES, "firmware.hex").encode()
        download_question = CONF_WARNING[CONF_WARNING.index(b"\n") + 1:]
        cases = [
            # (commands before, the command that asks, its question, what end of input answers)
            (b"connect 1\n", b"download\n", download_question, b"\n" + ABORTED),
            (b"", b"firmware 1 " + firmware + b"\n", FW_CONFIRM, b"\n" + FW_NOT_UPDATED),
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
                term.wait_for(unknown(b"helpme") + PROMPT)
                term.type(b"exit\n")
                rc, err = term.finish()
                self.assertEqual(rc, 0, (term.out[-300:], err))


if __name__ == "__main__":
    unittest.main()
