// The download command: its warnings, the packets on the line, every failure
// path and the disconnect that ends every download.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/conf_image.h"
#include "console/console.h"
#include "download/dwn_sequence.h"
#include "dwn_line_fake.h"
#include "module_state.h"
#include "out_capture.h"
#include "rules/rule_table.h"
#include "serial/dev_connection.h"
#include "shell/device_commands.h"

namespace {

constexpr int ACK = 0x06;
constexpr int NAK = 0x15;
constexpr int NONE = dwn_fake::NO_REPLY;
using dwn_fake::hex;
using dwn_fake::line;

const char* const CONF_WARNING =
    "\a\aWarning: Configuration file has not yet been processed!\n"
    "Do you want to use the Default Configuration? (yes|no) [no]: ";
const char* const RULES_WARNING =
    "\n\a\aWarning: Rules file has not yet been processed!\n"
    "Do you  want to use the Implicit Rule only without specific rules?\n"
    "(yes|no) [no]: ";
const char* const ABORTED = "\a\aDownload Aborted!\n";
const char* const ENDING =
    "\a\aPlease Power OFF the Quorvantis and power it back on to RESET it.\n"
    "Disconnected\n";
const char* const CONF_PKT = "00 15 63 6F 6E 66 00 00 00 00 00 00 00 00 31 32 30 00 00 5A 09";
const char* const RULES100_PKT = "00 15 72 75 6C 65 73 00 00 00 00 00 00 00 32 38 30 30 00 CB 33";
const char* const RULES0_PKT = "00 15 72 75 6C 65 73 00 00 00 00 00 00 00 30 00 00 00 00 E6 AA";
const char* const FINISH_PKT = "00 15 2D 63 65 73 74 66 69 6E 69 2D 00 00 00 00 00 00 00 5D CF";

class Download : public ::testing::Test {
protected:
    // The configuration and rules are processed, as the download expects.
    void SetUp() override {
        module_state_reset();
        conf_processed = 1;
        rules_processed = true;
    }
    void TearDown() override { module_state_reset(); }
    std::string run(const std::vector<int>& script, const std::string& input = "") {
        dwn_fake::install(script);
        connected = 1;
        return capture_output(input, [] { cmd_download(); });
    }
};

std::vector<uint8_t> conf_bytes(size_t from, size_t count) {
    std::vector<uint8_t> bytes(count);
    std::memcpy(bytes.data(), reinterpret_cast<const uint8_t*>(&conf_image) + from, count);
    return bytes;
}

TEST_F(Download, NotConnectedAsksNothing) {
    dwn_fake::install({});
    conf_processed = 0;
    connected = 0;
    EXPECT_EQ(capture_output("yes\nyes\n", [] { cmd_download(); }), "\a\aError: not Connected!\n");
    EXPECT_TRUE(line().writes.empty());
}

TEST_F(Download, NoRulesSendsTheWholeSequence) {
    std::string out = run({});
    EXPECT_EQ(out, std::string("Downloading Configuration succeeded\nDownloading Rules succeeded\n") + ENDING);
    const auto& w = line().writes;
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(std::string(w[0].begin(), w[0].end()), "download\r\n");
    EXPECT_EQ(w[1], hex(CONF_PKT));
    EXPECT_EQ(w[2], dwn_fake::frame(conf_bytes(0, 60)));
    EXPECT_EQ(w[3], dwn_fake::frame(conf_bytes(60, 60)));
    EXPECT_EQ(w[4], hex(RULES0_PKT));
    EXPECT_EQ(w[5], hex(FINISH_PKT));
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(line().closes, 1);
    // The drain: one read of 64 bytes with a 10 ms wait.
    ASSERT_FALSE(line().reads.empty());
    EXPECT_EQ(line().reads[0], 64u);
    EXPECT_EQ(line().read_timeouts[0].read_constant, 20u);
}

TEST_F(Download, HundredRulesGoInFortySevenPackets) {
    conf_image.rule_count = 100;
    for (size_t r = 0; r < rule_table.size(); ++r)
        for (size_t i = 0; i < sizeof(rule_entry); ++i)
            reinterpret_cast<uint8_t*>(&rule_table[r])[i] = static_cast<uint8_t>(r + i * 3);
    run({});
    const auto& w = line().writes;
    ASSERT_EQ(w.size(), 1u + 3u + 1u + 47u + 1u);
    EXPECT_EQ(w[4], hex(RULES100_PKT));
    std::vector<uint8_t> joined;
    for (size_t i = 5; i < 5 + 47; ++i) {
        EXPECT_EQ(w[i].size(), i < 5 + 46 ? 64u : 44u);
        std::vector<uint8_t> payload(w[i].begin() + 2, w[i].end() - 2);
        EXPECT_EQ(w[i], dwn_fake::frame(payload));
        joined.insert(joined.end(), payload.begin(), payload.end());
    }
    ASSERT_EQ(joined.size(), 2800u);
    EXPECT_EQ(std::memcmp(joined.data(), rule_table.data(), 2800), 0);
    EXPECT_EQ(w.back(), hex(FINISH_PKT));
}

TEST_F(Download, OnlyTheCountedRulesAreSent) {
    conf_image.rule_count = 3;
    run({});
    const auto& w = line().writes;
    ASSERT_EQ(w.size(), 8u);
    EXPECT_EQ(w[4], dwn_fake::frame(hex("72 75 6C 65 73 00 00 00 00 00 00 00 38 34 00 00 00")));
    EXPECT_EQ(w[5].size(), 64u);
    EXPECT_EQ(w[6].size(), 28u);
}

struct answer_case {
    const char* name;
    bool conf_done;
    bool rules_done;
    std::string input;
    std::string output_before_sequence;  // nullptr-like empty: the download went on
    bool goes_on;
};

TEST_F(Download, WarningsAndAnswers) {
    const std::string conf_w = CONF_WARNING, rules_w = RULES_WARNING, ab = ABORTED;
    const answer_case cases[] = {
        {"both yes", false, false, "yes\ny\n", conf_w + rules_w, true},
        {"Yes and YES", false, false, "Yes\nYES\n", conf_w + rules_w, true},
        {"no at the first skips the second", false, false, "no\nyes\n", conf_w + ab, false},
        {"empty line", false, true, "\n", conf_w + ab, false},
        {"leading blank", false, true, " yes\n", conf_w + ab, false},
        {"end of input", false, true, "", conf_w + "\n" + ab, false},
        {"rules only, no", true, false, "n\n", rules_w + ab, false},
        {"rules only, end of input", true, false, "", rules_w + "\n" + ab, false},
        {"rules only, yes", true, false, "y\n", rules_w, true},
        // A long answer is read to its end: its rest is not the second answer.
        {"long answer", false, false, std::string(300, 'y') + "\nno\n", conf_w + rules_w + ab, false},
    };
    for (const answer_case& c : cases) {
        conf_processed = c.conf_done ? 1 : 0;
        rules_processed = c.rules_done;
        std::string out = run({}, c.input);
        if (c.goes_on) {
            EXPECT_EQ(out, c.output_before_sequence +
                               "Downloading Configuration succeeded\nDownloading Rules succeeded\n" + ENDING)
                << c.name;
            EXPECT_EQ(connected, 0) << c.name;
        } else {
            EXPECT_EQ(out, c.output_before_sequence) << c.name;
            EXPECT_TRUE(line().writes.empty()) << c.name;
            EXPECT_EQ(connected, 1) << c.name;
            EXPECT_EQ(line().closes, 0) << c.name;
        }
        dwn_fake::remove();
    }
}

TEST_F(Download, LongAnswerRestNeverReachesTheNextRead) {
    conf_processed = 0;
    dwn_fake::install({});
    connected = 1;
    char rest[16] = {};
    const char* got = nullptr;
    capture_output(std::string(255, 'n') + "yes\nnext\n", [&] {
        cmd_download();
        got = std::fgets(rest, sizeof rest, con_input());
    });
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(rest, "next\n");
}

struct failure_case {
    const char* name;
    std::vector<int> script;  // replies to the packets in order
    const char* lines;        // what comes before the ending
};

TEST_F(Download, EveryFailureEndsDisconnected) {
    const std::vector<int> five_naks = {NAK, NAK, NAK, NAK, NAK};
    auto then = [](std::vector<int> a, std::vector<int> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    conf_image.rule_count = 2;
    const failure_case cases[] = {
        {"no reply to the conf packet", {NONE},
         "\a\aError: reading ack or nak: 0\n"
         "\a\aError: writing Configuration command failed: -4\n"
         "\a\aError: Download failed: -1\n"},
        {"conf packet refused five times", five_naks,
         "\a\aError: writing Configuration command failed: -6\n"
         "\a\aError: Download failed: -1\n"},
        {"garbage after the first data packet", {ACK, ACK, 0x00},
         "\a\aError: reading ack or nak: got 0x00\n"
         "\a\aError: writing data pkt: -5\n"
         "\a\aError: writing Configuration file failed: -3\n"
         "\a\aError: Download failed: -2\n"},
        {"configuration data refused", then({ACK}, five_naks),
         "\a\aError: writing data pkt: -6\n"
         "\a\aError: writing Configuration file failed: -3\n"
         "\a\aError: Download failed: -2\n"},
        {"rules packet gets no reply", {ACK, ACK, ACK, NONE},
         "Downloading Configuration succeeded\n"
         "\a\aError: reading ack or nak: 0\n"
         "\a\aError: writing Rules command failed: -4\n"
         "\a\aError: Download failed: -3\n"},
        {"rule data refused", then({ACK, ACK, ACK, ACK}, five_naks),
         "Downloading Configuration succeeded\n"
         "\a\aError: writing data pkt: -6\n"
         "\a\aError: writing Rules file failed: -3\n"
         "\a\aError: Download failed: -4\n"},
        {"finish packet garbage", {ACK, ACK, ACK, ACK, ACK, 0x21},
         "Downloading Configuration succeeded\n"
         "Downloading Rules succeeded\n"
         "\a\aError: reading ack or nak: got 0x21\n"
         "\a\aError: error writing finish pkt: -5\n"
         "\a\aError: Download failed: -5\n"},
    };
    for (const failure_case& c : cases) {
        std::string out = run(c.script);
        EXPECT_EQ(out, std::string(c.lines) + ENDING) << c.name;
        EXPECT_EQ(connected, 0) << c.name;
        EXPECT_EQ(line().closes, 1) << c.name;
        dwn_fake::remove();
    }
}

TEST_F(Download, CtrlCStopsBetweenPackets) {
    // Ctrl-C while a read waits (the fake's n-th read): the download stops
    // there with the interrupt line and its own failure messages, sends no
    // further packet, and ends disconnected as after any failure.
    struct row {
        const char* name;
        int read;             // 1 the drain, 2 the conf packet's reply, ...
        size_t writes;        // the download command and the packets sent
        const char* before;   // what was printed before the interrupt line
        const char* after;
    };
    const std::string INTERRUPTED = "\n\a\aError: interrupted by Ctrl-C!\n";
    conf_image.rule_count = 2;  // one data packet of rules
    const row rows[] = {
        {"during the drain", 1, 1, "",
         "\a\aError: writing Configuration command failed: -7\n\a\aError: Download failed: -1\n"},
        {"waiting for the first data packet's reply", 3, 3, "",
         "\a\aError: writing data pkt: -7\n\a\aError: writing Configuration file failed: -3\n"
         "\a\aError: Download failed: -2\n"},
        {"waiting for the rules packet's reply", 5, 5, "Downloading Configuration succeeded\n",
         "\a\aError: writing Rules command failed: -7\n\a\aError: Download failed: -3\n"},
        {"waiting for the finish packet's reply", 7, 7,
         "Downloading Configuration succeeded\nDownloading Rules succeeded\n",
         "\a\aError: error writing finish pkt: -7\n\a\aError: Download failed: -5\n"},
    };
    for (const row& r : rows) {
        dwn_fake::install({});
        line().interrupt_at_read = r.read;
        connected = 1;
        std::string out = capture_output("", [] { cmd_download(); });
        EXPECT_EQ(out, r.before + INTERRUPTED + r.after + ENDING) << r.name;
        EXPECT_EQ(line().writes.size(), r.writes) << r.name;
        EXPECT_EQ(connected, 0) << r.name;
        EXPECT_EQ(line().closes, 1) << r.name;
        dwn_fake::remove();
    }
    // Nothing of it stays for the next download.
    std::string out = run({});
    EXPECT_EQ(out, std::string("Downloading Configuration succeeded\nDownloading Rules succeeded\n") + ENDING);
}

TEST_F(Download, NakFourTimesThenAckStillSucceeds) {
    std::string out = run({NAK, NAK, NAK, NAK, ACK});
    EXPECT_EQ(out, std::string("Downloading Configuration succeeded\nDownloading Rules succeeded\n") + ENDING);
    EXPECT_EQ(line().writes.size(), 1u + 5u + 2u + 1u + 1u);
}

TEST_F(Download, FailedCommandWriteStaysConnected) {
    dwn_fake::install({});
    line().write_fails_at = 1;
    connected = 1;
    std::string out = capture_output("", [] { cmd_download(); });
    const std::string tail = "\a\aError: wrote Download command, got error on port COM1\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(line().closes, 0);
}

}  // namespace
