#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sim_clock.h"
#include "sim_device.h"

namespace {
std::map<std::string, sim_mode_factory>& registry() {
    static std::map<std::string, sim_mode_factory> modes;
    return modes;
}

// What the device does wrong when a test asks (--fault NAME).
const sim_fault NO_PRODUCT("no-product");            // start-up text without the product word
const sim_fault WRONG_VERSION("wrong-version");      // another version text
const sim_fault VERSION_FIRST("version-before-product");
const sim_fault NUL_HIGH("nul-high");                // NUL and bytes above 0x7F in the start-up text
const sim_fault WRONG_SPEED("wrong-speed");          // "Connected" with another speed
const sim_fault NO_CONFIRM("no-confirm");            // no answer to Ctrl-C
const sim_fault NO_PROMPT("no-prompt");              // a carriage return answered without the prompt
const sim_fault SILENT_CR("silent-cr");              // a carriage return not answered at all
const sim_fault NO_NUL("no-nul");                    // a full "Connected" reply without any NUL
const sim_fault CHATTER("chatter");                  // never falls quiet, has no start-up text

// Where the device vanishes when a test asks (--unplug-at POINT).
const sim_point AT_OPEN("", "open");          // the host opened the line
const sim_point AT_POWER_ON("", "power-on");
const sim_point AT_CTRL_C("", "ctrl-c");
const sim_point AT_HOST("", "host");          // the line "host N" arrived
const sim_point AT_CR("", "cr");              // an empty command line arrived
const sim_point AT_DOWNLOAD("", "download");  // the line "download" arrived

const char PRODUCT[] = "Quorvantis";
constexpr size_t STARTUP_SIZE = 100;   // the host's power-on read
constexpr size_t REPLY_SIZE = 1024;    // the host's reply reads

// Where a symbolic link points, or "" when path is none (or unreadable).
std::string link_target(const std::string& path) {
    std::array<char, 4096> target{};
    ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n <= 0) return "";
    return std::string(target.data(), static_cast<size_t>(n));
}

void make_dirs(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0700);
    }
}
}  // namespace

const char* const SIM_VERSION_TEXT = "Version " QV_SIM_VERSION;

void sim_register_mode(const char* name, sim_mode_factory factory) { registry()[name] = factory; }

std::vector<std::string> sim_mode_names() {
    std::vector<std::string> names;
    for (const auto& mode : registry()) names.push_back(mode.first);
    return names;
}

sim_device::sim_device(const sim_options& options) : options_(options) {}

sim_device::~sim_device() {
    if (line_fd_ >= 0) close(line_fd_);
    if (watch_ >= 0) close(watch_);
    // Only our own link goes: one that someone pointed elsewhere meanwhile stays.
    if (linked_ && link_target(options_.link) == slave_) unlink(options_.link.c_str());
}

