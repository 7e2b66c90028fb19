#include "common/word_table.h"

namespace {
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool nocase_starts(const char* text, const char* prefix) {
    if (text == nullptr || prefix == nullptr) return false;
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (text[i] == '\0' || ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
    }
    return true;
}

bool nocase_equal(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return false;
    size_t i = 0;
    for (; a[i] != '\0' && b[i] != '\0'; ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return a[i] == b[i];
}
