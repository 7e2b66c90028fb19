#include "shell/command_args.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "out_capture.h"

TEST(CommandArgs, FileNameInDoubleQuotes) {
    // One pair of quotes around the whole name goes, as Explorer's "Copy as
    // path" puts it; nothing else about the name changes.
    struct row {
        const char* line;
        const char* name;
    };
    const row rows[] = {
        {"configure \"examples/station.cfg\"", "examples/station.cfg"},
        {"configure \"C:\\Users\\op\\My Files\\station.cfg\"", "C:\\Users\\op\\My Files\\station.cfg"},
        {"configure \"a.cfg\",more", "a.cfg"},
        {"configure \"\"x\"\"", "\"x\""},
        {"configure \"\"", ""},
        {"configure \"", "\""},
        {"configure \"a.cfg", "\"a.cfg"},
        {"configure a.cfg\"", "a.cfg\""},
        {"configure a\"b\"", "a\"b\""},
        {"configure  \"x.cfg\"", " \"x.cfg\""},  // the second blank is part of the name
        {"configure \"a,b\"", "\"a"},
        {"configure my file.cfg", "my file.cfg"},
    };
    for (const row& r : rows) {
        char line[256];
        std::snprintf(line, sizeof line, "%s", r.line);
        word_cursor c = word_start(line);
        word_next(c, ", \t");
        std::string printed;
        const char* name = nullptr;
        printed = capture_output([&] { name = word_file_name(c); });
        ASSERT_NE(name, nullptr) << r.line;
        EXPECT_STREQ(name, r.name) << r.line;
        EXPECT_EQ(printed, "") << r.line;
    }
    char line[] = "configure";
    word_cursor c = word_start(line);
    word_next(c, ", \t");
    const char* name = line;
    EXPECT_EQ(capture_output([&] { name = word_file_name(c); }), "\a\aError: missing argument: file_name\n");
    EXPECT_EQ(name, nullptr);
}
