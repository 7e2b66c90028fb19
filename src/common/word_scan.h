// Splitting a line into words, each request with a separator set of its own.
// The separator that ended a word is used up with it (the line is cut there);
// the next request skips leading separators of its own set and ends its word at
// the next separator of that set or at the end of the line.
#pragma once

struct word_cursor {
    char* next;  // where the next request starts; nullptr once the line is used up
};

// Starts a cursor on a terminated line, which the requests cut in place.
word_cursor word_start(char* line);

// The next word, terminated in place, or nullptr when none is left.
char* word_next(word_cursor& cursor, const char* separators);