bool sim_device::make_link() {
    const std::string& link = options_.link;
    make_dirs(link);
    struct stat st {};
    std::string previous;
    if (lstat(link.c_str(), &st) == 0) {
        // An operator's file, directory or device is never taken away.
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr,
                         "quorvantis-sim: will not replace %s: it is not a symbolic link (give --link a path where "
                         "nothing is, or a symbolic link)\n",
                         link.c_str());
            return false;
        }
        previous = link_target(link);
    } else if (errno != ENOENT) {
        std::fprintf(stderr, "quorvantis-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    if (previous.empty()) {
        // Nothing there: the link takes a free name, or fails.
        if (symlink(slave_.c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "quorvantis-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
            return false;
        }
    } else {
        // A symbolic link: the new one is made beside it and takes its name
        // in one step, so the path is never missing in between.
        std::string fresh = link + ".quorvantis-sim." + std::to_string(getpid());
        unlink(fresh.c_str());
        if (symlink(slave_.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0) {
            int error = errno;
            unlink(fresh.c_str());
            std::fprintf(stderr, "quorvantis-sim: cannot link %s: %s\n", link.c_str(), std::strerror(error));
            return false;
        }
        report("replaced link " + link + " (it pointed at " + previous + ")");
    }
    linked_ = true;
    return true;
}

bool sim_device::open_tty() {
    slave_ = options_.tty;
    line_fd_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line_fd_ < 0) {
        std::fprintf(stderr, "quorvantis-sim: cannot open %s: %s\n", slave_.c_str(), std::strerror(errno));
        return false;
    }
    if (!sim_tty_raw(line_fd_, options_.tty_speed)) {
        std::fprintf(stderr, "quorvantis-sim: cannot set %s to %lu baud 8N1: %s\n", slave_.c_str(),
                     static_cast<unsigned long>(options_.tty_speed), std::strerror(errno));
        return false;
    }
    // What the line held before the device was there is no part of its exchange.
    tcflush(line_fd_, TCIOFLUSH);
    host_open_ = true;
    return true;
}

bool sim_device::setup() {
    if (on_tty()) return open_tty();
    line_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line_fd_ < 0 || grantpt(line_fd_) != 0 || unlockpt(line_fd_) != 0) {
        std::fprintf(stderr, "quorvantis-sim: no pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    const char* name = ptsname(line_fd_);
    if (name == nullptr) return false;
    slave_ = name;
    // Open and close the slave once, so that its settings are initialised
    // before the host comes.
    int s = open(slave_.c_str(), O_RDWR | O_NOCTTY);
    if (s >= 0) close(s);
    fcntl(line_fd_, F_SETFL, fcntl(line_fd_, F_GETFL) | O_NONBLOCK);
    // Packet mode: the master also learns when the host empties its queues,
    // which tells a start-up text that the host's purge threw away.
    int packet = 1;
    if (ioctl(line_fd_, TIOCPKT, &packet) != 0) {
        std::fprintf(stderr, "quorvantis-sim: no packet mode: %s\n", std::strerror(errno));
        return false;
    }
    // Every open and close of the slave, in order, so that a close followed
    // at once by a new open is still seen as a power cycle.
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || inotify_add_watch(watch_, slave_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        std::fprintf(stderr, "quorvantis-sim: cannot watch %s: %s\n", slave_.c_str(), std::strerror(errno));
        return false;
    }
    if (!options_.link.empty() && !make_link()) return false;
    return true;
}

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
            if (allowed == 0) return;
        } else if (options_.pace_baud != 0) {
            int64_t now = sim_clock_ms();
            if (paced_bytes_ == 0) pace_start_ms_ = now;
            uint64_t due = static_cast<uint64_t>((now - pace_start_ms_) * (options_.pace_baud / 10) / 1000) + 1;
            if (due <= paced_bytes_) return;
            allowed = static_cast<size_t>(due - paced_bytes_) < allowed ? static_cast<size_t>(due - paced_bytes_)
                                                                         : allowed;
        }
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

void sim_device::to_monitor() {
    mode_.reset();
    line_.clear();
}

bool sim_device::enter_mode(const std::string& name) {
    auto it = registry().find(name);
    if (it == registry().end()) {
        report("no mode " + name);
        return false;
    }
    mode_ = it->second();
    report("mode " + name);
    mode_->on_start(*this);
    return true;
}

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

void sim_device::watch_events() {
    alignas(inotify_event) char events[4096];
    for (;;) {
        ssize_t n = read(watch_, events, sizeof events);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const inotify_event* e = reinterpret_cast<const inotify_event*>(events + at);
            if ((e->mask & IN_OPEN) != 0) {
                if (++opens_ == 1) {
                    host_open_ = true;
                    opened_at_ms_ = sim_clock_ms();
                    report("opened");
                    if (unplug_point(AT_OPEN)) return;
                }
            }
            if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0 && opens_ > 0) {
                if (--opens_ == 0) {
                    report("closed");
                    host_open_ = false;
                    power_off();
                }
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

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
    int64_t chatter_at = 0;
    while (!stopping_ && !unplugged_) {
        if (unplug_request_) {
            unplug();
            break;
        }
        short events = POLLIN;
        if (!out_.empty() && host_open_) events |= POLLOUT;
        // Without a host the master only reports its hang-up: leave it out then.
        pollfd p[2] = {{watch_, POLLIN, 0}, {host_open_ ? line_fd_ : -1, events, 0}};
        // Every 10 ms while something runs on the clock (a mode's ticks, a
        // power-on delay, a chatty device, bytes to send); else the loop
        // only waits for the host's bytes and the signals, which end the
        // wait at once, and looks again after 100 ms.
        bool timed = mode_ || fault(CHATTER) || !out_.empty() || options_.pace_baud != 0 ||
                     (!powered_ && !on_tty() && !options_.manual_power);
        int64_t wait_ns = timed ? 10000000 : 100000000;
        if (exact_pacing() && host_open_) pace_poll(p[1].events, wait_ns);
        timespec wait{static_cast<time_t>(wait_ns / 1000000000), static_cast<long>(wait_ns % 1000000000)};
        int r = ppoll(p, 2, &wait, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        // Bytes first: what the host wrote before it closed still counts.
        int64_t noticed = 0;
        if (host_open_ && (p[1].revents & POLLIN) != 0) read_host(noticed);
        if (unplugged_) break;
        // A terminal that hangs up (a USB adapter pulled out) has taken the line with it.
        if (on_tty() && (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            report("line gone");
            break;
        }
        if ((p[0].revents & POLLIN) != 0) watch_events();
        if (unplugged_) break;
        if (!host_open_) continue;
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
        if (fault(CHATTER) && now - chatter_at >= 10) {
            chatter_at = now;
            send("never quiet ");
        }
        if (mode_) mode_->on_tick(*this);
        flush_output();
    }
    if (on_tty() && unplugged_) read_away();
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
