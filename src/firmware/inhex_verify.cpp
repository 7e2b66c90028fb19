#include "firmware/inhex_verify.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "common/text_file.h"
#include "shell/console.h"

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
    while ((read = inhex_read_line(file, line.data(), static_cast<int>(line.size()))) != INHEX_NO_LINE) {
        ++lines;
        const size_t length = static_cast<size_t>(read);
        if (line[0] != ':') continue;
        ++records;
        const unsigned long line_no = lines;

        uint8_t sum = inhex_sum(line.data() + 1);
        if (sum != 0) {
            con_print("\a\aError: checksum mismatch (0x%02x) for line %lu in Firmware file!\n",
                      static_cast<unsigned>(sum), line_no);
            return INHEX_ERR_CHECKSUM;
        }
        char type_hi = shown_char(line.data(), length, 7);
        char type_lo = shown_char(line.data(), length, 8);
        if (type_hi != '0' || type_lo < '0' || type_lo > '5') {
            con_print("\a\aError: invalid type (%c%c) for line %lu in Firmware file!\n", type_hi, type_lo,
                      line_no);
            return INHEX_ERR_TYPE;
        }
        uint32_t count = hex_value(line.data() + 1, 2);
        if (length != 2 * static_cast<size_t>(count) + 11) {
            con_print("\a\aError: invalid record length (%u) for line %lu in Firmware file!\n",
                      static_cast<unsigned>(count), line_no);
            return INHEX_ERR_LENGTH;
        }
        if (count > 128) {
            con_print("\a\aError: record length > 128 (%u) for line %lu in Firmware file!\n",
                      static_cast<unsigned>(count), line_no);
            return INHEX_ERR_TOO_LONG;
        }
        if (type_lo == '0') {
            char last = line[6];
            if (last != '0' && last != '4' && last != '8' && last != 'C' && last != 'c') {
                con_print("\a\aError: data record offset boundary error for line %lu in Firmware file!\n",
                          line_no);
                return INHEX_ERR_BOUNDARY;
            }
        }
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
    return static_cast<int>(records);
}
