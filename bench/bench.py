#!/usr/bin/env python3
"""Benchmarks of the host against the simulated device on a pseudo-terminal.

Prints one line per figure, "figure: NAME VALUE UNIT", each the median of
several runs, then a short table. A figure that cannot be measured is
printed as "figure: NAME n/a -" with the reason on the table.

    bench.py BUILD_DIR [--runs N] [--long-runs N] [--quick] [--only GROUP,...]
                       [--host PROGRAM] [--sim PROGRAM]
"""
import argparse
import os
import re
import statistics
import sys
import tempfile
import time

# The programs are run by the end-to-end tests' driver.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "e2e"))
from qvproc import Program, Sim, run_program  # noqa: E402

BITS_PER_BYTE = 10


def device(args, tmp, *sim_args, lazy_after=None):
    """The simulator linked as COM1 in a configuration directory under tmp.
    After the report line lazy_after its reports are read a tenth of a second
    at a time, so the bench does not wake up for each record and take the
    processor from the two programs it is timing."""
    return Sim(args.sim, *sim_args, config=os.path.join(tmp, "config"), lazy_after=lazy_after)


PROMPT = rb"Command> $"


def download_run(args, baud, paced):
    """One download of the example configuration and 100 rules, after a
    connect at baud. Gives the wall time from the download command to
    "Disconnected", the line's limit for the exchange that took place (every
    byte each way at 10 bits a byte, plus the drain read's full wait, during
    which the 10 bytes of the command go out), and the simulator's
    turnaround stamps in microseconds (paced: from the reply's last bit to
    the next packet's first byte noticed)."""
    station = os.path.join(args.source, "examples", "station.cfg")
    rules = os.path.join(args.source, "tests", "e2e", "data", "rules100.txt")
    sim_args = ["--power-delay", "0", "--opt", "dl_quiet=1", "--stamp"]
    if paced:
        sim_args += ["--pace-exact", str(baud)]
    with tempfile.TemporaryDirectory() as tmp, device(args, tmp, *sim_args, lazy_after="mode download") as sim:
        with Program([args.host], env=sim.env) as host:
            host.send(b"configure %s\nrules %s\nconnect 1 %d\n" % (station.encode(), rules.encode(), baud))
            if host.when(re.compile(rb"Connected at %d\n" % baud + PROMPT), 60) is None:
                raise RuntimeError("no connection: " + host.out[-200:].decode(errors="replace"))
            mark = host.mark()
            start = time.monotonic()
            host.send(b"download\n")
            done = host.when(re.compile(rb"Disconnected\n"), 60, mark)
            out = host.since(mark)
            if done is None or b"succeeded" not in out or b"Error" in out:
                raise RuntimeError("the download failed: " + out[-300:].decode(errors="replace"))
            host.finish(b"exit\n")
        sim.wait_for(lambda l: l == "closed", 10)
    lines = sim.lines()
    # What crossed the line: each packet as received, one reply byte after each.
    sizes = [int(m.group(1)) for m in (re.match(r"dl packet \d+ length (\d+) ", l) for l in lines) if m]
    if len(sizes) < 52:
        raise RuntimeError("the device saw %d packets" % len(sizes))
    drain_ms = 64 * (10000 // baud) + 10 + 10
    line_bytes = sum(sizes) + len(sizes)
    limit = drain_ms / 1000.0 + line_bytes * BITS_PER_BYTE / baud
    # Turnarounds: from an ACK to the first bytes of the next packet.
    turns = []
    for before, after in zip(lines, lines[1:]):
        if before.startswith("dl packet ") and before.endswith("reply 06") and after.startswith("turnaround "):
            turns.append(int(after.split()[1]) / 1000.0)
    return done - start, limit, line_bytes, turns


def where_note(walls, limits, exchanges, turns):
    """Where the time over the line's limit went, per exchange: in all, and
    in the gaps from the device's reply to the host's next bytes."""
    over = statistics.median(w - l for w, l in zip(walls, limits)) / exchanges * 1e6
    if not turns:
        return "%.0f us over the line an exchange" % over
    return "%.0f us over the line an exchange, of which %.0f us (mean; median %.0f) from the device's " \
           "reply to the host's next bytes" % (over, statistics.mean(turns), statistics.median(turns))


def percentile(values, fraction):
    """The value below which the given fraction of the sorted values lie
    (nearest rank)."""
    ordered = sorted(values)
    rank = max(1, min(len(ordered), int(-(-fraction * len(ordered) // 1))))
    return ordered[rank - 1]


def hex_image(path, size, record_size):
    """An image of size bytes in records of record_size data bytes, and the
    record lines (without line ends)."""
    lines = []
    for address in range(0, size, record_size):
        data = bytes((address + i) * 7 & 0xFF for i in range(record_size))
        body = bytes([record_size, address >> 8 & 0xFF, address & 0xFF, 0]) + data
        lines.append(":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF))
    lines.append(":00000001FF")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return lines


def firmware_run(args, baud, image, records, extra=()):
    """Wall time from the first record to the final progress line, the line's
    limit for the same exchange, and the simulator's turnaround stamps in
    microseconds (from a record's ACK to the next record's first byte)."""
    byte_s = BITS_PER_BYTE / baud
    # Every record line and its CR to the device, one status byte back.
    limit = sum(len(r) + 1 + 1 for r in records) * byte_s
    with tempfile.TemporaryDirectory() as tmp, \
            device(args, tmp, "--mode", "loader", "--manual-power", "--pace-exact", str(baud), "--opt", "enq-delay=0",
                   "--stamp", *extra, lazy_after="loader identifier") as sim, \
            Program([args.host], env=sim.env, limit=1200) as host:
        host.send(b"firmware 1 " + image.encode() + b"\ny\n\n")
        if host.when(re.compile(rb"seconds to do this\.\.\."), 30) is None:
            raise RuntimeError("no power-on request from the host")
        sim.power_on()
        identified = sim.when(lambda l: l == "loader identifier", 30)
        if identified is None:
            raise RuntimeError("the loader was not identified")

        def near_end(tail):
            # Within a second of the end by the progress line's percentage.
            shown = re.findall(rb" (\d+\.\d)% ", tail)
            return bool(shown) and (100.0 - float(shown[-1])) / 100.0 * limit < 1.0

        # The progress is read a tenth of a second at a time until the end is near.
        host.eager = near_end
        done = host.when(re.compile(rb"100\.0%={59}"), 900)
        if done is None:
            raise RuntimeError("no final progress line")
        host.finish(b"exit\n")
    # The first record starts when the identifier's ACK has reached the host.
    start = identified + byte_s
    lines = sim.lines()
    turns = [int(after.split()[1]) / 1000.0 for before, after in zip(lines, lines[1:])
             if before.startswith("loader line ") and before.endswith(" 06") and after.startswith("turnaround ")]
    return (done - start) / limit, done - start, limit, turns


def timeout_runs(args, timeouts):
    """One probe run against a silent device: measured minus computed, in ms."""
    with tempfile.TemporaryDirectory() as tmp, device(args, tmp, "--manual-power") as sim:
        out, err, rc = run_program([args.probe, "COM1", "19200"] + [str(t) for t in timeouts], env=sim.env,
                                   timeout=60)
    if rc != 0:
        raise RuntimeError("probe failed: " + err.decode(errors="replace").strip())
    errors = {}
    for line in out.decode().splitlines():
        timeout, computed, measured_us, got = (int(x) for x in line.split())
        if got != 0:
            raise RuntimeError("a byte arrived during the time-out probe")
        errors[timeout] = measured_us / 1000.0 - computed
    return errors


def startup_run(args):
    """One "echo exit | quorvantis-host": wall time in ms and peak memory in
    KiB, measured by qv-run-timer (a small parent, so the peak is the host's)."""
    out, err, rc = run_program([args.timer, "exit\n", args.host], timeout=30)
    if rc != 0:
        raise RuntimeError("qv-run-timer failed: " + err.decode(errors="replace").strip())
    took_us, peak_kib, code = (int(x) for x in out.split())
    if code != 0:
        raise RuntimeError("the host ended with %d" % code)
    return took_us / 1000.0, peak_kib


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--long-runs", type=int, default=5, help="runs of the long transfers")
    parser.add_argument("--quick", action="store_true",
                        help="one run of each, a 4 KiB firmware image: a smoke run, not figures")
    parser.add_argument("--host", help="the host program (default BUILD/quorvantis-host)")
    parser.add_argument("--sim", help="the simulator (default BUILD/quorvantis-sim)")
    parser.add_argument("--only", default="", help="comma-separated groups: download,turnaround,firmware,timeout,startup")
    args = parser.parse_args()
    if args.quick:
        args.runs = args.long_runs = 1
    args.source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    args.host = args.host or os.path.join(args.build, "quorvantis-host")
    args.sim = args.sim or os.path.join(args.build, "quorvantis-sim")
    args.probe = os.path.join(args.build, "qv-timeout-probe")
    args.timer = os.path.join(args.build, "qv-run-timer")
    figures = []  # (name, value or None, unit, runs, load when done, note)
    print("machine: %d cores, load average at the start %.2f %.2f %.2f" % (os.cpu_count() or 0, *os.getloadavg()),
          flush=True)

    def figure(name, value, unit, runs, note):
        figures.append((name, value, unit, runs, os.getloadavg()[0], note))
        if value is None:
            print("figure: %s n/a -" % name, flush=True)
        else:
            print("figure: %s %s %s" % (name, value, unit), flush=True)

    groups = [g for g in args.only.split(",") if g]

    def want(group):
        return not groups or group in groups

    # Download of the example configuration and 100 rules at 9600 baud.
    if want("download"):
        ratios, walls, limits, line_bytes, all_turns = [], [], [], 0, []
        try:
            for _ in range(args.long_runs):
                wall, limit, line_bytes, turns = download_run(args, 9600, True)
                ratios.append(wall / limit)
                walls.append(wall)
                limits.append(limit)
                all_turns += turns
            figure("download_9600_ratio", "%.4f" % statistics.median(ratios), "ratio", len(ratios),
                   "wall %.3f s against a limit of %.3f s (%d bytes both ways + the 84 ms drain read); %s; "
                   "runs %s" % (statistics.median(walls), statistics.median(limits), line_bytes,
                                where_note(walls, limits, 52, all_turns), " ".join("%.4f" % r for r in ratios)))
        except (RuntimeError, AssertionError) as e:
            figure("download_9600_ratio", None, "", len(ratios), str(e))

    # Host turnaround: the ACK's last bit out to the next packet's first byte
    # in, on a paced line. (An unpaced line answers each packet while the host
    # still spends the packet's line time in its write, as a Windows write
    # does: the gap would be that time, not the host's.)
    if want("turnaround"):
        medians, p99s, count = [], [], 0
        try:
            for _ in range(args.runs):
                _, _, _, turns = download_run(args, 9600, True)
                if not turns:
                    raise RuntimeError("no turnaround stamps from the simulator")
                medians.append(statistics.median(turns))
                p99s.append(percentile(turns, 0.99))
                count = len(turns)
            note = "%d turnarounds a download; medians by run %s" % (count, " ".join("%.1f" % m for m in medians))
            figure("host_turnaround_us_median", "%.1f" % statistics.median(medians), "us", len(medians), note)
            figure("host_turnaround_us_p99", "%.1f" % statistics.median(p99s), "us", len(p99s),
                   "p99 by run " + " ".join("%.1f" % p for p in p99s))
        except (RuntimeError, AssertionError) as e:
            figure("host_turnaround_us_median", None, "", len(medians), str(e))
            figure("host_turnaround_us_p99", None, "", len(p99s), str(e))

    # Firmware: 64 KiB (4 KiB when quick) in 16-byte records at 19200 baud.
    if want("firmware"):
        with tempfile.TemporaryDirectory() as tmp:
            image = os.path.join(tmp, "image.hex")
            records = hex_image(image, 4096 if args.quick else 65536, 16)
            ratios, walls, limits, all_turns = [], [], [], []
            try:
                for _ in range(args.long_runs):
                    ratio, wall, limit, turns = firmware_run(args, 19200, image, records)
                    ratios.append(ratio)
                    walls.append(wall)
                    limits.append(limit)
                    all_turns += turns
                figure("firmware_19200_ratio", "%.4f" % statistics.median(ratios), "ratio", len(ratios),
                       "wall %.2f s against a limit of %.2f s (%d records); %s; runs %s" % (
                           statistics.median(walls), limits[0], len(records),
                           where_note(walls, limits, len(records), all_turns),
                           " ".join("%.4f" % r for r in ratios)))
            except (RuntimeError, AssertionError) as e:
                figure("firmware_19200_ratio", None, "", len(ratios), str(e))

    # Read time-outs against the computed totals.
    if want("timeout"):
        timeouts = [20, 110, 2010, 5011]
        try:
            worst = []
            per_timeout = {t: [] for t in timeouts}
            for _ in range(args.runs):
                errors = timeout_runs(args, timeouts)
                for t in timeouts:
                    per_timeout[t].append(errors[t])
                worst.append(max(abs(e) for e in errors.values()))
            figure("timeout_error_ms_max", "%.3f" % statistics.median(worst), "ms", len(worst),
                   "median error by time-out: " + ", ".join(
                       "%d ms %+.3f" % (t, statistics.median(per_timeout[t])) for t in timeouts))
        except (RuntimeError, AssertionError) as e:
            figure("timeout_error_ms_max", None, "", 0, str(e))

    # Start-up and memory of "echo exit | quorvantis-host".
    if want("startup"):
        times, rss = [], []
        try:
            for _ in range(max(args.runs, 5) * 2):
                took, peak = startup_run(args)
                times.append(took)
                rss.append(peak)
            figure("startup_ms", "%.2f" % statistics.median(times), "ms", len(times),
                   "min %.2f max %.2f" % (min(times), max(times)))
            figure("peak_rss_kib", "%d" % statistics.median(rss), "KiB", len(rss), "max %d" % max(rss))
        except (RuntimeError, AssertionError) as e:
            figure("startup_ms", None, "", len(times), str(e))
            figure("peak_rss_kib", None, "", len(rss), str(e))

    load = os.getloadavg()
    print()
    if args.quick:
        print("quick run: one run each, a 4 KiB firmware image; these are no figures to quote")
    print("machine: %d cores, load average at the end %.2f %.2f %.2f" % (os.cpu_count() or 0, *load))
    print("%-26s %10s %-5s %4s %5s  %s" % ("figure", "value", "unit", "runs", "load", "note"))
    for name, value, unit, runs, at_load, note in figures:
        print("%-26s %10s %-5s %4d %5.2f  %s" % (name, "n/a" if value is None else value, unit, runs, at_load, note))
    return 0


if __name__ == "__main__":
    sys.exit(main())
