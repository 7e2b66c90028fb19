// Framing of the download packets: CRC, length field, data chunks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "download/dwn_packet.h"
#include "dwn_line_fake.h"
#include "module_state.h"
#include "out_capture.h"

namespace {

uint16_t crc_of(const char* text) {
    // The augmented form: two zero bytes after the message, from 0xFFFF.
    std::vector<uint8_t> bytes(text, text + std::strlen(text));
    bytes.push_back(0);
    bytes.push_back(0);
    return dwn_crc(0xFFFF, bytes.data(), static_cast<int>(bytes.size()), dwn_crc_table.data());
}

TEST(DwnCrc, CheckValues) {
    EXPECT_EQ(crc_of("123456789"), 0xE5CC);
    EXPECT_EQ(crc_of("abc"), 0x8CDA);
}

TEST(DwnCrc, TableEntries) {
    EXPECT_EQ(dwn_crc_table[0], 0x0000);
    EXPECT_EQ(dwn_crc_table[1], 0x1021);
    EXPECT_EQ(dwn_crc_table[2], 0x2042);
    EXPECT_EQ(dwn_crc_table[255], 0x1EF0);
}

TEST(DwnCrc, ZeroCountLeavesRegister) {
    uint8_t byte = 0x55;
    EXPECT_EQ(dwn_crc(0x1234, &byte, 0, dwn_crc_table.data()), 0x1234);
}

// Bit-by-bit CRC-16 with polynomial 0x1021 from 0x1D0F, no reflection: an
// independent reference for the table form over arbitrary messages.
uint16_t crc_bitwise(const std::vector<uint8_t>& bytes) {
    uint16_t reg = 0x1D0F;
    for (uint8_t b : bytes) {
        reg ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ 0x1021) : static_cast<uint16_t>(reg << 1);
    }
    return reg;
}

TEST(DwnCrc, MatchesBitwiseReference) {
    std::vector<uint8_t> msg;
    for (int n = 0; n < 70; ++n) {
        std::vector<uint8_t> aug = msg;
        aug.push_back(0);
        aug.push_back(0);
        EXPECT_EQ(dwn_crc(0xFFFF, aug.data(), static_cast<int>(aug.size()), dwn_crc_table.data()), crc_bitwise(msg)) << n;
        msg.push_back(static_cast<uint8_t>(n * 37 + 11));
    }
}


constexpr int ACK = 0x06;
constexpr int NAK = 0x15;
using dwn_fake::hex;
using dwn_fake::line;

class DwnLine : public ::testing::Test {
protected:
    void start(const std::vector<int>& script) {
        dwn_fake::install(script);
        out_.emplace("");
    }
    std::string finish() {
        std::string text = out_->text();
        out_.reset();
        return text;
    }
    void SetUp() override { module_state_reset(); }
    void TearDown() override { module_state_reset(); }
    std::optional<out_capture> out_;
};

struct example_packet {
    const char* payload;
    const char* bytes;
};

TEST_F(DwnLine, ExamplePacketsGoOutByteForByte) {
    const example_packet examples[] = {
        {"61 62 63", "00 07 61 62 63 3D 35"},
        {"41", "00 05 41 B6 1C"},
    };
    for (const example_packet& ex : examples) {
        start({ACK});
        std::vector<uint8_t> payload = hex(ex.payload);
        std::vector<uint8_t> buf(payload.size() + 4, 0xEE);
        std::copy(payload.begin(), payload.end(), buf.begin() + 2);
        EXPECT_EQ(dwn_write_pkt(buf.data(), static_cast<int>(buf.size())), static_cast<int>(buf.size()));
        EXPECT_EQ(finish(), "");
        ASSERT_EQ(line().writes.size(), 1u);
        EXPECT_EQ(line().writes[0], hex(ex.bytes)) << ex.payload;
        dwn_fake::remove();
    }
}

TEST_F(DwnLine, ReplyWaitIsFiveSecondsForOneByte) {
    start({ACK});
    std::array<uint8_t, 5> buf{};
    EXPECT_EQ(dwn_write_pkt(buf.data(), 5), 5);
    finish();
    ASSERT_EQ(line().reads.size(), 1u);
    EXPECT_EQ(line().reads[0], 1u);
    EXPECT_EQ(line().read_timeouts[0].read_constant, 5010u);
}

TEST_F(DwnLine, SameBytesAgainAfterEachNak) {
    start({NAK, NAK, NAK, NAK, ACK});
    std::array<uint8_t, 21> buf{};
    buf[2] = 'x';
    EXPECT_EQ(dwn_write_pkt(buf.data(), 21), 21);
    EXPECT_EQ(finish(), "");
    ASSERT_EQ(line().writes.size(), 5u);
    for (const auto& w : line().writes) EXPECT_EQ(w, line().writes[0]);
    EXPECT_EQ(line().writes[0][0], 0x00);
    EXPECT_EQ(line().writes[0][1], 0x15);
}

