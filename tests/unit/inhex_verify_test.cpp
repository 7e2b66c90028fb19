#include "firmware/inhex_verify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console.h"
#include "out_capture.h"

namespace {

// Runs the check on a file holding text; returns the result and the console output.
struct check_run {
    int result;
    std::string out;
    long position;
    long size;
};

check_run check_text(const std::string& text) {
    FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    check_run run{};
    run.out = capture_output([&] { run.result = inhexverify(file); });
    run.position = std::ftell(file);
    std::fseek(file, 0, SEEK_END);
    run.size = std::ftell(file);
    std::fclose(file);
    return run;
}

// A record of count zero bytes with the checksum that makes it add up to 0.
std::string zero_record(unsigned count) {
    char head[16];
    std::snprintf(head, sizeof head, ":%02X000000", count & 0xFFu);
    std::string line = head;
    line.append(2 * count, '0');
    char tail[4];
    std::snprintf(tail, sizeof tail, "%02X", (0x100u - (count & 0xFFu)) & 0xFFu);
    return line + tail;
}

const char* const EMPTY = "\a\aError: Firmware file is empty!\n";
const char* const NO_END = "\a\aError: missing end of file record in Firmware file!\n";

TEST(InhexVerify, NoFile) {
    EXPECT_EQ(capture_output([] { EXPECT_EQ(inhexverify(nullptr), -1); }), "inhexverify: Error: param fp is invalid\n");
}

TEST(InhexVerify, AcceptedFiles) {
    struct row {
        const char* name;
        const char* text;
        int records;
    };
    const row rows[] = {
        {"data and end", ":0400000001020304F2\n:00000001FF\n", 2},
        {"types 02 to 05", ":020000021000EC\n:00000003FD\n:0400000300001234B3\n:020000040001F9\n"
                           ":0400000500001234B1\n:00000001FF\n", 6},
        {"comments skipped", "# firmware\n\n:0400000001020304F2\nnot a record\n:00000001FF\n", 2},
        {"lower case digits, address in c", ":0400ac00abcdef01e8\n:00000001ff\n", 2},
        {"carriage return line ends", ":0400000001020304F2\r\n:00000001FF\r\n", 2},
        {"no line feed at the end", ":00000001FF", 1},
        {"address 2 outside data records", ":020002040001F7\n:00000001FF\n", 2},
        {"128 data bytes", nullptr, 2},
        {"lines after the end record that are no records", ":00000001FF\n\n# end\n", 1},
    };
    for (const row& r : rows) {
        std::string text = r.text != nullptr ? r.text : zero_record(128) + "\n:00000001FF\n";
        check_run run = check_text(text);
        EXPECT_EQ(run.result, r.records) << r.name;
        EXPECT_EQ(run.out, "") << r.name;
        EXPECT_EQ(run.position, run.size) << r.name << ": the file is left at its end";
    }
}

TEST(InhexVerify, RejectedFiles) {
    struct row {
        const char* name;
        std::string text;
        int code;
        const char* message;
    };
    const row rows[] = {
        {"empty file", "", -7, EMPTY},
        {"only blank and comment lines", "\n# nothing here\n\n; still nothing\n", -7, EMPTY},
        {"checksum", ":0400000001020304F3\n", -2,
         "\a\aError: checksum mismatch (0x01) for line 1 in Firmware file!\n"},
        {"checksum as a byte", ":0400000001020304E2\n", -2,
         "\a\aError: checksum mismatch (0xf0) for line 1 in Firmware file!\n"},
        {"type 06", ":00000006FA\n", -3, "\a\aError: invalid type (06) for line 1 in Firmware file!\n"},
        {"type 10", ":00000010F0\n", -3, "\a\aError: invalid type (10) for line 1 in Firmware file!\n"},
        {"data at an address ending in 2", ":0400020001020304F0\n", -6,
         "\a\aError: data record offset boundary error for line 1 in Firmware file!\n"},
        {"byte count 0x81", zero_record(0x81) + "\n", -5,
         "\a\aError: record length > 128 (129) for line 1 in Firmware file!\n"},
        {"count says more than the line has", ":0500000001020304F1\n", -4,
         "\a\aError: invalid record length (5) for line 1 in Firmware file!\n"},
        {"odd digit count, sum still 0", ":00000001FF0\n", -4,
         "\a\aError: invalid record length (0) for line 1 in Firmware file!\n"},
        {"odd digit count, sum off", ":0400000001020304F21\n", -4,
         "\a\aError: invalid record length (4) for line 1 in Firmware file!\n"},
        {"odd digit count, checksum", ":0400000001020304F\n", -2,
         "\a\aError: checksum mismatch (0x0e) for line 1 in Firmware file!\n"},
        {"line number after two comment lines", "# one\n# two\n:0400020001020304F0\n", -6,
         "\a\aError: data record offset boundary error for line 3 in Firmware file!\n"},
        {"first failure only", ":00000001FF\n:0400020001020304F1\n", -2,
         "\a\aError: checksum mismatch (0x01) for line 2 in Firmware file!\n"},
        // An Intel HEX file ends with exactly one end-of-file record (type 01).
        {"no end record: the file was cut short", ":0400000001020304F2\n:0400040001020304EE\n", -9, NO_END},
        {"only data, no line feed at the end", ":0400000001020304F2", -9, NO_END},
        {"records of other types, no end record", ":020000040001F9\n:0400000001020304F2\n", -9, NO_END},
        {"a data record after the end record", ":0400000001020304F2\n:00000001FF\n# more\n:0400040001020304EE\n", -10,
         "\a\aError: record after end of file record for line 4 in Firmware file!\n"},
        {"a second end record", ":00000001FF\n:00000001FF\n", -10,
         "\a\aError: record after end of file record for line 2 in Firmware file!\n"},
        {"a bad record after the end record: its own check first", ":00000001FF\n:0400020001020304F0\n", -6,
         "\a\aError: data record offset boundary error for line 2 in Firmware file!\n"},
        {"no records at all is empty, not cut short", "# nothing\n", -7, EMPTY},
    };
    for (const row& r : rows) {
        check_run run = check_text(r.text);
        EXPECT_EQ(run.result, r.code) << r.name;
        EXPECT_EQ(run.out, r.message) << r.name;
    }
}

// A stream that gives text up to a point and then fails its read with EIO,
// like a disk or network file that breaks in the middle.
struct failing_source {
    std::string text;
    size_t fail_at;
    size_t pos;
};

ssize_t failing_read(void* cookie, char* buf, size_t size) {
    failing_source& src = *static_cast<failing_source*>(cookie);
    if (src.pos >= src.fail_at) {
        errno = EIO;
        return -1;
    }
    size_t n = std::min(size, src.fail_at - src.pos);
    std::memcpy(buf, src.text.data() + src.pos, n);
    src.pos += n;
    return static_cast<ssize_t>(n);
}

int failing_seek(void* cookie, off64_t* offset, int whence) {
    failing_source& src = *static_cast<failing_source*>(cookie);
    if (whence != SEEK_SET || *offset < 0) return -1;
    src.pos = static_cast<size_t>(*offset);
    return 0;
}

// A read that fails is no end of the file: the check fails with the line it
// was reading, never "empty" and never a record count for half a file.
TEST(InhexVerify, ReadErrorIsAFailure) {
    const std::string text = "# firmware\n:0400000001020304F2\n:00000001FF\n";
    const size_t second_line = text.find(':');
    const size_t third_line = text.find('\n', second_line) + 1;
    struct row {
        const char* name;
        size_t fail_at;
        const char* message;
    };
    const std::string reason = std::strerror(EIO);
    const row rows[] = {
        {"at the first read", 0, "for line 1"},
        {"after two whole lines", third_line, "for line 3"},
        {"in the middle of the second line", second_line + 5, "for line 2"},
    };
    for (const row& r : rows) {
        failing_source src{text, r.fail_at, 0};
        cookie_io_functions_t io{failing_read, nullptr, failing_seek, nullptr};
        FILE* file = fopencookie(&src, "r", io);
        ASSERT_NE(file, nullptr);
        int result = 0;
        std::string printed = capture_output([&] { result = inhexverify(file); });
        std::fclose(file);
        EXPECT_EQ(result, -8) << r.name;
        EXPECT_EQ(printed, "\a\aError: read error (" + reason + ") " + r.message + " in Firmware file!\n") << r.name;
    }
}

TEST(InhexVerify, LongLinesAreReadInPieces) {
    // 600 characters of comment are two reads, so the bad record is line 3.
    std::string text = std::string(600, '#') + "\n:0400020001020304F0\n";
    check_run run = check_text(text);
    EXPECT_EQ(run.result, -6);
    EXPECT_EQ(run.out, "\a\aError: data record offset boundary error for line 3 in Firmware file!\n");

    // A record line of 600 zero digits: its first piece of 511 characters adds
    // up to 0 and fails the length test.
    run = check_text(":" + std::string(599, '0') + "\n");
    EXPECT_EQ(run.result, -4);
    EXPECT_EQ(run.out, "\a\aError: invalid record length (0) for line 1 in Firmware file!\n");

    // A second piece that begins with ':' is a record of its own.
    run = check_text(std::string(511, '#') + ":0400020001020304F0\n");
    EXPECT_EQ(run.result, -6);
    EXPECT_EQ(run.out, "\a\aError: data record offset boundary error for line 2 in Firmware file!\n");
}

TEST(InhexVerify, ShortRecordsNeverReadPastTheLine) {
    check_run run = check_text(":\n");
    EXPECT_EQ(run.result, -3);
    run = check_text(":00\n");
    EXPECT_EQ(run.result, -3);
}

TEST(InhexSum, Pairs) {
    EXPECT_EQ(inhex_sum("0400000001020304F2"), 0);
    EXPECT_EQ(inhex_sum("0400000001020304"), 0x0E);
    EXPECT_EQ(inhex_sum("ffff"), 0xFE);
    EXPECT_EQ(inhex_sum(""), 0);
    EXPECT_EQ(inhex_sum("1"), 0);      // a lone digit is not a pair
    EXPECT_EQ(inhex_sum("101"), 0x10);
}

TEST(HexValue, Digits) {
    EXPECT_EQ(hex_value("1F", 2), 0x1Fu);
    EXPECT_EQ(hex_value("aBcD", 4), 0xABCDu);
    EXPECT_EQ(hex_value("ABCD", 2), 0xABu);
    EXPECT_EQ(hex_value("7G", 2), 0x7u);
    EXPECT_EQ(hex_value("G7", 2), 0u);
    EXPECT_EQ(hex_value("", 2), 0u);
}

}  // namespace
