"""Plays the device for tests/wine/serial_timing.cpp on a pseudo-terminal: 'x'
and CR are answered at once with one byte, 'q' gets no answer. Points the COM1
link(s) named on the command line at the pseudo-terminal, runs the command
after "--", and prints how long the program took from each answer to its next
request (its own turnaround: the read returning, the next write).

    serial_peer.py LINK... -- COMMAND...
"""
import os
import pty
import select
import subprocess
import sys
import time
import tty


def main():
    split = sys.argv.index("--")
    links, command = sys.argv[1:split], sys.argv[split + 1:]
    master, slave = pty.openpty()
    tty.setraw(slave)
    name = os.ttyname(slave)
    for link in links:
        os.makedirs(os.path.dirname(link), exist_ok=True)
        fresh = link + ".new"
        if os.path.lexists(fresh):
            os.unlink(fresh)
        os.symlink(name, fresh)
        os.replace(fresh, link)
    proc = subprocess.Popen(command)
    turnaround = []
    answered = None
    while proc.poll() is None:
        ready, _, _ = select.select([master], [], [], 0.2)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        seen = time.monotonic()
        for byte in data:
            if byte in (ord("x"), 0x0D):
                if answered is not None:
                    turnaround.append((seen - answered) * 1000)
                os.write(master, b"\x06")
                answered = time.monotonic()
            elif byte == ord("q"):
                answered = None
    rc = proc.wait()
    os.close(master)
    os.close(slave)
    turnaround.sort()
    if turnaround:
        n = len(turnaround)
        print("timing: %-30s n=%d median=%.3f p99=%.3f max=%.3f ms" % (
            "answer to next request", n, turnaround[n // 2], turnaround[min(n - 1, n * 99 // 100)], turnaround[-1]))
    return rc


if __name__ == "__main__":
    sys.exit(main())
