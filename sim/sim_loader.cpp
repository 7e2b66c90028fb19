// The device's serial firmware loader: after power-on it offers itself with
// ENQ, takes SYN and the identifier, then one record line (ended by CR) at a
// time and answers each with one status byte.
//
// Options (--opt KEY=VALUE):
//   prompt=BYTE     the byte sent at power-on instead of ENQ (0x05)
//   enq-delay=MS    how long after power-on the prompt goes out (500): the
//                   host reads away what the line holds right after it opens
//                   the port, so a device that powers on at once must not
//                   offer itself before that
//   script=N:S,...  the answer to the N-th record line received (1-based,
//                   resends counted) is S: a byte in hex (06, 11, 12, 15, 17,
//                   18, or any other) or "none" for silence; lines not named
//                   are answered by their own check (ACK, 0x11 or 0x12)
//   out=PATH        every record accepted goes to PATH, one line each
//   syn-reply=S     the answer to SYN instead of ACK: a byte in hex or "none"
//   id-reply=S      the answer to the identifier instead of ACK, the same way
//   late=N          the answer to the N-th record line (counted like script)
//                   goes out late-ms after the line's CR arrived: after the
//                   host's 100 + 10 ms window and the line time of a short
//                   record, so the host has timed out and may send the line
//                   again while that answer is still to come
//   late-ms=MS      how late (190)
// Unplug points (--unplug-at): loader-syn when SYN arrives, loader-identifier
// when the identifier is complete, loader-line-N when the N-th record line
// arrives (counted like script): the device goes before it answers.
// Report lines: "loader syn", "loader identifier", "loader bad sync XX",
// "loader bad identifier TEXT", "loader line N STATUS" (STATUS in hex or
// none) for each record line, "loader end" after the end-of-file record;
// with late=N: "loader line N reply late" when that answer goes out, and
// "loader line K while reply N held" for a record line that arrives before
// it did (the host would take the late answer for the reply to line K).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "sim_device.h"

namespace {

constexpr uint8_t ENQ = 0x05;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t SYN = 0x16;
constexpr uint8_t NO_START = 0x11;
constexpr uint8_t BAD_CHECKSUM = 0x12;
constexpr int SILENT = -1;
const std::string IDENTIFIER = "QvNtIs1.0";

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string hex_byte(int value) {
    if (value == SILENT) return "none";
    char text[8];
    std::snprintf(text, sizeof text, "%02x", value & 0xFF);
    return text;
}

// The loader's own check of a record: start character, hex pairs, sum 0.
uint8_t check_record(const std::string& line) {
    if (line.empty() || line[0] != ':') return NO_START;
    size_t digits = line.size() - 1;
    if (digits < 10 || digits % 2 != 0) return BAD_CHECKSUM;
    unsigned sum = 0;
    for (size_t i = 1; i + 1 < line.size(); i += 2) {
        int hi = hex_digit(line[i]);
        int lo = hex_digit(line[i + 1]);
        if (hi < 0 || lo < 0) return BAD_CHECKSUM;
        sum += static_cast<unsigned>(hi * 16 + lo);
    }
    return (sum & 0xFFu) == 0 ? ACK : BAD_CHECKSUM;
}

class sim_loader : public sim_mode {
public:
    void on_start(sim_device& dev) override {
        std::string script = dev.option("script", "");
        size_t at = 0;
        while (at < script.size()) {
            size_t end = script.find(',', at);
            if (end == std::string::npos) end = script.size();
            std::string item = script.substr(at, end - at);
            size_t colon = item.find(':');
            if (colon != std::string::npos) {
                long n = std::strtol(item.substr(0, colon).c_str(), nullptr, 10);
                std::string status = item.substr(colon + 1);
                replies_[n] = scripted_reply(status);
            }
            at = end + 1;
        }
        std::string path = dev.option("out", "");
        if (!path.empty()) out_ = std::fopen(path.c_str(), "w");
        syn_reply_ = scripted_reply(dev.option("syn-reply", "06"));
        id_reply_ = scripted_reply(dev.option("id-reply", "06"));
        prompt_ = static_cast<uint8_t>(dev.option_long("prompt", ENQ));
        prompt_at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(dev.option_long("enq-delay", 500));
        late_line_ = dev.option_long("late", 0);
        late_by_ = std::chrono::milliseconds(dev.option_long("late-ms", 190));
        on_tick(dev);
    }

