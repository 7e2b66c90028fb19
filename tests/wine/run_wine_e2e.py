#!/usr/bin/env python3
"""The Windows leg's run of the end-to-end suite (scripts/test-windows makes
the Wine prefixes, then calls this): each test class of tests/e2e on its own,
against the .exe under Wine, in the next free lane (a Wine prefix with its own
server and COM port links), the longest first by the time it took in the last
run here. Each class runs within a time limit that stops its whole process
group (the test, its programs under Wine and its simulators). The counts are
unittest's own: each class runs in a process of its own, which writes its
result beside its log as JSON.

    run_wine_e2e.py --exe EXE --sim SIM --lane DIR [--lane DIR ...]
                    [--started SECONDS] [NAME ...]

NAME: a file of tests/e2e (test_shell or test_shell.py) or FILE.Class; none:
every tests/e2e/test_*.py. DIR: a lane, with its prefix in DIR/prefix and its
COM port links in DIR/ports. --started: when the run began (seconds since the
epoch), for the closing time. QV_WINE_UNIT_LIMIT: a class's limit in seconds
(600). Logs: build-win/e2e-UNIT.log, with .time (seconds, read by the next
run for its order) and .json (the result) beside it. Status 0 when every
class passed; the last line is "windows-e2e: N passed, M failed, K skipped".
"""
import argparse
import importlib
import json
import os
import signal
import subprocess
import sys
import threading
import time
import traceback
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
E2E = ROOT / "tests" / "e2e"
LOGS = ROOT / "build-win"
# The time of a class not run here before, by its file.
FIRST_GUESS = [("test_faults", 30), ("test_download", 30), ("test_connect", 30),
               ("test_firmware", 15), ("test_shell", 15)]
TAIL_LINES = 60  # of the log of a class that failed
KILL_GRACE = 10  # seconds between the stop and the kill of an overrun class


def say(text):
    print("test-windows: " + text, flush=True)


# --- In the process of one class (or of the listing) -----------------------

def method_id(test):
    """The test method a result belongs to: a subtest counts as its method."""
    return getattr(test, "test_case", test).id()


def list_classes(out_path, names):
    """Writes {file: [FILE.Class, ...]} of the classes with test methods, or
    null for a file that does not import."""
    found = {}
    for name in names:
        try:
            module = importlib.import_module(name)
        except Exception:  # the class's own run says why
            found[name] = None
            continue
        found[name] = ["%s.%s" % (module.__name__, attr) for attr, value in vars(module).items()
                       if isinstance(value, type) and issubclass(value, unittest.TestCase)
                       and value.__module__ == module.__name__
                       and unittest.defaultTestLoader.getTestCaseNames(value)]
    Path(out_path).write_text(json.dumps(found))
    return 0


def run_class(unit, out_path):
    """Runs one class (or file) as python3 -m unittest -v does, its text on
    standard error, and writes unittest's result as JSON."""
    result_record = {"unit": unit, "loaded": False, "run": 0, "failed": [], "skipped": 0, "successful": False}
    try:
        suite = unittest.defaultTestLoader.loadTestsFromName(unit)
    except Exception:
        traceback.print_exc()
        Path(out_path).write_text(json.dumps(result_record))
        return 1
    runner = unittest.TextTestRunner(stream=sys.stderr, verbosity=2,
                                     warnings=None if sys.warnoptions else "default")
    result = runner.run(suite)
    bad = [test for test, _ in result.failures + result.errors] + list(result.unexpectedSuccesses)
    result_record.update(loaded=True, run=result.testsRun, failed=sorted({method_id(t) for t in bad}),
                         skipped=len(result.skipped), successful=result.wasSuccessful())
    Path(out_path).write_text(json.dumps(result_record))
    return 0 if result.wasSuccessful() else 1


# --- The driver -------------------------------------------------------------

class Unit:
    def __init__(self, name):
        self.name = name
        self.log = LOGS / ("e2e-%s.log" % name)
        self.time_file = LOGS / ("e2e-%s.log.time" % name)
        self.result_file = LOGS / ("e2e-%s.log.json" % name)
        self.returncode = None
        self.result = None
        self.seconds = None

    def expected_time(self):
        try:
            return float(self.time_file.read_text().split()[0])
        except (OSError, ValueError, IndexError):
            for prefix, seconds in FIRST_GUESS:
                if self.name.startswith(prefix):
                    return seconds
            return 1


def child_command(*args):
    return [sys.executable, str(Path(__file__).resolve()), *args]


def units_of(names, env):
    """Every test class of the files named (FILE.Class as given); a file that
    does not import, or has no class, runs whole, so that its run says why."""
    files = [n for n in names if "." not in n]
    listing = {}
    if files:
        out = LOGS / "e2e-classes.json"
        out.unlink(missing_ok=True)
        subprocess.run(child_command("--list-classes", str(out), *files), cwd=E2E, env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=False)
        try:
            listing = json.loads(out.read_text())
        except (OSError, ValueError):
            listing = {}
    units = []
    for name in names:
        units.extend([name] if "." in name else (listing.get(name) or [name]))
    return units


