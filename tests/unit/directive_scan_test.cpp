// Reading directive files: what the configuration and rules parsers rely on
// beyond what their own tests show.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/directive_scan.h"

namespace {

// A file with no end (a device) reads line after line for ever; the count of
// lines must stop at the largest int instead of running past it.
TEST(directive_scan, LineCountStopsAtTheLargestInt) {
    char text[] = "call N0CALL\nssid 1\nlog 1\n";
    directive_file df;
    df.file = fmemopen(text, std::strlen(text), "r");
    ASSERT_NE(df.file, nullptr);
    df.line_number = INT_MAX - 1;
    EXPECT_TRUE(directive_read(df));
    EXPECT_EQ(df.line_number, INT_MAX);
    EXPECT_TRUE(directive_read(df));
    EXPECT_EQ(df.line_number, INT_MAX);
    EXPECT_TRUE(directive_read(df));
    EXPECT_EQ(df.line_number, INT_MAX);
    EXPECT_STREQ(line_echo.data(), "log 1");
    directive_close(df);
}

}  // namespace
