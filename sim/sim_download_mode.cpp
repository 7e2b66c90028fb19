// The "download" mode of the simulated device: the packet receiver behind the
// download command, with its fault switches taken from --opt:
//   dl_nak_packet=N dl_nak_times=K   NAK packet N on its first K transmissions
//   dl_garbage_packet=N dl_garbage_byte=B   answer packet N with the byte B
//   dl_silent_packet=N               no answer to packet N
//   dl_unplug_packet=N               pull the plug when packet N arrives
//   dl_quiet=1                       no text after the download command
//   dl_chatter=B                     never falls quiet: the byte B again and
//                                    again from the download command on, and
//                                    always some of it before an answer
//   dl_report=PATH                   the full report, rewritten after every packet
#include <cstdio>
#include <memory>

#include "sim_device.h"
#include "sim_download.h"

namespace {

class download_mode : public sim_mode {
public:
    void on_start(sim_device& dev) override {
        dl_faults faults;
        faults.nak_packet = static_cast<int>(dev.option_long("dl_nak_packet", 0));
        faults.nak_times = static_cast<int>(dev.option_long("dl_nak_times", 0));
        faults.garbage_packet = static_cast<int>(dev.option_long("dl_garbage_packet", 0));
        faults.garbage_byte = static_cast<uint8_t>(dev.option_long("dl_garbage_byte", 0));
        faults.silent_packet = static_cast<int>(dev.option_long("dl_silent_packet", 0));
        faults.unplug_packet = static_cast<int>(dev.option_long("dl_unplug_packet", 0));
        faults.drain_text = dev.option_long("dl_quiet", 0) == 0;
        report_path_ = dev.option("dl_report", "");
        chatter_ = static_cast<int>(dev.option_long("dl_chatter", -1));
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
