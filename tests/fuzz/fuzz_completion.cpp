// What Tab completes: a fuzzed line with the cursor at its end, read as the
// shell reads its words, then the matches the editor finds for the word at
// the cursor, among the command words or the files of the private directory
// (a path that leaves it is not looked up: the harness reads no other
// directory). The answer must lie within the line.
#include <cstring>

#include "fuzz_support.h"
#include "platform/posix/line_editor_posix.h"
#include "shell/command_shell.h"

namespace {
// A path that stays in the working directory: relative, without "..".
bool stays_here(const char* fragment, size_t length) {
    if (length > 0 && fragment[0] == '/') return false;
    for (size_t i = 0; i + 1 < length; ++i) {
        if (fragment[i] == '.' && fragment[i + 1] == '.') return false;
    }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    static bool files_made = false;
    if (!files_made) {
        const uint8_t none[1] = {0};
        const char* const names[] = {"my station.cfg", "my,other.cfg", "rules.txt"};
        for (const char* name : names) fuzz_write_file(name, none, 0);
        files_made = true;
    }
    const char* line = reinterpret_cast<const char*>(data);
    int cursor = static_cast<int>(size > 4096 ? 4096 : size);
    edit_completion what = command_completion(line, cursor);
    if (what.start == EDIT_NOTHING) return 0;
    if (what.start < 0 || what.start > cursor || what.separators == nullptr) fuzz_fail("completion outside the line");
    const char* fragment = line + what.start;
    size_t length = static_cast<size_t>(cursor - what.start);
    if (what.words == nullptr && !stays_here(fragment, length)) return 0;
    int count = edit_find_matches(what, fragment, length);
    if (count < 0) fuzz_fail("a negative count of matches");
    if (count > 0 && std::strlen(edit_common_text()) < length) {
        fuzz_fail("matches that do not begin with the word");
    }
    for (int i = 0; edit_listed(i) != nullptr; ++i) {
        if (i >= count) fuzz_fail("more names listed than matches");
    }
    return 0;
}
