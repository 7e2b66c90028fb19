#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "out_capture.h"
#include "platform/platform.h"
#include "shell/console.h"

namespace {

void report_pause(uint32_t ms) { std::fprintf(stderr, "paused %u ms\n", static_cast<unsigned>(ms)); }

TEST(Console, PrintCountsCharacters) {
    out_capture out;
    EXPECT_EQ(con_print("%-10s|%02x|%ld", "ab", 10, -5L), 16);
    EXPECT_EQ(out.text(), "ab        |0a|-5");
}

TEST(Console, FatalExitWithCodeZeroReturns) {
    plat_save_error(ENOENT);
    testing::internal::CaptureStderr();
    fatal_exit(0, "\a\aError: something went wrong\n");
    std::string err = testing::internal::GetCapturedStderr();
    plat_save_error(0);
    EXPECT_EQ(err, "\a\aError: something went wrong\nReturn code 0, system error code " + std::to_string(ENOENT) + "\n");
}

TEST(Console, FatalExitMessageGetsNoLineFeed) {
    plat_save_error(0);
    testing::internal::CaptureStderr();
    fatal_exit(0, "no line feed");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "no line feed" "Return code 0, system error code 0\n");
}

TEST(ConsoleDeathTest, FatalExitWithNonzeroCodeEndsWithStatusThree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            plat_set_sleep_hook(report_pause);
            plat_save_error(EIO);
            fatal_exit(26, "\a\aError: read failed\n");
        },
        testing::ExitedWithCode(3),
        "^\a\aError: read failed\nReturn code 26, system error code " + std::to_string(EIO) +
            "\npaused 5000 ms\n$");
    EXPECT_EXIT(
        {
            plat_set_sleep_hook(report_pause);
            fatal_exit(25, "bad param\n");
        },
        testing::ExitedWithCode(3), "Return code 25, ");
}

TEST(Console, SysErrorTextOfTheSavedError) {
    plat_save_error(ENOENT);
    const char* text = sys_error_text();
    EXPECT_STREQ(text, std::strerror(ENOENT));
    // One buffer, overwritten by the next call.
    plat_save_error(EACCES);
    const char* again = sys_error_text();
    EXPECT_EQ(again, text);
    EXPECT_STREQ(again, std::strerror(EACCES));
    size_t n = std::strlen(again);
    ASSERT_GT(n, 0u);
    EXPECT_NE(again[n - 1], '\n');
    // Other calls in between do not change the saved error.
    errno = EBADF;
    EXPECT_STREQ(sys_error_text(), std::strerror(EACCES));
    plat_save_error(0);
}

// A line longer than the buffer is read in pieces; an answer's rest is dropped.
TEST(Console, LinesAndAnswers) {
    std::string input = std::string(300, 'y') + "\nsecond\nlong answer that does not fit\nnext\n";
    FILE* in = fmemopen(input.data(), input.size(), "r");
    ASSERT_NE(in, nullptr);
    con_set_input(in);
    char buf[256];
    EXPECT_EQ(con_read_line(buf, sizeof buf), 255);
    EXPECT_EQ(std::string(buf), std::string(255, 'y'));
    EXPECT_EQ(con_read_line(buf, sizeof buf), 46);
    EXPECT_EQ(std::string(buf), std::string(45, 'y') + "\n");
    EXPECT_EQ(con_read_line(buf, sizeof buf), 7);
    char small[8];
    EXPECT_EQ(con_read_answer(small, sizeof small), 7);
    EXPECT_STREQ(small, "long an");
    EXPECT_EQ(con_read_line(buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "next\n");
    EXPECT_EQ(con_read_line(buf, sizeof buf), -1);
    con_set_input(nullptr);
    std::fclose(in);
}

}  // namespace
