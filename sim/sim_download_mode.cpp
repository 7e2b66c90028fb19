// The "download" mode of the simulated device: the packet receiver behind the
// download command, with its fault switches taken from --opt (declared below).
#include <cstdio>
#include <memory>

#include "sim_device.h"
#include "sim_download.h"

namespace {

// Packets are numbered from 1 in the order they first arrive (see dl_faults).
const sim_opt NAK_PACKET("download", "dl_nak_packet", "N", "", sim_opt::number);
const sim_opt NAK_TIMES("download", "dl_nak_times", "K", "NAK packet N on its first K transmissions", sim_opt::number);
const sim_opt GARBAGE_PACKET("download", "dl_garbage_packet", "N", "", sim_opt::number);
const sim_opt GARBAGE_BYTE("download", "dl_garbage_byte", "B", "answer packet N with the byte B", sim_opt::number);
const sim_opt SILENT_PACKET("download", "dl_silent_packet", "N", "no answer to packet N", sim_opt::number);
const sim_opt UNPLUG_PACKET("download", "dl_unplug_packet", "N", "vanish when packet N arrives", sim_opt::number);
const sim_opt QUIET("download", "dl_quiet", "1", "no text after the download command", sim_opt::number);
// Never falls quiet: the byte again and again from the download command on,
// and always some of it before an answer.
const sim_opt CHATTER("download", "dl_chatter", "B", "never quiet: B again and again", sim_opt::number);
// The full report, rewritten after every packet.
const sim_opt REPORT("download", "dl_report", "PATH", "what the device received", sim_opt::text);

class download_mode : public sim_mode {
public:
    void on_start(sim_device& dev) override {
        dl_faults faults;
        faults.nak_packet = static_cast<int>(dev.option_long(NAK_PACKET, 0));
        faults.nak_times = static_cast<int>(dev.option_long(NAK_TIMES, 0));
        faults.garbage_packet = static_cast<int>(dev.option_long(GARBAGE_PACKET, 0));
        faults.garbage_byte = static_cast<uint8_t>(dev.option_long(GARBAGE_BYTE, 0));
        faults.silent_packet = static_cast<int>(dev.option_long(SILENT_PACKET, 0));
        faults.unplug_packet = static_cast<int>(dev.option_long(UNPLUG_PACKET, 0));
        faults.drain_text = dev.option_long(QUIET, 0) == 0;
        report_path_ = dev.option(REPORT, "");
        chatter_ = static_cast<int>(dev.option_long(CHATTER, -1));
        dl_begin(rx_, faults);
        std::vector<uint8_t> greeting = dl_greeting(rx_);
        if (!greeting.empty()) dev.send(greeting.data(), greeting.size());
        write_report();
    }

    void on_bytes(sim_device& dev, const uint8_t* data, size_t n) override {
        if (done_) return;
        std::vector<uint8_t> replies;
        size_t logged = rx_.log.size();
        dl_action action = dl_feed(rx_, data, n, replies);
        for (size_t i = logged; i < rx_.log.size(); ++i) {
            const dl_packet_log& p = rx_.log[i];
            char line[96];
            std::snprintf(line, sizeof line, "dl packet %d length %d crc %s reply %02X", p.number, p.length,
                          p.crc_ok ? "ok" : "bad", p.reply);
            dev.report(line);
        }
        // A chatty device has always said something more before it answers.
        if (!replies.empty() && chatter_ >= 0) chatter(dev);
        if (!replies.empty()) dev.send(replies.data(), replies.size());
        write_report();
        if (action == dl_action::unplug) {
            done_ = true;
            dev.unplug();
        } else if (action == dl_action::finished) {
            done_ = true;
            dev.report("dl complete conf " + std::to_string(rx_.conf.size()) + " rules " +
                       std::to_string(rx_.rules.size()));
        }
    }

    void on_tick(sim_device& dev) override {
        if (chatter_ >= 0) chatter(dev);
    }

private:
    // About 800 bytes a second, and some before every answer.
    void chatter(sim_device& dev) { dev.send(std::string(8, static_cast<char>(chatter_))); }

    void write_report() {
        if (report_path_.empty()) return;
        std::string tmp = report_path_ + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (f == nullptr) return;
        std::string text = dl_report(rx_);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        std::rename(tmp.c_str(), report_path_.c_str());
    }

    dl_receiver rx_;
    std::string report_path_;
    bool done_ = false;
    int chatter_ = -1;
};

std::unique_ptr<sim_mode> make_download() { return std::make_unique<download_mode>(); }

sim_mode_registrar registrar("download", make_download);

}  // namespace
