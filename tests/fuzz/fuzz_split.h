// Cutting one fuzz input into parts at the line "%%".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct fuzz_part {
    const uint8_t* data;
    size_t size;
};

// Fills up to max parts and returns how many there are (at least 1); the last
// part holds the rest of the input.
inline int fuzz_split(const uint8_t* data, size_t size, fuzz_part* parts, int max) {
    static const char mark[] = "\n%%\n";
    constexpr size_t mark_size = sizeof mark - 1;
    int count = 0;
    size_t start = 0;
    while (count < max - 1) {
        size_t at = start;
        bool found = false;
        while (at + mark_size <= size) {
            if (std::memcmp(data + at, mark, mark_size) == 0) {
                found = true;
                break;
            }
            ++at;
        }
        if (!found) break;
        parts[count++] = fuzz_part{data + start, at - start + 1};  // keeps the line feed
        start = at + mark_size;
    }
    parts[count++] = fuzz_part{data + start, size - start};
    return count;
}
