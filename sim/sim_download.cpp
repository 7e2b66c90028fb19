#include "sim_download.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr int DATA_MAX = 60;

std::string hex_of(const std::vector<uint8_t>& bytes) {
    std::string text;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        text += buf;
    }
    return text;
}

uint16_t le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
float f32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t bits = le32(b, at);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
std::string text_field(const std::vector<uint8_t>& b, size_t at, size_t size) {
    std::string text;
    for (size_t i = 0; i < size && b[at + i] != 0; ++i) text += static_cast<char>(b[at + i]);
    return text;
}

// A command packet's name and its announced size (-1 when the size field is empty).
bool parse_command(const std::vector<uint8_t>& pkt, std::string& name, int& size) {
    if (pkt.size() != 21) return false;
    name = text_field(pkt, 2, 12);
    size = -1;
    int value = 0;
    bool any = false;
    for (size_t i = 14; i < 19 && pkt[i] != 0; ++i) {
        if (pkt[i] < '0' || pkt[i] > '9') return false;
        value = value * 10 + (pkt[i] - '0');
        any = true;
    }
    if (any) size = value;
    return true;
}

// A data packet: the next piece (at most DATA_MAX bytes) of the size its
// command packet announced; once all has come, the stage goes on to next.
// What is wrong with the packet, or the empty string.
std::string take_data(dl_receiver& rx, const std::vector<uint8_t>& payload, std::vector<uint8_t>& into, int size,
                      int next, const char* wrong) {
    size_t want = static_cast<size_t>(size) - into.size();
    if (want > DATA_MAX) want = DATA_MAX;
    if (payload.size() != want) return wrong;
    into.insert(into.end(), payload.begin(), payload.end());
    if (into.size() == static_cast<size_t>(size)) rx.stage = next;
    return "";
}

// What the current stage expects; empty string when the packet fits.
std::string accept(dl_receiver& rx, const std::vector<uint8_t>& pkt) {
    std::string name;
    int size = -1;
    std::vector<uint8_t> payload(pkt.begin() + 2, pkt.end() - 2);
    switch (rx.stage) {
    case 0:
        if (!parse_command(pkt, name, size) || name != "conf" || size != 120) return "expected the conf packet";
        rx.conf_size = size;
        rx.stage = 1;
        return "";
    case 1:
        return take_data(rx, payload, rx.conf, rx.conf_size, 2, "configuration data packet of the wrong length");
    case 2:
        if (!parse_command(pkt, name, size) || name != "rules" || size < 0 || size % 28 != 0 || size > 2800)
            return "expected the rules packet";
        rx.rules_size = size;
        rx.stage = size == 0 ? 4 : 3;
        return "";
    case 3:
        return take_data(rx, payload, rx.rules, rx.rules_size, 4, "rule data packet of the wrong length");
    case 4:
        if (!parse_command(pkt, name, size) || name != "-cestfini-" || size != -1 || pkt[12] != 0 || pkt[13] != 0)
            return "expected the finish packet";
        rx.stage = 5;
        rx.finished = true;
        return "";
    default:
        return "packet after the finish packet";
    }
}

}  // namespace

uint16_t dl_crc16(const uint8_t* bytes, size_t count) {
    uint16_t reg = 0x1D0F;
    for (size_t i = 0; i < count; ++i) {
        reg ^= static_cast<uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ 0x1021) : static_cast<uint16_t>(reg << 1);
    }
    return reg;
}

void dl_begin(dl_receiver& rx, const dl_faults& faults) {
    rx = dl_receiver{};
    rx.faults = faults;
}

std::vector<uint8_t> dl_greeting(const dl_receiver& rx) {
    if (!rx.faults.drain_text) return {};
    // Exactly the 64 bytes the host drains, so its one read returns at once.
    static const char text[] = "download\r\nReady to receive\r\n";
    std::vector<uint8_t> bytes(text, text + sizeof text - 1);
    bytes.resize(64, 0);
    return bytes;
}