    void on_tick(sim_device& dev) override {
        if (held_ && std::chrono::steady_clock::now() >= held_at_) {
            held_ = false;
            dev.report("loader line " + std::to_string(late_line_) + " reply late");
            reply(dev, held_reply_);
        }
        if (prompted_ || std::chrono::steady_clock::now() < prompt_at_) return;
        prompted_ = true;
        dev.report("loader prompt");
        dev.send(&prompt_, 1);
    }

    ~sim_loader() override {
        if (out_ != nullptr) std::fclose(out_);
    }

    void on_bytes(sim_device& dev, const uint8_t* data, size_t n) override {
        for (size_t i = 0; i < n && !gone_; ++i) take(dev, data[i]);
    }

private:
    static int scripted_reply(const std::string& status) {
        return status == "none" ? SILENT : static_cast<int>(std::strtol(status.c_str(), nullptr, 16));
    }

    // Pulls the plug when --unplug-at names this point.
    bool unplug_at(sim_device& dev, const std::string& point) {
        gone_ = dev.unplug_point(point);
        return gone_;
    }

    void answer(sim_device& dev, int status) {
        if (status != SILENT) reply(dev, static_cast<uint8_t>(status));
    }

    void take(sim_device& dev, uint8_t byte) {
        switch (state_) {
        case state::sync:
            if (byte == SYN) {
                dev.report("loader syn");
                if (unplug_at(dev, "loader-syn")) return;
                answer(dev, syn_reply_);
                state_ = state::identify;
            } else {
                dev.report("loader bad sync " + hex_byte(byte));
            }
            break;
        case state::identify:
            text_ += static_cast<char>(byte);
            if (text_.size() == IDENTIFIER.size()) {
                if (text_ == IDENTIFIER) {
                    dev.report("loader identifier");
                    if (unplug_at(dev, "loader-identifier")) return;
                    answer(dev, id_reply_);
                    state_ = state::records;
                } else {
                    dev.report("loader bad identifier " + text_);
                }
                text_.clear();
            }
            break;
        case state::records:
            if (byte != CR) {
                text_ += static_cast<char>(byte);
                break;
            }
            record(dev);
            text_.clear();
            break;
        }
    }

    void record(sim_device& dev) {
        ++lines_;
        if (held_) dev.report("loader line " + std::to_string(lines_) + " while reply " + std::to_string(late_line_) +
                              " held");
        std::string point = "loader-line-" + std::to_string(lines_);
        if (dev.options().unplug_at == point) dev.report("loader line " + std::to_string(lines_) + " unplug");
        if (unplug_at(dev, point)) return;
        int status = check_record(text_);
        auto scripted = replies_.find(lines_);
        if (scripted != replies_.end()) status = scripted->second;
        dev.report("loader line " + std::to_string(lines_) + " " + hex_byte(status));
        if (status == ACK && check_record(text_) == ACK) {
            if (out_ != nullptr) {
                std::fprintf(out_, "%s\n", text_.c_str());
                std::fflush(out_);
            }
            if (text_.size() >= 9 && text_.compare(7, 2, "01") == 0) dev.report("loader end");
        }
        if (lines_ == late_line_ && status != SILENT) {
            held_ = true;
            held_reply_ = static_cast<uint8_t>(status);
            held_at_ = std::chrono::steady_clock::now() + late_by_;
            return;
        }
        answer(dev, status);
    }

    void reply(sim_device& dev, uint8_t byte) { dev.send(&byte, 1); }

    uint8_t prompt_ = ENQ;
    long late_line_ = 0;
    std::chrono::milliseconds late_by_{190};
    bool held_ = false;
    uint8_t held_reply_ = 0;
    std::chrono::steady_clock::time_point held_at_;
    std::chrono::steady_clock::time_point prompt_at_;
    bool prompted_ = false;
    bool gone_ = false;
    int syn_reply_ = ACK;
    int id_reply_ = ACK;
    enum class state { sync, identify, records };
    state state_ = state::sync;
    std::string text_;
    long lines_ = 0;
    std::map<long, int> replies_;
    FILE* out_ = nullptr;
};

std::unique_ptr<sim_mode> make_loader() { return std::make_unique<sim_loader>(); }

sim_mode_registrar loader_registrar("loader", make_loader);

}  // namespace
