#include "download/dwn_packet.h"

const std::array<uint16_t, 256> dwn_crc_table{};

uint16_t dwn_crc(uint16_t reg, const uint8_t*, int, const uint16_t*) { return reg; }
int dwn_write_pkt(uint8_t*, int) { return -3; }
int dwn_write_file(const uint8_t*, int) { return -3; }
