#include "common/text_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "directive_file_util.h"

namespace {

// What opens and what is read from it afterwards: the first read that the
// open tried uses nothing up.
TEST(TextFile, OpensReadableFilesWhole) {
    const std::vector<std::string> contents = {"", "x", "host 4800\nrelay no\n", "\r\n"};
    for (const std::string& content : contents) {
        temp_file file(content);
        FILE* f = text_file_open(file.path());
        ASSERT_NE(f, nullptr) << content;
        std::string read;
        for (int c = std::getc(f); c != EOF; c = std::getc(f)) read.push_back(static_cast<char>(c));
        EXPECT_EQ(read, content);
        EXPECT_TRUE(std::feof(f) != 0);
        EXPECT_FALSE(std::ferror(f) != 0);
        std::fclose(f);
    }
}

TEST(TextFile, RefusesWhatCannotBeRead) {
    temp_dir dir;
    EXPECT_EQ(text_file_open(dir.path()), nullptr);
    EXPECT_EQ(text_file_open("/nonexistent/qv.txt"), nullptr);
    EXPECT_EQ(text_file_open(nullptr), nullptr);
}

TEST(TextFile, ErrorTexts) {
    EXPECT_STREQ(text_file_error(EISDIR), std::strerror(EISDIR));
    // A failed read that left no reason is an input/output error.
    EXPECT_STREQ(text_file_error(0), std::strerror(EIO));
}

}  // namespace
