"""The one driver of the two programs, for the end-to-end tests, the packages'
tests, the demo (scripts/run-demo.py) and the bench (bench/bench.py).

Program runs the host program (or any program) with its standard input on a
pipe and reads its output as it comes, in a thread of its own:

    host = Program([path], env={"XDG_CONFIG_HOME": config})
    host.wait_for(b"Command> ")                # the first prompt
    out = host.command(b"connect 1")           # what it printed before the next one
    rc, err = host.finish(b"exit\\n")

Sim runs the simulated device, linked as COMn in a configuration directory,
and collects its report lines (with the time each was read, or the device's
own time under --stamp):

    with Sim(path, "--mode", "loader", config=directory) as sim:
        ... Program([...], env=sim.env) ...
        sim.wait_for(lambda line: line == "closed")

Terminal runs a program at a pseudo-terminal, as an operator does at a
terminal: standard input and output are the terminal, keys are typed, and
what the terminal shows is read as a screen (vtscreen.Screen):

    with Terminal([path], env=sim.env) as term:
        term.wait_screen(lambda screen: screen.cursor_line == "Command>")
        term.enter(b"conf\t", "Command> configure")    # Tab completes; then Enter
        rc, err = term.finish(b"exit\r")

Every wait is bounded, and no program outlives its driver: a Program is
killed when it runs over its time limit (its output then ends, and finish
says so), and a Sim when it is stopped.
"""
import fcntl
import os
import re
import signal
import struct
import subprocess
import termios
import threading
import time

from vtscreen import Screen

# How long a program may run before it is killed, in seconds: far beyond any
# case's need, short enough that a hung program fails the case instead of
# holding up the run.
PROGRAM_LIMIT = 300


def _read(fd):
    """The next chunk from fd; b"" at its end."""
    try:
        return os.read(fd, 65536)
    except OSError:
        return b""


class _Piped:
    """What both drivers share: a process whose standard output a thread of
    the driver reads (read_out) and whose standard error is collected."""

    def __init__(self):
        self.proc = None
        self._cond = threading.Condition()
        self._err = bytearray()

    def _pipe(self, proc, read_out):
        self.proc = proc
        self._readers = [threading.Thread(target=read_out, daemon=True),
                         threading.Thread(target=self._read_err, daemon=True)]
        for reader in self._readers:
            reader.start()

    def _read_err(self):
        fd = self.proc.stderr.fileno()
        while True:
            chunk = _read(fd)
            if not chunk:
                return
            with self._cond:
                self._err += chunk

    def _err_bytes(self):
        with self._cond:
            return bytes(self._err)

    def _unpipe(self):
        for reader in self._readers:
            reader.join(timeout=5)
        self.proc.stdout.close()
        self.proc.stderr.close()


