// Reading one line of text the way the program takes every line it reads: the
// operator's command lines and answers, and the lines of the directive files.
#pragma once

#include <cstdio>

// Reads like fgets: up to size - 1 characters, through the line feed when it
// comes first. A carriage return directly before a line feed is part of the
// line end, as a text-mode read on Windows takes it, and never counts toward
// the line's characters. The text is terminated. Returns the number of
// characters stored (NUL bytes included), 0 at the end of the file.
int text_read_line(FILE* file, char* buf, int size);

// The same reading from any source of characters: next() gives the next one
// (or EOF), back(c) puts one back for the next call of next().
template <typename Next, typename Back>
int text_take_line(Next next, Back back, char* buf, int size) {
    int n = 0;
    while (n < size - 1) {
        int c = next();
        if (c == EOF) break;
        if (c == '\r') {
            int following = next();
            if (following == '\n') {
                c = '\n';
            } else if (following != EOF) {
                back(following);
            }
        }
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n;
}
