#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "config/angle_parser.h"
#include "out_capture.h"

namespace {

struct angle_ok {
    const char* text;
    double degrees;
};

struct angle_bad {
    const char* text;
    const char* message;
};

// Accepted texts: degrees to the six places the results are quoted with.
const angle_ok accepted[] = {
    {"45:22:33", 45.375833},
    {"-38:33:29.222", -38.558117},
    {"45:18:", 45.3},
    {"10.9:00:00", 10.0},
    {"45.22.64", 45.377333},
    {"-103.00.", -103.0},
    {"39.30.30", 39.505},
    {"39d23.7m33.9C", 39.404417},
    {"23.7m33.9c39d", 39.404417},
    {"-42.5d", -42.5},
    {"42.5dS", -42.5},
    {"39d-30m", 38.5},
    {"0d-30m", -0.5},
    {"-0d30m", -0.5},
    {"0d30mS", -0.5},
    {"30mW", -0.5},
    {"-0:30:00", -0.5},
    {"-0.30.", -0.5},
    {"39d30m15N", 39.5},
    {"N39dE", 39.0},
    {"39:59:59.9", 39.999972},
    {"181d", 181.0},
    {"360d", 360.0},
    {"-360d", -360.0},
    // The examples of the angles help text.
    {"-103:00:00", -103.0},
    {"-38.33.379", -38.556317},
    {"N 39d 23.7m 33.9c", 39.404417},
    {"39.404415D", 39.404415},
    {"n39.395d 33.9c", 39.404417},
};

const angle_bad refused[] = {
    {"39d30", "\a\aInternal Error: pointer mismatch\n"},
    {"39d ", "\a\aInternal Error: pointer mismatch\n"},
    {"39d30d", "\a\aError: DMC format: already have degrees (39.000000)\n"},
    {"N39dS", "\a\aError: DMC format: both direction chars N and S cannot be specified\n"},
    {"-39dW", "\a\aError: DMC format: both minus (-) and direction char W cannot be specified\n"},
    {"39d,30m", "\a\aError: DMC format: invalid char: , (0x2c)\n"},
    {"--39d", "\a\aError: too man minus signs: 2: only one is allowed\n"},
    {"39", "\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n"},
    {"39.5",
     "\a\aError: Dotted format: must have 2 periods: [s][D]DD.MM.[F*]\n"
     "\tor DMC format must have at least one of [DdMmCc] identifiers\n"},
    {"39:30", "\a\aError: Colon format: must have 2 colons: [s][D]DD:MM:SS[.F*]\n"},
    {"39:30:00.5.5", "\a\aError: Colon format: too many periods: [s][D]DD:MM:SS[.F*]\n"},
    {"39:30:00N", "\a\aError: Colon format: has alpha characters: [s][D]DD:MM:SS[.F*]\n"},
    {"39x",
     "\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
     "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n"},
    {"39:60:00", "\a\aError: min 60.000000 is out of range [0..59.99]\n"},
    {"39:59:60", "\a\aError: sec 60.000000 is out of range [0..59.99]\n"},
    {"361d", "\a\aError: deg 361.000000 is out of range [-180..180]\n"},
    {"", "dmctodeg: Error: invalid param inp\n"},
};

TEST(AngleParser, SentinelIsLargestFloat) {
    float f = static_cast<float>(ANGLE_ERROR);
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    EXPECT_EQ(bits, 0x7F7FFFFFu);
    EXPECT_EQ(static_cast<double>(f), ANGLE_ERROR);
}

TEST(AngleParser, AcceptedTextsGiveDegreesSilently) {
    for (const auto& row : accepted) {
        out_capture out;
        double deg = dmctodeg(row.text);
        EXPECT_NEAR(deg, row.degrees, 1e-6) << row.text;
        EXPECT_EQ(out.text(), "") << row.text;
    }
}

TEST(AngleParser, RefusedTextsPrintOneMessage) {
    for (const auto& row : refused) {
        out_capture out;
        EXPECT_EQ(dmctodeg(row.text), ANGLE_ERROR) << row.text;
        EXPECT_EQ(out.text(), row.message) << row.text;
    }
}

TEST(AngleParser, MissingText) {
    out_capture out;
    EXPECT_EQ(dmctodeg(nullptr), ANGLE_ERROR);
    EXPECT_EQ(out.text(), "dmctodeg: Error: invalid param inp\n");
}

// Rules of the DMC walk beyond the table above.
TEST(AngleParser, DmcWalkRules) {
    const angle_bad more_refused[] = {
        {"1m2m", "\a\aError: DMC format: already have minutes (1.000000)\n"},
        {"1.5c2c", "\a\aError: DMC format: already have seconds (1.500000)\n"},
        // A minus with both kinds of direction names the north-or-east letter.
        {"S-1dN", "\a\aError: DMC format: both minus (-) and direction char N cannot be specified\n"},
        // Without a minus the north-or-east letter comes first, wherever it stands.
        {"S39dN", "\a\aError: DMC format: both direction chars N and S cannot be specified\n"},
        {"e39dw", "\a\aError: DMC format: both direction chars e and w cannot be specified\n"},
        {"39d\r", "\a\aError: DMC format: invalid char: \r (0x0d)\n"},
        {"39d#x", "\a\aError: DMC format: invalid char: # (0x23)\n"},
        {"39d\xb0", "\a\aError: DMC format: invalid char: \xb0 (0xb0)\n"},
        {"1d:2:", "\a\aError: Colon format: has alpha characters: [s][D]DD:MM:SS[.F*]\n"},
    };
    for (const auto& row : more_refused) {
        out_capture out;
        EXPECT_EQ(dmctodeg(row.text), ANGLE_ERROR) << row.text;
        EXPECT_EQ(out.text(), row.message) << row.text;
    }

    const angle_ok more_accepted[] = {
        {"S 12d 30m", -12.5},
        {"12d30mw", -12.5},
        {"W 104d 52m 30c", -104.875},
        {"W 52m 30c 104d", -104.875},
        {"N 39d 45m 0c", 39.75},
        {" \t39 \td", 39.0},
        {"+39d", 39.0},
        {"39d30m-36c", 39.49},
        // The identifier ends the number: 'e' is a direction, never an exponent.
        {"3e1d", 1.0},
        // The walk stops at a newline; what follows it is never read.
        {"39d\n30", 39.0},
        {"59.999m", 0.99998333},
    };
    for (const auto& row : more_accepted) {
        out_capture out;
        EXPECT_NEAR(dmctodeg(row.text), row.degrees, 1e-6) << row.text;
        EXPECT_EQ(out.text(), "") << row.text;
    }
}

TEST(AngleParser, RangeBoundsOfParts) {
    out_capture out;
    EXPECT_NEAR(dmctodeg("0:59:59.99"), 59.0 / 60 + 59.99 / 3600, 1e-6);
    EXPECT_NEAR(dmctodeg("10d-59.9m"), 10 - 59.9 / 60, 1e-6);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(dmctodeg("10d-60m"), ANGLE_ERROR);
    EXPECT_EQ(out.take(), "\a\aError: min -60.000000 is out of range [0..59.99]\n");
    EXPECT_EQ(dmctodeg("-60c"), ANGLE_ERROR);
    EXPECT_EQ(out.take(), "\a\aError: sec -60.000000 is out of range [0..59.99]\n");
    // The seconds are checked before the minutes.
    EXPECT_EQ(dmctodeg("70m70c"), ANGLE_ERROR);
    EXPECT_EQ(out.take(), "\a\aError: sec 70.000000 is out of range [0..59.99]\n");
    EXPECT_EQ(dmctodeg("-361d"), ANGLE_ERROR);
    EXPECT_EQ(out.take(), "\a\aError: deg -361.000000 is out of range [-180..180]\n");
    EXPECT_EQ(dmctodeg("359d60m"), ANGLE_ERROR);
    EXPECT_EQ(out.take(), "\a\aError: min 60.000000 is out of range [0..59.99]\n");
    EXPECT_EQ(dmctodeg("360d0.5m"), ANGLE_ERROR);
    EXPECT_EQ(out.take().rfind("\a\aError: deg 360.008333 is out of range", 0), 0u);
}

// Texts no notation can hold must come back as the sentinel, never as a
// number or undefined behaviour.
TEST(AngleParser, HostileTexts) {
    std::string huge(500, '9');
    const std::string texts[] = {huge + "d", "-" + huge + "d", huge + "c", huge + ":00:00", "0." + huge + ".",
                                 "1:2:" + huge};
    for (const auto& t : texts) {
        out_capture out;
        EXPECT_EQ(dmctodeg(t.c_str()), ANGLE_ERROR) << t.substr(0, 8);
        std::string msg = out.text();
        EXPECT_EQ(msg.rfind("\a\aError: ", 0), 0u) << msg;
        EXPECT_EQ(msg.back(), '\n');
    }
}

// A newline before the second separator leaves a fixed-field angle incomplete:
// it is refused, not read as the part before the newline.
TEST(AngleParser, IncompleteFixedFields) {
    const angle_bad rows[] = {
        {"45:30\n:00", "\a\aInternal Error: pointer mismatch\n"},
        {"45:\n30:00", "\a\aInternal Error: Colon format\n"},
        {"45.\n30.", "\a\aInternal Error: Dotted format\n"},
        {"45.30\n.", "\a\aInternal Error: pointer mismatch\n"},
        // A newline before the first field cuts the text as well.
        {"\n45:30:00", "\a\aInternal Error: Colon format\n"},
        {"\n45.30.", "\a\aInternal Error: Dotted format\n"},
    };
    for (const auto& row : rows) {
        out_capture out;
        EXPECT_EQ(dmctodeg(row.text), ANGLE_ERROR) << row.text;
        EXPECT_EQ(out.text(), row.message) << row.text;
    }
}

}  // namespace
