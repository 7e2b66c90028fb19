#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/directive_scan.h"
#include "config/angle_parser.h"
#include "config/conf_image.h"
#include "config/conf_parser.h"
#include "directive_file_util.h"
#include "module_state.h"

namespace {
struct conf_run {
    int rc;
    std::string out;
};

conf_run run_conf(const std::string& content) {
    temp_file file(content);
    conf_run r{};
    r.out = capture_output([&] { r.rc = conf_process(file.path()); });
    return r;
}

uint16_t u16_at(size_t offset) {
    uint16_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&conf_image) + offset, 2);
    return v;
}
uint32_t u32_at(size_t offset) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&conf_image) + offset, 4);
    return v;
}

class ConfParser : public ::testing::Test {
protected:
    void SetUp() override { module_state_reset(); }
};

// Lines that succeed, with the offset of the u16/u32 field they write.
struct value_case {
    const char* line;
    size_t offset;
    int width;  // 2 or 4 bytes
    uint32_t value;
};

const value_case value_cases[] = {
    {"ho 9600\n", 0, 4, 9600},
    {"HOST 9600\n", 0, 4, 9600},
    {"host 9600\n", 0, 4, 9600},
    {"host 9600 # comment\n", 0, 4, 9600},
    {"host 9600 19200\n", 0, 4, 9600},
    {"dstar 4800\n", 4, 4, 4800},
    {"tnc 115200\n", 8, 4, 115200},
    {"tnc,110\n", 8, 4, 110},
    {"widem 3\n", 30, 2, 3},
    {"widetotal 1\n", 32, 2, 1},
    {"ssid 0x0f\n", 28, 2, 15},
    {"ssid 017\n", 28, 2, 15},
    {"ssid x\n", 28, 2, 0},
    {"ssid 7\n", 28, 2, 7},
    {"relay yes\n", 34, 2, 1},
    {"relay True\n", 34, 2, 1},
    {"relay 1\n", 34, 2, 1},
    {"relay enable\n", 34, 2, 1},
    {"relay no\n", 34, 2, 0},
    {"relay 0\n", 34, 2, 0},
    {"relay on\n", 34, 2, 0},
    {"nsr yes\n", 36, 2, 1},
    {"dupewin 5\n", 40, 2, 5},
    {"dupewin 500\n", 40, 2, 500},
    {"log n\n", 42, 2, 0},
    {"haltonerr y\n", 44, 2, 1},
    {"dropmangld f\n", 46, 2, 0},
    {"fixvalid no\n", 48, 2, 0},
};

TEST_F(ConfParser, AcceptedLinesSetTheirField) {
    for (const value_case& c : value_cases) {
        SCOPED_TRACE(c.line);
        conf_reset();
        conf_run r = run_conf(c.line);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, "Configuration items processed 1\n");
        EXPECT_EQ(c.width == 4 ? u32_at(c.offset) : u16_at(c.offset), c.value);
    }
}

struct error_case {
    const char* line;
    int rc;
    const char* message;
};

const error_case error_cases[] = {
    {"d 9600", -7, "\a\aError: line 1: Ambiguous command: d: d 9600\n"},
    {"hostx 9600", -7, "\a\aError: line 1: command hostx invalid: hostx 9600\n"},
    {"w 3", -7, "\a\aError: line 1: Ambiguous command: w: w 3\n"},
    {"wide 3", -7, "\a\aError: line 1: Ambiguous command: wide: wide 3\n"},
    {"host # 9600", -8, "\a\aError: line 1: missing Baud argument: host # 9600\n"},
    {"host", -11, "\a\aError: line 1: missing Baud argument: host\n"},
    {"host 12345", -11, "\a\aError: line 1: invalid Baud argument: 12345: host 12345\n"},
    {"host x", -11, "get_baud: Error: invalid baud: 0\n\a\aError: line 1: invalid Baud argument: 0: host x\n"},
    {"host 99999999999", -11,
     "\a\aError: line 1: invalid Baud argument: 2147483647: host 99999999999\n"},
    {"call ab1cdef", -11, "\a\aError: line 1: invalid Call Sign argument: too long: call ab1cdef\n"},
    {"call", -11, "\a\aError: line 1: missing Call Sign argument: call\n"},
    {"call ;x", -8, "\a\aError: line 1: missing Call Sign argument: call ;x\n"},
    {"ssid 16", -11, "\a\aError: line 1: invalid SSID argument range [0..15]: 16: ssid 16\n"},
    {"ssid -1", -11, "\a\aError: line 1: invalid SSID argument range [0..15]: -1: ssid -1\n"},
    {"ssid", -11, "\a\aError: line 1: missing SSID argument: ssid\n"},
    {"widemax 7", -11, "\a\aError: line 1: invalid n argument range [1..6]: 7: widemax 7\n"},
    {"widetotal 0", -11, "\a\aError: line 1: invalid n argument range [1..6]: 0: widetotal 0\n"},
    {"widemax / 3", -8, "\a\aError: line 1: missing n argument: widemax / 3\n"},
    {"dupewin 4", -11, "\a\aError: line 1: invalid seconds argument range [5..500]: 4: dupewin 4\n"},
    {"dupewin 501", -11, "\a\aError: line 1: invalid seconds argument range [5..500]: 501: dupewin 501\n"},
    {"dupewin 4294967301", -11,
     "\a\aError: line 1: invalid seconds argument range [5..500]: 2147483647: dupewin 4294967301\n"},
    {"dupewin", -11, "\a\aError: line 1: missing seconds argument: dupewin\n"},
    {"relay", -11, "\a\aError: line 1: missing y | n argument: relay\n"},
    {"nsr # yes", -8, "\a\aError: line 1: missing y | n argument: nsr # yes\n"},
    {"digipath ABCDEFGHI", -11,
     "\a\aError: line 1: Digi Path component 1: ABCDEFGHI exceeds length 8: digipath ABCDEFGHI\n"},
    {"digipath", -11, "\a\aError: line 1: missing Digi Path argument: digipath\n"},
    {"digipath ;a", -8, "\a\aError: line 1: missing Digi Path argument: digipath ;a\n"},
    {"position", -11, "\a\aError: line 1: missing Station Latitude argument: position\n"},
};

