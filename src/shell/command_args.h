// The arguments of a command, as the commands take them from the rest of
// their line: the separator sets, a word the command cannot do without, the
// file name and the COM port.
#pragma once

#include <cstddef>

#include "common/word_scan.h"

// The separators of the command word and of the arguments: comma, blank, tab.
constexpr const char* COMMAND_SEPARATORS = ", \t";

// The separators of a file-name argument: a comma or a tab ends it, a blank
// belongs to it.
// Deliberate (file-name-blanks): only comma and tab end a file name; a second blank before it is its first.
constexpr const char* FILE_NAME_SEPARATORS = ",\t";

// The next word of a command's arguments, or nullptr after the message
// `missing` (a whole console line) when none is left.
char* word_required(word_cursor& cursor, const char* separators, const char* missing);

// The file-name argument of configure, rules and firmware: the rest of the
// line up to the next comma or tab (blanks belong to the name), or nullptr
// after "missing argument: file_name". One pair of double quotes around the
// whole name is taken off: Windows Explorer's "Copy as path" and a file
// dragged into the console give the name so, and no file name holds a '"'.
char* word_file_name(word_cursor& cursor);

// The port number of a command's COM-port argument: its leading digits ("3"),
// or the digits after "com" in any letter case ("com3", "COM3"). 1 to 10;
// PORT_NUMBER_NONE, after the invalid-number message, for any other word.
// Where the platform names devices by path (plat_port_path: Linux, a word
// that begins with '/'), such a word is PORT_NUMBER_PATH; one too long for
// port_name is PORT_NUMBER_NONE after its message.
constexpr int PORT_NUMBER_NONE = 0;
constexpr int PORT_NUMBER_PATH = -1;
int port_number_arg(const char* word);

// The name open_port takes for the port argument word, which port_number_arg
// read as number: "COMn", or for PORT_NUMBER_PATH the path itself. The name
// is terminated within size bytes.
void port_arg_name(const char* word, int number, char* name, size_t size);
