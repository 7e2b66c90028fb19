#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/conf_image.h"
#include "rules/rule_table.h"
#include "rules/rules_parser.h"
#include "directive_file_util.h"
#include "module_state.h"

namespace {
struct rules_run_result {
    int rc;
    std::string out;
};

// The file's path is replaced by "F" in the output, so expected texts stay short.
rules_run_result run_rules(const std::string& content) {
    temp_file file(content);
    rules_run_result r{};
    r.out = capture_output([&] { r.rc = rules_process(file.path()); });
    std::string path = file.path();
    for (size_t at = r.out.find(path); at != std::string::npos; at = r.out.find(path)) r.out.replace(at, path.size(), "F");
    return r;
}

std::vector<uint8_t> record_bytes(int index) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&rule_table[static_cast<size_t>(index)]);
    return std::vector<uint8_t>(p, p + 28);
}

// A record as the device receives it: the call or the float values at their
// offsets, then kind, flags and the little-endian line number.
std::vector<uint8_t> call_record(const char* call, int ssid, uint8_t kind, uint8_t flags, uint16_t line) {
    std::vector<uint8_t> b(28, 0);
    std::memcpy(b.data(), call, std::strlen(call));
    b[6] = static_cast<uint8_t>(ssid);
    b[24] = kind;
    b[25] = flags;
    b[26] = static_cast<uint8_t>(line & 0xFF);
    b[27] = static_cast<uint8_t>(line >> 8);
    return b;
}

std::vector<uint8_t> area_record(std::vector<float> values, uint8_t kind, uint8_t flags, uint16_t line,
                                 int direction = 0) {
    std::vector<uint8_t> b(28, 0);
    size_t first = 0;
    if (direction != 0) {
        b[0] = static_cast<uint8_t>(direction);
        first = 1;
    }
    for (size_t i = 0; i < values.size(); ++i) std::memcpy(b.data() + 6 * (i + first), &values[i], 4);
    b[24] = kind;
    b[25] = flags;
    b[26] = static_cast<uint8_t>(line & 0xFF);
    b[27] = static_cast<uint8_t>(line >> 8);
    return b;
}

class RulesParser : public ::testing::Test {
protected:
    void SetUp() override { module_state_reset(); }
};

struct good_case {
    const char* line;
    std::vector<uint8_t> record;
};

TEST_F(RulesParser, AcceptedLinesStoreTheirRecord) {
    const good_case cases[] = {
        {"PASS DST abc", call_record("abc", 0, 37, 0x08, 1)},
        {"pass de ABC", call_record("ABC", 0, 37, 0x08, 1)},
        {"p DEST ABC", call_record("ABC", 0, 37, 0x08, 1)},
        {"drop dst ABC-7", call_record("ABC", 7, 37, 0x44, 1)},
        {"drop dst ABC-", call_record("ABC", 0, 37, 0x44, 1)},
        {"pass src *", call_record("", 0, 38, 0x38, 1)},
        {"pass src *ABCDEFGHIJ", call_record("", 0, 38, 0x38, 1)},
        {"pass src AB*CD", call_record("AB", 0, 38, 0x18, 1)},
        {"pass src ABC-5*", call_record("ABC-5", 0, 38, 0x18, 1)},
        {"pass src ABCDEF-15", call_record("ABCDEF", 15, 38, 0x48, 1)},
        {"d so W1AW#x", call_record("W1AW", 0, 38, 0x04, 1)},
        {"pass circle 5, 45.25d, 7.5d", area_record({5.0f, 45.25f, 7.5f}, 39, 0x08, 1)},
        {"pass circle 1e2, 45d, 7d# note", area_record({100.0f, 45.0f, 7.0f}, 39, 0x08, 1)},
        {"pass circle 5, 45d, 7d\t# note", area_record({5.0f, 45.0f, 7.0f}, 39, 0x08, 1)},
        {"pass circle 5,\t-90d,180d", area_record({5.0f, -90.0f, 180.0f}, 39, 0x08, 1)},
        {"drop compass ne, 45d, 7d", area_record({45.0f, 7.0f}, 40, 0x04, 1, 2)},
        {"drop compass NW, 45d, -7d", area_record({45.0f, -7.0f}, 40, 0x04, 1, 8)},
        {"pass rect 45.25d, 7.5d, 44d, 8d", area_record({45.25f, 7.5f, 44.0f, 8.0f}, 41, 0x08, 1)},
        {"pass sector 10d, 20d, 5", area_record({10.0f, 20.0f, 5.0f, 0.0f}, 42, 0x08, 1)},
        {"pass sector 10d, 20d, 5 # 3", area_record({10.0f, 20.0f, 5.0f, 0.0f}, 42, 0x08, 1)},
        {"pass sector 0d, 360d, 0.5 7.25", area_record({0.0f, 360.0f, 0.5f, 7.25f}, 42, 0x08, 1)},
    };
    for (const good_case& c : cases) {
        SCOPED_TRACE(c.line);
        SetUp();
        rules_run_result r = run_rules(std::string(c.line) + "\n");
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, "Rules processed 1, implicit 0\n");
        EXPECT_EQ(record_bytes(0), c.record);
        EXPECT_EQ(conf_image.rule_count, 1);
        EXPECT_TRUE(rules_processed);
    }
}

