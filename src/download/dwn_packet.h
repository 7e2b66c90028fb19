// Framed packets of the download: 16-bit length, payload, CRC-16, ACK/NAK.
#pragma once

#include <array>
#include <cstdint>

extern const std::array<uint16_t, 256> dwn_crc_table;

uint16_t dwn_crc(uint16_t reg, const uint8_t* bytes, int count, const uint16_t* table);
// L on success, or -1..-6 (see the source).
int dwn_write_pkt(uint8_t* packet, int length);
// count on success, or -1..-3.
int dwn_write_file(const uint8_t* bytes, int count);
