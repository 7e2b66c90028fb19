"""The guest of the real-driver leg: a Debian kernel under QEMU (software
emulation) with the program's two kinds of port, each wired by a null modem
to a partner UART that the simulated device plays on:

    COM1  /dev/ttyS1    the 8250 driver's 16550A    partner /dev/ttyS2
    COM2  /dev/ttyUSB0  ftdi_sio's FT232 on xHCI    partner /dev/ttyS3

Each null modem is a pair of socket character devices on one unix socket
(UDP ones lose bytes). The USB adapter can be pulled and plugged back and a
break sent on either port through QMP; QEMU's trace of the adapter's control
requests shows what the driver asked of the chip.

Guest runs the guest (guest_init.sh and guest.sh in its initramfs) and types
commands on its console; every wait is bounded, and QEMU is killed on every
way out (also when this process dies: PR_SET_PDEATHSIG).
"""
import ctypes
import json
import os
import resource
import select
import signal
import socket
import subprocess
import threading
import time

SEPARATOR = b"\x1e"  # ends each answer of the guest, before its exit status

# name: the port's device, the partner the simulated device plays on, its
# COM number in the guest's links, and the character device that feeds the
# port (where QMP's breaks go).
PORTS = {
    "8250": {"com": 1, "device": "/dev/ttyS1", "partner": "/dev/ttyS2", "chardev": "uart"},
    "FTDI": {"com": 2, "device": "/dev/ttyUSB0", "partner": "/dev/ttyS3", "chardev": "usb"},
}
ADAPTER = "usbser0"
ADAPTER_ARGS = {"driver": "usb-serial", "id": ADAPTER, "chardev": "usb", "bus": "xhci.0", "always-plugged": True}


class GuestError(Exception):
    """The guest or QEMU did not do what was asked within its time."""


def _children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def _die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def qemu_command(kernel, initrd, work):
    sock = lambda name: os.path.join(work, name)
    args = ["qemu-system-x86_64", "-M", "pc", "-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults",
            "-display", "none", "-no-reboot", "-kernel", kernel, "-initrd", initrd,
            "-append", "console=ttyS0 quiet loglevel=1 panic=-1",
            "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
            "-chardev", "socket,id=uart,path=%s,server=on,wait=off" % sock("uart.sock"),
            "-chardev", "socket,id=uartpeer,path=%s" % sock("uart.sock"),
            "-device", "isa-serial,index=1,chardev=uart",
            "-device", "isa-serial,index=2,chardev=uartpeer,irq=5",
            "-chardev", "socket,id=usb,path=%s,server=on,wait=off" % sock("usb.sock"),
            "-chardev", "socket,id=usbpeer,path=%s" % sock("usb.sock"),
            "-device", "isa-serial,index=3,chardev=usbpeer,irq=7",
            "-device", "qemu-xhci,id=xhci",
            "-device", ",".join(["usb-serial"] + ["%s=%s" % (k, "on" if v is True else v)
                                                   for k, v in ADAPTER_ARGS.items() if k != "driver"]),
            "-qmp", "unix:%s,server=on,wait=off" % sock("qmp.sock"),
            "-trace", "usb_serial_handle_control", "-D", sock("trace.log")]
    return args


class Qmp:
    """QEMU's machine protocol on its unix socket: one command at a time,
    each answered within its time; events are kept for wait_event."""

    def __init__(self, path, timeout=20):
        self.events = []
        self._buf = b""
        end = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > end:
                    raise GuestError("no QMP socket at %s" % path)
                time.sleep(0.05)
        self._message(10)  # the greeting
        self.execute("qmp_capabilities")

    def _message(self, timeout):
        end = time.monotonic() + timeout
        while b"\n" not in self._buf:
            left = end - time.monotonic()
            ready, _, _ = select.select([self.sock], [], [], max(0.0, left))
            if not ready:
                raise GuestError("QMP: no answer within %s s" % timeout)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise GuestError("QMP: QEMU closed its socket")
            self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return json.loads(line)

    def execute(self, command, timeout=10, **arguments):
        request = {"execute": command}
        if arguments:
            request["arguments"] = arguments
        self.sock.sendall(json.dumps(request).encode() + b"\n")
        end = time.monotonic() + timeout
        while True:
            message = self._message(max(0.1, end - time.monotonic()))
            if "event" in message:
                self.events.append(message)
                continue
            if "error" in message:
                raise GuestError("QMP %s: %s" % (command, message["error"].get("desc")))
            return message.get("return")

    def wait_event(self, name, timeout=10):
        end = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.events):
                if event["event"] == name:
                    return self.events.pop(i)
            self.events.append(self._message(max(0.1, end - time.monotonic())))

    def close(self):
        self.sock.close()


def shell_word(text):
    """text as one word of the guest's shell."""
    return "'" + str(text).replace("'", "'\\''") + "'"


