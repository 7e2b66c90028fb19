#!/usr/bin/env python3
"""The example files that the README and the host's man page show, tried on the
program as they stand: each configuration example must be taken by configure,
each rules example by rules, without an error (scripts/test-docs runs this).

    doc_examples.py HOST SCRATCH_DIR

Status 1 when an example is refused; what the program said is printed.
"""
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def blocks_after(text, heading):
    """The indented blocks of the README section that begins with heading."""
    part = text.split(heading, 1)[1].split("\n## ", 1)[0]
    return ["\n".join(l[4:] for l in b.split("\n"))
            for b in re.findall(r"(?:^    .*\n?)+", part, re.M)]


def man_example(text, intro):
    part = text.split(intro, 1)[1]
    body = part.split(".EX\n", 1)[1].split(".EE", 1)[0]
    return body.replace("\\-", "-")


def main():
    host, tmp = sys.argv[1], sys.argv[2]
    readme = (ROOT / "README.md").read_text()
    page = (ROOT / "doc" / "quorvantis-host.1").read_text()
    cases = [("configure", blocks_after(readme, "## The configuration file")[-1], b"Configuration items processed "),
             ("rules", blocks_after(readme, "## The rules file")[-1], b"Rules processed "),
             ("configure", man_example(page, "A configuration file:"), b"Configuration items processed "),
             ("rules", man_example(page, "A rules file:"), b"Rules processed ")]
    bad = 0
    for i, (command, body, good) in enumerate(cases):
        path = "%s/example%d.txt" % (tmp, i)
        with open(path, "w") as f:
            f.write(body)
        out = subprocess.run([host], input=("%s %s\nexit\n" % (command, path)).encode(),
                             stdout=subprocess.PIPE).stdout
        if b"Error" in out or good not in out:
            print("test-docs: %s of this example fails:\n%s" % (command, body))
            print(out.split(b"Command> ", 1)[-1].decode(errors="replace"))
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
