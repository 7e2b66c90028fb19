#include "firmware/inhex_verify.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "common/text_file.h"
#include "console/console.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Characters 7 and 8 of a record that is too short to have them are shown as
// blanks, so the message never carries a NUL byte or what lies past the line.
char shown_char(const char* line, size_t length, size_t at) {
    return at < length ? line[at] : ' ';
}

// A record's fields: the byte count at characters 1 and 2, the address's last
// digit at 6, the type at 7 and 8; the data and the checksum follow, two
// characters a byte, so a record of n bytes has 2n + 11 characters.
constexpr size_t COUNT_AT = 1;
constexpr size_t ADDRESS_LAST_AT = 6;
constexpr size_t TYPE_AT = 7;
constexpr size_t RECORD_OVERHEAD = 11;
constexpr uint32_t RECORD_MAX_BYTES = 128;

constexpr int INHEX_RECORD_OK = 0;

// The end-of-file record's type (01) at characters 7 and 8.
bool is_end_record(const char* line, size_t length) {
    return length > TYPE_AT + 1 && line[TYPE_AT] == '0' && line[TYPE_AT + 1] == '1';
}

// Checks one record (the line as read, without its line end); the first check
// it fails prints its message with the line number and gives its code.
int check_record(const char* line, size_t length, unsigned long line_no) {
    uint8_t sum = inhex_sum(line + 1);
    if (sum != 0) {
        con_print("\a\aError: checksum mismatch (0x%02x) for line %lu in Firmware file!\n", static_cast<unsigned>(sum),
                  line_no);
        return INHEX_ERR_CHECKSUM;
    }
    char type_hi = shown_char(line, length, TYPE_AT);
    char type_lo = shown_char(line, length, TYPE_AT + 1);
    if (type_hi != '0' || type_lo < '0' || type_lo > '5') {
        con_print("\a\aError: invalid type (%c%c) for line %lu in Firmware file!\n", type_hi, type_lo, line_no);
        return INHEX_ERR_TYPE;
    }
    uint32_t count = hex_value(line + COUNT_AT, 2);
    if (length != 2 * static_cast<size_t>(count) + RECORD_OVERHEAD) {
        con_print("\a\aError: invalid record length (%u) for line %lu in Firmware file!\n",
                  static_cast<unsigned>(count), line_no);
        return INHEX_ERR_LENGTH;
    }
    if (count > RECORD_MAX_BYTES) {
        con_print("\a\aError: record length > 128 (%u) for line %lu in Firmware file!\n",
                  static_cast<unsigned>(count), line_no);
        return INHEX_ERR_TOO_LONG;
    }
    // Data records load at multiples of 4.
    char last = line[ADDRESS_LAST_AT];
    if (type_lo == '0' && last != '0' && last != '4' && last != '8' && last != 'C' && last != 'c') {
        con_print("\a\aError: data record offset boundary error for line %lu in Firmware file!\n", line_no);
        return INHEX_ERR_BOUNDARY;
    }
    return INHEX_RECORD_OK;
}

}  // namespace

uint32_t hex_value(const char* text, int n) {
    uint32_t value = 0;
    if (text == nullptr) return 0;
    for (int i = 0; i < n; ++i) {
        int digit = hex_digit(text[i]);
        if (digit < 0) break;  // also ends at the terminator
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return value;
}

uint8_t inhex_sum(const char* text) {
    uint32_t sum = 0;
    if (text == nullptr) return 0;
    // Whole pairs only: a lone last digit is left out rather than read past.
    for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
        sum += hex_value(text + i, 2);
    }
    return static_cast<uint8_t>(sum & 0xFFu);
}

int inhex_read_line(FILE* file, char* line, int size) {
    if (std::fgets(line, size, file) == nullptr) return INHEX_NO_LINE;
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
        line[--length] = '\0';
        // Text-mode reading: the carriage return before the line feed is part of the line end.
        if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
    }
    return static_cast<int>(length);
}

int inhexverify(FILE* file) {
    if (file == nullptr) {
        con_print("inhexverify: Error: param fp is invalid\n");
        return INHEX_ERR_NO_FILE;
    }
    std::rewind(file);
    uint32_t lines = 0;
    uint32_t records = 0;
    std::array<char, INHEX_LINE_SIZE> line{};
    int read = 0;
    // A file ends with exactly one end-of-file record: without it, the copy
    // or download that made the file stopped early, and the device would get
    // part of an image; a record after it belongs to no image.
    bool ended = false;
    while ((read = inhex_read_line(file, line.data(), static_cast<int>(line.size()))) != INHEX_NO_LINE) {
        ++lines;
        if (line[0] != ':') continue;
        ++records;
        int rc = check_record(line.data(), static_cast<size_t>(read), lines);
        if (rc != INHEX_RECORD_OK) return rc;
        if (ended) {
            con_print("\a\aError: record after end of file record for line %lu in Firmware file!\n",
                      static_cast<unsigned long>(lines));
            return INHEX_ERR_AFTER_END;
        }
        ended = is_end_record(line.data(), static_cast<size_t>(read));
    }
    // A read that failed is no end of the file: what follows was never checked.
    if (std::ferror(file)) {
        const char* reason = text_file_error(errno);
        con_print("\a\aError: read error (%s) for line %lu in Firmware file!\n", reason,
                  static_cast<unsigned long>(lines) + 1);
        return INHEX_ERR_READ;
    }
    if (lines == 0 || records == 0) {
        con_print("\a\aError: Firmware file is empty!\n");
        return INHEX_ERR_EMPTY;
    }
    if (!ended) {
        con_print("\a\aError: missing end of file record in Firmware file!\n");
        return INHEX_ERR_NO_END;
    }
    return static_cast<int>(records);
}
