// The monitor: the device's side of the exchanges outside the modes. It
// prints the start-up text at power-on, confirms the host's Ctrl-C with
// "Connected <speed>", takes the host speed command and the download command,
// and answers a carriage return with its prompt.
#include <cstdlib>
#include <string>

#include "sim_device.h"
#include "sim_device_names.h"

using namespace device_names;

namespace {
const char PRODUCT[] = "Quorvantis";
constexpr size_t STARTUP_SIZE = 100;   // the host's power-on read
constexpr size_t REPLY_SIZE = 1024;    // the host's reply reads
}  // namespace

const char* const SIM_VERSION_TEXT = "Version " QV_SIM_VERSION;

void sim_device::power_on() {
    powered_ = true;
    power_request_ = 0;
    report("power-on");
    if (unplug_point(AT_POWER_ON)) return;
    if (!options_.mode.empty()) {
        enter_mode(options_.mode);
        return;
    }
    // A device that only ever prints noise has no start-up text.
    if (fault(CHATTER)) return;
    std::string text;
    if (fault(VERSION_FIRST)) {
        text = std::string("\r\n") + SIM_VERSION_TEXT + " of the firmware\r\n" + PRODUCT + " digipeater\r\n";
    } else {
        std::string product = fault(NO_PRODUCT) ? "Digipeater" : PRODUCT;
        std::string version = SIM_VERSION_TEXT;
        if (fault(WRONG_VERSION)) {
            // Another release's: the same text with its last digit changed.
            char& last = version.back();
            last = last == '9' ? '0' : static_cast<char>(last + 1);
        }
        std::string middle = " packet-radio digipeater\r\n";
        if (fault(NUL_HIGH)) middle = std::string(" \0\x80\xff", 4) + " digipeater\r\n";
        text = "\r\n" + product + middle + version + "\r\n";
    }
    text += "Host port ready.\r\n";
    // Exactly the host's read size, so the power-on read returns at once and
    // nothing of the start-up text is left for the next read.
    if (text.size() < STARTUP_SIZE) text.append(STARTUP_SIZE - text.size(), ' ');
    if (text.size() > STARTUP_SIZE) text.resize(STARTUP_SIZE);
    text[STARTUP_SIZE - 2] = '\r';
    text[STARTUP_SIZE - 1] = '\n';
    send(text);
}

void sim_device::power_off() {
    heard_host_ = false;
    powered_ = false;
    out_.clear();
    paced_bytes_ = 0;
    pace_reset();
    line_.clear();
    want_lf_for_download_ = false;
    mode_.reset();
}

void sim_device::monitor_line() {
    std::string line = line_;
    line_.clear();
    if (line.rfind("host ", 0) == 0) {
        host_speed_ = static_cast<uint32_t>(std::strtoul(line.c_str() + 5, nullptr, 10));
        report("host " + std::to_string(host_speed_));
        unplug_point(AT_HOST);
        return;
    }
    if (line == "download") {
        report("download");
        if (unplug_point(AT_DOWNLOAD)) return;
        want_lf_for_download_ = true;
        return;
    }
    if (!line.empty()) {
        report("line " + line);
        return;
    }
    report("cr");
    if (unplug_point(AT_CR)) return;
    if (fault(SILENT_CR)) return;
    // A full reply at once, so the host does not wait out its 20 seconds.
    send_padded(fault(NO_PROMPT) ? "\r\nEh?\r\n" : "\r\nQuorva> ", REPLY_SIZE);
}

void sim_device::monitor_bytes(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n && !unplugged_; ++i) {
        uint8_t b = data[i];
        if (mode_) {
            mode_->on_bytes(*this, data + i, n - i);
            return;
        }
        if (want_lf_for_download_) {
            want_lf_for_download_ = false;
            enter_mode("download");
            if (b == '\n') continue;  // the line end of the command: the mode takes what follows
            if (mode_) {
                mode_->on_bytes(*this, data + i, n - i);
                return;
            }
        }
        if (b == 0x03) {
            line_.clear();
            report("ctrl-c");
            if (unplug_point(AT_CTRL_C)) return;
            if (fault(NO_CONFIRM)) continue;
            uint32_t speed = options_.confirm_speed != 0 ? options_.confirm_speed : host_line_speed();
            if (fault(WRONG_SPEED)) speed = speed == 57600 ? 9600 : 57600;
            std::string reply = "\r\nConnected " + std::to_string(speed);
            if (fault(NO_NUL)) {
                // A full reply without any NUL, the confirmation in its last bytes.
                std::string filler(REPLY_SIZE - reply.size(), 'x');
                send(filler + reply);
            } else {
                send_padded(reply + "\r\n", REPLY_SIZE);
            }
        } else if (b == '\r') {
            monitor_line();
        } else if (b == '\n') {
            // part of a line end
        } else if (line_.size() < 256) {
            line_.push_back(static_cast<char>(b));
        }
    }
}
