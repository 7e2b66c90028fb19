#include "shell/command_shell.h"

int main() { return command_shell(); }
