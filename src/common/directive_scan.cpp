#include "common/directive_scan.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "common/text_file.h"
#include "console/console.h"
#include "console/text_line.h"

std::array<char, DIRECTIVE_LINE_SIZE> line_echo{};

namespace {
// Whether a word of the current line begins after its comment character.
bool directive_commented(const directive_file& df, const char* word) {
    return df.comment_pos >= 0 && word - df.line.data() > df.comment_pos;
}

// A file without end (a device, say) must not run the count past what an int
// holds: it stays at the largest number.
void count_line(directive_file& df) {
    if (df.line_number < INT_MAX) ++df.line_number;
}
}  // namespace

bool directive_is_comment_char(char c) { return c == '#' || c == '/' || c == ';'; }

// Deliberate (line-signed-16): messages show the line counter as a signed 16-bit number.
int shown_line(const directive_file& df) { return static_cast<int16_t>(df.line_number); }

int directive_open(directive_file& df, const char* path, const char* who) {
    df = directive_file{};
    if (path == nullptr) {
        con_print("%s: Error: param rfp is invalid\n", who);
        return DIRECTIVE_ERR_NO_PATH;
    }
    df.file = text_file_open(path);
    if (df.file == nullptr) {
        con_print("\a\aError: cannot open %s\n", path);
        return DIRECTIVE_ERR_OPEN;
    }
    return DIRECTIVE_OPENED;
}

void directive_close(directive_file& df) {
    if (df.file != nullptr) std::fclose(df.file);
    df.file = nullptr;
}

bool directive_read(directive_file& df) {
    if (df.file == nullptr) return false;
    // Deliberate (pieces-255): a longer line is read in pieces of 255 characters, each counted and parsed as a line.
    int n = text_read_line(df.file, df.line.data(), DIRECTIVE_LINE_SIZE);
    if (std::ferror(df.file)) {
        // The line is incomplete whatever was read of it: none of it is used.
        int saved = errno;
        df.read_error = saved != 0 ? saved : EIO;
        count_line(df);
        df.line[0] = '\0';
        line_echo[0] = '\0';
        return false;
    }
    if (n == 0) return false;
    // The text ends at the first NUL byte (a line that begins with one is empty).
    const void* nul = std::memchr(df.line.data(), '\0', static_cast<size_t>(n));
    size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - df.line.data())
                                : static_cast<size_t>(n);
    if (len > 0 && df.line[len - 1] == '\n') --len;
    df.line[len] = '\0';
    std::memcpy(line_echo.data(), df.line.data(), len + 1);
    count_line(df);
    df.comment_pos = -1;
    for (size_t i = 0; i < len; ++i) {
        if (directive_is_comment_char(df.line[i])) {
            df.comment_pos = static_cast<int>(i);
            break;
        }
    }
    df.cursor = word_start(df.line.data());
    return true;
}

char* directive_first_word(directive_file& df) {
    char* word = word_next(df.cursor, " \t,");
    if (word == nullptr || directive_is_comment_char(word[0])) return nullptr;
    return word;
}

char* directive_word(directive_file& df, const char* separators) { return word_next(df.cursor, separators); }

directive_arg_state directive_arg(directive_file& df, const char* separators, char** word) {
    *word = word_next(df.cursor, separators);
    if (*word == nullptr) return DIRECTIVE_ARG_NONE;
    if (directive_commented(df, *word)) return DIRECTIVE_ARG_COMMENTED;
    return DIRECTIVE_ARG_OK;
}
