#include "shell/command_args.h"

#include <cstdio>
#include <cstring>

#include "common/number_text.h"
#include "common/word_table.h"
#include "console/console.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {
// COM-port arguments name COM1 to COM10.
constexpr int PORT_NUMBER_MAX = 10;
}  // namespace

char* word_required(word_cursor& cursor, const char* separators, const char* missing) {
    char* word = word_next(cursor, separators);
    if (word == nullptr) con_print("%s", missing);
    return word;
}

char* word_file_name(word_cursor& cursor) {
    char* name = word_required(cursor, FILE_NAME_SEPARATORS, "\a\aError: missing argument: file_name\n");
    if (name == nullptr) return nullptr;
    size_t length = std::strlen(name);
    if (length >= 2 && name[0] == '"' && name[length - 1] == '"') {
        name[length - 1] = '\0';
        ++name;
    }
    return name;
}

int port_number_arg(const char* word) {
    if (plat_port_path(word)) {
        if (std::strlen(word) >= PORT_NAME_SIZE) {
            con_print("\a\aError: device path too long (at most %d characters): %s\n",
                      static_cast<int>(PORT_NAME_SIZE - 1), word);
            return PORT_NUMBER_NONE;
        }
        return PORT_NUMBER_PATH;
    }
    int number = text_whole(word);
    if (number == 0 && nocase_starts(word, "com")) number = text_whole(word + 3);
    if (number < 1 || number > PORT_NUMBER_MAX) {
        con_print("\a\aError: invalid COM port number (1..10): %s\n", word);
        return PORT_NUMBER_NONE;
    }
    return number;
}

void port_arg_name(const char* word, int number, char* name, size_t size) {
    if (number == PORT_NUMBER_PATH) {
        std::snprintf(name, size, "%s", word);
    } else {
        std::snprintf(name, size, "COM%d", number);
    }
}
