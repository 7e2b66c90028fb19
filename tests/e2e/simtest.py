"""Starting the device simulator for end-to-end tests.

    with Sim(self.tmp, "--fault", "no-confirm") as sim:
        run = run_host(b"connect 1\\nexit\\n", env=sim.env)
        self.assertIn("ctrl-c", sim.events())

Sim links COM<port> in a private configuration directory (XDG_CONFIG_HOME
under the given directory), waits until the simulator is ready, and stops it
on leaving. sim.env is the environment for run_host. sim.events() gives the
simulator's report lines so far (opened, power-on, ctrl-c, host N, cr, closed,
unplugged, mode NAME, and whatever the modes report).
"""
import os
import signal
import subprocess
import threading
import time
import unittest

from qvtest import SIM


class Sim:
    def __init__(self, directory, *args, port=1):
        if not SIM:
            raise unittest.SkipTest("QV_SIM is not set")
        self.config = os.path.join(directory, "config")
        self.link = os.path.join(self.config, "quorvantis", "com%d" % port)
        self.args = list(args)
        self.env = {"XDG_CONFIG_HOME": self.config}
        self.proc = None
        self._lines = []
        self._cond = threading.Condition()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.proc = subprocess.Popen([SIM, "--link", self.link] + self.args, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if not self.wait_for(lambda line: line.startswith("ready "), 10):
            self.stop()
            raise RuntimeError("the simulator did not start: %r" % self.proc.stderr.read())

    def _read(self):
        for raw in self.proc.stdout:
            with self._cond:
                self._lines.append(raw.decode(errors="replace").rstrip("\n"))
                self._cond.notify_all()

    def events(self):
        """Report lines after 'ready'."""
        with self._cond:
            return [line for line in self._lines if not line.startswith("ready ")]

    def wait_for(self, predicate, timeout=5):
        """Waits until a report line satisfies predicate; returns that line or None."""
        end = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self._lines:
                    if predicate(line):
                        return line
                left = end - time.monotonic()
                if left <= 0 or self.proc.poll() is not None and not self._reader.is_alive():
                    return None
                self._cond.wait(left)

    def power_on(self):
        """Powers the device on now (for --manual-power)."""
        self.proc.send_signal(signal.SIGUSR1)

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        self._reader.join(timeout=2)
        self.proc = None
