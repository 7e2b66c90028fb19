// No line editor in the Windows build: the console itself edits every line a
// program reads (the arrows, Home and End, its own history of lines), so the
// program reads its standard input as it is.
#include "platform/line_editor.h"

bool edit_start(FILE*, FILE*, edit_completer) { return false; }

void edit_end() {}

const char* edit_read(const char*, int* length) {
    *length = 0;
    return nullptr;
}

void edit_remember(const char*) {}
