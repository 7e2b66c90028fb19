// The device's line: the pseudo-terminal with its watch on the host's opens
// and closes and the link that names it (--link), or an existing terminal
// (--tty).
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sim_clock.h"
#include "sim_device.h"
#include "sim_device_names.h"

using namespace device_names;

namespace {
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
