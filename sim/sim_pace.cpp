// Pacing of the simulated line. Coarse (--pace BAUD): the device sends no
// faster than 10 bits a byte at the speed, counted in whole milliseconds from
// the first byte after power-on, so a pause lets a burst follow. Exact
// (--pace-exact BAUD): every byte, either way, takes its own 10 bit times,
// back to back while bytes are queued, and idle time is never saved up. A byte
// is handed over when its last bit is on the line. The loop sleeps until the
// next byte is due instead of spinning.
#include <algorithm>

#include <poll.h>
#include <sys/ioctl.h>

#include "sim_clock.h"
#include "sim_device.h"

namespace {
// The loop wakes this long before a byte of the device is due and waits out
// the rest on the clock, so the byte reaches the host on time and not a
// timer's wake-up later.
constexpr int64_t EARLY_NS = 200000;
}  // namespace

size_t sim_device::pace_coarse_due(size_t queued) {
    int64_t now = sim_clock_ms();
    if (paced_bytes_ == 0) pace_start_ms_ = now;
    uint64_t due = static_cast<uint64_t>((now - pace_start_ms_) * (options_.pace_baud / 10) / 1000) + 1;
    if (due <= paced_bytes_) return 0;
    return static_cast<size_t>(due - paced_bytes_) < queued ? static_cast<size_t>(due - paced_bytes_) : queued;
}

int64_t sim_device::pace_byte_ns() const { return 10000000000LL / options_.pace_baud; }

void sim_device::pace_send_start() {
    // An idle line starts sending now, a busy one after what is queued. A
    // reply to host bytes starts when the last of them was complete: how late
    // this loop woke up to read them is no time on the line.
    if (!out_.empty()) return;
    int64_t now = sim_clock_ns();
    int64_t start = pace_reply_ ? std::min(now, in_free_ns_) : now;
    out_free_ns_ = std::max(out_free_ns_, start);
}

size_t sim_device::pace_out_due() {
    int64_t next = out_free_ns_ + pace_byte_ns();
    int64_t now = sim_clock_ns();
    if (next > now && next - now <= EARLY_NS) {
        while (now < next) now = sim_clock_ns();
    }
    int64_t due = (now - out_free_ns_) / pace_byte_ns();
    if (due <= 0) return 0;
    return std::min(static_cast<size_t>(due), out_.size());
}

void sim_device::pace_out_sent(size_t n) { out_free_ns_ += static_cast<int64_t>(n) * pace_byte_ns(); }

size_t sim_device::pace_in_want(size_t room) {
    int64_t now = sim_clock_ns();
    if (!in_busy_) {
        // No data: a note of packet mode (the host emptied its queues), read
        // at once on its own.
        int pending = 0;
        if (ioctl(line_fd_, FIONREAD, &pending) != 0 || pending <= 0) return 1;
        // The host's first byte starts on the line now.
        in_busy_ = true;
        in_free_ns_ = now;
        return 0;
    }
    int64_t due = (now - in_free_ns_) / pace_byte_ns();
    if (due <= 0 || room < 2) return 0;
    // One more for the packet mode's header byte.
    return std::min(static_cast<size_t>(due), room - 1) + 1;
}

void sim_device::pace_in_read(size_t n) {
    in_free_ns_ += static_cast<int64_t>(n) * pace_byte_ns();
    pace_reply_ = n > 0;
    int pending = 0;
    // Nothing more written: the line goes quiet after this byte.
    if (ioctl(line_fd_, FIONREAD, &pending) != 0 || pending <= 0) in_busy_ = false;
}

void sim_device::pace_poll(short& events, int64_t& wait_ns) {
    pace_reply_ = false;  // what is sent from here on answers nothing read yet
    int64_t now = sim_clock_ns();
    if (in_busy_) {
        int64_t next = in_free_ns_ + pace_byte_ns() - now;
        int pending = 0;
        if (next <= 0 && (ioctl(line_fd_, FIONREAD, &pending) != 0 || pending <= 0)) {
            in_busy_ = false;  // what was on its way has been thrown away
        } else if (next > 0) {
            // The next host byte is still on the line: only its time wakes us.
            events = static_cast<short>(events & ~POLLIN);
            wait_ns = std::min(wait_ns, next);
        }
    }
    if (!out_.empty()) {
        int64_t next = out_free_ns_ + pace_byte_ns() - now;
        if (next > 0) {
            events = static_cast<short>(events & ~POLLOUT);
            wait_ns = std::min(wait_ns, std::max<int64_t>(next - EARLY_NS, 0));
        }
    }
}

void sim_device::pace_reset() {
    in_busy_ = false;
    pace_reply_ = false;
    out_free_ns_ = 0;
    in_free_ns_ = 0;
}
