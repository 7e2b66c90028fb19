#include "download/dwn_packet.h"

#include <cstring>

#include "console/console.h"
#include "serial/serial_port.h"

namespace {

constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr int PKT_MIN = 5;
constexpr int PKT_TRIES = 5;
constexpr int REPLY_WAIT_MS = 5000;
constexpr int DATA_CHUNK = 60;
constexpr int PAYLOAD_AT = 2;  // after the 16-bit length
constexpr int PKT_FRAME = 4;   // the length before the payload and the CRC after it
constexpr uint16_t CRC_POLYNOMIAL = 0x1021;
constexpr uint16_t CRC_START = 0xFFFF;  // run over the message and two zero bytes

// Most-significant-bit first table of the polynomial 0x1021: entry i is the
// CRC of the single byte i from a zero register.
constexpr std::array<uint16_t, 256> make_crc_table() {
    std::array<uint16_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ CRC_POLYNOMIAL) : static_cast<uint16_t>(reg << 1);
        }
        table[static_cast<size_t>(i)] = reg;
    }
    return table;
}

constexpr std::array<uint16_t, 256> crc_table_value = make_crc_table();
static_assert(crc_table_value[1] == 0x1021);
static_assert(crc_table_value[2] == 0x2042);
static_assert(crc_table_value[255] == 0x1EF0);

}  // namespace

const std::array<uint16_t, 256> dwn_crc_table = crc_table_value;

// Deliberate (augmented-crc): the augmented table form from 0xFFFF, which equals CRC-16/AUG-CCITT over the packet.
// The augmented table form: the register runs over the message and then over
// the two zero bytes that stand where the CRC goes.
uint16_t dwn_crc(uint16_t reg, const uint8_t* bytes, int count, const uint16_t* table) {
    for (int i = 0; i < count; ++i) {
        reg = static_cast<uint16_t>(table[reg >> 8] ^ static_cast<uint16_t>((reg << 8) | bytes[i]));
    }
    return reg;
}

int dwn_write_pkt(uint8_t* packet, int length) {
    if (packet == nullptr) {
        con_print("dwn_write_pkt: argument ptr pp is null\n");
        return DWN_ERR_PKT_NO_BUFFER;
    }
    if (length < PKT_MIN) {
        con_print("dwn_write_pkt: argument len < 5\n");
        return DWN_ERR_PKT_SHORT;
    }
    // The length field is 16 bits wide; callers never build more than 64 bytes.
    packet[0] = static_cast<uint8_t>((length >> 8) & 0xFF);
    packet[1] = static_cast<uint8_t>(length & 0xFF);
    packet[length - 2] = 0;
    packet[length - 1] = 0;
    uint16_t crc = dwn_crc(CRC_START, packet, length, dwn_crc_table.data());
    packet[length - 2] = static_cast<uint8_t>(crc >> 8);
    packet[length - 1] = static_cast<uint8_t>(crc & 0xFF);

    for (int sent = 1; sent <= PKT_TRIES; ++sent) {
        // Ctrl-C stops the download between two packets, or while one waits
        // for its reply, never in the middle of a packet.
        if (port_interrupted()) return DWN_ERR_PKT_INTERRUPTED;
        if (write_port(port_name, packet, length) < 0) {
            con_print("\a\aError: writing pkt\n");
            return DWN_ERR_PKT_WRITE;
        }
        uint8_t reply = 0;
        int got = read_port(port_name, &reply, 1, REPLY_WAIT_MS);
        if (got == 1 && reply == ACK) return length;
        if (port_interrupted()) return DWN_ERR_PKT_INTERRUPTED;
        if (got != 1) {
            con_print("\a\aError: reading ack or nak: %d\n", got);
            return DWN_ERR_PKT_NO_REPLY;
        }
        if (reply != NAK) {
            con_print("\a\aError: reading ack or nak: got 0x%02x\n", static_cast<unsigned>(reply));
            return DWN_ERR_PKT_BAD_REPLY;
        }
        // NAK: the same bytes go again at once.
    }
    // Deliberate (five-naks-silent): five NAKs end the packet without a message; the caller's message shows the code.
    return DWN_ERR_PKT_NAKS;
}

int dwn_write_file(const uint8_t* bytes, int count) {
    if (bytes == nullptr) {
        con_print("dwn_write_file: argument ptr bp is null\n");
        return DWN_ERR_FILE_NO_BYTES;
    }
    if (count < 1) {
        con_print("dwn_write_file: argument len < 1\n");
        return DWN_ERR_FILE_EMPTY;
    }
    std::array<uint8_t, DATA_CHUNK + PKT_FRAME> packet{};
    int done = 0;
    while (done < count) {
        int chunk = count - done > DATA_CHUNK ? DATA_CHUNK : count - done;
        std::memcpy(packet.data() + PAYLOAD_AT, bytes + done, static_cast<size_t>(chunk));
        int result = dwn_write_pkt(packet.data(), chunk + PKT_FRAME);
        if (result != chunk + PKT_FRAME) {
            con_print("\a\aError: writing data pkt: %d\n", result);
            return DWN_ERR_FILE_PACKET;
        }
        done += chunk;
    }
    return done;
}
