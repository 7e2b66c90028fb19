"""Configuration and rules files through the real program: configure,
dconfigure, rules and drules with the example files and small files of
their own."""
import os
import unittest

from qvtest import EXAMPLES, PROMPT, START, TempDirCase, run_host, summary, write_file


def angles_ready():
    """The example files use angles; without the angle parser they cannot load."""
    if not hasattr(angles_ready, "value"):
        import tempfile
        with tempfile.TemporaryDirectory() as tmp:
            path = write_file(tmp, "a.cfg", "position 39:30:00 -104:30:00\n")
            run = run_host(b"configure " + path.encode() + b"\nexit\n")
            angles_ready.value = b"Configuration items processed 1\n" in run.out
    return angles_ready.value


STATION_DISPLAY = (
    b"Configuration:\nStation Call\tN0CALL\tSSID 0x07\n"
    b"Base Lat  39.500000\tLon  -104.50000\n"
    b"Host  baud\t57600\nDSTAR baud\t9600\nTNC   baud\t19200\n"
    b"WIDE Max 3\tWIDE Total 6\tDupe Window 28 sec.\n"
    b"NSR: Disabled\tRelay: Enabled\n"
    b"Digi Path[2]: WIDE1-1,WIDE2-1\n"
    b"Log Port: Yes\nFix Valid: Yes\tPass packets without valid position: No\n"
    b"Halt On Error: No\tDrop Mangled Packet: Yes\n"
)


class ConfigureTest(TempDirCase):
    def test_example_station_file(self):
        if not angles_ready():
            self.skipTest("angle parser not in this build")
        path = os.path.join(EXAMPLES, "station.cfg").encode()
        run = run_host(b"configure " + path + b"\ndconfigure\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"Configuration items processed 17\n" + PROMPT + STATION_DISPLAY
                         + b"Rule count 0\tImplicit Rule Action: Pass\n" + PROMPT)
        self.assertEqual(run.rc, 0)

    def test_failing_line_and_partial_effects(self):
        path = write_file(self.tmp, "bad.cfg", "# two good lines\nhost 4800\ncall ab1\nssid 16\n")
        run = run_host(b"configure " + path.encode() + b"\ndconfigure\nexit\n")
        out = run.after_start()
        self.assertTrue(out.startswith(
            PROMPT + b"\a\aError: line 4: invalid SSID argument range [0..15]: 16: ssid 16\n"
            b"\a\aError: Configuration processing failed\n" + PROMPT
            + b"Configuration:\nStation Call\t   AB1\tSSID 0x00\n"), out)
        self.assertIn(b"Host  baud\t4800\n", out)

    def test_missing_argument_and_missing_file(self):
        run = run_host(b"configure\nconfigure /nonexistent/x.cfg\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"\a\aError: missing argument: file_name\n" + PROMPT
                         + b"\a\aError: cannot open /nonexistent/x.cfg\n"
                         b"\a\aError: Configuration processing failed\n" + PROMPT)

    def test_dstar_moves_the_default_baud_bracket(self):
        path = write_file(self.tmp, "d.cfg", "dstar 19200\r\n")
        run = run_host(b"configure " + path.encode() + b"\nhelp\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"Configuration items processed 1\n" + PROMPT + summary(19200) + PROMPT)

    def test_file_name_with_blanks(self):
        path = write_file(self.tmp, "my station.cfg", "relay no\n")
        run = run_host(b"configure " + path.encode() + b"\nexit\n")
        self.assertEqual(run.after_start(), PROMPT + b"Configuration items processed 1\n" + PROMPT)


if __name__ == "__main__":
    unittest.main()
