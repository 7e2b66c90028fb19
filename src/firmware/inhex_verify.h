// Checking an Intel HEX firmware file before any of it goes to the device.
#pragma once

#include <cstdint>
#include <cstdio>

// What inhexverify returns instead of a record count: the first check a
// record failed.
enum inhex_result : int {
    INHEX_ERR_NO_FILE = -1,
    INHEX_ERR_CHECKSUM = -2,
    INHEX_ERR_TYPE = -3,        // a record type other than 00 to 05
    INHEX_ERR_LENGTH = -4,      // a line length that does not match its byte count
    INHEX_ERR_TOO_LONG = -5,    // a byte count over 128
    INHEX_ERR_BOUNDARY = -6,    // a data record not at a multiple of 4
    INHEX_ERR_EMPTY = -7,       // no record at all
    INHEX_ERR_READ = -8,        // a read of the file failed
    INHEX_ERR_NO_END = -9,      // no end-of-file record: the file was cut short
    INHEX_ERR_AFTER_END = -10,  // a record after the end-of-file record
};

// The number of records (1 or more), or the failure; prints its own messages.
int inhexverify(FILE* file);

// The file's lines are read in pieces of at most INHEX_LINE_SIZE - 1
// characters, by the check and by the loader alike, so that both count the
// same lines.
constexpr int INHEX_LINE_SIZE = 512;
// What inhex_read_line returns at the end of the file or on a read error.
constexpr int INHEX_NO_LINE = -1;
// Reads the next line (at most size - 1 characters) into line, without its
// line feed and a carriage return before it; returns its length.
int inhex_read_line(FILE* file, char* line, int size);
uint8_t inhex_sum(const char* text);
uint32_t hex_value(const char* text, int n);