TEST_F(ConfParser, FailingLinesPrintTheirMessage) {
    for (const error_case& c : error_cases) {
        SCOPED_TRACE(c.line);
        conf_run r = run_conf(std::string(c.line) + "\n");
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.out, c.message);
    }
}

TEST_F(ConfParser, CallSign) {
    conf_run r = run_conf("call ab1cde\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(std::memcmp(conf_image.station_call, "AB1CDE\0\0", 8), 0);
    r = run_conf("call ab1\n");
    EXPECT_EQ(r.rc, 0);
    // The rest of the default call sign stays behind the terminator.
    EXPECT_EQ(std::memcmp(conf_image.station_call, "AB1\0et\0\0", 8), 0);
}

TEST_F(ConfParser, DigiPath) {
    struct {
        const char* line;
        std::vector<std::string> parts;  // slot contents, each zero-filled to 8 bytes
    } cases[] = {
        {"digipath wide1-1,wide2-1\n", {"WIDE1-1", "WIDE2-1"}},
        {"digipath WIDE1-1, WIDE2-1\n", {"WIDE1-1"}},
        {"digipath a,b,c,d,e,f,g,h,i\n", {"A", "B", "C", "D", "E", "F", "G", "H"}},
        {"digipath ,\n", {}},
        {"digipath ,,abcdefgh,,x,\n", {"ABCDEFGH", "X"}},
        {"digipath a,b,c,d,e,f,g,h,ABCDEFGHIJ\n", {"A", "B", "C", "D", "E", "F", "G", "H"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        conf_reset();
        conf_run r = run_conf(c.line);
        EXPECT_EQ(r.rc, 0) << r.out;
        EXPECT_EQ(digipath_count, static_cast<int>(c.parts.size()));
        char expected[64] = {};
        for (size_t i = 0; i < c.parts.size(); ++i) std::memcpy(expected + 8 * i, c.parts[i].data(), c.parts[i].size());
        EXPECT_EQ(std::memcmp(conf_image.digi_path, expected, 64), 0);
    }
}

TEST_F(ConfParser, DigiPathTooLongKeepsEarlierPartsAndCount) {
    ASSERT_EQ(run_conf("digipath a,b,c\n").rc, 0);
    ASSERT_EQ(digipath_count, 3);
    // Only one good line now: the reset clears the count, then the failing
    // line leaves the part before the long one.
    conf_run r = run_conf("digipath x,b\ndigipath q,ABCDEFGHI,z\n");
    EXPECT_EQ(r.rc, -11);
    EXPECT_EQ(r.out,
              "\a\aError: line 2: Digi Path component 2: ABCDEFGHI exceeds length 8: digipath q,ABCDEFGHI,z\n");
    EXPECT_EQ(digipath_count, 2);
    char expected[64] = {'Q'};
    EXPECT_EQ(std::memcmp(conf_image.digi_path, expected, 64), 0);
}

TEST_F(ConfParser, EachRunStartsFromTheDefaults) {
    ASSERT_EQ(run_conf("digipath a,b\nhost 4800\n").rc, 0);
    ASSERT_EQ(run_conf("relay no\n").rc, 0);
    EXPECT_EQ(digipath_count, 0);
    char zero[64] = {};
    EXPECT_EQ(std::memcmp(conf_image.digi_path, zero, 64), 0);
    EXPECT_EQ(conf_image.host_baud, 57600u);
}

TEST_F(ConfParser, Position) {
    conf_run r = run_conf("position 39:30:00 -104:30:00\n");
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(conf_image.base_lat, 39.5f);
    EXPECT_EQ(conf_image.base_lon, -104.5f);
    conf_reset();
    r = run_conf("base 39:30:00,-104:30:00\n");
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(conf_image.base_lat, 39.5f);
    EXPECT_EQ(conf_image.base_lon, -104.5f);

    conf_reset();
    r = run_conf("position 39:30:00\n");
    EXPECT_EQ(r.rc, -11);
    EXPECT_EQ(r.out, "\a\aError: line 1: missing Station Longitude argument: position 39:30:00\n");
    EXPECT_EQ(conf_image.base_lat, 39.5f);

    r = run_conf("position 39:30:00 # -104:30:00\n");
    EXPECT_EQ(r.rc, -8);
    EXPECT_EQ(r.out, "\a\aError: line 1: missing Station Longitude argument: position 39:30:00 # -104:30:00\n");

    // "#" reaches the angle parser, which refuses it first.
    r = run_conf("position # x\n");
    EXPECT_EQ(r.rc, -11);
    const std::string tail = "\a\aError: line 1: invalid Station Latitude argument: #: position # x\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_GT(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);

    r = run_conf("position 10:00:00 x\n");
    EXPECT_EQ(r.rc, -11);
    const std::string lon_tail = "\a\aError: line 1: invalid Station Longitude argument: x: position 10:00:00 x\n";
    ASSERT_GT(r.out.size(), lon_tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - lon_tail.size()), lon_tail);
    EXPECT_EQ(conf_image.base_lat, 10.0f);
}

// Positions outside the earth's ranges are refused like the other range
// failures: the message shows the value and the line, the code is -11, and a
// bad longitude leaves the new latitude stored, as a missing one does. Line 1
// sets a position first, so what line 2 left alone shows.
TEST_F(ConfParser, PositionOutsideTheEarthsRanges) {
    struct row {
        const char* line2;
        int rc;
        const char* message;  // empty: accepted
        float lat;
        float lon;
    };
    const std::vector<row> rows = {
        {"position -104:30:00, 39:30:00", -11,
         "\a\aError: line 2: invalid Station Latitude range [-90..90]: -104.500000: position -104:30:00, 39:30:00\n",
         10.0f, 20.0f},
        {"base 90.5d 0d", -11, "\a\aError: line 2: invalid Station Latitude range [-90..90]: 90.500000: base 90.5d 0d\n",
         10.0f, 20.0f},
        {"base 39:30:00, -181:00:00", -11,
         "\a\aError: line 2: invalid Station Longitude range [-180..180]: -181.000000: base 39:30:00, -181:00:00\n",
         39.5f, 20.0f},
        {"position -45d, 200d # far east", -11,
         "\a\aError: line 2: invalid Station Longitude range [-180..180]: 200.000000: position -45d, 200d # far east\n",
         -45.0f, 20.0f},
        {"position 90d, 180d", 0, "", 90.0f, 180.0f},
        {"position -90d, -180d", 0, "", -90.0f, -180.0f},
    };
    for (const row& r : rows) {
        conf_processed = 0;
        conf_run run = run_conf(std::string("position 10d, 20d\n") + r.line2 + "\n");
        EXPECT_EQ(run.rc, r.rc) << r.line2;
        if (r.rc == 0) {
            EXPECT_EQ(run.out, "Configuration items processed 2\n") << r.line2;
        } else {
            EXPECT_EQ(run.out, r.message) << r.line2;
            EXPECT_EQ(conf_processed, 0) << r.line2;
        }
        EXPECT_EQ(conf_image.base_lat, r.lat) << r.line2;
        EXPECT_EQ(conf_image.base_lon, r.lon) << r.line2;
    }
}

TEST_F(ConfParser, NoPathAndUnopenableFile) {
    conf_image.host_baud = 4800;
    int rc = 0;
    std::string out = capture_output([&] { rc = conf_process(nullptr); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "conf_process: Error: param rfp is invalid\n");
    out = capture_output([&] { rc = conf_process("/nonexistent/qv.cfg"); });
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(out, "\a\aError: cannot open /nonexistent/qv.cfg\n");
    EXPECT_EQ(conf_image.host_baud, 4800u);
    EXPECT_EQ(conf_processed, 0);
}

// A directory opens on Linux and fails at its first read: it is a file that
// cannot be opened, refused before the configuration is reset.
TEST_F(ConfParser, DirectoryIsRefusedBeforeTheReset) {
    ASSERT_EQ(run_conf("host 4800\n").rc, 0);
    conf_processed = 0;
    temp_dir dir;
    int rc = 0;
    std::string out = capture_output([&] { rc = conf_process(dir.path()); });
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(out, std::string("\a\aError: cannot open ") + dir.path() + "\n");
    EXPECT_EQ(conf_image.host_baud, 4800u);
    EXPECT_EQ(conf_processed, 0);
}

// A read that fails in the middle of the file ends the run as a failure that
// names the line it was reading; the lines before it have taken effect, as
// before any failing line, and the run does not count as processed.
TEST_F(ConfParser, ReadErrorInTheMiddleOfTheFile) {
    failing_pipe_file file("host 4800\nrelay no\n");
    ASSERT_TRUE(file.ready());
    int rc = 0;
    std::string out;
    file.run([&] { out = capture_output([&] { rc = conf_process(file.path()); }); });
    EXPECT_EQ(rc, -4);
    EXPECT_EQ(out, "\a\aError: line 3: read error: " + std::string(std::strerror(EINTR)) + "\n");
    EXPECT_EQ(conf_image.host_baud, 4800u);
    EXPECT_EQ(conf_image.relay, 0);
    EXPECT_EQ(conf_processed, 0);
}

TEST_F(ConfParser, CommentsOnlyKeepsDefaultsAndRuleValues) {
    conf_image.host_baud = 4800;
    conf_image.rule_count = 7;
    conf_image.implicit_action = 100;
    conf_run r = run_conf("# a comment\n\n   ; another\n\t,/ and one more\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Configuration items processed 0\n");
    EXPECT_EQ(conf_processed, 1);
    EXPECT_EQ(conf_image.host_baud, 57600u);
    EXPECT_EQ(conf_image.rule_count, 7);
    EXPECT_EQ(conf_image.implicit_action, 100);

    conf_image.implicit_action = 5;
    r = run_conf("");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(conf_image.implicit_action, 112);
}

TEST_F(ConfParser, CrLfAndTheLastValueWins) {
    conf_run r = run_conf("host 4800\r\nrelay no\r\nhost 19200\r\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Configuration items processed 3\n");
    EXPECT_EQ(conf_image.host_baud, 19200u);
    EXPECT_EQ(conf_image.relay, 0);
    r = run_conf("ssid 3\r\ncall toolongcall\r\n");
    EXPECT_EQ(r.rc, -11);
    // The echo holds no line end.
    EXPECT_EQ(r.out, "\a\aError: line 2: invalid Call Sign argument: too long: call toolongcall\n");
}

TEST_F(ConfParser, FailureKeepsEarlierLinesAndFlag) {
    conf_run r = run_conf("host 4800\ntnc 9600\nhost 1\n");
    EXPECT_EQ(r.rc, -11);
    EXPECT_EQ(r.out, "\a\aError: line 3: invalid Baud argument: 1: host 1\n");
    EXPECT_EQ(conf_image.host_baud, 4800u);
    EXPECT_EQ(conf_image.tnc_baud, 9600u);
    EXPECT_EQ(conf_processed, 0);
}

TEST_F(ConfParser, LongLinesAreReadInPieces) {
    // 300 characters: 255 of them are one line, the other 45 the next.
    std::string first = "# " + std::string(253, 'x');
    std::string rest = "ssid 4" + std::string(39, ' ');
    conf_run r = run_conf(first + rest + "\nbogus\n");
    EXPECT_EQ(r.rc, -7);
    EXPECT_EQ(r.out, "\a\aError: line 3: command bogus invalid: bogus\n");
    EXPECT_EQ(conf_image.station_ssid, 4);

    // Exactly 255 characters: the line end alone makes a counted empty line.
    std::string exact = "# " + std::string(253, 'y') + "\n";
    r = run_conf(exact + "bogus\n");
    EXPECT_EQ(r.out, "\a\aError: line 3: command bogus invalid: bogus\n");
    r = run_conf(std::string("# ") + std::string(253, 'y') + "\r\nbogus\r\n");
    EXPECT_EQ(r.out, "\a\aError: line 3: command bogus invalid: bogus\n");
    r = run_conf("# " + std::string(252, 'y') + "\nbogus\n");
    EXPECT_EQ(r.out, "\a\aError: line 2: command bogus invalid: bogus\n");
}

TEST_F(ConfParser, NulByteEndsTheLine) {
    conf_run r = run_conf(std::string("host 4800\0 junk\n", 16) + std::string("\0host 1\n", 8) + "bad\n");
    EXPECT_EQ(r.rc, -7);
    EXPECT_EQ(r.out, "\a\aError: line 3: command bad invalid: bad\n");
    EXPECT_EQ(conf_image.host_baud, 4800u);
}
}  // namespace
