// A titled hex and character dump of bytes received from the device.
#pragma once

#include <cstdio>

// The title line, chosen by the flags.
enum hexdump_flags : int {
    // 0: "hexdump: [<title>: ]buffer addr 0x<address>, length <n> (0x<n>):"
    HEXDUMP_ADDRESS = 0,
    // Bit 0: "[<title>: ]length <n> (0x<n>):", or "hexdump: length ..." when
    // there is no title at all.
    HEXDUMP_LENGTH = 0x1,
    // Bit 1 without bit 0: "length <n> (0x<n>):", the title not shown. Any
    // other value writes no title line.
    HEXDUMP_LENGTH_ONLY = 0x2,
};

// Writes length bytes at data to stream, 16 to a line, under the title line;
// with group nonzero the column header stands before the first line and
// again after every group lines.
void hexdump(FILE* stream, int flags, const char* title, const void* data, int length, int group);
