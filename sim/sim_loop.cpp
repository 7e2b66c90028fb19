// The device's loop: it waits for the host's bytes, the host's opens and
// closes and the signals' requests, and keeps the clock's work going (the
// power-on delay, the modes' ticks, a chattering device, the paced output).
#include <array>
#include <cerrno>
#include <ctime>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "sim_clock.h"
#include "sim_device.h"
#include "sim_device_names.h"

using namespace device_names;

// The host's bytes, as they came: to the mode, or to the monitor.
void sim_device::host_bytes(const uint8_t* data, size_t n, int64_t noticed_ns) {
    if (options_.stamp && last_send_ns_ != 0) {
        report("turnaround " + std::to_string(noticed_ns - last_send_ns_));
        last_send_ns_ = 0;
    }
    if (!powered_) {
        report("ignored " + std::to_string(n));
        return;
    }
    heard_host_ = true;
    if (mode_) {
        mode_->on_bytes(*this, data, n);
    } else {
        monitor_bytes(data, n);
    }
}

// Reads what the host sent. On a pseudo-terminal each read starts with the
// packet mode's header byte, which also tells of the host's purges.
void sim_device::read_host(int64_t& noticed_ns) {
    std::array<uint8_t, 4096> buf{};
    if (on_tty()) {
        ssize_t got = read(line_fd_, buf.data(), buf.size());
        noticed_ns = sim_clock_ns();
        if (got > 0) host_bytes(buf.data(), static_cast<size_t>(got), noticed_ns);
        return;
    }
    size_t want = exact_pacing() ? pace_in_want(buf.size()) : buf.size();
    ssize_t got = want == 0 ? 0 : read(line_fd_, buf.data(), want);
    // When the first of these bytes was noticed (paced: it started on the line then).
    noticed_ns = exact_pacing() ? in_free_ns_ : sim_clock_ns();
    if (exact_pacing() && want > 0) pace_in_read(got > 1 && buf[0] == TIOCPKT_DATA ? static_cast<size_t>(got - 1) : 0);
    if (got > 1 && buf[0] == TIOCPKT_DATA) {
        host_bytes(buf.data() + 1, static_cast<size_t>(got - 1), noticed_ns);
    } else if (got == 1 && (buf[0] & TIOCPKT_FLUSHREAD) != 0 && powered_ && !heard_host_ && !fault(CHATTER)) {
        // The host emptied its input before it said anything: what the
        // device printed at power-on is lost, so it starts over.
        report("purged");
        out_.clear();
        if (exact_pacing()) pace_reset();
        mode_.reset();
        power_on();
    }
}

void sim_device::run() {
    report("ready " + slave_);
    while (!stopping_ && !unplugged_) {
        if (unplug_request_) {
            unplug();
            break;
        }
        short events = POLLIN;
        if (!out_.empty() && host_open_) events |= POLLOUT;
        // Without a host the master only reports its hang-up: leave it out then.
        pollfd p[2] = {{watch_, POLLIN, 0}, {host_open_ ? line_fd_ : -1, events, 0}};
        int64_t wait_ns = turn_wait_ns();
        if (exact_pacing() && host_open_) pace_poll(p[1].events, wait_ns);
        timespec wait{static_cast<time_t>(wait_ns / 1000000000), static_cast<long>(wait_ns % 1000000000)};
        int r = ppoll(p, 2, &wait, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (!take_events(p[0].revents, p[1].revents)) break;
        if (host_open_) clock_turn();
    }
    if (on_tty() && unplugged_) read_away();
}

int64_t sim_device::turn_wait_ns() const {
    // Every 10 ms while something runs on the clock (a mode's ticks, a
    // power-on delay, a chatty device, bytes to send); else the loop only
    // waits for the host's bytes and the signals, which end the wait at once,
    // and looks again after 100 ms.
    bool timed = mode_ || fault(CHATTER) || !out_.empty() || options_.pace_baud != 0 ||
                 (!powered_ && !on_tty() && !options_.manual_power);
    return timed ? 10000000 : 100000000;
}

bool sim_device::take_events(short watch_revents, short line_revents) {
    // Bytes first: what the host wrote before it closed still counts.
    int64_t noticed = 0;
    if (host_open_ && (line_revents & POLLIN) != 0) read_host(noticed);
    if (unplugged_) return false;
    // A terminal that hangs up (a USB adapter pulled out) has taken the line with it.
    if (on_tty() && (line_revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        report("line gone");
        return false;
    }
    if ((watch_revents & POLLIN) != 0) watch_events();
    return !unplugged_;
}

void sim_device::clock_turn() {
    int64_t now = sim_clock_ms();
    if (on_tty() && power_request_ && powered_) {
        // The operator's switch: off, and on again.
        report("power-off");
        tcflush(line_fd_, TCIOFLUSH);
        power_off();
    }
    if (!powered_) {
        bool due = power_request_ != 0;
        if (!on_tty() && !options_.manual_power) due = due || now - opened_at_ms_ >= options_.power_delay_ms;
        if (due && (on_tty() || sim_slave_raw(line_fd_))) power_on();
    }
    if (fault(CHATTER) && now - chatter_at_ms_ >= 10) {
        chatter_at_ms_ = now;
        send("never quiet ");
    }
    if (mode_) mode_->on_tick(*this);
    flush_output();
}

void sim_device::read_away() {
    // The host's UART goes on sending into a pulled cable without noticing.
    // A partner UART that nobody read would stop it instead (its line would
    // fill), so what arrives is read and dropped until the simulator is stopped.
    std::array<uint8_t, 4096> buf{};
    while (!stopping_) {
        pollfd p{line_fd_, POLLIN, 0};
        timespec wait{0, 100000000};
        int r = ppoll(&p, 1, &wait, nullptr);
        if (r < 0 && errno != EINTR) return;
        if (r > 0 && (p.revents & POLLIN) != 0 && read(line_fd_, buf.data(), buf.size()) < 0 && errno != EAGAIN) {
            return;
        }
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return;
    }
}
