"""Starting the device simulator for end-to-end tests.

    with Sim(self.tmp, "--fault", "no-confirm") as sim:
        run = run_host(b"connect 1\\nexit\\n", env=sim.env)
        self.assertIn("ctrl-c", sim.events())

Sim links COM<port> in a private configuration directory (XDG_CONFIG_HOME
under the given directory), waits until the simulator is ready, and stops it
on leaving. sim.env is the environment for run_host. sim.events() gives the
simulator's report lines so far (opened, power-on, ctrl-c, host N, cr, closed,
unplugged, mode NAME, and whatever the modes report). sim.slave is the
pseudo-terminal the host opens.

Interactive runs the host with a pipe on its standard input, for tests that
look at the running program (e.g. its open files in /proc) between commands.
"""
import os
import signal
import subprocess
import threading
import time

from qvtest import ON_WINE, SIM


class Sim:
    def __init__(self, directory, *args, port=1):
        if not SIM:
            raise AssertionError("QV_SIM is not set: run the tests through ctest or scripts/test-windows")
        self.config = os.path.join(directory, "config")
        self.link = os.path.join(self.config, "quorvantis", "com%d" % port)
        self.args = list(args)
        self.port = port
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
        ready = self.wait_for(lambda line: line.startswith("ready "), 10)
        if not ready:
            self.stop()
            raise RuntimeError("the simulator did not start")
        self.slave = ready[len("ready "):]
        # Under Wine COMn is a fixed link of the test run: point it at this device.
        wine_ports = os.environ.get("QV_WINE_PORTS", "")
        if ON_WINE and wine_ports:
            wine_link = os.path.join(wine_ports, "com%d" % self.port)
            tmp_link = wine_link + ".new"
            if os.path.lexists(tmp_link):
                os.unlink(tmp_link)
            os.symlink(self.slave, tmp_link)
            os.replace(tmp_link, wine_link)

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
        self._reader.join(timeout=5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.proc = None


class Interactive:
    """The host program running with piped standard streams."""

    def __init__(self, env):
        from qvtest import host_command
        full_env = dict(os.environ)
        full_env.update(env)
        self.proc = subprocess.Popen(host_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=full_env)
        self.out = b""
        self._held = b""
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(4096)
            if not chunk:
                break
            with self._cond:
                if ON_WINE:
                    # The Windows console's line ends, a CR held back until
                    # its LF may come in the next chunk.
                    chunk = self._held + chunk
                    self._held = b""
                    if chunk.endswith(b"\r"):
                        chunk, self._held = chunk[:-1], b"\r"
                    chunk = chunk.replace(b"\r\n", b"\n")
                self.out += chunk
                self._cond.notify_all()
        with self._cond:
            self.out += self._held
            self._held = b""
            self._cond.notify_all()

    def send(self, line):
        self.proc.stdin.write(line)
        self.proc.stdin.flush()

    def wait_output(self, count, text, timeout=30):
        """Waits until text appears at least count times in the output."""
        end = time.monotonic() + timeout
        with self._cond:
            while self.out.count(text) < count:
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("timed out waiting for %r in %r" % (text, self.out[-300:]))
                self._cond.wait(left)

    def open_files(self):
        """Targets of the program's open file descriptors."""
        fd_dir = "/proc/%d/fd" % self.proc.pid
        targets = []
        for name in os.listdir(fd_dir):
            try:
                targets.append(os.readlink(os.path.join(fd_dir, name)))
            except OSError:
                pass
        return targets

    def finish(self, timeout=30):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        rc = self.proc.wait(timeout=timeout)
        self._reader.join(timeout=5)
        err = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return rc, err


def read_download_report(path):
    """What the simulated receiver wrote to its dl_report file: the bytes of the
    configuration ("conf") and of the rules ("rules") it received, and its last
    "download ..." state line ("state"). Empty when there is no report."""
    received = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition(": ")
                if key in ("conf", "rules"):
                    received[key] = bytes.fromhex(value)
                if line.startswith("download "):
                    received["state"] = line.strip()
    return received
