// The operator's console: all ordinary output, the reading of command lines and
// answers, the system's error text and the abnormal end.
#pragma once

#include <cstdio>

#include "platform/line_editor.h"

#if defined(__MINGW32__)
#define QV_PRINTF_LIKE(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define QV_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif

// Formatted output to the console's output stream (standard output unless a
// test set another). Returns the number of characters written.
int con_print(const char* format, ...) QV_PRINTF_LIKE(1, 2);

// The streams behind the console; tests point them at memory streams.
FILE* con_output();
void con_set_output(FILE* stream);  // nullptr restores standard output
FILE* con_input();
void con_set_input(FILE* stream);   // nullptr restores standard input

// What a read of a line returns when the input has ended with nothing read
// (or it was given no buffer).
constexpr int CON_END_OF_INPUT = -1;

// Reads the next line of input into buf, at most size - 1 characters and
// through its line feed, which is kept when it fits. A carriage return right
// before the line feed is dropped first. The text is terminated.
// Returns the number of characters read (a NUL byte read counts like any
// other), or CON_END_OF_INPUT.
int con_read_line(char* buf, int size);

// Reads one answer to a question: like con_read_line, but a line longer than
// the buffer is read to its end and the rest discarded, so it can never run as
// a command at the next prompt. The line feed is kept when it fits. An end of
// input typed at a terminal ends the answer only: the next read waits for the
// terminal again.
int con_read_answer(char* buf, int size);

// Line editing. Where standard input and standard output are both terminals
// (and the build has an editor: Linux), command lines and answers are read
// through the terminal's line editor, which shows the prompts itself; the
// completer tells it what Tab completes. Anywhere else, and in the Windows
// build, everything is read as before.
void con_edit_start(edit_completer completer);
void con_edit_end();  // the terminal as it was

// Shows prompt and reads the next command line as con_read_line does. With the
// editor the line, unless it is blank, enters the history as typed, and a
// line longer than the buffer is handed out in pieces, one a read (command or
// answer), each later command piece after the prompt, as from a pipe.
int con_read_command(const char* prompt, char* buf, int size);

// Prints the question (a format) and reads its answer as con_read_answer
// does. With the editor the question's last line is the editor's prompt, and
// the answer never enters the history.
int con_ask(char* buf, int size, const char* format, ...) QV_PRINTF_LIKE(3, 4);

// The text of the system's last error (shared buffer of 1024 characters,
// valid until the next call).
const char* sys_error_text();

// Reports a failure after which the program cannot go on: the message and a
// line with the code and the system's last error code go to standard error.
// With a nonzero code it pauses 5 seconds and ends the process (status 3).
void fatal_exit(int code, const char* message);
