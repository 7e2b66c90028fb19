"""The layer check finds what it is there to find: trees of a few files, each
with one include of a kind, and whether the check lets it pass."""
import os
import tempfile
import unittest

from check_layers import check


def tree(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)


# A tree that keeps the rule: every folder includes only those below it.
GOOD = {
    "src/platform/platform.h": "#pragma once\n#include <cstdio>\n",
    "src/platform/posix/platform_posix.cpp": '#include "platform/platform.h"\n',
    "src/console/console.h": '#include "platform/platform.h"\n',
    "src/serial/serial_port.h": '#include "console/console.h"\n',
    "src/serial/serial_port.cpp": '#include "serial/serial_port.h"\n#include "version.h"\n',
    "src/download/dwn_sequence.h": '#include "serial/serial_port.h"\n',
    "src/firmware/fw_loader.h": '#include "console/console.h"\n',
    "src/shell/command_shell.h": "#pragma once\n",
    "src/shell/command_shell.cpp": '#include "download/dwn_sequence.h"\n#include "firmware/fw_loader.h"\n',
    "src/main.cpp": '#include "shell/command_shell.h"\n',
    "sim/sim_device.h": '#include <string>\n',
    "sim/sim_core.cpp": '#include "sim_device.h"\n',
}


class CheckLayers(unittest.TestCase):
    def faults(self, extra):
        with tempfile.TemporaryDirectory() as root:
            tree(root, {**GOOD, **extra})
            return check(root)[0]

    def test_a_tree_that_keeps_the_rule_passes(self):
        self.assertEqual(self.faults({}), [])

    def test_each_kind_of_fault_is_found(self):
        rows = [
            ("up", {"src/console/hexdump.cpp": '#include "shell/command_shell.h"\n'},
             'src/console/hexdump.cpp:1: includes "shell/command_shell.h" from shell/, above console/'),
            ("platform takes from above", {"src/platform/posix/serial_posix.cpp": '#include "console/console.h"\n'},
             'src/platform/posix/serial_posix.cpp:1: includes "console/console.h" from console/, above platform/'),
            ("beside", {"src/firmware/fw_loader.cpp": '\n#include "download/dwn_sequence.h"\n'},
             'src/firmware/fw_loader.cpp:2: includes "download/dwn_sequence.h" from download/, beside firmware/'),
            ("no such header", {"src/serial/baud_table.cpp": '#include "serial/baud.h"\n'},
             'src/serial/baud_table.cpp:1: includes "serial/baud.h", which is no header under src/'),
            ("a folder of no level", {"src/extra/x.cpp": '#include "console/console.h"\n'},
             "src/extra/x.cpp: the folder extra/ has no place in LEVELS"),
            ("the simulator takes the program's", {"sim/sim_main.cpp": '#include "console/console.h"\n'},
             'sim/sim_main.cpp:1: includes "console/console.h", which is not the simulator\'s own'),
        ]
        for name, extra, fault in rows:
            with self.subTest(name):
                self.assertEqual(self.faults(extra), [fault])


if __name__ == "__main__":
    unittest.main()
