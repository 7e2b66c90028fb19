#!/usr/bin/env python3
"""Checks the maintainer's note, doc/architecture.md, against the source.

- Its Layers section names every folder of src/ (and of src/platform/) as
  `name/`, and src/main.cpp.
- Its list of the behaviours a maintainer must keep ("- `name`: why", under
  the heading "Behaviours a maintainer must keep") and the one-line comments
  "// Deliberate (name): ..." in src/ agree both ways: every listed name has
  at least one such comment, and every such comment's name is listed once.
- The README points to the note.

Usage: tests/docs/check_architecture.py [--root DIR]. Exits 1 on any
disagreement, naming what is missing where.
"""
import os
import re
import sys

# The layer check's walk over the sources (every .h and .cpp below a folder).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "layers"))
from check_layers import sources  # noqa: E402

NOTE = os.path.join("doc", "architecture.md")
BEHAVIOURS_HEADING = "## Behaviours a maintainer must keep"
LISTED = re.compile(r"^- `([a-z0-9-]+)`: \S")
MARK = re.compile(r"//\s*Deliberate \(([^)]*)\):(.*)$")
NAME = re.compile(r"^[a-z0-9]+(-[a-z0-9]+)*$")


def section(text, heading):
    """The text under heading, up to the next heading of the same level."""
    level = heading.split(" ", 1)[0] + " "
    if heading not in text:
        return None
    body = text.split(heading, 1)[1]
    ends = [m.start() for m in re.finditer(r"^%s" % re.escape(level), body, re.M)]
    return body[:ends[0]] if ends else body


def marks(root):
    """name -> the places (file:line) of its Deliberate comments, and faults
    of comments that are not well formed."""
    found = {}
    faults = []
    src = os.path.join(root, "src")
    for path in sources(src):
        relative = os.path.relpath(path, root).replace(os.sep, "/")
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                m = MARK.search(line)
                if not m:
                    continue
                where = "%s:%d" % (relative, number)
                name, why = m.group(1), m.group(2).strip()
                if not NAME.match(name):
                    faults.append("%s: the name %r of a Deliberate comment is not lower-case words joined by '-'"
                                  % (where, name))
                elif not why:
                    faults.append("%s: the Deliberate comment of %s says nothing after its name" % (where, name))
                found.setdefault(name, []).append(where)
    return found, faults


def check(root):
    faults = []
    path = os.path.join(root, NOTE)
    if not os.path.isfile(path):
        return ["%s is missing" % NOTE]
    with open(path, encoding="utf-8") as f:
        note = f.read()

    layers = section(note, "## Layers")
    if layers is None:
        faults.append("%s has no Layers section" % NOTE)
    else:
        src = os.path.join(root, "src")
        folders = [d for d in sorted(os.listdir(src)) if os.path.isdir(os.path.join(src, d))]
        platform = os.path.join(src, "platform")
        folders += [d for d in sorted(os.listdir(platform)) if os.path.isdir(os.path.join(platform, d))]
        for folder in folders:
            if "`%s/`" % folder not in layers:
                faults.append("%s: the Layers section does not name the folder %s/" % (NOTE, folder))
        if "`main.cpp`" not in layers:
            faults.append("%s: the Layers section does not name main.cpp" % NOTE)

    behaviours = section(note, BEHAVIOURS_HEADING)
    listed = []
    if behaviours is None:
        faults.append("%s has no section '%s'" % (NOTE, BEHAVIOURS_HEADING[3:]))
    else:
        for line in behaviours.splitlines():
            m = LISTED.match(line)
            if m:
                listed.append(m.group(1))
        if not listed:
            faults.append("%s lists no behaviour ('- `name`: why') under '%s'" % (NOTE, BEHAVIOURS_HEADING[3:]))
    for name in sorted({n for n in listed if listed.count(n) > 1}):
        faults.append("%s lists the behaviour %s more than once" % (NOTE, name))

    found, mark_faults = marks(root)
    faults += mark_faults
    for name in listed:
        if name not in found:
            faults.append("%s lists %s, but no comment '// Deliberate (%s): ...' in src/ marks it"
                          % (NOTE, name, name))
    for name, places in sorted(found.items()):
        if name not in listed:
            faults.append("%s: the Deliberate comment of %s is not listed in %s" % (places[0], name, NOTE))

    readme = os.path.join(root, "README.md")
    with open(readme, encoding="utf-8") as f:
        if NOTE.replace(os.sep, "/") not in f.read():
            faults.append("README.md does not point to %s" % NOTE)
    return faults


def main(argv):
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    if len(argv) == 2 and argv[0] == "--root":
        root = argv[1]
    elif argv:
        print("usage: check_architecture.py [--root DIR]", file=sys.stderr)
        return 2
    faults = check(os.path.normpath(root))
    for fault in faults:
        print("check_architecture: " + fault)
    if faults:
        return 1
    found, _ = marks(os.path.normpath(root))
    print("check_architecture: %d behaviours listed, each marked in src/ (%d comments)"
          % (len(found), sum(len(p) for p in found.values())))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