struct pkt_failure {
    const char* name;
    std::vector<int> script;
    int result;
    size_t sent;
    const char* output;
};

TEST_F(DwnLine, FailuresEndThePacket) {
    const pkt_failure cases[] = {
        {"five NAKs", {NAK, NAK, NAK, NAK, NAK, ACK}, -6, 5, ""},
        {"reply 0x00", {0x00, ACK}, -5, 1, "\a\aError: reading ack or nak: got 0x00\n"},
        {"reply 0xff", {0xFF}, -5, 1, "\a\aError: reading ack or nak: got 0xff\n"},
        {"NAK then garbage", {NAK, 0x41}, -5, 2, "\a\aError: reading ack or nak: got 0x41\n"},
        {"no reply", {dwn_fake::NO_REPLY}, -4, 1, "\a\aError: reading ack or nak: 0\n"},
    };
    for (const pkt_failure& c : cases) {
        start(c.script);
        std::array<uint8_t, 64> buf{};
        EXPECT_EQ(dwn_write_pkt(buf.data(), 64), c.result) << c.name;
        EXPECT_EQ(finish(), c.output) << c.name;
        EXPECT_EQ(line().writes.size(), c.sent) << c.name;
        dwn_fake::remove();
    }
}

TEST_F(DwnLine, FailedWriteIsMinusThree) {
    start({ACK});
    line().write_fails_at = 1;
    std::array<uint8_t, 8> buf{};
    EXPECT_EQ(dwn_write_pkt(buf.data(), 8), -3);
    std::string out = finish();
    const std::string tail = "\a\aError: writing pkt\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_TRUE(line().reads.empty());
}

TEST_F(DwnLine, ArgumentChecks) {
    start({});
    std::array<uint8_t, 8> buf{};
    uint8_t byte = 1;
    EXPECT_EQ(dwn_write_pkt(nullptr, 21), -1);
    EXPECT_EQ(dwn_write_pkt(buf.data(), 4), -2);
    EXPECT_EQ(dwn_write_file(nullptr, 10), -1);
    EXPECT_EQ(dwn_write_file(&byte, 0), -2);
    EXPECT_EQ(finish(), "dwn_write_pkt: argument ptr pp is null\n"
                        "dwn_write_pkt: argument len < 5\n"
                        "dwn_write_file: argument ptr bp is null\n"
                        "dwn_write_file: argument len < 1\n");
    EXPECT_TRUE(line().writes.empty());
}

struct chunking {
    int count;
    std::vector<size_t> packet_sizes;
};

TEST_F(DwnLine, BlocksAreCutEverySixtyBytes) {
    std::vector<size_t> rules_sizes(46, 64);
    rules_sizes.push_back(44);
    const chunking cases[] = {
        {60, {64}}, {61, {64, 5}}, {28, {32}}, {120, {64, 64}}, {2800, rules_sizes},
    };
    for (const chunking& c : cases) {
        start({});
        std::vector<uint8_t> block(static_cast<size_t>(c.count));
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
        EXPECT_EQ(dwn_write_file(block.data(), c.count), c.count);
        EXPECT_EQ(finish(), "");
        ASSERT_EQ(line().writes.size(), c.packet_sizes.size()) << c.count;
        std::vector<uint8_t> joined;
        for (size_t i = 0; i < line().writes.size(); ++i) {
            const auto& w = line().writes[i];
            ASSERT_EQ(w.size(), c.packet_sizes[i]);
            std::vector<uint8_t> payload(w.begin() + 2, w.end() - 2);
            EXPECT_EQ(w, dwn_fake::frame(payload)) << c.count << " packet " << i;
            joined.insert(joined.end(), payload.begin(), payload.end());
        }
        EXPECT_EQ(joined, block) << c.count;
        dwn_fake::remove();
    }
}

TEST_F(DwnLine, FailedChunkStopsTheBlock) {
    start({ACK, NAK, NAK, NAK, NAK, NAK});
    std::vector<uint8_t> block(150, 0x5A);
    EXPECT_EQ(dwn_write_file(block.data(), 150), -3);
    EXPECT_EQ(finish(), "\a\aError: writing data pkt: -6\n");
    EXPECT_EQ(line().writes.size(), 6u);
}

TEST_F(DwnLine, CrcCoversTheLengthField) {
    start({});
    std::array<uint8_t, 6> a{0, 0, 0x41, 0, 0, 0};
    std::array<uint8_t, 7> b{0, 0, 0x41, 0, 0, 0, 0};
    dwn_write_pkt(a.data(), 5);
    dwn_write_pkt(b.data(), 6);
    finish();
    EXPECT_EQ(line().writes[0], hex("00 05 41 B6 1C"));
    EXPECT_NE(line().writes[0][3], line().writes[1][4]);
}

}  // namespace