class Lanes:
    """Runs the units, each in the next free lane; a unit that overruns its
    limit has its process group stopped, then killed."""

    def __init__(self, lane_dirs, env, limit):
        self.lane_dirs = lane_dirs
        self.env = env
        self.limit = limit
        self.lock = threading.Lock()
        self.queue = []
        self.running = set()

    def run(self, units):
        self.queue = list(units)
        threads = [threading.Thread(target=self.lane, args=(d,)) for d in self.lane_dirs]
        for t in threads:
            t.start()
        try:
            for t in threads:
                t.join()
        finally:
            with self.lock:
                self.queue.clear()
                stragglers = list(self.running)
            for proc in stragglers:
                self.stop(proc)

    def next_unit(self):
        with self.lock:
            return self.queue.pop(0) if self.queue else None

    def lane(self, lane_dir):
        env = dict(self.env, WINEPREFIX=str(Path(lane_dir) / "prefix"), QV_WINE_PORTS=str(Path(lane_dir) / "ports"))
        while True:
            unit = self.next_unit()
            if unit is None:
                return
            self.run_unit(unit, env)

    def run_unit(self, unit, env):
        unit.result_file.unlink(missing_ok=True)
        start = time.monotonic()
        with open(unit.log, "wb") as log:
            proc = subprocess.Popen(child_command("--run-class", unit.name, str(unit.result_file)), cwd=E2E,
                                    env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                    process_group=0)
            with self.lock:
                self.running.add(proc)
            try:
                proc.wait(timeout=self.limit)
            except subprocess.TimeoutExpired:
                self.stop(proc)
                overrun = True
            else:
                overrun = False
            with self.lock:
                self.running.discard(proc)
        if overrun:
            with open(unit.log, "ab") as log:
                log.write(b"test-windows: %s ran over its limit of %d s and was stopped\n"
                          % (unit.name.encode(), self.limit))
        unit.returncode = proc.returncode
        unit.seconds = int(time.monotonic() - start)
        unit.time_file.write_text("%d\n" % unit.seconds)
        try:
            unit.result = json.loads(unit.result_file.read_text())
        except (OSError, ValueError):
            unit.result = None

    @staticmethod
    def stop(proc):
        """SIGTERM to the whole process group, SIGKILL after the grace."""
        for sig, grace in ((signal.SIGTERM, KILL_GRACE), (signal.SIGKILL, None)):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                pass
            try:
                proc.wait(timeout=grace)
                return
            except subprocess.TimeoutExpired:
                continue


def counts(unit):
    """(run, failed, skipped, bad) of test methods: a method whose subtests
    fail counts once; a class that did not even run its cases is one failure."""
    r = unit.result or {}
    ran = r.get("run", 0)
    failed = len(r.get("failed", []))
    skipped = r.get("skipped", 0)
    bad = unit.returncode != 0 or not r.get("successful", False)
    if bad and failed == 0:
        failed = 1
    return ran, failed, skipped, bad


def tail(path, lines):
    try:
        data = path.read_bytes()
    except OSError:
        return b""
    kept = data.splitlines(keepends=True)[-lines:]
    text = b"".join(kept)
    return text if text.endswith(b"\n") or not text else text + b"\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe")
    parser.add_argument("--sim")
    parser.add_argument("--lane", action="append", default=[])
    parser.add_argument("--started", type=float, default=time.time())
    parser.add_argument("--list-classes", nargs="+", metavar=("OUT", "FILE"), help=argparse.SUPPRESS)
    parser.add_argument("--run-class", nargs=2, metavar=("UNIT", "OUT"), help=argparse.SUPPRESS)
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()

    if args.list_classes:
        sys.path.insert(0, str(E2E))
        return list_classes(args.list_classes[0], args.list_classes[1:])
    if args.run_class:
        sys.path.insert(0, str(E2E))
        return run_class(*args.run_class)

    if not args.exe or not args.sim or not args.lane:
        parser.error("--exe, --sim and at least one --lane are needed")
    limit_text = os.environ.get("QV_WINE_UNIT_LIMIT", "600")
    limit = int(limit_text) if limit_text.isdigit() and int(limit_text) > 0 else 600
    names = [n[:-3] if n.endswith(".py") else n for n in args.names]
    if not names:
        names = sorted(p.stem for p in E2E.glob("test_*.py"))
    env = dict(os.environ, QV_WINE="1", QV_HOST=args.exe, QV_SIM=args.sim, QV_SOURCE_DIR=str(ROOT))

    units = [Unit(name) for name in units_of(names, env)]
    # Longest first, so that no lane is left alone with a long class at the end.
    units.sort(key=lambda u: -u.expected_time())
    Lanes(args.lane, env, limit).run(units)

    passed = failed = skipped = 0
    all_good = True
    for unit in units:
        ran, nfail, nskip, bad = counts(unit)
        passed += max(ran - nfail - nskip, 0)
        failed += nfail
        skipped += nskip
        say("%s: %d run, %d failed, %d skipped (%s s)" % (
            unit.name, ran, nfail, nskip, unit.seconds if unit.seconds is not None else "?"))
        if bad:
            all_good = False
            sys.stdout.buffer.write(tail(unit.log, TAIL_LINES))
            sys.stdout.flush()
    say("%d s in all, %d lane(s)" % (int(time.time() - args.started), len(args.lane)))
    print("windows-e2e: %d passed, %d failed, %d skipped" % (passed, failed, skipped), flush=True)
    return 0 if all_good else 1


if __name__ == "__main__":
    sys.exit(main())
