"""The command shell end to end: start-up, matching, repeat, long lines, exit."""
import unittest

from messages import MISSING_FILE_NAME, PROMPT, START, summary, unknown
from qvtest import run_host


class ShellTest(unittest.TestCase):
    def expect(self, script, after_start, rc):
        run = run_host(script)
        self.assertEqual(run.rc, rc, run.diagnosis())
        self.assertEqual(run.after_start(), after_start)

    def test_start_and_end_of_input(self):
        run = run_host(b"")
        self.assertEqual(run.out, START + PROMPT + b"\n")
        self.assertEqual(run.rc, 1)

    def test_exit_aliases(self):
        for word in (b"exit", b"quit", b"x", b"EXIT", b"ex", b"q"):
            with self.subTest(word=word):
                self.expect(word + b"\n", PROMPT, 0)

    def test_last_line_without_line_feed(self):
        self.expect(b"exit", PROMPT, 0)

    def test_unknown_and_ambiguous_words(self):
        cases = [
            (b"helpme", unknown(b"helpme")),
            (b"c", b"\a\aError: ambiguous command: c\n"),
            (b"co", b"\a\aError: ambiguous command: co\n"),
            (b"con", b"\a\aError: ambiguous command: con\n"),
            (b"d", b"\a\aError: ambiguous command: d\n"),
            (b"Dx", unknown(b"Dx")),
        ]
        for line, message in cases:
            with self.subTest(line=line):
                self.expect(line + b"\nexit\n", PROMPT + message + PROMPT, 0)

    def test_help_words(self):
        for line in (b"help", b"HELP", b"Help", b"he", b"?", b"help extra words", b"h"):
            with self.subTest(line=line):
                self.expect(line + b"\nexit\n", PROMPT + summary() + PROMPT, 0)

    def test_repeat(self):
        # '.' first does nothing; '.anything' repeats; a delimiter-only line
        # becomes the previous line, so '.' after it does nothing either.
        script = b".\nhelpme\n.\n.anything\n, ,\n.\nexit\n"
        helpme = unknown(b"helpme")
        self.expect(script, PROMPT * 2 + helpme + PROMPT + helpme + PROMPT + helpme + PROMPT * 3, 0)

    def test_empty_lines_are_not_remembered(self):
        self.expect(b"helpme\n\n.\nexit\n", PROMPT + unknown(b"helpme") + PROMPT * 2 + unknown(b"helpme") + PROMPT, 0)

    def test_windows_line_ends(self):
        # CR LF ends a line like LF: a line of CR LF alone is ignored and is not
        # remembered, and the CR does not count toward the 255 characters.
        helpme = unknown(b"helpme")
        long_word = b"y" * 254
        cases = [
            (b"helpme\r\n\r\n.\r\nexit\r\n", PROMPT + helpme + PROMPT * 2 + helpme + PROMPT),
            (long_word + b"\r\n.\r\nexit\r\n", PROMPT + (unknown(long_word) + PROMPT) * 2),
            (b"y" * 255 + b"\r\nexit\r\n", PROMPT + unknown(b"y" * 255) + PROMPT * 2),
        ]
        for script, after_start in cases:
            with self.subTest(script=script[:20]):
                self.expect(script, after_start, 0)

    def test_dot_after_a_blank_is_the_repeat_row(self):
        self.expect(b" .\nexit\n", PROMPT + b"\a\aInternal Error: command 33 is invalid!\n" + PROMPT, 0)

    def test_long_line_in_pieces(self):
        # 300 characters: a piece of 255, then one of 45 at the next prompt.
        line = b"y" * 255 + b"z" * 45
        self.expect(line + b"\nexit\n", PROMPT + unknown(b"y" * 255) + PROMPT + unknown(b"z" * 45) + PROMPT, 0)

    def test_missing_file_name(self):
        for line in (b"configure", b"rules", b"configure ,", b"rules\t"):
            with self.subTest(line=line):
                self.expect(line + b"\nexit\n", PROMPT + MISSING_FILE_NAME + PROMPT, 0)


    def test_angles_text_and_one_more_line_feed(self):
        outputs = []
        for word in (b"angles", b"a", b"ANG"):
            with self.subTest(word=word):
                run = run_host(word + b"\nexit\n")
                self.assertEqual(run.rc, 0, run.diagnosis())
                out = run.after_start()
                self.assertTrue(out.startswith(PROMPT + b"Colon, Dotted and DMC formats for Angles, Latitudes and Longitudes\n\n"))
                # The text ends with its last example line; the command adds one line feed.
                self.assertTrue(out.endswith(b"\n\n" + PROMPT))
                self.assertFalse(out.endswith(b"\n\n\n" + PROMPT))
                outputs.append(out)
        self.assertEqual(outputs[0], outputs[1])
        self.assertEqual(outputs[0], outputs[2])

    def test_dconfigure_at_start(self):
        text = (b"Configuration:\n"
                b"Station Call\tnotset\tSSID 0x00\n"
                b"Base Lat  39.750000\tLon  -104.87500\n"
                b"Host  baud\t57600\nDSTAR baud\t9600\nTNC   baud\t19200\n"
                b"WIDE Max 3\tWIDE Total 6\tDupe Window 28 sec.\n"
                b"NSR: Disabled\tRelay: Enabled\n"
                b"Digi Path[0]: \n"
                b"Log Port: Yes\n"
                b"Fix Valid: Yes\tPass packets without valid position: No\n"
                b"Halt On Error: No\tDrop Mangled Packet: Yes\n"
                b"Rule count 0\tImplicit Rule Action: Pass\n")
        for word in (b"dconfigure", b"dc", b"DCONF"):
            with self.subTest(word=word):
                self.expect(word + b"\nexit\n", PROMPT + text + PROMPT, 0)

if __name__ == "__main__":
    unittest.main()
