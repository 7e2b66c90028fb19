"""The packages as an operator gets them.

The Debian package: its control fields and files (the copyright file in
Debian's machine-readable format, with the MIT licence), and its programs run
from an unpacked copy (the host against the package's own simulator, with the
packaged example files). The Windows zip: its files, its README.txt and
LICENSE.txt, and its program run under Wine with the packaged examples (the
configuration, the rules, and the firmware file against the simulated loader),
giving the same text as the Linux program.

scripts/test-packages builds the packages and runs this file with:
  QV_DEB        the .deb           QV_DEB_LIST  its `dpkg-deb -c` listing
  QV_DEB_ROOT   the .deb unpacked with `dpkg-deb -x`
  QV_HOST, QV_SIM  the programs in QV_DEB_ROOT
  QV_ZIP        the Windows zip    QV_SOURCE_DIR  the source tree
  QV_OBJDUMP    mingw-w64's objdump, for the .exe's imports
  WINEPREFIX    the Wine prefix to run the .exe in, whose COM9 is the link
  QV_WINE_PORTS/com9
"""
import gzip
import os
import re
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE_DIR = os.environ.get("QV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

from messages import DOWNLOADED, FW_ABOUT, FW_CONFIRM, FW_POWER, FW_SUCCEEDED, NO_RULES_COUNT, PROMPT, \
    RULES_DISPLAY, RULES_ITEMS, START, STATION_DISPLAY, STATION_ITEMS, VERSION, connected  # noqa: E402
from qvproc import run_program  # noqa: E402
from qvtest import run_host  # noqa: E402
from simtest import Sim, read_download_report  # noqa: E402

DEB = os.environ.get("QV_DEB", "")
DEB_LIST = os.environ.get("QV_DEB_LIST", "")
DEB_ROOT = os.environ.get("QV_DEB_ROOT", "")
ZIP = os.environ.get("QV_ZIP", "")
OBJDUMP = os.environ.get("QV_OBJDUMP", "")
WINE_PORTS = os.environ.get("QV_WINE_PORTS", "")
DOC = "usr/share/doc/quorvantis-host"
EXAMPLES = ("station.cfg", "rules.txt", "firmware.hex", "README.txt")

# The walk-through of the README with the example files: what the program
# answers to configure, rules, connect 1 and download.
WALK_THROUGH = (PROMPT + STATION_ITEMS + PROMPT + RULES_ITEMS + PROMPT + connected(9600) + PROMPT
                + DOWNLOADED + PROMPT)

# dconfigure after configure examples/station.cfg, and drules after rules
# examples/rules.txt, as the README's walk-through shows them (blanks at the
# ends of the lines not compared).
DCONFIGURE = (STATION_DISPLAY + NO_RULES_COUNT).decode()
DRULES = RULES_DISPLAY.decode()
# The same session on both systems, with the path separator of each: the
# configuration and the rules, then the firmware file sent to the simulated
# loader on COM9 (yes to the question, Enter to go on).
SESSION = ("configure examples{0}station.cfg\ndconfigure\nrules examples{0}rules.txt\ndrules\n"
           "firmware 9 examples{0}firmware.hex\ny\n\nexit\n")
SESSION_TEXT = (PROMPT + STATION_ITEMS + PROMPT).decode() + DCONFIGURE + (PROMPT + RULES_ITEMS + PROMPT).decode() \
    + DRULES + PROMPT.decode()
# The progress line, redrawn after every record the loader acknowledged.
PROGRESS = rb"\r +\d+s TTC +\d+s +\d+\.\d% ?=*"
FIRMWARE_TEXT = re.compile(re.escape(FW_CONFIRM + FW_ABOUT + FW_POWER + b"\n\n") + b"((?:" + PROGRESS + b")+)\n" +
                           re.escape(FW_SUCCEEDED + PROMPT) + b"$")


def need(value, name):
    if not value:
        raise AssertionError("%s is not set: run scripts/test-packages" % name)
    return value


def program_version():
    """The version the packaged program shows in its banner: the file VERSION's."""
    run = run_host(b"exit\n")
    found = re.match(rb"Quorvantis PC Host Utility Version (\S+),", run.out)
    if not found:
        raise AssertionError("no banner: %r" % run.out[:200])
    if found.group(1).decode() != VERSION:
        raise AssertionError("the banner shows version %s, the file VERSION %s" % (found.group(1).decode(), VERSION))
    return VERSION


def trimmed(text):
    return "\n".join(line.rstrip(" ") for line in text.split("\n"))


def firmware_records():
    """The record lines of the example firmware file, as the loader receives them."""
    lines = source_file("examples", "firmware.hex").decode().splitlines()
    return [line for line in lines if line.startswith(":")]


def source_file(*parts):
    with open(os.path.join(SOURCE_DIR, *parts), "rb") as f:
        return f.read()


# The MIT licence of the project: the copyright line, then the permission
# notice, as the file LICENSE at the top of the source holds them.
LICENSE_TITLE = "MIT License"
COPYRIGHT_HOLDER = "2026 the quorvantis-host developers"
MIT_OPENING = "Permission is hereby granted, free of charge, to any person obtaining a copy"
MIT_CLOSING = "SOFTWARE."


def licence_notice():
    """The permission notice of the file LICENSE: everything after its copyright line."""
    text = source_file("LICENSE").decode()
    lines = text.split("\n")
    if lines[:3] != [LICENSE_TITLE, "", "Copyright (c) " + COPYRIGHT_HOLDER]:
        raise AssertionError("LICENSE does not begin with the MIT title and the copyright line: %r" % lines[:3])
    return "\n".join(lines[4:]).strip("\n")


def control_paragraphs(text):
    """The paragraphs of a Debian control-style file: for each, its fields in
    order as (name, value), a value's continuation lines joined by newlines
    with their one leading blank taken off and " ." read as an empty line."""
    paragraphs = []
    for block in re.split(r"\n\s*\n", text.strip("\n")):
        fields = []
        for line in block.split("\n"):
            if line.startswith((" ", "\t")):
                if not fields:
                    raise AssertionError("a continuation line before any field: %r" % line)
                more = "" if line.strip() == "." else line[1:]
                fields[-1] = (fields[-1][0], fields[-1][1] + "\n" + more)
            else:
                name, colon, value = line.partition(":")
                if not colon or not re.match(r"^[A-Za-z][A-Za-z0-9-]*$", name):
                    raise AssertionError("not a field: %r" % line)
                fields.append((name, value.strip()))
        paragraphs.append(fields)
    return paragraphs


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        need(DEB, "QV_DEB")
        need(DEB_ROOT, "QV_DEB_ROOT")
        cls.version = program_version()

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", DEB, name], stdout=subprocess.PIPE, check=True,
                              text=True).stdout.strip()

    def test_file_name_and_control_fields(self):
        self.assertEqual(os.path.basename(DEB), "quorvantis-host_%s_amd64.deb" % self.version)
        cases = [("Package", r"quorvantis-host"),
                 ("Version", re.escape(self.version)),
                 ("Architecture", r"amd64"),
                 ("Section", r"comm"),
                 ("Priority", r"optional"),
                 ("Maintainer", r"[^<>]+ <[^<>@ ]+@[^<>@ ]+>"),
                 # Computed from the programs' libraries: the C and C++ runtimes.
                 ("Depends", r"(.*, )?libc6 \(>= [^)]+\)(, .*)?"),
                 ("Depends", r"(.*, )?libstdc\+\+6 \(>= [^)]+\)(, .*)?"),
                 ("Description", r"[^\n]*Quorvantis packet-radio digipeater\n( \S.*\n| \.\n)* \S.*")]
        for name, pattern in cases:
            with self.subTest(field=name):
                self.assertRegex(self.field(name), "^%s$" % pattern)

    def test_depends_on_the_line_editing_library(self):
        # The console's line editing links libedit; the dependency is computed
        # from the program (the shared library's package, with its version).
        self.assertRegex(self.field("Depends"), r"^(.*, )?libedit2 \(>= [^)]+\)(, .*)?$")

    def test_contents(self):
        """Every file in its place of Debian's layout, owned by root, with the usual modes."""
        expected = {
            "usr/bin/quorvantis-host": "-rwxr-xr-x",
            "usr/bin/quorvantis-sim": "-rwxr-xr-x",
            "usr/share/man/man1/quorvantis-host.1.gz": "-rw-r--r--",
            "usr/share/man/man1/quorvantis-sim.1.gz": "-rw-r--r--",
            DOC + "/README.md.gz": "-rw-r--r--",
            DOC + "/copyright": "-rw-r--r--",
            DOC + "/changelog.Debian.gz": "-rw-r--r--",
            "usr/share/lintian/overrides/quorvantis-host": "-rw-r--r--",
        }
        for name in EXAMPLES:
            expected[DOC + "/examples/" + name] = "-rw-r--r--"
        with open(need(DEB_LIST, "QV_DEB_LIST")) as f:
            listing = [line.split() for line in f if line.strip()]
        files = {}
        for mode, owner, _size, _date, _time, path, *_ in listing:
            path = path[2:] if path.startswith("./") else path
            with self.subTest(path=path):
                self.assertEqual(owner, "root/root")
                if mode.startswith("d"):
                    self.assertEqual(mode, "drwxr-xr-x")
                    self.assertTrue(any(p.startswith(path) for p in expected), "unexpected directory")
                else:
                    files[path] = mode
        self.assertEqual(files, expected)

    def test_documents_as_in_the_source(self):
        doc = os.path.join(DEB_ROOT, DOC)
        for name in EXAMPLES:
            with self.subTest(example=name), open(os.path.join(doc, "examples", name), "rb") as f:
                self.assertEqual(f.read(), source_file("examples", name))
        with gzip.open(os.path.join(doc, "README.md.gz")) as f:
            self.assertEqual(f.read(), source_file("README.md"))
        for page in ("quorvantis-host.1", "quorvantis-sim.1"):
            with self.subTest(page=page), gzip.open(os.path.join(DEB_ROOT, "usr/share/man/man1", page + ".gz")) as f:
                self.assertEqual(f.read(), source_file("doc", page))
        with gzip.open(os.path.join(doc, "changelog.Debian.gz"), "rt") as f:
            self.assertTrue(f.readline().startswith("quorvantis-host (%s) " % self.version))

    def test_copyright_is_machine_readable_with_the_mit_licence(self):
        """The copyright file in Debian's machine-readable format (1.0): every
        file of the package under the MIT licence (Debian's name for it is
        Expat), with the copyright holder and the licence text of LICENSE."""
        with open(os.path.join(DEB_ROOT, DOC, "copyright"), "rb") as f:
            raw = f.read()
        self.assertEqual(raw, source_file("packaging", "copyright"))
        paragraphs = [dict(p) for p in control_paragraphs(raw.decode())]
        header = paragraphs[0]
        self.assertEqual(header.get("Format"), "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
        self.assertEqual(header.get("Upstream-Name"), "quorvantis-host")
        files = [p for p in paragraphs[1:] if "Files" in p]
        self.assertEqual([p["Files"] for p in files], ["*"])
        self.assertEqual(files[0].get("Copyright"), COPYRIGHT_HOLDER)
        self.assertEqual(files[0].get("License"), "Expat")
        licences = [p for p in paragraphs[1:] if "Files" not in p]
        self.assertEqual(len(licences), 1, "one stand-alone License paragraph")
        name, _, text = licences[0].get("License", "").partition("\n")
        self.assertEqual(name, "Expat")
        self.assertTrue(text.startswith(MIT_OPENING) and text.endswith(MIT_CLOSING), text[:80])
        self.assertEqual(text, licence_notice())

    def test_walk_through_against_the_packaged_simulator(self):
        """configure and rules from the packaged examples, connect 1, download."""
        with tempfile.TemporaryDirectory() as tmp:
            report = os.path.join(tmp, "received")
            with Sim(tmp, "--opt", "dl_report=" + report) as sim:
                run = run_host(b"configure examples/station.cfg\nrules examples/rules.txt\n"
                               b"connect 1\ndownload\nexit\n", env=sim.env, cwd=os.path.join(DEB_ROOT, DOC))
                self.assertEqual(run.after_start(), WALK_THROUGH)
                self.assertEqual(run.rc, 0)
                self.assertTrue(sim.wait_for(lambda line: line == "closed"), sim.events())
            received = read_download_report(report)
        self.assertEqual(received.get("state"), "download complete")
        self.assertEqual(len(received["conf"]), 120)
        self.assertIn(b"N0CALL", received["conf"])
        self.assertEqual(len(received["rules"]), 8 * 28)


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        need(ZIP, "QV_ZIP")
        need(DEB_ROOT, "QV_DEB_ROOT")
        cls.version = program_version()
        cls.folder = "quorvantis-host-%s-win64" % cls.version
        cls._tmp = tempfile.TemporaryDirectory()
        cls.tmp = cls._tmp.name
        with zipfile.ZipFile(ZIP) as z:
            bad = z.testzip()
            if bad:
                raise AssertionError("%s: bad CRC of %s" % (ZIP, bad))
            cls.names = z.namelist()
            z.extractall(cls.tmp)
        cls.dir = os.path.join(cls.tmp, cls.folder)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def read(self, *parts):
        with open(os.path.join(self.dir, *parts), "rb") as f:
            return f.read()

    def test_file_name_and_contents(self):
        self.assertEqual(os.path.basename(ZIP), self.folder + ".zip")
        files = sorted(name for name in self.names if not name.endswith("/"))
        expected = sorted(self.folder + "/" + name for name in
                          ["quorvantis-host.exe", "README.txt", "LICENSE.txt"] +
                          ["examples/" + e for e in EXAMPLES])
        self.assertEqual(files, expected)
        # The examples with Windows line ends, as README.txt has them.
        for name in EXAMPLES:
            with self.subTest(example=name):
                text = self.read("examples", name)
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), "a line feed without a carriage return")
                self.assertNotIn(b"\r\r", text)
                lines = source_file("examples", name).replace(b"\r\n", b"\n").split(b"\n")
                self.assertEqual(text, b"\r\n".join(lines))

    def test_exe_is_self_contained(self):
        """A 64-bit Windows program that needs no DLL beside it: only the system's."""
        exe = self.read("quorvantis-host.exe")
        self.assertEqual(exe[:2], b"MZ")
        pe = int.from_bytes(exe[0x3C:0x40], "little")
        self.assertEqual(exe[pe:pe + 4], b"PE\0\0")
        self.assertEqual(int.from_bytes(exe[pe + 4:pe + 6], "little"), 0x8664)
        dump = subprocess.run([need(OBJDUMP, "QV_OBJDUMP"), "-p", os.path.join(self.dir, "quorvantis-host.exe")],
                              stdout=subprocess.PIPE, check=True, text=True).stdout
        dlls = [name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)]
        self.assertIn("kernel32.dll", dlls)
        # Windows' own libraries (winmm.dll: the system timer's period).
        system = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "advapi32.dll", "user32.dll", "winmm.dll"}
        self.assertEqual([d for d in dlls if d not in system and not d.startswith("api-ms-win-")], [])

    def test_licence(self):
        """LICENSE.txt is the file LICENSE with Windows line ends."""
        text = self.read("LICENSE.txt")
        self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), "a line feed without a carriage return")
        self.assertEqual(text.count(b"\r"), text.count(b"\r\n"), "a carriage return without a line feed")
        self.assertEqual(text, source_file("LICENSE").replace(b"\n", b"\r\n"))
        self.assertTrue(text.startswith(("%s\r\n\r\nCopyright (c) %s\r\n" % (LICENSE_TITLE, COPYRIGHT_HOLDER))
                                        .encode()))
        self.assertIn(MIT_OPENING.encode(), text)

    def test_readme(self):
        text = self.read("README.txt")
        self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), "a line feed without a carriage return")
        self.assertEqual(text.count(b"\r"), text.count(b"\r\n"), "a carriage return without a line feed")
        self.assertTrue(text.endswith(b"\r\n"))
        self.assertTrue(text.startswith(("quorvantis-host %s for Windows\r\n" % self.version).encode()))
        for want in (b"Device Manager", b"Ports (COM & LPT)", b"Latency Timer", b"connect 3",
                     b"configure examples\\station.cfg", b"rules examples\\rules.txt", b"download",
                     b"firmware 3 ", b"NOT firmware for a real device", b"MIT licence", b"LICENSE.txt"):
            with self.subTest(want=want):
                self.assertIn(want, text)

    def session(self, argv, separator, cwd, tmp, wine_link=None):
        """The session with the packaged simulator as the loader on COM9:
        what the program printed, its exit status, the records received."""
        received = os.path.join(tmp, "records")
        with Sim(tmp, "--mode", "loader", "--opt", "out=" + received, port=9) as loader:
            if wine_link:
                os.symlink(loader.slave, wine_link + ".new")
                os.replace(wine_link + ".new", wine_link)
            out, _, rc = run_program(argv, SESSION.format(separator).encode(), env=loader.env, cwd=cwd, timeout=120)
            loader.wait_for(lambda line: line == "closed")
        with open(received) as f:
            records = f.read().split()
        return out, rc, records

    def test_same_text_as_the_linux_program(self):
        """configure, dconfigure, rules, drules and firmware with the packaged examples."""
        with tempfile.TemporaryDirectory() as tmp:
            os.mkdir(os.path.join(tmp, "linux"))
            os.mkdir(os.path.join(tmp, "windows"))
            linux, linux_rc, linux_records = self.session(
                [os.environ["QV_HOST"]], "/", os.path.join(DEB_ROOT, DOC), os.path.join(tmp, "linux"))
            windows, windows_rc, windows_records = self.session(
                ["wine", "quorvantis-host.exe"], "\\", self.dir, os.path.join(tmp, "windows"),
                wine_link=os.path.join(need(WINE_PORTS, "QV_WINE_PORTS"), "com9"))
        self.assertEqual(linux_rc, 0)
        self.assertEqual(windows_rc, 0)
        # The Linux program: the texts of the walk-through, one progress line
        # for each record, and the loader got every record of the file.
        self.assertTrue(linux.startswith(START), linux[:300])
        text, _, firmware = linux[len(START):].partition(FW_CONFIRM)
        self.assertEqual(trimmed(text.decode()), trimmed(SESSION_TEXT))
        found = FIRMWARE_TEXT.match(FW_CONFIRM + firmware)
        self.assertTrue(found, firmware[-400:])
        self.assertEqual(len(re.findall(PROGRESS, found.group(1))), len(firmware_records()))
        self.assertRegex(found.group(1), rb"\r +\d+s TTC +\d+s 100\.0%={59}$")
        self.assertEqual(linux_records, firmware_records())
        # The Windows program writes its line ends as the Windows console
        # expects them: every line feed comes with its carriage return. Apart
        # from that, and from the seconds in the progress line, it prints the
        # same text, and its loader got the same records.
        self.assertEqual(windows.count(b"\n"), windows.count(b"\r\n"))
        seconds = re.compile(rb"\r +\d+s TTC +\d+s ")
        self.assertEqual(seconds.sub(b"\r-", windows.replace(b"\r\n", b"\n")), seconds.sub(b"\r-", linux))
        self.assertEqual(windows_records, firmware_records())


if __name__ == "__main__":
    unittest.main()