class Guest:
    """The running guest. cmd() types one command on its console and gives
    what it printed and its exit status."""

    def __init__(self, kernel, initrd, work, log, boot_limit=120):
        self.work = work
        self.trace_path = os.path.join(work, "trace.log")
        # Everything typed and answered, for a look after a failure.
        self.log = open(log, "wb")
        self.started = time.monotonic()
        self.cpu_seconds = None  # QEMU's processor time, once it has ended
        self._children_cpu = _children_cpu()
        self.proc = subprocess.Popen(qemu_command(kernel, initrd, work), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=_die_with_parent)
        self._buf = bytearray()
        self._err = bytearray()
        self._ended = False
        self._cond = threading.Condition()
        self._threads = [threading.Thread(target=self._read, args=(self.proc.stdout, self._buf), daemon=True),
                         threading.Thread(target=self._read, args=(self.proc.stderr, self._err), daemon=True)]
        for t in self._threads:
            t.start()
        self.qmp = None
        self.stuck = None     # why the guest no longer answers
        self.deadline = None  # no command waits past this (monotonic seconds)
        try:
            self.qmp = Qmp(os.path.join(work, "qmp.sock"))
            answer = self._answer(boot_limit)
        except GuestError:
            self.kill()
            raise
        self.boot_seconds = time.monotonic() - self.started
        self.boot_report = answer.decode(errors="replace")

    def _read(self, pipe, into):
        fd = pipe.fileno()
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            with self._cond:
                if chunk:
                    into += chunk
                    if into is self._buf:
                        self.log.write(chunk)
                        self.log.flush()
                elif into is self._buf:
                    self._ended = True
                self._cond.notify_all()
            if not chunk:
                return

    def _answer(self, timeout):
        """The next answer: what came before the separator, and the line after it."""
        end = time.monotonic() + timeout
        with self._cond:
            while True:
                at = self._buf.find(SEPARATOR)
                if at >= 0:
                    nl = self._buf.find(b"\n", at)
                    if nl >= 0:
                        out = bytes(self._buf[:at])
                        status = bytes(self._buf[at + 1:nl])
                        del self._buf[:nl + 1]
                        return out + SEPARATOR + status
                if self._ended:
                    raise GuestError("QEMU ended (status %s): %s; the console ended %r"
                                     % (self.proc.poll(), self._err.decode(errors="replace").strip()[-300:],
                                        bytes(self._buf[-600:])))
                left = end - time.monotonic()
                if left <= 0:
                    raise GuestError("the guest did not answer within %s s (last output %r)"
                                     % (timeout, bytes(self._buf[-200:])))
                self._cond.wait(left)

    def cmd(self, line, timeout=60):
        """Runs one shell command line in the guest; gives (output, status).
        It waits timeout seconds for the answer, and never past the deadline
        (a check's limit); a guest that did not answer no longer counts."""
        if self.stuck:
            raise GuestError("the guest no longer answers: " + self.stuck)
        try:
            if self.deadline is not None:
                left = self.deadline - time.monotonic()
                if left < timeout:
                    timeout = left
                    if left <= 0:
                        raise GuestError("the check ran over its time")
            with self._cond:
                self.log.write(b"\n>>> %.2f " % (time.monotonic() - self.started) + line.encode() + b"\n")
            self.proc.stdin.write(line.encode() + b"\nprintf '\\036%d\\n' $?\n")
            self.proc.stdin.flush()
            answer = self._answer(timeout)
        except (GuestError, OSError) as e:
            self.stuck = "%s: %s" % (line.split()[0] if line.split() else line, e)
            raise GuestError(self.stuck)
        out, _, status = answer.rpartition(SEPARATOR)
        return out, int(status)

    def run(self, *words, timeout=60):
        """cmd() of the words, each quoted for the shell."""
        return self.cmd(" ".join([words[0]] + [shell_word(w) for w in words[1:]]), timeout)

    def ok(self, *words, timeout=60):
        """run(), which must succeed; gives its output as text."""
        out, status = self.run(*words, timeout=timeout)
        if status != 0:
            raise GuestError("%s: status %d: %s" % (" ".join(str(w) for w in words), status,
                                                    out.decode(errors="replace").strip()[-300:]))
        return out.decode(errors="replace")

    # The machine.

    def unplug_adapter(self):
        self.qmp.execute("device_del", id=ADAPTER)
        self.qmp.wait_event("DEVICE_DELETED", 10)

    def plug_adapter(self):
        self.qmp.execute("device_add", **ADAPTER_ARGS)

    def send_break(self, chardev):
        self.qmp.execute("chardev-send-break", id=chardev)

    def trace_mark(self):
        try:
            return os.path.getsize(self.trace_path)
        except OSError:
            return 0

    def trace_since(self, mark):
        """The adapter's control requests since mark: (request, value) pairs."""
        with open(self.trace_path, "rb") as f:
            f.seek(mark)
            text = f.read().decode(errors="replace")
        requests = []
        for line in text.splitlines():
            if "got control" in line:
                parts = line.replace(",", " ").split()
                requests.append((int(parts[parts.index("control") + 1], 16),
                                 int(parts[parts.index("value") + 1], 16)))
        return requests

    def kill(self):
        if self.qmp is not None:
            try:
                self.qmp.close()
            except OSError:
                pass
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=10)
            self.cpu_seconds = _children_cpu() - self._children_cpu
        except subprocess.TimeoutExpired:
            pass
        self.log.close()
        for pipe in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                pipe.close()
            except OSError:
                pass
