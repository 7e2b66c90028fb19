// Framed packets of the download: 16-bit length, payload, CRC-16, ACK/NAK.
#pragma once

#include <array>
#include <cstdint>

extern const std::array<uint16_t, 256> dwn_crc_table;

uint16_t dwn_crc(uint16_t reg, const uint8_t* bytes, int count, const uint16_t* table);
// What dwn_write_pkt returns when it fails; on success it returns the length.
enum dwn_pkt_result : int {
    DWN_ERR_PKT_NO_BUFFER = -1,
    DWN_ERR_PKT_SHORT = -2,      // a packet of fewer than 5 bytes
    DWN_ERR_PKT_WRITE = -3,      // the write failed
    DWN_ERR_PKT_NO_REPLY = -4,   // no reply byte within the wait
    DWN_ERR_PKT_BAD_REPLY = -5,  // a reply that is neither ACK nor NAK
    DWN_ERR_PKT_NAKS = -6,       // NAK on every transmission
    DWN_ERR_PKT_INTERRUPTED = -7,  // the operator's Ctrl-C stopped it
};

// What dwn_write_file returns when it fails; on success it returns the count.
enum dwn_file_result : int {
    DWN_ERR_FILE_NO_BYTES = -1,
    DWN_ERR_FILE_EMPTY = -2,     // a count of 0
    DWN_ERR_FILE_PACKET = -3,    // a data packet failed
};

// Frames the packet (length and CRC into the caller's buffer, whose payload
// stands at offsets 2 to length - 3) and sends it until the device takes it:
// length on success, else a DWN_ERR_PKT_ code.
int dwn_write_pkt(uint8_t* packet, int length);
// Sends count bytes in data packets of up to 60: count on success, else a
// DWN_ERR_FILE_ code.
int dwn_write_file(const uint8_t* bytes, int count);
