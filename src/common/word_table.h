// Constant tables of words and the lookups in them. A typed word is matched
// against a table's words ignoring the letter case of A to Z: the shell's
// commands, the configuration keywords and the rule commands by their leading
// part (with the ambiguity rule), the rule actions by the whole word.
#pragma once

#include <array>
#include <cstddef>

// One row of a table that maps words to codes.
struct word_code {
    const char* word;
    int code;
};

// What a lookup found instead of a row index.
enum word_lookup_result : int {
    WORD_NONE = -1,       // no row matched
    WORD_AMBIGUOUS = -2,  // a second row matched as well
};

// Whether text begins with prefix, ignoring the case of A to Z. Every text
// begins with the empty prefix.
bool nocase_starts(const char* text, const char* prefix);
// Whether a and b are the same text, ignoring the case of A to Z.
bool nocase_equal(const char* a, const char* b);

// The row whose word begins with typed (over typed's length; a typed word
// longer than a row's word never matches it), WORD_NONE, or WORD_AMBIGUOUS as
// soon as a second row matches, even one with the same code. The rows are
// tried in table order. An empty typed word matches no row.
template <typename Row, std::size_t N>
int word_lookup(const std::array<Row, N>& table, const char* Row::*word, const char* typed) {
    if (typed == nullptr || typed[0] == '\0') return WORD_NONE;
    int found = WORD_NONE;
    for (std::size_t row = 0; row < N; ++row) {
        if (!nocase_starts(table[row].*word, typed)) continue;
        if (found != WORD_NONE) return WORD_AMBIGUOUS;
        found = static_cast<int>(row);
    }
    return found;
}

template <std::size_t N>
int word_lookup(const std::array<word_code, N>& table, const char* typed) {
    return word_lookup(table, &word_code::word, typed);
}

// The first row whose whole word is typed, or WORD_NONE.
template <std::size_t N>
int word_find(const std::array<word_code, N>& table, const char* typed) {
    for (std::size_t row = 0; row < N; ++row) {
        if (nocase_equal(table[row].word, typed)) return static_cast<int>(row);
    }
    return WORD_NONE;
}
