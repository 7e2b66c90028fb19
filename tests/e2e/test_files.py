"""Configuration and rules files through the real program: configure,
dconfigure, rules and drules with the example files and small files of
their own."""
import os
import unittest

from messages import FW_CONFIRM, FW_FAILED, MISSING_FILE_NAME, NO_RULES_COUNT, PROMPT, RULES_DISPLAY, RULES_ITEMS, \
    STATION_DISPLAY, STATION_ITEMS, summary
from qvtest import EXAMPLES, TempDirCase, run_host, write_file


class ConfigureTest(TempDirCase):
    def test_example_station_file(self):
        path = os.path.join(EXAMPLES, "station.cfg").encode()
        run = run_host(b"configure " + path + b"\ndconfigure\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + STATION_ITEMS + PROMPT + STATION_DISPLAY + NO_RULES_COUNT + PROMPT)
        self.assertEqual(run.rc, 0, run.diagnosis())

    def test_failing_line_and_partial_effects(self):
        path = write_file(self.tmp, "bad.cfg", "# two good lines\nhost 4800\ncall ab1\nssid 16\n")
        run = run_host(b"configure " + path.encode() + b"\ndconfigure\nexit\n")
        out = run.after_start()
        self.assertTrue(out.startswith(
            PROMPT + b"\a\aError: line 4: invalid SSID argument range [0..15]: 16: ssid 16\n"
            b"\a\aError: Configuration processing failed\n" + PROMPT
            + b"Configuration:\nStation Call\t   AB1\tSSID 0x00\n"), out)
        self.assertIn(b"Host  baud\t4800\n", out)

    def test_position_outside_the_earth(self):
        # Latitude and longitude swapped: refused, and the base position stays
        # what the line before set.
        path = write_file(self.tmp, "swapped.cfg", "position 10:00:00, 20:00:00\nposition -104:30:00, 39:30:00\n")
        run = run_host(b"configure " + path.encode() + b"\ndconfigure\nexit\n")
        out = run.after_start()
        self.assertTrue(out.startswith(
            PROMPT + b"\a\aError: line 2: invalid Station Latitude range [-90..90]: -104.500000: "
            b"position -104:30:00, 39:30:00\n\a\aError: Configuration processing failed\n" + PROMPT), out)
        self.assertIn(b"Base Lat %10.6f\tLon %11.5f\n" % (10, 20), out)

    def test_missing_argument_and_missing_file(self):
        run = run_host(b"configure\nconfigure /nonexistent/x.cfg\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + MISSING_FILE_NAME + PROMPT
                         + b"\a\aError: cannot open /nonexistent/x.cfg\n"
                         b"\a\aError: Configuration processing failed\n" + PROMPT)

    def test_dstar_moves_the_default_baud_bracket(self):
        path = write_file(self.tmp, "d.cfg", "dstar 19200\r\n")
        run = run_host(b"configure " + path.encode() + b"\nhelp\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"Configuration items processed 1\n" + PROMPT + summary(19200) + PROMPT)

    def test_second_blank_belongs_to_the_name(self):
        run = run_host(b"configure  /nonexistent/x.cfg\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"\a\aError: cannot open  /nonexistent/x.cfg\n"
                         b"\a\aError: Configuration processing failed\n" + PROMPT)

    def test_file_name_with_blanks(self):
        path = write_file(self.tmp, "my station.cfg", "relay no\n")
        run = run_host(b"configure " + path.encode() + b"\nexit\n")
        self.assertEqual(run.after_start(), PROMPT + b"Configuration items processed 1\n" + PROMPT)


class QuotedFileNameTest(TempDirCase):
    """A file name as Windows Explorer's "Copy as path" gives it, in double
    quotes: configure, rules and firmware take off that one pair."""

    def test_names_in_double_quotes(self):
        station = write_file(self.tmp, "my station.cfg", "relay no\n").encode()
        rules = write_file(self.tmp, "my rules.txt", "drop implicit\n").encode()
        firmware = write_file(self.tmp, "cut.hex", ":0400000001020304F2\n").encode()
        run = run_host(b'configure "' + station + b'"\nrules "' + rules + b'"\nfirmware 1 "' + firmware
                       + b'"\ny\nconfigure ""' + station + b'""\nexit\n')
        self.assertEqual(run.rc, 0, run.diagnosis())
        self.assertEqual(run.after_start(),
                         PROMPT + b"Configuration items processed 1\n" + PROMPT + b"Rules processed 0, implicit 1\n"
                         + PROMPT + FW_CONFIRM + b"\a\aError: missing end of file record in Firmware file!\n"
                         b"\a\aError: Firmware file has some kind of error!\n" + FW_FAILED
                         # Only one pair goes.
                         + PROMPT + b'\a\aError: cannot open "' + station + b'"\n'
                         b"\a\aError: Configuration processing failed\n" + PROMPT)


class RulesTest(TempDirCase):
    def test_example_rules_file(self):
        path = os.path.join(EXAMPLES, "rules.txt").encode()
        run = run_host(b"drules\nrules " + path + b"\ndrules\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"No Rules are configured!  Implicit Rule Action is Pass\n"
                         + PROMPT + RULES_ITEMS + PROMPT + RULES_DISPLAY + PROMPT)
        self.assertEqual(run.rc, 0, run.diagnosis())

    def test_configure_keeps_the_rule_values(self):
        rules = os.path.join(EXAMPLES, "rules.txt").encode()
        station = os.path.join(EXAMPLES, "station.cfg").encode()
        run = run_host(b"rules " + rules + b"\nconfigure " + station + b"\ndconfigure\nexit\n")
        self.assertIn(STATION_DISPLAY + b"Rule count 8\tImplicit Rule Action: Drop\n", run.out)

    def test_hundred_rules(self):
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "rules100.txt")
        with open(path, "rb") as f:
            data = f.read()
        more = write_file(self.tmp, "101.txt", data + b"pass dst EXTRA\n")
        run = run_host(b"rules " + path.encode() + b"\nrules " + more.encode() + b"\ndrules\nexit\n")
        lines = data.count(b"\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"Rules processed 100, implicit 0\n" + PROMPT
                         + b"\a\aError: " + more.encode() + b"[%d]: rule limit (100) exceeded:\npass dst EXTRA\n"
                         % (lines + 1) + b"\a\aError: Rule processing failed\n" + PROMPT
                         + b"No Rules are configured!  Implicit Rule Action is Pass\n" + PROMPT)

    def test_failing_third_line_and_missing_file(self):
        path = write_file(self.tmp, "r.txt", "pass dst A\r\ndrop src B-3\r\npass dst ABC-16\r\n")
        good = write_file(self.tmp, "good.txt", "pass dst A\n")
        run = run_host(b"rules " + good.encode() + b"\nrules /nonexistent/r.txt\ndrules\nrules "
                       + path.encode() + b"\ndrules\nrules\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + b"Rules processed 1, implicit 0\n" + PROMPT
                         + b"\a\aError: cannot open /nonexistent/r.txt\n\a\aError: Rule processing failed\n" + PROMPT
                         + b"Rule count 1 plus Implicit\n\nAction Command   Mods Arguments\nPass   Implicit \n"
                         b"Pass   destin    00   A        \n" + PROMPT
                         + b"\a\aError: " + path.encode() + b"[3]: invalid SSID range [0..15]: 16:\npass dst ABC-16\n"
                         b"\a\aError: Rule processing failed\n" + PROMPT
                         + b"No Rules are configured!  Implicit Rule Action is Pass\n" + PROMPT
                         + MISSING_FILE_NAME + PROMPT)


class UnreadableFileTest(TempDirCase):
    def test_directory_is_refused_and_the_data_stays(self):
        # A directory given as a file: the command's "cannot open" message, and
        # what an earlier command read is still there.
        rules = write_file(self.tmp, "r.rul", "drop implicit\npass dst A\n").encode()
        station = write_file(self.tmp, "s.cfg", "host 4800\n").encode()
        folder = self.tmp.encode()
        cases = [
            (b"rules " + rules, b"rules " + folder, b"drules", b"Pass   destin    00   A",
             b"\a\aError: Rule processing failed\n"),
            (b"configure " + station, b"configure " + folder, b"dconfigure", b"Host  baud\t4800\n",
             b"\a\aError: Configuration processing failed\n"),
        ]
        for first, refused, show, shown, failed in cases:
            with self.subTest(command=refused):
                run = run_host(first + b"\n" + show + b"\n" + refused + b"\n" + show + b"\nexit\n")
                self.assertEqual(run.rc, 0, run.diagnosis())
                parts = run.after_start().split(PROMPT)
                self.assertEqual(len(parts), 6, parts)
                self.assertIn(shown, parts[2])
                self.assertEqual(parts[3], b"\a\aError: cannot open " + folder + b"\n" + failed)
                self.assertEqual(parts[4], parts[2])

    def test_firmware_from_a_directory(self):
        folder = self.tmp.encode()
        run = run_host(b"firmware 1 " + folder + b"\ny\nexit\n")
        self.assertEqual(run.after_start(),
                         PROMPT + FW_CONFIRM + b"\a\aError: cannot open " + folder + b"\n" + FW_FAILED + PROMPT)


if __name__ == "__main__":
    unittest.main()
