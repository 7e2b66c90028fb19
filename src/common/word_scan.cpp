#include "common/word_scan.h"

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