dl_action dl_feed(dl_receiver& rx, const uint8_t* bytes, size_t count, std::vector<uint8_t>& out) {
    for (size_t i = 0; i < count; ++i) {
        rx.pending.push_back(bytes[i]);
        if (rx.pending.size() < 2) continue;
        size_t length = static_cast<size_t>((rx.pending[0] << 8) | rx.pending[1]);
        if (length < 5 || length > 64) {
            // Out of step with the host: refuse and start over on the next byte.
            rx.problems.push_back("bad length field " + std::to_string(length));
            rx.log.push_back({rx.packet_number + 1, static_cast<int>(length), false, NAK});
            rx.pending.clear();
            out.push_back(NAK);
            continue;
        }
        if (rx.pending.size() < length) continue;

        std::vector<uint8_t> pkt;
        pkt.swap(rx.pending);
        // The host sends the same bytes again after a NAK; anything else is a new packet.
        bool resend = rx.transmissions > 0 && !rx.last_packet.empty() && pkt == rx.last_packet;
        if (!resend) {
            ++rx.packet_number;
            rx.transmissions = 0;
            rx.last_packet = pkt;
        }
        ++rx.transmissions;
        int number = rx.packet_number;
        uint16_t crc = dl_crc16(pkt.data(), length - 2);
        bool crc_ok = pkt[length - 2] == (crc >> 8) && pkt[length - 1] == (crc & 0xFF);

        if (rx.faults.unplug_packet == number) {
            rx.log.push_back({number, static_cast<int>(length), crc_ok, 0});
            return dl_action::unplug;
        }
        if (rx.faults.silent_packet == number) {
            rx.log.push_back({number, static_cast<int>(length), crc_ok, 0});
            continue;
        }
        if (rx.faults.garbage_packet == number) {
            rx.log.push_back({number, static_cast<int>(length), crc_ok, rx.faults.garbage_byte});
            out.push_back(rx.faults.garbage_byte);
            continue;
        }
        uint8_t reply = NAK;
        if (!crc_ok) {
            rx.problems.push_back("packet " + std::to_string(number) + ": bad CRC");
        } else if (rx.faults.nak_packet == number && rx.transmissions <= rx.faults.nak_times) {
            // injected refusal
        } else {
            std::string problem = accept(rx, pkt);
            if (problem.empty()) {
                reply = ACK;
                // An accepted packet may legitimately be followed by an equal one
                // (two identical data chunks), so it no longer counts as a resend.
                rx.transmissions = 0;
            } else {
                rx.problems.push_back("packet " + std::to_string(number) + ": " + problem);
            }
        }
        rx.log.push_back({number, static_cast<int>(length), crc_ok, reply});
        out.push_back(reply);
        if (rx.finished) return dl_action::finished;
    }
    return dl_action::more;
}

std::string dl_report(const dl_receiver& rx) {
    std::string text;
    char line[160];
    for (const dl_packet_log& p : rx.log) {
        std::snprintf(line, sizeof line, "packet %d length %d crc %s reply %02X\n", p.number, p.length,
                      p.crc_ok ? "ok" : "bad", p.reply);
        text += line;
    }
    for (const std::string& problem : rx.problems) text += "problem: " + problem + "\n";
    const std::vector<uint8_t>& c = rx.conf;
    if (c.size() == 120) {
        std::snprintf(line, sizeof line, "station %s-%u host %u dstar %u tnc %u lat %.6f lon %.6f\n",
                      text_field(c, 20, 8).c_str(), le16(c, 28), le32(c, 0), le32(c, 4), le32(c, 8), f32(c, 12),
                      f32(c, 16));
        text += line;
        std::snprintf(line, sizeof line, "implicit %c rule count %u\n", le16(c, 52) >= 32 && le16(c, 52) < 127 ? le16(c, 52) : '?',
                      le16(c, 54));
        text += line;
        for (size_t i = 0; i < 8; ++i) {
            std::string hop = text_field(c, 56 + 8 * i, 8);
            if (!hop.empty()) text += "digipath " + std::to_string(i + 1) + " " + hop + "\n";
        }
    }
    for (size_t r = 0; r + 28 <= rx.rules.size(); r += 28) {
        std::vector<uint8_t> rec(rx.rules.begin() + static_cast<long>(r), rx.rules.begin() + static_cast<long>(r + 28));
        std::snprintf(line, sizeof line, "rule %zu kind %u flags 0x%02X line %u:", r / 28 + 1, rec[24], rec[25],
                      le16(rec, 26));
        text += line;
        text += ' ';
        text += hex_of(rec);
        text += '\n';
    }
    text += "conf: " + hex_of(rx.conf) + "\n";
    text += "rules: " + hex_of(rx.rules) + "\n";
    text += rx.finished ? "download complete\n" : "download incomplete\n";
    return text;
}
