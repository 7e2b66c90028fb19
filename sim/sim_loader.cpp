// The device's serial firmware loader: after power-on it offers itself with
// ENQ, takes SYN and the identifier, then one record line (ended by CR) at a
// time and answers each with one status byte.
//
// Its settings (--opt KEY=VALUE) and the points where it vanishes
// (--unplug-at) are declared below.
// Report lines: "loader syn", "loader identifier" (with id-late-ms, "loader
// identifier reply late" when its answer goes out), "loader bad sync XX",
// "loader bad identifier TEXT", "loader line N STATUS" (STATUS in hex or
// none) for each record line, "loader end" after the end-of-file record;
// for an answer that goes late (late=N, or script's N:S@MS): "loader line N
// reply late" when it goes out, and "loader line K while reply N held" for a
// record line that arrives before it did (the host would take the late
// answer for the reply to line K).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

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

// The byte sent at power-on instead of ENQ.
const sim_opt PROMPT("loader", "prompt", "BYTE", "", sim_opt::number);
// How long after power-on the prompt goes out (500 ms): the host reads away
// what the line holds right after it opens the port, so a device that powers
// on at once must not offer itself before that.
const sim_opt ENQ_DELAY("loader", "enq-delay", "MS", "", sim_opt::number);
// Every record accepted goes to PATH, one line each.
const sim_opt OUT("loader", "out", "PATH", "", sim_opt::text);
// The answer to the N-th record line received (1-based, resends counted) is
// S: a byte in hex (06, 11, 12, 15, 17, 18, or any other) or "none" for
// silence, sent at once or, with @MS, MS milliseconds after the line's CR
// arrived; lines not named are answered by their own check (ACK, 0x11 or
// 0x12), at once.
const sim_opt SCRIPT("loader", "script", "N:S[@MS],...", "answer S, hex or none, to record N, MS ms late",
                     sim_opt::text);
// Every record line as it arrives ("line N TEXT") and every answer as it goes
// out ("answer N XX", N the line it answers) go to PATH, in the order they
// happen: what the host sent after which answer.
const sim_opt TRACE("loader", "trace", "PATH", "", sim_opt::text);
// The answers to SYN and to the identifier instead of ACK: a byte in hex or "none".
const sim_opt SYN_REPLY("loader", "syn-reply", "S", "", sim_opt::text);
const sim_opt ID_REPLY("loader", "id-reply", "S", "instead of ACK", sim_opt::text);
// The answer to the identifier goes out MS ms after it arrived, within the
// host's 5-second window: a quiet line in the middle of the exchange.
const sim_opt ID_LATE_MS("loader", "id-late-ms", "MS", "answer the identifier MS ms late", sim_opt::number);
// The answer to the N-th record line (counted like script) goes out late-ms
// after the line's CR arrived: after the host's 100 + 10 ms window and the
// line time of a short record, so the host has timed out and may send the
// line again while that answer is still to come.
const sim_opt LATE("loader", "late", "N", "", sim_opt::number);
const sim_opt LATE_MS("loader", "late-ms", "MS",
                      "answer record N MS ms late, 190 ms by default: after the host's window", sim_opt::number);

// The device goes before it answers: when SYN arrives, when the identifier is
// complete, when the N-th record line arrives (counted like script).
const sim_point AT_SYN("loader", "loader-syn");
const sim_point AT_IDENTIFIER("loader", "loader-identifier");
const sim_point AT_LINE("loader", "loader-line-", true);

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

using sim_clock = std::chrono::steady_clock;

// What the loader answers to one record line, and how long after its CR.
struct loader_answer {
    int status;
    std::chrono::milliseconds delay{0};
};

// An answer on its way: the byte, when it goes, the line it answers.
struct held_answer {
    sim_clock::time_point due;
    uint8_t byte;
    long line;
};

class sim_loader : public sim_mode {
public:
    void on_start(sim_device& dev) override {
        std::string script = dev.option(SCRIPT, "");
        size_t at = 0;
        while (at < script.size()) {
            size_t end = script.find(',', at);
            if (end == std::string::npos) end = script.size();
            std::string item = script.substr(at, end - at);
            size_t colon = item.find(':');
            if (colon != std::string::npos) {
                long n = std::strtol(item.substr(0, colon).c_str(), nullptr, 10);
                std::string status = item.substr(colon + 1);
                size_t late = status.find('@');
                loader_answer planned{scripted_reply(status.substr(0, late))};
                if (late != std::string::npos) {
                    planned.delay = std::chrono::milliseconds(std::strtol(status.c_str() + late + 1, nullptr, 10));
                }
                replies_[n] = planned;
            }
            at = end + 1;
        }
        std::string path = dev.option(OUT, "");
        if (!path.empty()) out_ = std::fopen(path.c_str(), "w");
        std::string trace = dev.option(TRACE, "");
        if (!trace.empty()) trace_ = std::fopen(trace.c_str(), "w");
        syn_reply_ = scripted_reply(dev.option(SYN_REPLY, "06"));
        id_reply_ = scripted_reply(dev.option(ID_REPLY, "06"));
        id_late_by_ = std::chrono::milliseconds(dev.option_long(ID_LATE_MS, 0));
        prompt_ = static_cast<uint8_t>(dev.option_long(PROMPT, ENQ));
        prompt_at_ = sim_clock::now() + std::chrono::milliseconds(dev.option_long(ENQ_DELAY, 500));
        late_line_ = dev.option_long(LATE, 0);
        late_by_ = std::chrono::milliseconds(dev.option_long(LATE_MS, 190));
        on_tick(dev);
    }

