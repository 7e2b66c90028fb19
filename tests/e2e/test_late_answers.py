"""Firmware update against loaders whose answers come late, refuse a record
or never come, in combinations drawn at random: the host moves to a record
only once the loader has acknowledged the one before, and reports success
only when every record was acknowledged."""
import os
import random
import unittest

from messages import FW_SUCCEEDED as SUCCEEDED
from qvtest import TempDirCase, firmware_file
from simtest import Sim
from test_firmware import Session, records


def read_trace(path):
    """The loader's trace=PATH file: ("line", N, text) for each record line as
    it arrived and ("answer", N, byte) for each answer as it went out, in order."""
    events = []
    with open(path) as f:
        for raw in f:
            kind, number, rest = raw.rstrip("\n").split(" ", 2)
            events.append((kind, int(number), rest))
    return events


def moves_and_acknowledgements(trace, file_records):
    """Replays the trace against the file's records. Gives the faults found:
    a record sent before the loader had acknowledged the one before it (the
    host took an answer meant for something else), a step back; and the set
    of records the loader acknowledged."""
    faults, carried, acknowledged, current = [], {}, set(), -1
    for kind, number, rest in trace:
        if kind == "line":
            record = file_records.index(rest.encode()) if rest.encode() in file_records else None
            carried[number] = record
            if record is None:
                faults.append("line %d is no record of the file: %s" % (number, rest))
            elif record == current + 1:
                if record > 0 and current not in acknowledged:
                    faults.append("line %d: record %d sent before the loader acknowledged record %d"
                                  % (number, record + 1, current + 1))
                current = record
            elif record != current:
                faults.append("line %d: record %d sent after record %d" % (number, record + 1, current + 1))
        elif rest == "06" and carried.get(number) is not None:
            acknowledged.add(carried[number])
    return faults, acknowledged


# Loaders whose answers are drawn at random: in make test a few, in make soak
# (QV_LOADER_CASES) many. Each case's script is shown with a failure, so the
# same loader can be run again with --opt script=...; QV_LOADER_SEED draws
# another set.
LOADER_CASES = int(os.environ.get("QV_LOADER_CASES", "5"))
LOADER_SEED = int(os.environ.get("QV_LOADER_SEED", "24"))


def drawn_script(rng, lines):
    """Answers to the first lines record lines: most by the loader's own check
    at once; one to four of them late by 0.1 to 1 s, refused (at once or
    late), or never."""
    items = {}
    for number in rng.sample(range(1, lines + 1), rng.randint(1, 4)):
        kind = rng.choice(["late", "late", "refused", "refused late", "silent"])
        refusal = rng.choice(["11", "12", "15", "42"])
        late = rng.randint(100, 1000)
        items[number] = {"late": "06@%d" % late, "refused": refusal, "refused late": "%s@%d" % (refusal, late),
                         "silent": "none"}[kind]
    return ",".join("%d:%s" % (number, items[number]) for number in sorted(items))


def loader(directory, *opts):
    args = ["--mode", "loader", "--manual-power", "--opt", "enq-delay=0"]
    for opt in opts:
        args += ["--opt", opt]
    return Sim(directory, *args)


class LateAnswerTest(TempDirCase):
    def test_late_refused_and_missing_answers(self):
        # The protocol has no sequence numbers: an answer that comes late is
        # taken for the answer to what went next. After a record that went
        # more than once is acknowledged, the host waits for a quiet line, so
        # it moves to a record only once the loader has acknowledged the one
        # before, and it reports success only when every record was.
        path = firmware_file(self.tmp, "seven.hex", 16, 6)
        file_records = records(path)
        rng = random.Random(LOADER_SEED)
        # First two loaders that fooled the host: record 3 answered 300 ms
        # late (its copy at once), then silence on record 4, which took the
        # late answer for its own; and the one of the report (record 3
        # answered 245 ms and then 177 ms late, the next 209 ms late, then
        # silence).
        scripts = ["3:06@300,5:none", "3:06@245,4:06@177,5:06@209,6:none"]
        scripts += [drawn_script(rng, len(file_records) + 4) for _ in range(LOADER_CASES)]
        for script in scripts:
            trace = os.path.join(self.tmp, "trace")
            with self.subTest(script=script), loader(self.tmp, "script=" + script, "trace=" + trace) as sim:
                text = Session(sim, b"firmware 1 " + path.encode() + b"\ny\n\n").finish()
                faults, acknowledged = moves_and_acknowledgements(read_trace(trace), file_records)
                self.assertEqual(faults, [], sim.events())
                self.assertTrue(text.endswith(b"\n" + SUCCEEDED), text[-400:])
                self.assertEqual(acknowledged, set(range(len(file_records))))
                self.assertEqual(text.count(b"\r"), len(file_records))



if __name__ == "__main__":
    unittest.main()
