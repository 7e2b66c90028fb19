#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/number_text.h"
#include "common/word_scan.h"

namespace {
std::vector<std::string> words(const char* text, const std::vector<const char*>& sets) {
    char line[256];
    std::snprintf(line, sizeof line, "%s", text);
    word_cursor c = word_start(line);
    std::vector<std::string> out;
    for (const char* set : sets) {
        const char* w = word_next(c, set);
        out.push_back(w != nullptr ? w : "<none>");
    }
    return out;
}
}  // namespace

TEST(WordScan, FileNamesKeepBlanks) {
    EXPECT_EQ(words("configure my file.cfg", {", \t", ",\t"}),
              (std::vector<std::string>{"configure", "my file.cfg"}));
    EXPECT_EQ(words("configure a.cfg,b.cfg", {", \t", ",\t"}),
              (std::vector<std::string>{"configure", "a.cfg"}));
    // The blank that ended the command word is used up; the second one stays.
    EXPECT_EQ(words("configure  x.cfg", {", \t", ",\t"}),
              (std::vector<std::string>{"configure", " x.cfg"}));
    EXPECT_EQ(words("configure", {", \t", ",\t"}), (std::vector<std::string>{"configure", "<none>"}));
}

TEST(WordScan, SeparatorRunsAndEnd) {
    EXPECT_EQ(words(", ,", {", \t"}), (std::vector<std::string>{"<none>"}));
    EXPECT_EQ(words("connect com3,9600", {", \t", ", \t", ", \t"}),
              (std::vector<std::string>{"connect", "com3", "9600"}));
    EXPECT_EQ(words("a", {", \t", ", \t", ", \t"}), (std::vector<std::string>{"a", "<none>", "<none>"}));
}

TEST(NumberText, Whole) {
    struct {
        const char* text;
        int value;
    } cases[] = {{"9600", 9600}, {"9600x", 9600}, {"fast", 0}, {"-5", -5}, {"+7", 7}, {" \t12", 12},
                 {"", 0},        {"-", 0},        {"99999999999999", 2147483647}, {"-99999999999999", -2147483647 - 1},
                 {"10.9", 10}};
    for (const auto& c : cases) EXPECT_EQ(text_whole(c.text), c.value) << c.text;
}

TEST(NumberText, CInteger) {
    struct {
        const char* text;
        int value;
    } cases[] = {{"0x0f", 15}, {"017", 15}, {"15", 15}, {"x", 0}, {"0x", 0}, {"08", 0}, {"-0x10", -16},
                 {"0xffffffffff", 2147483647}};
    for (const auto& c : cases) EXPECT_EQ(text_c_integer(c.text), c.value) << c.text;
}

TEST(NumberText, Decimal) {
    struct {
        const char* text;
        bool exponent;
        double value;
        size_t used;
    } cases[] = {
        {"5", true, 5.0, 1},          {"-2", true, -2.0, 2},      {".5", true, 0.5, 2},
        {"1e3", true, 1000.0, 3},     {"1e3", false, 1.0, 1},     {"1e", true, 1.0, 1},
        {"inf", true, 0.0, 0},        {"nan", true, 0.0, 0},      {"0x1p3", true, 0.0, 1},
        {"abc", true, 0.0, 0},        {" 22.64.", false, 22.64, 6}, {"-", true, 0.0, 0},
    };
    for (const auto& c : cases) {
        const char* end = nullptr;
        EXPECT_DOUBLE_EQ(text_decimal(c.text, c.exponent, &end), c.value) << c.text;
        EXPECT_EQ(static_cast<size_t>(end - c.text), c.used) << c.text;
    }
    const char* text = "39d23";
    EXPECT_DOUBLE_EQ(text_decimal(text, true, nullptr, text + 2), 39.0);
    EXPECT_TRUE(fits_f32(3.4e38));
    EXPECT_FALSE(fits_f32(1e39));
}
