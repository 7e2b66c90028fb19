#!/usr/bin/env python3
"""make demo: the whole job against the simulated device, without typing.

Reads the example station configuration and rules, connects to the simulated
device on COM1, downloads both images, disconnects, then replaces the firmware
from the example HEX file through the simulated loader. Prints the console
session with the commands and answers filled in where they were typed, and
after each session what the device reported it received.

The simulator runs in a private configuration directory, so the operator's own
~/.config/quorvantis/com links are never touched.
"""
import os
import shutil
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
# The programs are run by the end-to-end tests' driver.
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from qvproc import Sim, run_program  # noqa: E402

HOST = os.environ.get("QV_HOST", os.path.join(ROOT, "build", "quorvantis-host"))
SIM = os.environ.get("QV_SIM", os.path.join(ROOT, "build", "quorvantis-sim"))
EXAMPLES = os.path.join(ROOT, "examples")

# (what is typed, the prompt text that asks for it)
DEVICE_SESSION = [
    ("configure examples/station.cfg", b"Command> "),
    ("dconfigure", b"Command> "),
    ("rules examples/rules.txt", b"Command> "),
    ("drules", b"Command> "),
    ("connect 1", b"Command> "),
    ("download", b"Command> "),
    ("exit", b"Command> "),
]
FIRMWARE_SESSION = [
    ("firmware 1 examples/firmware.hex", b"Command> "),
    ("y", b"[n]: "),
    ("", b"ready to continue..."),
    ("exit", b"Command> "),
]


def fail(text):
    print("run-demo: " + text, file=sys.stderr)
    sys.exit(1)


def show_session(out, script):
    """The console output with each typed line put back after its prompt."""
    text = out.replace(b"\a", b"")
    shown = b""
    pos = 0
    for typed, prompt in script:
        at = text.find(prompt, pos)
        if at < 0:
            break
        end = at + len(prompt)
        shown += text[pos:end] + typed.encode() + b"\n"
        pos = end
    shown += text[pos:]
    if not sys.stdout.isatty():
        # Keep only the last state of each redrawn progress line.
        shown = b"\n".join(line.split(b"\r")[-1] for line in shown.split(b"\n"))
    sys.stdout.write(shown.decode("utf-8", "replace"))


def condensed(report):
    """The report with runs of acknowledged loader records folded into one line."""
    shown, run = [], []

    def flush():
        if len(run) > 2:
            shown.append("%s ... %s  (%d records acknowledged)" % (run[0], run[-1], len(run)))
        else:
            shown.extend(run)
        run.clear()

    for line in report:
        if line.startswith("dl packet "):
            continue  # the download report below lists every packet
        if line.startswith("loader line ") and line.endswith(" 06"):
            run.append(line)
            continue
        flush()
        shown.append(line)
    flush()
    return shown


def wrapped(line):
    """A long line of hex bytes ("conf: 00 E1 ...") as rows of 16 with offsets."""
    name, _, rest = line.partition(": ")
    data = rest.split()
    if name not in ("conf", "rules") or len(data) <= 16:
        return line
    rows = ["%s, %d bytes:" % (name, len(data))]
    for at in range(0, len(data), 16):
        rows.append("  %4d  %s" % (at, " ".join(data[at:at + 16])))
    return "\n".join(rows)


def records(path):
    with open(path, encoding="ascii", errors="replace") as f:
        return [line.rstrip("\r\n") for line in f if line.startswith(":")]


def run_session(title, config_dir, sim_args, script):
    print("=" * 78)
    print(title)
    print("=" * 78)
    # quorvantis-sim attached as COM1 in the private configuration directory.
    try:
        sim = Sim(SIM, *sim_args, config=config_dir)
    except RuntimeError as error:
        fail(str(error))
    stdin = "".join(typed + "\n" for typed, _ in script).encode()
    with sim:
        try:
            out, _, rc = run_program([HOST], stdin, env=sim.env, cwd=ROOT, timeout=300)
        except AssertionError as error:
            fail("the console did not finish within 5 minutes: %s" % error)
        # The device reports the last bytes it got before it is switched off.
        sim.wait_for(lambda line: line in ("closed", "unplugged"), 5)
    report = sim.lines()
    show_session(out, script)
    print()
    print("-" * 78)
    print("What the simulated device reported:")
    print("-" * 78)
    for line in condensed(report):
        print("  " + line)
    print()
    return rc, out


def main():
    for program in (HOST, SIM):
        if not os.access(program, os.X_OK):
            fail(program + " is not built (make build)")
    for name in ("station.cfg", "rules.txt", "firmware.hex"):
        if not os.path.exists(os.path.join(EXAMPLES, name)):
            fail("examples/" + name + " is missing")
    config_dir = tempfile.mkdtemp(prefix="qv-demo-")
    received = os.path.join(config_dir, "download-report.txt")
    loaded = os.path.join(config_dir, "firmware-received.hex")
    try:
        rc, out = run_session("Configuration, rules, connect and download (simulated device on COM1)",
                              config_dir, ["--opt", "dl_report=" + received], DEVICE_SESSION)
        ok = (rc == 0 and b"Downloading Configuration succeeded\n" in out
              and b"Downloading Rules succeeded\n" in out and b"Download failed" not in out)
        if os.path.exists(received):
            print("-" * 78)
            print("What the simulated device received in the download:")
            print("-" * 78)
            with open(received, encoding="utf-8", errors="replace") as f:
                for line in f.read().splitlines():
                    print(wrapped(line))
            print()
        else:
            ok = False
        rc2, out2 = run_session("Firmware update (simulated device loader on COM1)", config_dir,
                                ["--mode", "loader", "--opt", "out=" + loaded], FIRMWARE_SESSION)
        ok2 = rc2 == 0 and b"Firmware update succeeded!\n" in out2
        if os.path.exists(loaded):
            sent, got = records(os.path.join(EXAMPLES, "firmware.hex")), records(loaded)
            same = sent == got
            print("The loader accepted %d records; %s examples/firmware.hex." %
                  (len(got), "they equal the records of" if same else "they DIFFER from"))
            print()
            ok2 = ok2 and same
        else:
            ok2 = False
    finally:
        shutil.rmtree(config_dir, ignore_errors=True)
    print("demo: download %s, firmware update %s" % ("succeeded" if ok else "FAILED",
                                                      "succeeded" if ok2 else "FAILED"))
    return 0 if ok and ok2 else 1


if __name__ == "__main__":
    sys.exit(main())
