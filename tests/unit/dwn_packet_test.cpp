// Framing of the download packets: CRC, length field, data chunks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "download/dwn_packet.h"

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

}  // namespace
