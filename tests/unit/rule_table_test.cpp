#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "config/conf_image.h"
#include "rules/rule_table.h"
#include "rules/rules_parser.h"
#include "directive_file_util.h"
#include "module_state.h"

namespace {
constexpr const char* HEADER = "\nAction Command   Mods Arguments\n";

class RuleDisplay : public ::testing::Test {
protected:
    void SetUp() override { module_state_reset(); }
};

std::string display() {
    return capture_output([] { rules_display(); });
}

// Loads rule lines through the parser, then shows them.
std::string shown(const std::string& rules) {
    temp_file file(rules);
    std::string out = capture_output([&] { EXPECT_EQ(rules_process(file.path()), 0); });
    return display();
}

TEST_F(RuleDisplay, NoRules) {
    EXPECT_EQ(display(), "No Rules are configured!  Implicit Rule Action is Pass\n");
    conf_image.implicit_action = 'd';
    EXPECT_EQ(display(), "No Rules are configured!  Implicit Rule Action is Drop\n");
    conf_image.implicit_action = 7;
    EXPECT_EQ(display(), "No Rules are configured!  Implicit Rule Action is ?\n");
    EXPECT_EQ(shown("drop implicit\n"), "No Rules are configured!  Implicit Rule Action is Drop\n");
}

TEST_F(RuleDisplay, OneLinePerKind) {
    struct {
        const char* rule;
        const char* line;
    } cases[] = {
        {"drop destin ABCDE-3", "Drop   destin    40   ABCDE -3   \n"},
        {"drop source AB*", "Drop   source    10   AB    *   \n"},
        {"pass source *", "Pass   source    30   *   \n"},
        {"pass dst ABCDEF-15", "Pass   destin    40   ABCDEF-15   \n"},
        {"pass src abc", "Pass   source    00   abc      \n"},
        {"pass circle 5, 45.25d, 7.5d", "Pass   circle    00   5.000 mi R, 45.250000  D Lat, 7.50000     D Lon \n"},
        {"pass rectangle 45.25d, 7.5d, 44d, 8d",
         "Pass   rectangle 00   45.250000  D Lat1, 7.50000     D Lon1, 44.000000  D Lat2, 8.00000     D Lon2\n"},
        {"pass sector 10d, 20d, 0", "Pass   sector    00   10.000 D Ang1, 20.000 D Ang2, 0.000 In R, 0.000 Out R\n"},
        {"drop compass ne, 45.25d, 7.5d", "Drop   compass   00   NE Dir, 45.250000  D Lat, 7.50000     D Lon \n"},
        {"drop compass s, 45.25d, 7.5d", "Drop   compass   00   S  Dir, 45.250000  D Lat, 7.50000     D Lon \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        SetUp();
        EXPECT_EQ(shown(std::string(c.rule) + "\n"),
                  std::string("Rule count 1 plus Implicit\n") + HEADER + "Pass   Implicit \n" + c.line);
    }
}

TEST_F(RuleDisplay, ImplicitLineComesFirst) {
    EXPECT_EQ(shown("pass dst A\npass src B\ndrop implicit\n"),
              std::string("Rule count 2 plus Implicit\n") + HEADER +
                  "Drop   Implicit \n"
                  "Pass   destin    00   A        \n"
                  "Pass   source    00   B        \n");
}

TEST_F(RuleDisplay, LongTextsAreCutAt19Characters) {
    EXPECT_EQ(shown("pass circle 1e30, 1d, 1d\npass sector 1d, 2d, 123456789012 1e35\n"),
              std::string("Rule count 2 plus Implicit\n") + HEADER +
                  "Pass   Implicit \n"
                  "Pass   circle    00   1000000015047466219 1.000000   D Lat, 1.00000     D Lon \n"
                  "Pass   sector    00   1.000 D Ang1, 2.000 D Ang2, 123456790528.000 In 1000000040918478759\n");
}

TEST_F(RuleDisplay, UnknownKindAndAction) {
    conf_image.rule_count = 2;
    rule_table[0].kind = 99;
    rule_table[0].flags = 0x01;
    rule_table[1].kind = RULE_KIND_COMPASS;
    rule_table[1].flags = RULE_DROP;
    rule_table[1].slot[0] = 12;  // no such direction
    std::string out = display();
    EXPECT_EQ(out, std::string("Rule count 2 plus Implicit\n") + HEADER +
                       "Pass   Implicit \n"
                       "?      ?         00      \n"
                       "Drop   compass   00   ?  Dir, 0.000000   D Lat, 0.00000     D Lon \n");
}

TEST(RuleKindName, FirstEntryOfTheCode) {
    EXPECT_STREQ(rule_kind_name(37), "destin");
    EXPECT_STREQ(rule_kind_name(38), "source");
    EXPECT_STREQ(rule_kind_name(36), "implicit");
    EXPECT_STREQ(rule_kind_name(42), "sector");
    EXPECT_STREQ(rule_kind_name(43), "?");
}
}  // namespace
