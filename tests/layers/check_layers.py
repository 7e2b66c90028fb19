#!/usr/bin/env python3
"""Checks that the program's includes point down its layers only.

The folders of src/ stand in one order, from the bottom:

    platform/  console/  common/  serial/  config/  rules/  download/ firmware/  shell/

and src/main.cpp above them all. A file may include headers of its own folder
and of the folders below it, never one above it or one beside it (download/
and firmware/ share a level and know nothing of each other), so the folders
form no cycle. platform/posix/ and platform/win32/ belong to platform/. The
one header from outside src/ is version.h, which the build makes from the
file VERSION and which includes nothing.

The simulator (sim/) is the program's oracle: its files include none but
its own.

Usage: tests/layers/check_layers.py [--graph] [--root DIR]
--graph prints each folder and the folders its files include; --root checks
another tree than this one. Exits 1 on any include that breaks the rule,
naming the file, the line and the header.
"""
import os
import re
import sys

# The levels from the bottom; the folders of one level may not include each other.
LEVELS = [
    ["platform"],
    ["console"],
    ["common"],
    ["serial"],
    ["config"],
    ["rules"],
    ["download", "firmware"],
    ["shell"],
    ["main.cpp"],
]
GENERATED = {"version.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def level_of(folder):
    for level, folders in enumerate(LEVELS):
        if folder in folders:
            return level
    return None


def sources(top):
    for directory, _, files in sorted(os.walk(top)):
        for name in sorted(files):
            if name.endswith((".h", ".cpp")):
                yield os.path.join(directory, name)


def includes(path):
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m:
                yield number, m.group(1)


def folder_of(relative):
    return relative.split("/", 1)[0]


def check(root):
    """The faults found under root, and the folder graph of src/ (folder ->
    the set of other folders its files include)."""
    src = os.path.join(root, "src")
    faults = []
    graph = {}
    for path in sources(src):
        relative = os.path.relpath(path, src).replace(os.sep, "/")
        folder = folder_of(relative)
        level = level_of(folder)
        if level is None:
            faults.append(f"src/{relative}: the folder {folder}/ has no place in LEVELS")
            continue
        graph.setdefault(folder, set())
        for number, header in includes(path):
            if header in GENERATED:
                continue
            if not os.path.isfile(os.path.join(src, header)):
                faults.append(f"src/{relative}:{number}: includes \"{header}\", which is no header under src/")
                continue
            target = folder_of(header)
            if target == folder:
                continue
            graph[folder].add(target)
            target_level = level_of(target)
            if target_level is None or target_level >= level:
                where = "beside" if target_level == level else "above"
                faults.append(f"src/{relative}:{number}: includes \"{header}\" from {target}/, {where} {folder}/")
    for path in sources(os.path.join(root, "sim")):
        relative = os.path.relpath(path, root).replace(os.sep, "/")
        for number, header in includes(path):
            if not os.path.isfile(os.path.join(os.path.dirname(path), header)):
                faults.append(f"{relative}:{number}: includes \"{header}\", which is not the simulator's own")
    return faults, graph


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if "--root" in argv:
        root = argv[argv.index("--root") + 1]
    faults, graph = check(root)
    if "--graph" in argv:
        for level in LEVELS:
            for folder in level:
                if folder in graph:
                    below = sorted(graph[folder], key=lambda f: (level_of(f), f))
                    print(f"{folder:9} -> {' '.join(below) if below else '(nothing)'}")
    for fault in faults:
        print(f"check_layers: {fault}")
    if faults:
        print(f"check_layers: {len(faults)} include(s) against the layers")
        return 1
    print("check_layers: every include of src/ points down the layers; sim/ includes only its own")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
