#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
#include "out_capture.h"
#include "platform/platform.h"

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

// A carriage return directly before a line feed belongs to the line end, as
// a text-mode read on Windows takes it: it is gone before the 255-character
// pieces are cut, and a line of CR LF alone is a line feed alone.
TEST(Console, CarriageReturnBeforeLineFeed) {
    struct row {
        const char* name;
        std::string input;
        std::vector<std::string> lines;  // what each read gives, in order
    };
    const std::vector<row> rows = {
        {"CR LF alone", "\r\n", {"\n"}},
        {"command", "help\r\n", {"help\n"}},
        {"254 characters", std::string(254, 'a') + "\r\n", {std::string(254, 'a') + "\n"}},
        {"255 characters", std::string(255, 'a') + "\r\n", {std::string(255, 'a'), "\n"}},
        {"lone CR stays", "a\rb\n", {"a\rb\n"}},
        {"CR at the end of input", "ab\r", {"ab\r"}},
        {"CR CR LF", "ab\r\r\n", {"ab\r\n"}},
    };
    for (const row& r : rows) {
        std::string input = r.input;
        FILE* in = fmemopen(input.data(), input.size(), "r");
        ASSERT_NE(in, nullptr);
        con_set_input(in);
        char buf[256];
        for (const std::string& expected : r.lines) {
            EXPECT_EQ(con_read_line(buf, sizeof buf), static_cast<int>(expected.size())) << r.name;
            EXPECT_EQ(std::string(buf), expected) << r.name;
        }
        EXPECT_EQ(con_read_line(buf, sizeof buf), -1) << r.name;
        con_set_input(nullptr);
        std::fclose(in);
    }
}

// Away from a terminal (no editor), a command read shows its prompt and a
// question its text, and both then read as con_read_line and
// con_read_answer do.
TEST(Console, PromptsAndQuestionsWithoutAnEditor) {
    out_capture out(std::string(300, 'y') + "\nno, and more than fits\nhelp\n");
    char buf[256];
    EXPECT_EQ(con_read_command("Command> ", buf, sizeof buf), 255);
    EXPECT_EQ(con_read_command("Command> ", buf, sizeof buf), 46);
    EXPECT_EQ(std::string(buf), std::string(45, 'y') + "\n");
    char answer[8];
    EXPECT_EQ(con_ask(answer, sizeof answer, "Question %d?\n(yes|no) [no]: ", 2), 7);
    EXPECT_STREQ(answer, "no, and");
    EXPECT_EQ(con_read_command("Command> ", buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "help\n");
    EXPECT_EQ(con_read_command("Command> ", buf, sizeof buf), CON_END_OF_INPUT);
    EXPECT_EQ(con_ask(answer, sizeof answer, "Again? "), CON_END_OF_INPUT);
    EXPECT_EQ(out.text(), "Command> Command> Question 2?\n(yes|no) [no]: Command> Command> Again? ");
}

}  // namespace
