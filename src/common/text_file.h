// Opening an operator's file (configuration, rules, firmware) for reading as
// text, so that a file that cannot be read is refused before anything that
// it would replace is touched.
#pragma once

#include <cstdio>

// Opens path for reading as text and tries its first read: a directory, for
// one, opens on some systems and fails only when it is read. nullptr when the
// file cannot be opened or that read fails (the file is closed again). An
// empty file opens; nothing of the file is used up.
FILE* text_file_open(const char* path);

// The system's text for the error of a failed read (the errno it left), for
// the messages that report a read error. Valid until the next call.
const char* text_file_error(int error_code);
