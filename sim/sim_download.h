// The device's download receiver: takes the framed packets that follow the
// "download" command, checks each one's length field and CRC, answers ACK or
// NAK, and keeps the configuration image and rule records it received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Fault injection, packets numbered from 1 in the order they first arrive
// (the conf packet is 1, its two data packets 2 and 3, the rules packet 4...).
struct dl_faults {
    int nak_packet = 0;         // this packet is answered NAK ...
    int nak_times = 0;          // ... on its first nak_times transmissions
    int garbage_packet = 0;     // this packet is answered with garbage_byte
    uint8_t garbage_byte = 0x00;
    int silent_packet = 0;      // this packet gets no answer at all
    int unplug_packet = 0;      // the device goes away when this packet arrives
    bool drain_text = true;     // answer the download command with 64 bytes of text
};

enum class dl_action {
    more,      // keep feeding bytes
    unplug,    // the device goes away now
    finished,  // the finish packet was acknowledged
};

struct dl_packet_log {
    int number;          // packet number (retransmissions keep theirs)
    int length;          // length field
    bool crc_ok;
    uint8_t reply;       // 0 when none was sent
};

struct dl_receiver {
    dl_faults faults;
    std::vector<uint8_t> pending;   // bytes of the packet being received
    int packet_number = 0;          // last distinct packet seen
    int transmissions = 0;          // of the current packet number
    std::vector<uint8_t> last_packet; // the previous packet, to spot resends after a NAK
    int stage = 0;                  // 0 conf command, 1 conf data, 2 rules command, 3 rule data, 4 finish, 5 done
    int conf_size = -1;             // sizes announced by the command packets
    int rules_size = -1;
    std::vector<uint8_t> conf;      // data received in each stage
    std::vector<uint8_t> rules;
    bool finished = false;
    std::vector<dl_packet_log> log;
    std::vector<std::string> problems;
};

void dl_begin(dl_receiver& rx, const dl_faults& faults);
// The device's text after the download command (what the host drains), or empty.
std::vector<uint8_t> dl_greeting(const dl_receiver& rx);
// Feeds bytes from the host; replies to send go to out.
dl_action dl_feed(dl_receiver& rx, const uint8_t* bytes, size_t count, std::vector<uint8_t>& out);
// CRC-16 (poly 0x1021, from 0x1D0F, no reflection) of bytes.
uint16_t dl_crc16(const uint8_t* bytes, size_t count);
// A readable report: every packet, the decoded configuration, the rules and
// hex lines "conf: ..." and "rules: ..." of the bytes received.
std::string dl_report(const dl_receiver& rx);
