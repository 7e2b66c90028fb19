// What the POSIX line editor shows beyond platform/line_editor.h: the matches
// of one completion, found as Tab finds them, for the tests to look at.
#pragma once

#include <cstddef>

#include "platform/line_editor.h"

// Finds what the word fragment (length bytes, not terminated) may become as
// `what` tells, and returns how many matches there are.
int edit_find_matches(const edit_completion& what, const char* fragment, size_t length);
// The text every match of the last search begins with: the whole word,
// directory part included (terminated).
const char* edit_common_text();
// Whether the one match of the last search is a directory.
bool edit_match_is_directory();
// The matches as a listing shows them (a directory with its '/'), sorted;
// nullptr past the last one kept.
const char* edit_listed(int index);
