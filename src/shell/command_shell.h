// The interactive command loop.
#pragma once

// The program's exit status.
enum shell_status : int {
    SHELL_EXIT = 0,          // exit, quit or x
    SHELL_END_OF_INPUT = 1,  // the end of standard input at the prompt
};

// Runs the console; returns the exit status.
int command_shell();

extern const char* const VERSION_TEXT;  // "Version 2.0-1"
