#include "common/word_scan.h"

#include <cstring>

#include "shell/console.h"

namespace {
bool is_separator(char c, const char* separators) {
    for (const char* s = separators; *s != '\0'; ++s) {
        if (*s == c) return true;
    }
    return false;
}
}  // namespace

word_cursor word_start(char* line) { return word_cursor{line}; }

char* word_next(word_cursor& cursor, const char* separators) {
    char* p = cursor.next;
    if (p == nullptr) return nullptr;
    while (*p != '\0' && is_separator(*p, separators)) ++p;
    if (*p == '\0') {
        cursor.next = nullptr;
        return nullptr;
    }
    char* word = p;
    while (*p != '\0' && !is_separator(*p, separators)) ++p;
    if (*p != '\0') {
        *p = '\0';
        cursor.next = p + 1;
    } else {
        cursor.next = nullptr;
    }
    return word;
}

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
