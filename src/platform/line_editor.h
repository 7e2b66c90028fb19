// The line editor of a terminal: the keys that edit a line, the history of
// the command lines of this run, and Tab completion. The console reads through
// it where standard input and standard output are both terminals. The Linux
// build has one (libedit); on Windows the console itself edits every line a
// program reads, so that build has none and reads as before.
#pragma once

#include <cstdio>

// What Tab completes at the cursor, as the shell reads the line: the word that
// begins at `start` and ends at the cursor, as one of `words` or as a path.
struct edit_completion {
    int start;                 // where the word begins in the line; EDIT_NOTHING: nothing to complete here
    const char* const* words;  // the words it may become (a nullptr ends them); nullptr: a path
    bool devices_only;         // a path: only directories and character devices (serial ports)
    const char* separators;    // the characters that would end the word: a candidate holding one is left out
    char after;                // what follows a completed word or file ('\0': nothing); a directory gets '/'
};
constexpr int EDIT_NOTHING = -1;

// Tells what the text before the cursor completes; line holds at least cursor
// bytes and need not be terminated.
using edit_completer = edit_completion (*)(const char* line, int cursor);

// Starts the editor on the two streams when both are terminals and this build
// has one; true then. Its messages (an unknown terminal type) go to out.
bool edit_start(FILE* in, FILE* out, edit_completer completer);
// Puts the terminal back as it was and forgets the history.
void edit_end();

// Reads one line, the editor showing prompt (one line of text, so that a
// redraw shows it again). The line ends with its line feed; *length is its
// length. It stays valid until the next edit_read. nullptr at the end of
// input: Ctrl-D on an empty line, or a terminal that has gone.
const char* edit_read(const char* prompt, int* length);

// Adds a terminated line to the history, unless it repeats the last entry.
void edit_remember(const char* line);