    void on_tick(sim_device& dev) override {
        auto now = sim_clock::now();
        if (id_held_ && now >= id_held_at_) {
            id_held_ = false;
            dev.report("loader identifier reply late");
            answer(dev, id_reply_);
        }
        // The answers that are due go in the order they fell due.
        while (!held_.empty() && held_.front().due <= now) {
            held_answer due = held_.front();
            held_.erase(held_.begin());
            dev.report("loader line " + std::to_string(due.line) + " reply late");
            reply(dev, due.byte, due.line);
        }
        if (prompted_ || now < prompt_at_) return;
        prompted_ = true;
        dev.report("loader prompt");
        dev.send(&prompt_, 1);
    }

    ~sim_loader() override {
        if (out_ != nullptr) std::fclose(out_);
        if (trace_ != nullptr) std::fclose(trace_);
    }

    void on_bytes(sim_device& dev, const uint8_t* data, size_t n) override {
        for (size_t i = 0; i < n && !gone_; ++i) take(dev, data[i]);
    }

private:
    static int scripted_reply(const std::string& status) {
        return status == "none" ? SILENT : static_cast<int>(std::strtol(status.c_str(), nullptr, 16));
    }

    // Pulls the plug when --unplug-at names this point.
    bool unplug_at(sim_device& dev, const sim_point& point, long number = 0) {
        gone_ = dev.unplug_point(point, number);
        return gone_;
    }

    void answer(sim_device& dev, int status, long line = 0) {
        if (status != SILENT) reply(dev, static_cast<uint8_t>(status), line);
    }

    enum class state { sync, identify, records };

    // A step of the handshake arrived: reported, then the device vanishes at
    // its point or answers it and waits for the next.
    void step(sim_device& dev, const char* seen, const sim_point& point, int status, state next) {
        dev.report(seen);
        if (unplug_at(dev, point)) return;
        answer(dev, status);
        state_ = next;
    }

    void take(sim_device& dev, uint8_t byte) {
        switch (state_) {
        case state::sync:
            if (byte == SYN) {
                step(dev, "loader syn", AT_SYN, syn_reply_, state::identify);
            } else {
                dev.report("loader bad sync " + hex_byte(byte));
            }
            break;
        case state::identify:
            text_ += static_cast<char>(byte);
            if (text_.size() == IDENTIFIER.size()) {
                if (text_ == IDENTIFIER && id_late_by_.count() > 0) {
                    dev.report("loader identifier");
                    if (!unplug_at(dev, AT_IDENTIFIER)) {
                        id_held_ = true;
                        id_held_at_ = sim_clock::now() + id_late_by_;
                        state_ = state::records;
                    }
                } else if (text_ == IDENTIFIER) {
                    step(dev, "loader identifier", AT_IDENTIFIER, id_reply_, state::records);
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
        traced("line " + std::to_string(lines_) + " " + text_);
        for (const held_answer& held : held_) {
            dev.report("loader line " + std::to_string(lines_) + " while reply " + std::to_string(held.line) + " held");
        }
        if (dev.unplugs_at(AT_LINE, lines_)) dev.report("loader line " + std::to_string(lines_) + " unplug");
        if (unplug_at(dev, AT_LINE, lines_)) return;
        loader_answer planned{check_record(text_)};
        auto scripted = replies_.find(lines_);
        if (scripted != replies_.end()) planned = scripted->second;
        if (lines_ == late_line_) planned.delay = late_by_;
        int status = planned.status;
        dev.report("loader line " + std::to_string(lines_) + " " + hex_byte(status));
        if (status == ACK && check_record(text_) == ACK) {
            if (out_ != nullptr) {
                std::fprintf(out_, "%s\n", text_.c_str());
                std::fflush(out_);
            }
            if (text_.size() >= 9 && text_.compare(7, 2, "01") == 0) dev.report("loader end");
        }
        if (planned.delay.count() > 0 && status != SILENT) {
            held_answer held{sim_clock::now() + planned.delay, static_cast<uint8_t>(status), lines_};
            auto later = std::upper_bound(held_.begin(), held_.end(), held.due,
                                          [](sim_clock::time_point due, const held_answer& h) { return due < h.due; });
            held_.insert(later, held);
            return;
        }
        answer(dev, status, lines_);
    }

    void reply(sim_device& dev, uint8_t byte, long line = 0) {
        if (line > 0) traced("answer " + std::to_string(line) + " " + hex_byte(byte));
        dev.send(&byte, 1);
    }

    void traced(const std::string& event) {
        if (trace_ == nullptr) return;
        std::fprintf(trace_, "%s\n", event.c_str());
        std::fflush(trace_);
    }

    uint8_t prompt_ = ENQ;
    long late_line_ = 0;
    std::chrono::milliseconds late_by_{190};
    std::vector<held_answer> held_;  // by the time they fall due
    std::chrono::milliseconds id_late_by_{0};
    bool id_held_ = false;
    sim_clock::time_point id_held_at_;
    sim_clock::time_point prompt_at_;
    bool prompted_ = false;
    bool gone_ = false;
    int syn_reply_ = ACK;
    int id_reply_ = ACK;
    state state_ = state::sync;
    std::string text_;
    long lines_ = 0;
    std::map<long, loader_answer> replies_;
    FILE* out_ = nullptr;
    FILE* trace_ = nullptr;
};

std::unique_ptr<sim_mode> make_loader() { return std::make_unique<sim_loader>(); }

sim_mode_registrar loader_registrar("loader", make_loader);

}  // namespace
