"""The program with a terminal on its standard input: end of input (Ctrl-D)
at a question answers that question only; the session goes on."""
import os
import pty
import select
import signal
import threading
import time
import unittest

from messages import ABORTED, CONF_WARNING, FW_CONFIRM, FW_NOT_UPDATED, PROMPT, START, unknown
from qvtest import EXAMPLES, ON_WINE, SOURCE_DIR, TempDirCase, start_host
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


class MakeRunTest(TempDirCase):
    """make run at a terminal: leaving the console by exit, by the end of
    input or by Ctrl-C at the prompt is a normal end, with no error line of
    make's, and the simulators it started go with it."""

    def make_run(self, keys):
        """make run (its build step taken as done) on a terminal of its own;
        types keys at the first prompt. Gives what the terminal showed and
        make's wait status."""
        env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
        env["TMPDIR"] = self.tmp
        pid, fd = pty.fork()
        if pid == 0:
            try:
                os.chdir(SOURCE_DIR)
                os.execvpe("make", ["make", "--no-print-directory", "-o", "build", "run"], env)
            finally:
                os._exit(127)
        shown = b""
        typed = False
        end = time.monotonic() + 60
        status = None
        try:
            while time.monotonic() < end:
                ready, _, _ = select.select([fd], [], [], 0.1)
                if ready:
                    try:
                        chunk = os.read(fd, 4096)
                    except OSError:  # the terminal has no process left
                        chunk = b""
                    shown += chunk
                    if not chunk:
                        break
                if not typed and shown.endswith(b"Command> "):
                    os.write(fd, keys)
                    typed = True
            _, status = os.waitpid(pid, 0)
        finally:
            if status is None:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            os.close(fd)
        self.assertTrue(typed, shown[-300:])
        return shown, status

    def test_leaving_the_console(self):
        if ON_WINE:
            self.skipTest("make run starts the Linux programs; the Windows build has no make run")
        cases = [("exit", b"exit\n"), ("end of input", b"\x04"), ("Ctrl-C at the prompt", b"\x03")]
        for name, keys in cases:
            with self.subTest(name):
                shown, status = self.make_run(keys)
                self.assertIn(b"(simulated Quorvantis attached as COM1", shown)
                self.assertNotIn(b"***", shown)
                if keys == b"\x03":
                    # make itself got the terminal's Ctrl-C; it ends by it, silently.
                    self.assertTrue(os.WIFSIGNALED(status) or os.WEXITSTATUS(status) == 0, status)
                else:
                    self.assertEqual(os.waitstatus_to_exitcode(status), 0, shown[-300:])
                # The simulators and their configuration directory are gone.
                self.assertEqual(os.listdir(self.tmp), [])


if __name__ == "__main__":
    unittest.main()
