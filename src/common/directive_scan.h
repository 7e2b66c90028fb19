// Reading a directive file (configuration or rules) line by line: bounded
// reads, line end removal, the echo of the line for messages, the comment
// position and the words of the line, each with its own separator set.
#pragma once

#include <array>
#include <cstdio>

#include "common/word_scan.h"

// One read takes at most 255 characters; the buffer keeps the terminator.
constexpr int DIRECTIVE_LINE_SIZE = 256;

// The current line as read, without its line end; every line message ends
// with it. Shared by the configuration and the rules parser.
extern std::array<char, DIRECTIVE_LINE_SIZE> line_echo;

// What an argument request found.
enum directive_arg_state {
    DIRECTIVE_ARG_OK = 0,
    DIRECTIVE_ARG_NONE = 1,       // no further word on the line
    DIRECTIVE_ARG_COMMENTED = 2,  // the word begins after the line's comment character
};

struct directive_file {
    FILE* file = nullptr;
    std::array<char, DIRECTIVE_LINE_SIZE> line{};  // cut in place by the word requests
    int line_number = 0;                          // every read counts, from 1
    int comment_pos = -1;                         // first '#', '/' or ';', or -1
    word_cursor cursor{nullptr};
    int read_error = 0;                           // errno of a failed read, 0 while none failed
};

enum directive_open_result : int {
    DIRECTIVE_OPENED = 0,
    DIRECTIVE_ERR_NO_PATH = -1,  // no path given
    DIRECTIVE_ERR_OPEN = -2,     // the file cannot be opened, or its first read fails (a directory, for one)
};

// Opens path for reading as text. A failure prints its message: with no path
// "<who>: Error: param rfp is invalid", else that the file cannot be opened.
int directive_open(directive_file& df, const char* path, const char* who);
void directive_close(directive_file& df);

// Reads the next line (at most 255 characters; a longer line goes on in the
// next read), removes its line feed (and a carriage return before it), copies
// it into line_echo, counts it and notes its comment position. A NUL byte ends
// the line's text. false at the end of the file, and on a read error, which
// counts the line it was reading and sets read_error: not an end of the file.
bool directive_read(directive_file& df);

// The first word of the line, with the separators blank, tab and comma, or
// nullptr when the line has none or the word begins with a comment character.
char* directive_first_word(directive_file& df);

// The next word with the given separators, or nullptr when there is none.
char* directive_word(directive_file& df, const char* separators);

// The next word and what it is: none, commented out, or there.
directive_arg_state directive_arg(directive_file& df, const char* separators, char** word);

bool directive_is_comment_char(char c);

// The current line's number as the parsers' messages show it: a signed
// 16-bit number, so a line past 32767 shows as negative.
int shown_line(const directive_file& df);
