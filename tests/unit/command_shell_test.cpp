#include "shell/command_shell.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "out_capture.h"

namespace {

// What Tab completes, by the words a command reads: the word it starts at,
// and what kind of word that is.
enum kind { NOTHING, COMMAND_WORD, FILE_NAME, QUOTED_FILE_NAME, DEVICE_PATH };

kind kind_of(const edit_completion& c) {
    if (c.start == EDIT_NOTHING) return NOTHING;
    if (c.words != nullptr) return COMMAND_WORD;
    if (c.devices_only) return DEVICE_PATH;
    return c.after == '"' ? QUOTED_FILE_NAME : FILE_NAME;
}

TEST(CommandCompletion, WhatTheWordAtTheCursorIs) {
    struct row {
        const char* line;  // the cursor at its end
        kind what;
        int start;
    };
    const row rows[] = {
        {"", COMMAND_WORD, 0},
        {"conf", COMMAND_WORD, 0},
        {"  , d", COMMAND_WORD, 4},
        {"configure", COMMAND_WORD, 0},
        {"configure ", FILE_NAME, 10},
        {"configure ex", FILE_NAME, 10},
        {"configure my st", FILE_NAME, 10},     // a blank is part of a file name
        {"configure  x", FILE_NAME, 10},        // so is a leading one, as the command takes it
        {"configure ,\tx", FILE_NAME, 12},      // the name begins after commas and tabs
        {"configure a.cfg,b", NOTHING, -1},     // a comma ended the name
        {"conf ex", FILE_NAME, 5},              // the command word by the prefix rule
        {"RULES ex", FILE_NAME, 6},
        {"c ex", NOTHING, -1},                  // ambiguous
        {"helpme ex", NOTHING, -1},
        {"dconfigure x", NOTHING, -1},
        {"connect /dev/tty", DEVICE_PATH, 8},
        {"connect ", NOTHING, -1},              // numbers and COMn are not completed
        {"connect co", NOTHING, -1},
        {"connect /dev/ttyS0 ", NOTHING, -1},   // the speed
        {"firmware 2", NOTHING, -1},
        {"firmware /dev/se", DEVICE_PATH, 9},
        {"firmware 2 ", FILE_NAME, 11},
        {"firmware com2 ex", FILE_NAME, 14},
        {"firmware /dev/ttyUSB0 my f", FILE_NAME, 22},
        {"configure \"my st", QUOTED_FILE_NAME, 11},    // inside the quote the commands take off
        {"firmware 2 \"C:\\op\\fw", QUOTED_FILE_NAME, 12},
        {".", NOTHING, -1},                     // repeats the previous line
        {".conf", NOTHING, -1},
    };
    for (const row& r : rows) {
        edit_completion c = command_completion(r.line, static_cast<int>(std::strlen(r.line)));
        EXPECT_EQ(kind_of(c), r.what) << r.line;
        EXPECT_EQ(c.start, r.start) << r.line;
        if (r.what == FILE_NAME || r.what == QUOTED_FILE_NAME) {
            EXPECT_STREQ(c.separators, ",\t") << r.line;
        }
        if (r.what == FILE_NAME) {
            EXPECT_EQ(c.after, '\0') << r.line;  // a blank after it would join the name
        }
        if (r.what == COMMAND_WORD || r.what == DEVICE_PATH) {
            EXPECT_STREQ(c.separators, ", \t") << r.line;
            EXPECT_EQ(c.after, ' ') << r.line;
        }
    }
}

TEST(CommandCompletion, CommandWordsAreTheTable) {
    edit_completion c = command_completion("", 0);
    std::string words;
    for (const char* const* w = c.words; *w != nullptr; ++w) words += std::string(*w) + " ";
    EXPECT_EQ(words, "help ? . angles baud configure dconfigure rules drules connect disconnect download firmware exit "
                     "quit x ");
}

TEST(CommandCompletion, OnlyTheTextBeforeTheCursorCounts) {
    // The cursor after "conf" in "configure x": the command word.
    const char line[] = "configure x";
    edit_completion c = command_completion(line, 4);
    EXPECT_EQ(kind_of(c), COMMAND_WORD);
    EXPECT_EQ(c.start, 0);
    // The line is not terminated at the cursor and nothing past it is read.
    char unterminated[4] = {'r', 'u', 'l', 'e'};
    EXPECT_EQ(kind_of(command_completion(unterminated, 4)), COMMAND_WORD);
}

TEST(CommandCompletion, OnlyTheFirstPieceOfALongLine) {
    // A line is read in pieces of 255 characters: past the first piece a word
    // is not this command's.
    std::string line = "configure " + std::string(245, 'a');
    EXPECT_EQ(kind_of(command_completion(line.c_str(), static_cast<int>(line.size()))), FILE_NAME);
    line += "b";
    EXPECT_EQ(kind_of(command_completion(line.c_str(), static_cast<int>(line.size()))), NOTHING);
    EXPECT_EQ(kind_of(command_completion(nullptr, 0)), NOTHING);
    EXPECT_EQ(kind_of(command_completion("x", -1)), NOTHING);
}

}  // namespace

// '.' repeats the previous line of the same run of the shell: a second run in
// one process (as every fuzz input is) starts with no line to repeat.
TEST(CommandShell, DotRepeatsALineOfItsOwnRunOnly) {
    auto run = [](const std::string& input) {
        std::string printed;
        {
            out_capture out(input);
            EXPECT_EQ(command_shell(), SHELL_EXIT);
            printed = out.text();
        }
        return printed;
    };
    auto count = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    std::string first = run("dconfigure\n.\nexit\n");
    EXPECT_EQ(count(first, "Configuration:\n"), 2) << first;
    // Nothing to repeat: the line does what an empty one does.
    EXPECT_EQ(run(".\nexit\n"), run("\nexit\n"));
}
