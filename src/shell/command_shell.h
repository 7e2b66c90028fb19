// The interactive command loop.
#pragma once

#include "platform/line_editor.h"

// The program's exit status.
enum shell_status : int {
    SHELL_EXIT = 0,          // exit, quit or x
    SHELL_END_OF_INPUT = 1,  // the end of standard input at the prompt
};

// Runs the console; returns the exit status.
int command_shell();

// What Tab completes at the cursor of a command line, as the commands read
// their words: the command word from the command table, the file name of
// configure, rules and firmware, and the port of connect and firmware where
// it is a device path.
edit_completion command_completion(const char* line, int cursor);