class Program(_Piped):
    """A running program: its standard input a pipe (or the descriptor given
    as stdin), its standard output and error read as they come.

    crlf: the program writes CR LF line ends (the Windows build under Wine);
    they are read as LF, in the output and in the error text alike.
    eager: a function of the output's last 4096 bytes; while it says false,
    the output is read a tenth of a second at a time, so that a long transfer
    costs its watcher no wake-up per line (the bench's timed runs)."""

    def __init__(self, argv, env=None, cwd=None, stdin=subprocess.PIPE, crlf=False, limit=PROGRAM_LIMIT,
                 eager=None, prompt=b"Command> "):
        super().__init__()
        self.argv = list(argv)
        self.crlf = crlf
        self.eager = eager
        self.prompt = prompt
        self.rc = None
        self.expired = False
        self._buf = bytearray()
        self._held = b""          # a CR that may begin a CR LF in the next chunk
        self._chunks = []         # (end offset, time read) of each chunk
        self._ended = False
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        self._pipe(subprocess.Popen(self.argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    env=full_env, cwd=cwd), self._read_out)
        self.pid = self.proc.pid
        self._watchdog = threading.Timer(limit, self._expire)
        self._watchdog.daemon = True
        self._watchdog.start()

    # Reading.

    def _normal(self, chunk):
        if not self.crlf:
            return chunk
        chunk = self._held + chunk
        self._held = b""
        if chunk.endswith(b"\r"):
            chunk, self._held = chunk[:-1], b"\r"
        return chunk.replace(b"\r\n", b"\n")

    def _read_out(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = _read(fd)
            stamp = time.monotonic()
            with self._cond:
                if chunk:
                    self._buf += self._normal(chunk)
                else:
                    self._buf += self._held
                    self._held = b""
                    self._ended = True
                self._chunks.append((len(self._buf), stamp))
                self._cond.notify_all()
                tail = bytes(self._buf[-4096:])
            if not chunk:
                return
            if self.eager is not None and not self.eager(tail):
                time.sleep(0.1)

    @property
    def out(self):
        """Everything the program printed so far."""
        with self._cond:
            return bytes(self._buf)

    def mark(self):
        """Where the output is now: a start for wait_for and since."""
        with self._cond:
            return len(self._buf)

    def since(self, start):
        with self._cond:
            return bytes(self._buf[start:])

    def wait_for(self, text, count=1, timeout=30, start=0):
        """Waits until text has appeared count times in the output from start
        on. True then; False when the output ended first; an AssertionError
        when timeout seconds passed."""
        end = time.monotonic() + timeout
        with self._cond:
            while self._buf.count(text, start) < count:
                if self._ended:
                    return False
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("%s: no %r within %s s (%d seen) after %r" % (
                        os.path.basename(self.argv[-1]), text, timeout, self._buf.count(text, start),
                        bytes(self._buf[-400:])))
                self._cond.wait(left)
            return True

    def expect(self, text, count=1, timeout=30, start=0):
        """wait_for, and an AssertionError when the output ended first."""
        if not self.wait_for(text, count, timeout, start):
            raise AssertionError("%s ended before %r: %r" % (os.path.basename(self.argv[-1]), text,
                                                             self.out[-400:]))

    def when(self, pattern, timeout, start=0, window=4096):
        """The time the output chunk arrived that completed the first match of
        pattern (a compiled bytes regex) from start on, or None when the
        output ended or timeout seconds passed. Only the last window bytes are
        searched again as the output grows, so a long output costs no more to
        watch than a short one."""
        end = time.monotonic() + timeout
        searched = start
        with self._cond:
            while True:
                found = pattern.search(self._buf, max(start, searched - window))
                if found:
                    for stop, stamp in self._chunks:
                        if stop >= found.end():
                            return stamp
                searched = len(self._buf)
                left = end - time.monotonic()
                if self._ended or left <= 0:
                    return None
                self._cond.wait(left)

    # Writing.

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send_lines(self, lines):
        self.send(b"".join(line + b"\n" for line in lines))

    def command(self, line, timeout=30):
        """Sends one command line; gives what it printed before the next prompt."""
        start = self.mark()
        self.send(line + b"\n")
        self.expect(self.prompt, 1, timeout, start)
        text = self.since(start)
        return text[:text.find(self.prompt)]

    # The process.

    def fds(self):
        return sorted(int(name) for name in os.listdir("/proc/%d/fd" % self.pid))

    def open_files(self):
        """What the program's open descriptors lead to, in descriptor order."""
        targets = []
        for fd in self.fds():
            try:
                targets.append(os.readlink("/proc/%d/fd/%d" % (self.pid, fd)))
            except OSError:
                pass
        return targets

    def status(self, field):
        """A number from /proc/<pid>/status, e.g. VmRSS or VmHWM in kB."""
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise AssertionError(field)

    def _expire(self):
        self.expired = True
        self.kill()

    def kill(self):
        if self.proc.poll() is None:
            try:
                self.proc.kill()
            except OSError:
                pass

    def finish(self, data=b"", timeout=30):
        """Sends data, closes the program's input and waits for its end; gives
        its exit status and what it wrote to its standard error."""
        if self.proc.stdin is not None:
            try:
                if data:
                    self.send(data)
                self.proc.stdin.close()
            except (BrokenPipeError, ValueError):
                pass
        try:
            self.rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            self.rc = self.proc.wait()
            self._close()
            raise AssertionError("%s did not end within %s s: %r" % (os.path.basename(self.argv[-1]), timeout,
                                                                      self.out[-400:]))
        self._close()
        if self.expired:
            raise AssertionError("%s ran over its limit and was killed: %r" % (os.path.basename(self.argv[-1]),
                                                                              self.out[-400:]))
        return self.rc, self.err

    def _close(self):
        self._watchdog.cancel()
        self._unpipe()

    @property
    def err(self):
        err = self._err_bytes()
        return err.replace(b"\r\n", b"\n") if self.crlf else err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.rc is None:
            self.kill()
            self.rc = self.proc.wait()
            self._close()


class Terminal(_Piped):
    """A program at a terminal of its own: a pseudo-terminal of columns x rows
    is its controlling terminal and its standard input and output (so Ctrl-C
    typed there ends it as at any terminal); its standard error is a pipe.
    Everything it writes to the terminal is kept (raw) and shown as a screen."""

    def __init__(self, argv, env=None, cwd=None, columns=400, rows=50, limit=PROGRAM_LIMIT):
        super().__init__()
        self.argv = list(argv)
        self.columns, self.rows = columns, rows
        self.rc = None
        self.expired = False
        self._raw = bytearray()
        self._ended = False
        self.master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.settings = termios.tcgetattr(self.master)  # the terminal's settings before the program
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        try:
            proc = subprocess.Popen(self.argv, stdin=slave, stdout=slave, stderr=subprocess.PIPE, env=full_env,
                                    cwd=cwd, start_new_session=True,
                                    preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        finally:
            os.close(slave)
        self._pipe(proc, self._read_terminal)
        self.pid = proc.pid
        self._watchdog = threading.Timer(limit, self._expire)
        self._watchdog.daemon = True
        self._watchdog.start()

    def _read_terminal(self):
        while True:
            chunk = _read(self.master)  # EIO once the program has left the terminal
            with self._cond:
                if chunk:
                    self._raw += chunk
                else:
                    self._ended = True
                self._cond.notify_all()
            if not chunk:
                return

    @property
    def raw(self):
        with self._cond:
            return bytes(self._raw)

    def screen(self):
        return Screen(self.raw, self.columns, self.rows)

    def mark(self):
        with self._cond:
            return len(self._raw)

    def type(self, keys):
        os.write(self.master, keys)

    def wait_raw(self, text, start=0, timeout=30):
        """Waits until the program has written text to the terminal from start on."""
        return self.wait_screen(lambda _: self.raw.find(text, start) >= 0, timeout, "%r after %d" % (text, start))

    def wait_screen(self, predicate, timeout=30, what=None):
        """Waits until predicate(screen) holds; the screen then. An
        AssertionError when timeout seconds passed or the program left the
        terminal first."""
        end = time.monotonic() + timeout
        with self._cond:
            while True:
                screen = Screen(bytes(self._raw), self.columns, self.rows)
                if predicate(screen):
                    return screen
                left = end - time.monotonic()
                if self._ended or left <= 0:
                    raise AssertionError("%s: %s not seen (%s); the screen ends:\n%s\nafter the bytes %r" % (
                        os.path.basename(self.argv[-1]), what or "the screen waited for",
                        "it left the terminal" if self._ended else "%s s" % timeout,
                        "\n".join(screen.lines[-15:]), bytes(self._raw[-300:])))
                self._cond.wait(left)

    def enter(self, keys, shown, timeout=30):
        """Types keys, waits until the cursor's line reads shown (the prompt
        and the line as the editing left it), then types Enter; gives the
        mark where what the line does begins."""
        self.type(keys)
        self.wait_screen(lambda screen: screen.cursor_line == shown.rstrip(), timeout, "the line %r" % shown)
        start = self.mark()
        self.type(b"\r")
        return start

    def _expire(self):
        self.expired = True
        self.kill()

    def kill(self):
        if self.proc.poll() is None:
            try:
                self.proc.kill()
            except OSError:
                pass

    def finish(self, keys=b"", timeout=30):
        """Types keys and waits for the program's end; gives its exit status
        (negative: the signal that ended it) and its standard error. The
        terminal's settings as the program left them are then in
        settings_after."""
        if keys:
            self.type(keys)
        try:
            self.rc = self.proc.wait(timeout=timeout)
            self.settings_after = termios.tcgetattr(self.master)
        except subprocess.TimeoutExpired:
            self.kill()
            self.rc = self.proc.wait()
            self._close()
            raise AssertionError("%s did not end within %s s; the screen ends:\n%s" % (
                os.path.basename(self.argv[-1]), timeout, "\n".join(self.screen().lines[-15:])))
        self._close()
        if self.expired:
            raise AssertionError("%s ran over its limit and was killed" % os.path.basename(self.argv[-1]))
        return self.rc, self._err_bytes()

    def _close(self):
        self._watchdog.cancel()
        for reader in self._readers:
            reader.join(timeout=5)
        self.proc.stderr.close()
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.rc is None:
            self.kill()
            self.rc = self.proc.wait()
            self._close()


def run_program(argv, script=b"", env=None, cwd=None, crlf=False, timeout=120):
    """Runs a program with script as its whole standard input; gives its
    output, its standard error and its exit status."""
    with Program(argv, env=env, cwd=cwd, crlf=crlf, limit=timeout) as program:
        rc, err = program.finish(script, timeout=timeout)
        return program.out, err, rc


class Sim(_Piped):
    """The simulated device: quorvantis-sim with args, linked as COM<port> in
    the configuration directory config (its XDG_CONFIG_HOME; none: no link),
    and wine_link pointed at it too (a COMn of a Wine prefix). Starts at once
    and waits for its "ready" line (RuntimeError when it does not come, with
    what the simulator said), unless start is false.

    env: the environment a program needs to find the device as COM<port>.
    With lazy_after, once that report line has come the reports are read a
    tenth of a second at a time (the bench: no wake-up per record)."""

    def __init__(self, program, *args, config=None, port=1, wine_link=None, lazy_after=None, start=True):
        super().__init__()
        self.program = program
        self.config = config
        self.link = os.path.join(config, "quorvantis", "com%d" % port) if config else None
        self.args = list(args)
        self.port = port
        self.wine_link = wine_link
        self.lazy_after = lazy_after
        self.env = {"XDG_CONFIG_HOME": config} if config else {}
        self.slave = None
        self.rc = None
        self._lines = []       # (time, text)
        self._lazy = False
        if start:
            self.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self, require=True):
        """Starts the simulator and waits for its "ready" line; gives the
        pseudo-terminal's path, or None when the simulator ended first (an
        error unless require is false)."""
        argv = [self.program] + (["--link", self.link] if self.link else []) + self.args
        self._pipe(subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE), self._read_lines)
        ready = self.wait_for(lambda line: line.startswith("ready "), 10)
        if ready is None:
            if not require:
                return None
            self.stop()
            raise RuntimeError("the simulator did not start: %s" % self.err.strip())
        self.slave = ready[len("ready "):]
        if self.wine_link:
            fresh = self.wine_link + ".new"
            if os.path.lexists(fresh):
                os.unlink(fresh)
            os.symlink(self.slave, fresh)
            os.replace(fresh, self.wine_link)
        return self.slave

    def _read_lines(self):
        fd = self.proc.stdout.fileno()
        pending = b""
        while True:
            chunk = _read(fd)
            stamp = time.monotonic()
            if not chunk:
                with self._cond:
                    if pending:
                        self._lines.append((stamp, pending.decode(errors="replace")))
                    self._cond.notify_all()
                return
            pending += chunk
            *complete, pending = pending.split(b"\n")
            with self._cond:
                for raw in complete:
                    line = raw.decode(errors="replace")
                    at = stamp
                    # --stamp: the device's own time of the event, the same clock.
                    found = re.match(r"@(\d+) ", line)
                    if found:
                        at = int(found.group(1)) / 1e9
                        line = line[found.end():]
                    self._lines.append((at, line))
                    if line == self.lazy_after:
                        self._lazy = True
                self._cond.notify_all()
            if self._lazy:
                time.sleep(0.1)

    @property
    def err(self):
        return self._err_bytes().decode(errors="replace")

    def lines(self):
        """Every report line so far, "ready" included."""
        with self._cond:
            return [line for _, line in self._lines]

    def stamped(self):
        """The report lines after "ready", each with its time: (time, line)."""
        with self._cond:
            return [(at, line) for at, line in self._lines if not line.startswith("ready ")]

    def events(self):
        """The report lines after "ready"."""
        return [line for _, line in self.stamped()]

    def _first(self, predicate, timeout):
        end = time.monotonic() + timeout
        with self._cond:
            while True:
                for at, line in self._lines:
                    if predicate(line):
                        return at, line
                left = end - time.monotonic()
                proc = self.proc
                if left <= 0 or proc is None or (proc.poll() is not None and not self._readers[0].is_alive()):
                    return None
                self._cond.wait(min(left, 0.5))

    def wait_for(self, predicate, timeout=5):
        """Waits until a report line satisfies predicate; gives that line, or
        None when timeout seconds passed or the simulator ended first."""
        found = self._first(predicate, timeout)
        return found[1] if found else None

    def when(self, predicate, timeout=5):
        """The time of the first report line that satisfies predicate, or None."""
        found = self._first(predicate, timeout)
        return found[0] if found else None

    def power_on(self):
        """Powers the device on now (for --manual-power)."""
        self.proc.send_signal(signal.SIGUSR1)

    def unplug(self):
        """Pulls the plug now."""
        self.proc.send_signal(signal.SIGUSR2)

    def stop(self, sig=signal.SIGTERM):
        """Stops the simulator as an operator does (killed when it does not
        end within 5 seconds); gives its exit status and standard error."""
        if self.proc is None:
            return self.rc, ""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.rc = self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.rc = self.proc.wait()
        self._unpipe()
        self.proc = None
        return self.rc, self.err
