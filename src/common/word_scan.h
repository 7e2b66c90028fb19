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

// The next word of a command's arguments, or nullptr after the message
// `missing` (a whole console line) when none is left.
char* word_required(word_cursor& cursor, const char* separators, const char* missing);

// The separators of a file-name argument: a comma or a tab ends it, a blank
// belongs to it.
constexpr const char* FILE_NAME_SEPARATORS = ",\t";

// The file-name argument of configure, rules and firmware: the rest of the
// line up to the next comma or tab (blanks belong to the name), or nullptr
// after "missing argument: file_name". One pair of double quotes around the
// whole name is taken off: Windows Explorer's "Copy as path" and a file
// dragged into the console give the name so, and no file name holds a '"'.
char* word_file_name(word_cursor& cursor);