struct bad_case {
    const char* line;
    int rc;
    const char* text;  // what stands between "F[1]: " and ":\n<line>\n"
    bool after_angle = false;  // the angle parser's message comes first; text is cut
};

const char* const ANGLE_VALUE = "340282346638528859811704183484516925440.000000";

TEST_F(RulesParser, FailingLinesPrintTheirMessage) {
    const bad_case cases[] = {
        {"pass#x dst ABC", -3, "action pass#x invalid"},
        {"pas dst ABC", -3, "action pas invalid"},
        {"pass # dst", -5, "missing command"},
        {"pass", -71, "missing arguments"},
        {"drop ,,", -71, "missing arguments"},
        {"pass d ABC", -7, "Ambiguous command: d"},
        {"pass s ABC", -7, "Ambiguous command: s"},
        {"pass c 1", -7, "Ambiguous command: c"},
        {"pass destination ABC", -7, "command destination invalid"},
        {"drop dst ABC-16", -9, "invalid SSID range [0..15]: 16"},
        {"drop src ABC--1", -9, "invalid SSID range [0..15]: -1"},
        {"drop dst ABC-99999999999", -9, "invalid SSID range [0..15]: 2147483647"},
        {"pass dst ABCDEFG", -10, "Destination is too long: ABCDEFG"},
        {"pass dst ABCDEFGH-1", -10, "Destination is too long: ABCDEFGH"},
        {"pass src ABCDEFG*", -11, "Source is too long: ABCDEFG"},
        {"pass dst # note", -8, "missing Destination string"},
        {"pass dst", -11, "missing Destination"},
        {"pass src ; note", -12, "missing Source string"},
        {"pass src", -13, "missing Source"},
        // A word that begins at the comment character is not commented out.
        {"pass circle # 5", -16, "invalid Circle Radius, must be > 0: 0.000000"},
        {"pass circle", -25, "missing Radius"},
        {"pass circle 5", -24, "missing Latitude"},
        {"pass circle 5, 45d", -23, "missing Longitude"},
        {"pass circle 5#x, 45d, 7d", -17, "missing Latitude"},
        {"pass circle 5 # 45d, 7d", -19, "invalid Latitude range [-90..90]: 3402", true},
        {"pass circle 5, 45d # 7d", -19, "invalid Latitude range [-90..90]: 3402", true},
        {"pass circle 5, 45d,# 7d", -20, "missing Longitude"},
        {"pass circle 5, 45d, # 7d", -22, "invalid Longitude range [-180..180]: 3402", true},
        {"pass circle abc, 45d, 7d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
        {"pass circle -2, 45d, 7d", -16, "invalid Circle Radius, must be > 0: -2.000000"},
        {"pass circle inf, 45d, 7d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
        {"pass circle 0x10, 45d, 7d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
        {"pass circle 5, 91d, 7d", -19, "invalid Latitude range [-90..90]: 91.000000"},
        {"pass circle 5, 45d, 181d", -22, "invalid Longitude range [-180..180]: 181.000000"},
        {"pass compass", -37, "missing Compass Direction"},
        {"pass compass ;N", -27, "invalid compass Direction ;N"},
        {"pass compass NNE, 45d, 7d", -27, "invalid compass Direction NNE"},
        {"pass compass N", -36, "missing Latitude"},
        {"pass compass N # 1d", -31, "invalid Latitude range [-90..90]: 3402", true},
        {"pass compass N, -91d, 7d", -31, "invalid Latitude range [-90..90]: -91.000000"},
        {"pass compass N, 45d", -35, "missing Longitude"},
        {"pass compass N, 45d,/7d", -32, "missing Longitude"},
        {"pass compass N, 45d, -181d", -34, "invalid Longitude range [-180..180]: -181.000000"},
        {"pass rectangle", -53, "missing Latitude1"},
        {"pass rectangle # x", -40, "invalid Latitude1 range [-90..90]: 3402", true},
        {"pass rectangle 95d, 1d, 2d, 3d", -40, "invalid Latitude1 range [-90..90]: 95.000000"},
        {"pass rectangle 1d", -52, "missing Longitude1"},
        {"pass rectangle 1d # x", -40, "invalid Latitude1 range [-90..90]: 3402", true},
        {"pass rectangle 1d, 190d, 2d, 3d", -43, "invalid Longitude1 range [-180..180]: 190.000000"},
        {"pass rectangle 1d, 2d", -51, "missing Latitude2"},
        {"pass rectangle 1d, 2d # x", -43, "invalid Longitude1 range [-180..180]: 3402", true},
        {"pass rectangle 1d, 2d, -95d, 3d", -46, "invalid Latitude2 range [-90..90]: -95.000000"},
        {"pass rectangle 1d, 2d, 3d", -50, "missing Longitude2"},
        {"pass rectangle 1d, 2d, 3d,# x", -47, "missing Longitude2"},
        {"pass rectangle 1d, 2d, 3d, 200d", -49, "invalid Longitude2 range [-180..180]: 200.000000"},
        {"pass sector", -69, "missing Angle1"},
        {"pass sector # 1d", -57, "invalid Angle1, range [0..360]: 3402", true},
        {"pass sector -1d, 20d, 5", -57, "invalid Angle1, range [0..360]: -1.000000"},
        {"pass sector 10d", -68, "missing Angle2"},
        {"pass sector 10d # 20d", -57, "invalid Angle1, range [0..360]: 3402", true},
        {"pass sector 10d, -1d, 5", -60, "invalid Angle2, range [0..360]: -1.000000"},
        {"pass sector 10d, 20d", -67, "missing Inner Range"},
        {"pass sector 10d, 20d, # 5", -61, "missing Inner Range"},
        {"pass sector 10d, 20d, .5", -62, "invalid or missing Inner Range"},
        {"pass sector 10d, 20d, -1", -62, "invalid or missing Inner Range"},
        {"pass sector 10d, 20d, 1e39", -62, "invalid or missing Inner Range"},
        {"pass sector 10d, 20d, 5 3", -66, "invalid Outer Range, must be > Inner Range: 3.000000"},
        {"pass sector 10d, 20d, 5 5", -66, "invalid Outer Range, must be > Inner Range: 5.000000"},
        {"pass sector 10d, 20d, 5 nan", -66, "invalid Outer Range, must be > Inner Range: 0.000000"},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.line);
        SetUp();
        rules_run_result r = run_rules(std::string(c.line) + "\n");
        EXPECT_EQ(r.rc, c.rc);
        if (c.after_angle) {
            // ANGLE_ERROR fails the range check and is shown in full.
            std::string ours = "\a\aError: F[1]: " + std::string(c.text);
            size_t at = r.out.find(ours);
            ASSERT_NE(at, std::string::npos) << r.out;
            EXPECT_GT(at, 0u);
            EXPECT_EQ(r.out.substr(at + ours.size() - 4), std::string(ANGLE_VALUE) + ":\n" + c.line + "\n");
        } else {
            EXPECT_EQ(r.out, "\a\aError: F[1]: " + std::string(c.text) + ":\n" + c.line + "\n");
        }
        EXPECT_EQ(conf_image.rule_count, 0);
        EXPECT_FALSE(rules_processed);
    }
}

TEST_F(RulesParser, ValuesBeyondTheFloatRangeAreRefused) {
    rules_run_result r = run_rules("pass circle 1e39, 45d, 7d\n");
    EXPECT_EQ(r.rc, -16);
    EXPECT_EQ(r.out.rfind("\a\aError: F[1]: invalid Circle Radius, must be > 0: 9999999999", 0), 0u) << r.out;
    r = run_rules("pass sector 10d, 20d, 5 1e39\n");
    EXPECT_EQ(r.rc, -66);
    EXPECT_EQ(r.out.rfind("\a\aError: F[1]: invalid Outer Range, must be > Inner Range: 9999999999", 0), 0u);
    r = run_rules("pass circle 1e-50, 45d, 7d\n");
    EXPECT_EQ(r.rc, -16);
}

TEST_F(RulesParser, BadAngleTextGivesBothMessages) {
    // Blanks do not separate coordinates: the angle parser gets one word.
    rules_run_result r = run_rules("pass rectangle 1d 2d 3d 4d\n");
    EXPECT_EQ(r.rc, -40);
    r = run_rules("pass circle 5, 45d, 7d # note\n");
    EXPECT_EQ(r.rc, -22);
    const std::string tail = std::string("\a\aError: F[1]: invalid Longitude range [-180..180]: ") + ANGLE_VALUE +
                             ":\npass circle 5, 45d, 7d # note\n";
    ASSERT_GT(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    r = run_rules("pass circle 5, 45d, 7d  \n");
    EXPECT_EQ(r.rc, -22);
}

TEST_F(RulesParser, NoPathAndUnopenableFileKeepTheRuleSet) {
    ASSERT_EQ(run_rules("drop implicit\npass dst A\n").rc, 0);
    int rc = 0;
    std::string out = capture_output([&] { rc = rules_process(nullptr); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "rules_process: Error: param rfp is invalid\n");
    out = capture_output([&] { rc = rules_process("/nonexistent/r.txt"); });
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(out, "\a\aError: cannot open /nonexistent/r.txt\n");
    EXPECT_EQ(conf_image.rule_count, 1);
    EXPECT_EQ(conf_image.implicit_action, 'd');
    EXPECT_TRUE(rules_processed);
}

// A directory opens on Linux and fails at its first read: it is a file that
// cannot be opened, and the rule set of the previous run stays.
TEST_F(RulesParser, DirectoryIsRefusedAndTheRuleSetStays) {
    ASSERT_EQ(run_rules("drop implicit\npass dst A\n").rc, 0);
    temp_dir dir;
    int rc = 0;
    std::string out = capture_output([&] { rc = rules_process(dir.path()); });
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(out, std::string("\a\aError: cannot open ") + dir.path() + "\n");
    EXPECT_EQ(conf_image.rule_count, 1);
    EXPECT_EQ(conf_image.implicit_action, 'd');
    EXPECT_TRUE(rules_processed);
    EXPECT_EQ(record_bytes(0), call_record("A", 0, 37, 8, 2));
}

// A read that fails in the middle of the file is a failure naming the line it
// was reading, with what every failing run leaves: no rules processed.
TEST_F(RulesParser, ReadErrorInTheMiddleOfTheFile) {
    failing_pipe_file file("drop implicit\npass dst A\n");
    ASSERT_TRUE(file.ready());
    int rc = 0;
    std::string out;
    file.run([&] { out = capture_output([&] { rc = rules_process(file.path()); }); });
    EXPECT_EQ(rc, -4);
    EXPECT_EQ(out, "\a\aError: " + std::string(file.path()) + "[3]: read error: " + std::strerror(EINTR) + "\n");
    EXPECT_EQ(conf_image.rule_count, 0);
    EXPECT_FALSE(rules_processed);
}

TEST_F(RulesParser, CommentsOnlyFile) {
    conf_image.implicit_action = 'd';
    conf_image.rule_count = 4;
    rules_run_result r = run_rules("# rules\n\n  ; none\n\t,/ here\r\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Rules processed 0, implicit 0\n");
    EXPECT_EQ(conf_image.rule_count, 0);
    EXPECT_EQ(conf_image.implicit_action, 'p');
    EXPECT_TRUE(rules_processed);
}

TEST_F(RulesParser, CommentLinesCountAndCrLf) {
    rules_run_result r = run_rules("#1\n/2\n;3\n  # 4\r\nbogus dst A\r\n");
    EXPECT_EQ(r.rc, -3);
    EXPECT_EQ(r.out, "\a\aError: F[5]: action bogus invalid:\nbogus dst A\n");
    r = run_rules("\r\npass dst A\r\npass src B-3\r\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(record_bytes(0), call_record("A", 0, 37, 0x08, 2));
    EXPECT_EQ(record_bytes(1), call_record("B", 3, 38, 0x48, 3));
}

TEST_F(RulesParser, ImplicitLines) {
    rules_run_result r = run_rules("pass dst A\ndrop implicit\npass src B\np i\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Rules processed 2, implicit 2\n");
    EXPECT_EQ(conf_image.implicit_action, 'p');
    EXPECT_EQ(record_bytes(1), call_record("B", 0, 38, 0x08, 3));
    EXPECT_EQ(record_bytes(2), std::vector<uint8_t>(28, 0));
    // An implicit line before the error keeps its effect.
    r = run_rules("drop implicit\npass dst A\npass dst ABCDEFG\n");
    EXPECT_EQ(r.rc, -10);
    EXPECT_EQ(conf_image.implicit_action, 'd');
    EXPECT_EQ(conf_image.rule_count, 0);
    EXPECT_FALSE(rules_processed);
}

TEST_F(RulesParser, RuleLimit) {
    std::string hundred;
    for (int i = 0; i < 100; ++i) hundred += "pass dst A" + std::to_string(i) + "\n";
    rules_run_result r = run_rules(hundred);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Rules processed 100, implicit 0\n");
    EXPECT_EQ(record_bytes(99), call_record("A99", 0, 37, 0x08, 100));
    r = run_rules(hundred + "drop bogus x\n");
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.out, "\a\aError: F[101]: rule limit (100) exceeded:\ndrop bogus x\n");
    std::string with_implicit = "drop implicit\n";
    for (int i = 0; i < 99; ++i) with_implicit += "pass dst A\n";
    r = run_rules(with_implicit + "pass dst A\n");
    EXPECT_EQ(r.rc, -6);
    // Lines without a command word fail before the limit is looked at.
    r = run_rules(hundred + "drop\n");
    EXPECT_EQ(r.rc, -71);
}

TEST_F(RulesParser, LongLines) {
    std::string first = "# " + std::string(253, 'x');
    rules_run_result r = run_rules(first + "pass dst ABC" + std::string(33, ' ') + "\nbogus\n");
    EXPECT_EQ(r.rc, -3);
    EXPECT_EQ(r.out, "\a\aError: F[3]: action bogus invalid:\nbogus\n");
    EXPECT_EQ(record_bytes(0), call_record("ABC", 0, 37, 0x08, 2));
    r = run_rules(first + "\nbogus\n");
    EXPECT_EQ(r.out, "\a\aError: F[3]: action bogus invalid:\nbogus\n");
}

TEST_F(RulesParser, FailureOnTheThirdLineHidesTheFirstTwo) {
    rules_run_result r = run_rules("pass dst A\ndrop src B\npass compass X, 1d, 1d\n");
    EXPECT_EQ(r.rc, -27);
    EXPECT_EQ(r.out, "\a\aError: F[3]: invalid compass Direction X:\npass compass X, 1d, 1d\n");
    std::string shown = capture_output([] { rules_display(); });
    EXPECT_EQ(shown, "No Rules are configured!  Implicit Rule Action is Pass\n");
}

// The project's top directory, from where this file stands in it.
std::string source_dir() {
    std::string here = __FILE__;
    size_t at = here.rfind("/tests/unit/");
    return at == std::string::npos ? std::string(".") : here.substr(0, at);
}

TEST_F(RulesParser, ExampleFilesLoad) {
    rules_run_result r{};
    std::string path = source_dir() + "/examples/rules.txt";
    r.out = capture_output([&] { r.rc = rules_process(path.c_str()); });
    EXPECT_EQ(r.rc, 0) << r.out;
    path = source_dir() + "/tests/e2e/data/rules100.txt";
    r.out = capture_output([&] { r.rc = rules_process(path.c_str()); });
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.out, "Rules processed 100, implicit 0\n");
}
}  // namespace
