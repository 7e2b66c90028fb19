#include "console/hexdump.h"

#include <cinttypes>
#include <cstdint>
#include <cstring>

#include "console/console.h"

namespace {
const char hex_digits[] = "0123456789abcdef";
const char column_header[] =
    "Dec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n";

// The columns of a dump line: the offset in decimal and hex ("%4u %04x|",
// columns 0 to 9), bytes 0 to 7 in hex from column 11, three columns apart,
// bytes 8 to 15 from column 37 (a wider gap between the halves), '|' in
// column 61, and from column 63 the bytes as characters.
constexpr int BYTES_PER_LINE = 16;
constexpr int HALF_LINE = 8;
constexpr int COL_LOW_HALF = 11;
constexpr int COL_HIGH_HALF = 37;
constexpr int HEX_STEP = 3;
constexpr int COL_BAR = 61;
constexpr int COL_CHARS = 63;
// The longest line: the characters of 16 bytes and the line feed.
constexpr int LINE_LENGTH = COL_CHARS + BYTES_PER_LINE + 1;

// One line of at most 16 bytes at offset.
void dump_line(FILE* stream, const uint8_t* bytes, int count, int offset) {
    char line[LINE_LENGTH];
    std::memset(line, ' ', sizeof line);
    char head[24];
    unsigned where = static_cast<unsigned>(offset);
    int head_length = std::snprintf(head, sizeof head, "%4u %04x|", where % 10000u, where & 0xffffu);
    std::memcpy(line, head, static_cast<size_t>(head_length));
    for (int k = 0; k < count; ++k) {
        int col = k < HALF_LINE ? COL_LOW_HALF + HEX_STEP * k : COL_HIGH_HALF + HEX_STEP * (k - HALF_LINE);
        line[col] = hex_digits[bytes[k] >> 4];
        line[col + 1] = hex_digits[bytes[k] & 0x0f];
    }
    line[COL_BAR] = '|';
    int end = COL_CHARS;
    for (int k = 0; k < count; ++k) {
        uint8_t b = bytes[k];
        line[end++] = (b >= 0x20 && b <= 0x7e) ? static_cast<char>(b) : '.';
    }
    line[end++] = '\n';
    std::fwrite(line, 1, static_cast<size_t>(end), stream);
}
}  // namespace

void hexdump(FILE* stream, int flags, const char* title, const void* data, int length, int group) {
    if (stream == nullptr) {
        // The stream itself cannot take the message: the console does.
        con_print("hexdump: invalid param file ptr\n");
        return;
    }
    if (data == nullptr) {
        std::fputs("hexdump: invalid param buf ptr\n", stream);
        return;
    }
    if (length < 0) {
        std::fprintf(stream, "hexdump: invalid param len %d\n", length);
        return;
    }
    const char* separator = (title != nullptr && title[0] != '\0') ? ": " : "";
    unsigned ulength = static_cast<unsigned>(length);
    if (flags == HEXDUMP_ADDRESS) {
        // The address is shown as "0x" and its digits once, on every platform.
        uintptr_t address = reinterpret_cast<uintptr_t>(data);
        if (title == nullptr) {
            std::fprintf(stream, "hexdump: buffer addr 0x%" PRIxPTR ", length %d (0x%x):\n", address, length,
                         ulength);
        } else {
            std::fprintf(stream, "hexdump: %s%sbuffer addr 0x%" PRIxPTR ", length %d (0x%x):\n", title, separator,
                         address, length, ulength);
        }
    } else if ((flags & HEXDUMP_LENGTH) != 0) {
        if (title == nullptr) {
            std::fprintf(stream, "hexdump: length %d (0x%x):\n", length, ulength);
        } else {
            std::fprintf(stream, "%s%slength %d (0x%x):\n", title, separator, length, ulength);
        }
    } else if ((flags & HEXDUMP_LENGTH_ONLY) != 0) {
        std::fprintf(stream, "length %d (0x%x):\n", length, ulength);
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    int lines = 0;
    for (int offset = 0; offset < length; offset += BYTES_PER_LINE) {
        if (group != 0 && lines % group == 0) {
            if (lines != 0) std::fputs("\n", stream);
            std::fputs(column_header, stream);
        }
        int count = length - offset < BYTES_PER_LINE ? length - offset : BYTES_PER_LINE;
        dump_line(stream, bytes + offset, count, offset);
        ++lines;
    }
}
