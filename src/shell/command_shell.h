// The interactive command loop.
#pragma once

// Runs the console; returns the exit status (0 after exit, 1 at end of input).
int command_shell();
// Prints the command summary.
void show_help();

extern const char* const VERSION_TEXT;  // "Version 2.0-1"
