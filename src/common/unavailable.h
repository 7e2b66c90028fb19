// Commands whose modules are not part of this build yet.
#pragma once

#include "shell/console.h"

inline void report_unavailable(const char* command) {
    con_print("\a\aError: %s is not available in this build\n", command);
}
