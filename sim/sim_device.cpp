// The device's services for its monitor and modes: the report, the output
// queue and its writer, the unplug and the settings of the command line.
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "sim_clock.h"
#include "sim_device.h"

void sim_device::report(const std::string& line) {
    // --stamp: each line says when it happened, on the monotonic clock.
    if (options_.stamp) std::printf("@%lld ", static_cast<long long>(sim_clock_ns()));
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void sim_device::send(const void* bytes, size_t n) {
    if (unplugged_ || !host_open_) return;
    if (exact_pacing()) pace_send_start();
    out_.append(static_cast<const char*>(bytes), n);
    flush_output();
}

void sim_device::send_padded(const std::string& text, size_t size) {
    std::string padded = text;
    if (padded.size() < size) padded.append(size - padded.size(), '\0');
    send(padded);
}

void sim_device::flush_output() {
    while (!out_.empty() && !unplugged_) {
        size_t allowed = out_.size();
        if (exact_pacing()) {
            allowed = pace_out_due();
        } else if (options_.pace_baud != 0) {
            allowed = pace_coarse_due(allowed);
        }
        if (allowed == 0) return;
        int64_t sent_at = options_.stamp ? sim_clock_ns() : 0;
        ssize_t w = write(line_fd_, out_.data(), allowed);
        if (w <= 0) return;  // full (or the host went): try again on the next turn
        if (options_.stamp) last_send_ns_ = sent_at;
        if (exact_pacing()) pace_out_sent(static_cast<size_t>(w));
        out_.erase(0, static_cast<size_t>(w));
        paced_bytes_ += static_cast<uint64_t>(w);
    }
}

void sim_device::unplug() {
    if (unplugged_) return;
    unplugged_ = true;
    // On a --tty line only the device goes: the line stays, as with a pulled
    // cable (run() reads it away from here on).
    if (!on_tty()) {
        close(line_fd_);
        line_fd_ = -1;
    }
    // Only once the line is gone: a test that acts on this line must find it
    // gone, even when writing the report lets the test run before the close.
    report("unplugged");
}

bool sim_device::unplugs_at(const sim_point& point, long number) const {
    return !options_.unplug_at.empty() && options_.unplug_at == point.at(number);
}

bool sim_device::unplug_point(const sim_point& point, long number) {
    if (!unplugs_at(point, number)) return false;
    unplug();
    return true;
}

std::string sim_device::option(const sim_opt& opt, const std::string& fallback) const {
    auto it = options_.values.find(opt.key());
    return it == options_.values.end() ? fallback : it->second;
}

long sim_device::option_long(const sim_opt& opt, long fallback) const {
    auto it = options_.values.find(opt.key());
    if (it == options_.values.end()) return fallback;
    char* end = nullptr;
    long v = std::strtol(it->second.c_str(), &end, 0);
    return (end == it->second.c_str()) ? fallback : v;
}

uint32_t sim_device::host_line_speed() const { return line_fd_ >= 0 ? sim_slave_speed(line_fd_) : 0; }
