#include "dwn_line_fake.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/serial_port.h"

namespace dwn_fake {
namespace {

constexpr uint8_t ACK = 0x06;

fake_serial* the_line = nullptr;

}  // namespace

fake_serial& line() { return *the_line; }

void install(const std::vector<int>& script) {
    the_line = &fake_install();
    the_line->purge_clears = true;
    the_line->answer = [script, next = size_t{0}](const std::vector<uint8_t>& written) mutable {
        std::vector<std::vector<uint8_t>> replies;
        // The download command is text, not a packet.
        if (written.size() >= 2 && written[0] == 'd' && written[1] == 'o') return replies;
        int reply = next < script.size() ? script[next] : ACK;
        ++next;
        if (reply != NO_REPLY) replies.push_back({static_cast<uint8_t>(reply)});
        return replies;
    };
    std::snprintf(port_name, sizeof port_name, "COM1");
    port_handle = FAKE_HANDLE;
    port_settings.baud = 19200;
    the_line->open_count = 1;
}

void remove() { fake_remove(); }

std::vector<uint8_t> frame(const std::vector<uint8_t>& payload) {
    size_t length = payload.size() + 4;
    std::vector<uint8_t> pkt(length - 2, 0);
    pkt[0] = static_cast<uint8_t>(length >> 8);
    pkt[1] = static_cast<uint8_t>(length & 0xFF);
    for (size_t i = 0; i < payload.size(); ++i) pkt[2 + i] = payload[i];
    uint16_t reg = 0x1D0F;
    for (uint8_t b : pkt) {
        reg ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ 0x1021) : static_cast<uint16_t>(reg << 1);
    }
    pkt.push_back(static_cast<uint8_t>(reg >> 8));
    pkt.push_back(static_cast<uint8_t>(reg & 0xFF));
    return pkt;
}

std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size();) {
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size()) break;
        bytes.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

}  // namespace dwn_fake
