// The serial port on a POSIX terminal device. "COMn" names the target of the
// link comn in the program's configuration directory, else /dev/ttyS<n-1>; a
// name that is a path ("/dev/ttyUSB0") names the device itself.
// Time-outs are kept per port and enforced with ppoll() against a monotonic
// deadline, to a fraction of a millisecond. A write returns when its bytes
// have left the line, as a Windows serial write does.
#include "platform/posix/serial_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/serial_posix_line.h"
#include "platform/serial_backend.h"

namespace {
// Everything kept about one open port. The handle leads here: open creates
// the record, close frees it.
struct posix_port {
    int fd = -1;
    serial_timeouts limits{0, 0, 1, 0, 10};  // as the last set_timeouts gave them
    uint32_t speed = 0;                      // bits per second, for the line time of a write
    bool set_exclusive = false;              // this open set TIOCEXCL, so its close clears it
    bool set_low_latency = false;            // this open asked the driver for low latency...
    int serial_flags = 0;                    // ...and these were the driver's flags before
};

posix_port* port_of(serial_handle h) {
    if (h == SERIAL_INVALID_HANDLE || h == 0) return nullptr;
    return reinterpret_cast<posix_port*>(h);
}

// The port behind a handle, or nullptr with EBADF saved.
posix_port* open_port_of(serial_handle h) {
    posix_port* port = port_of(h);
    if (port == nullptr) plat_save_error(EBADF);
    return port;
}

serial_posix_info_call info_call = nullptr;

// The driver's requests that a pseudo-terminal answers unlike a serial
// driver: its serial information, and the bytes still in its output queue.
int driver_call(int fd, unsigned long request, void* arg) {
    if (info_call != nullptr) return info_call(fd, request, arg);
    return ioctl(fd, request, arg);
}

int serial_info(int fd, unsigned long request, serial_struct* info) { return driver_call(fd, request, info); }

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The kernel lets a sleep of t end up to t/1000 late (t/200 for a niced
// process): 5 ms on a 5-second read. Waiting in slices of at most 10 ms keeps
// that below 10 us, and the deadline is kept to the nanosecond, not rounded
// up to whole milliseconds.
constexpr int64_t WAIT_SLICE_NS = 10000000;

// Waits for events on fd, for one slice or until the deadline. Gives 1 with
// *revents set, 0 when the slice or the time ran out (the caller checks the
// deadline), -1 with errno on a failure. *expired tells that the deadline has
// passed before any wait. With no events asked for, only a hang-up or an
// error on fd ends the wait early.
int wait_slice(int fd, short events, int64_t deadline, short* revents, bool* expired) {
    int64_t left = deadline - now_ns();
    *expired = left <= 0;
    *revents = 0;
    if (*expired) return 0;
    if (left > WAIT_SLICE_NS) left = WAIT_SLICE_NS;
    timespec ts{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    pollfd p{fd, events, 0};
    int r = ppoll(&p, 1, &ts, nullptr);
    if (r > 0) *revents = p.revents;
    return r;
}

// The port number of "COMn" (any letter case), or 0.
int com_number(const char* name) {
    if (name == nullptr || strncasecmp(name, "com", 3) != 0) return 0;
    int n = 0;
    const char* p = name + 3;
    if (*p == '\0') return 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + (*p - '0');
        if (n > 255) return 0;
    }
    return n;
}

// The device path for COMn: the link in the configuration directory when it
// exists (*linked true), else the n-th on-board serial port.
bool device_path(int n, char* path, size_t size, bool* linked) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    int len = -1;
    if (xdg != nullptr && xdg[0] != '\0') {
        len = std::snprintf(path, size, "%s/quorvantis/com%d", xdg, n);
    } else if (home != nullptr && home[0] != '\0') {
        len = std::snprintf(path, size, "%s/.config/quorvantis/com%d", home, n);
    }
    struct stat st{};
    *linked = len > 0 && static_cast<size_t>(len) < size && lstat(path, &st) == 0;
    if (*linked) return true;
    len = std::snprintf(path, size, "/dev/ttyS%d", n - 1);
    return len > 0 && static_cast<size_t>(len) < size;
}

// The device as the operator named it: the link's target as written (say
// /dev/serial/by-id/usb-...), else the path itself.
void device_shown(const char* path, bool linked, char* shown, size_t size) {
    if (linked) {
        ssize_t n = readlink(path, shown, size - 1);
        if (n > 0) {
            shown[n] = '\0';
            return;
        }
    }
    std::snprintf(shown, size, "%s", path);
}

// Saves a failed open's error with a text that names the device the port
// name led to (shown; nullptr when the port was named by that path itself),
// and for a refused permission the group that owns it (the one to join).
void save_open_error(int code, const char* path, const char* shown) {
    char system_text[256];
    plat_error_text(code, system_text, sizeof system_text);
    char group_text[320] = "";
    struct stat st{};
    if (code == EACCES && stat(path, &st) == 0) {
        group gr{};
        group* found = nullptr;
        char names[4096];
        if (getgrgid_r(st.st_gid, &gr, names, sizeof names, &found) == 0 && found != nullptr &&
            found->gr_name != nullptr) {
            std::snprintf(group_text, sizeof group_text, " (owned by group %s)", found->gr_name);
        } else {
            std::snprintf(group_text, sizeof group_text, " (owned by group %lu)", static_cast<unsigned long>(st.st_gid));
        }
    }
    char text[1024];
    if (shown != nullptr) {
        std::snprintf(text, sizeof text, "%s: %s%s", shown, system_text, group_text);
    } else {
        std::snprintf(text, sizeof text, "%s%s", system_text, group_text);
    }
    plat_save_error_text(code, text);
}

// Exclusive use, like a Windows port that is not shared. TIOCEXCL keeps other
// opens out; it is set only when no one else set it, so that this open's
// close clears nothing another program relies on.
void exclusive_on(posix_port* port) {
    int already = 0;
    if (ioctl(port->fd, TIOCGEXCL, &already) == 0 && already != 0) return;
    if (ioctl(port->fd, TIOCEXCL) == 0) port->set_exclusive = true;
}

constexpr int LOW_LATENCY = static_cast<int>(ASYNC_LOW_LATENCY);

// A USB adapter holds received bytes for up to its latency timer (16 ms on the
// common chips) unless the port asks for low latency: that would add its
// timer to every one-byte reply. Drivers without the request (pseudo-
// terminals), or that refuse it, are left as they are, without a word.
void low_latency_on(posix_port* port) {
    serial_struct info{};
    if (serial_info(port->fd, TIOCGSERIAL, &info) != 0) return;
    if ((info.flags & LOW_LATENCY) != 0) return;
    int before = info.flags;
    info.flags |= LOW_LATENCY;
    if (serial_info(port->fd, TIOCSSERIAL, &info) != 0) return;
    port->set_low_latency = true;
    port->serial_flags = before;
}

// Puts back the low-latency flag as it was before this open.
void low_latency_restore(const posix_port* port) {
    if (!port->set_low_latency) return;
    serial_struct info{};
    if (serial_info(port->fd, TIOCGSERIAL, &info) != 0) return;
    info.flags = (info.flags & ~LOW_LATENCY) | (port->serial_flags & LOW_LATENCY);
    serial_info(port->fd, TIOCSSERIAL, &info);
}

// The device a port name leads to: a path as it stands (*named_by_path: the
// name itself says which device), or for COMn the link's target or the
// on-board port, with the device shown as the link gives it. false, with the
// error saved, for any other name.
bool device_of(const char* name, char* path, size_t size, char* shown, size_t shown_size, bool* named_by_path) {
    *named_by_path = plat_port_path(name);
    if (*named_by_path) {
        if (std::snprintf(path, size, "%s", name) >= static_cast<int>(size)) {
            plat_save_error(ENAMETOOLONG);
            return false;
        }
        return true;
    }
    int n = com_number(name);
    if (n == 0) {
        plat_save_error(ENOENT);
        return false;
    }
    bool linked = false;
    if (!device_path(n, path, size, &linked)) {
        plat_save_error(ENAMETOOLONG);
        return false;
    }
    device_shown(path, linked, shown, shown_size);
    return true;
}

serial_handle posix_open(const char* name) {
    char path[4096];
    char shown[4096];
    bool named_by_path = false;
    if (!device_of(name, path, sizeof path, shown, sizeof shown, &named_by_path)) return SERIAL_INVALID_HANDLE;
    const char* shown_name = named_by_path ? nullptr : shown;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        save_open_error(errno, path, shown_name);
        return SERIAL_INVALID_HANDLE;
    }
    // The lock tells two programs apart that TIOCEXCL lets through (two run
    // by root); a program refused here has touched nothing of the port.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int code = (errno == EWOULDBLOCK) ? EBUSY : errno;
        close(fd);
        save_open_error(code, path, shown_name);
        return SERIAL_INVALID_HANDLE;
    }
    auto* port = new (std::nothrow) posix_port{};
    if (port == nullptr) {
        close(fd);
        plat_save_error(ENOMEM);
        return SERIAL_INVALID_HANDLE;
    }
    port->fd = fd;
    exclusive_on(port);
    if (posix_line_is_terminal(fd)) {
        posix_line_clear_hupcl(fd);
        int lines = TIOCM_DTR | TIOCM_RTS;
        // A pseudo-terminal has no modem lines; ENOTTY/EINVAL there is fine.
        ioctl(fd, TIOCMBIC, &lines);
        low_latency_on(port);
        port->speed = posix_line_speed(fd);
    }
    return reinterpret_cast<serial_handle>(port);
}

constexpr uint16_t REPORT_SIZE = 64;

bool posix_get_properties(serial_handle h, uint32_t, serial_caps* caps) {
    posix_port* port = open_port_of(h);
    if (port == nullptr) return false;
    *caps = serial_caps{};
    // The report is no block of the driver's here: any size serves.
    caps->packet_length = REPORT_SIZE;
    // Anything that is not a terminal reports nothing settable, so the
    // capability check refuses it with its own message; a terminal device
    // reports everything settable.
    if (!posix_line_is_terminal(port->fd)) return true;
    caps->settable_params = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                            SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_RLSD;
    caps->settable_data = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    caps->settable_stop_parity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                 SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    caps->prov_capabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_RLSD | SERIAL_PCF_PARITY_CHECK |
                              SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                              SERIAL_PCF_INTTIMEOUTS;
    return true;
}

bool posix_get_state(serial_handle h, serial_settings* s) {
    posix_port* port = open_port_of(h);
    return port != nullptr && posix_line_get(port->fd, s);
}

bool posix_set_state(serial_handle h, const serial_settings* s) {
    posix_port* port = open_port_of(h);
    if (port == nullptr || !posix_line_set(port->fd, s)) return false;
    port->speed = s->baud;
    return true;
}

bool posix_set_timeouts(serial_handle h, const serial_timeouts* t) {
    posix_port* port = open_port_of(h);
    if (port == nullptr) return false;
    if (fcntl(port->fd, F_GETFD) < 0) {
        plat_save_error(errno);
        return false;
    }
    port->limits = *t;
    return true;
}

bool posix_read(serial_handle h, void* buf, uint32_t size, uint32_t* got) {
    *got = 0;
    posix_port* port = open_port_of(h);
    if (port == nullptr) return false;
    int fd = port->fd;
    uint8_t* bytes = static_cast<uint8_t*>(buf);
    uint32_t count = 0;
    int64_t total_ms = static_cast<int64_t>(size) * port->limits.read_multiplier + port->limits.read_constant;
    int64_t deadline = now_ns() + total_ms * 1000000LL;
    while (count < size) {
        // The operator's Ctrl-C ends the wait as its time-out would.
        if (plat_interrupted()) break;
        short revents = 0;
        bool expired = false;
        int r = wait_slice(fd, POLLIN, deadline, &revents, &expired);
        if (expired) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            plat_save_error(errno);
            *got = count;
            return false;
        }
        if (r == 0) continue;
        if ((revents & POLLIN) != 0) {
            ssize_t n = read(fd, bytes + count, size - count);
            if (n > 0) {
                count += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            // Readable but nothing there: the device has gone.
            plat_save_error(n == 0 ? EIO : errno);
            *got = count;
            return false;
        }
        plat_save_error((revents & POLLNVAL) != 0 ? EBADF : EIO);
        *got = count;
        return false;
    }
    *got = count;
    return true;
}

// How long a write waits for its bytes to leave the line: twice their line
// time and 50 ms. With no flow control the queue empties in the line time;
// the margin covers a USB adapter's frames and a late wake-up. A queue still
// full after that is held by something outside the program (a stalled
// adapter); the bytes were handed over, so the write stands.
constexpr int64_t DRAIN_MARGIN_NS = 50000000;
// The shortest wait between two looks at the output queue.
constexpr int64_t DRAIN_LOOK_NS = 1000000;

// A write of size bytes whose device has gone while `queued` bytes were last
// seen in the port's output queue: those never left. Saves the error and
// gives false, with *written the bytes known to have left.
bool lost_queued(int code, uint32_t size, int queued, uint32_t* written) {
    plat_save_error(code);
    *written = size - std::min(size, static_cast<uint32_t>(queued));
    return false;
}

// After a write that began at `start` (start_us on the platform clock) has
// handed over all its bytes: waits until the output queue is empty and their
// line time has passed (serial_wait_line_time), so that a reply window opened
// next starts when the last byte is on the wire. false (errno saved) only
// when the device has gone while bytes of the write were seen still queued:
// those are lost, and *written drops to the bytes known to have left. A
// device gone once the queue was empty (or before it could be asked) is left
// to the next read, which reports it. A pseudo-terminal reports an empty
// queue at once; its writes still take their line time.
bool wait_on_line(const posix_port* port, uint32_t size, int64_t start, int64_t start_us, uint32_t* written) {
    int64_t byte_ns = port->speed == 0 ? 0 : 10000000000LL / port->speed;  // for the looks at the queue
    int64_t line_ns = serial_line_time_us(port->speed, size) * 1000;
    int64_t bound = start + 2 * line_ns + DRAIN_MARGIN_NS;
    int last_queued = 0;  // the bytes still queued at the last look (0: none seen)
    for (;;) {
        int queued = 0;
        if (driver_call(port->fd, TIOCOUTQ, &queued) != 0) {
            if (errno == EINTR) continue;
            // Not a terminal (ENOTTY, EINVAL): there is no queue to ask about.
            if (last_queued == 0 || errno == ENOTTY || errno == EINVAL) break;
            return lost_queued(errno, size, last_queued, written);
        }
        int64_t now = now_ns();
        if (queued <= 0 || now >= bound) break;
        last_queued = queued;
        int64_t until = std::min(bound, now + std::max(byte_ns * queued, DRAIN_LOOK_NS));
        short revents = 0;
        bool expired = false;
        int r = wait_slice(port->fd, 0, until, &revents, &expired);
        if (r < 0 && errno != EINTR) return lost_queued(errno, size, last_queued, written);
        if (r > 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return lost_queued((revents & POLLNVAL) != 0 ? EBADF : EIO, size, last_queued, written);
        }
    }
    serial_wait_line_time(start_us, port->speed, size);
    return true;
}

bool posix_write(serial_handle h, const void* buf, uint32_t size, uint32_t* written) {
    *written = 0;
    posix_port* port = open_port_of(h);
    if (port == nullptr) return false;
    int fd = port->fd;
    const uint8_t* bytes = static_cast<const uint8_t*>(buf);
    uint32_t count = 0;
    int64_t start = now_ns();
    int64_t start_us = plat_clock_us();
    // The write time-out bounds the handing over of the bytes, not their time
    // on the line.
    int64_t total_ms = static_cast<int64_t>(size) * port->limits.write_multiplier + port->limits.write_constant;
    int64_t deadline = start + total_ms * 1000000LL;
    while (count < size) {
        ssize_t n = write(fd, bytes + count, size - count);
        if (n > 0) {
            count += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            plat_save_error(errno);
            *written = count;
            return false;
        }
        short revents = 0;
        bool expired = false;
        int r = wait_slice(fd, POLLOUT, deadline, &revents, &expired);
        if (expired) {
            // Cut short by the write time-out: the caller sees the short count.
            plat_save_error(ETIMEDOUT);
            *written = count;
            return true;
        }
        if (r < 0 && errno != EINTR) {
            plat_save_error(errno);
            *written = count;
            return false;
        }
        if (r > 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (revents & POLLOUT) == 0) {
            plat_save_error(EIO);
            *written = count;
            return false;
        }
    }
    *written = count;
    return wait_on_line(port, size, start, start_us, written);
}

void posix_purge(serial_handle h) {
    posix_port* port = port_of(h);
    if (port != nullptr) tcflush(port->fd, TCIOFLUSH);
}

void posix_close(serial_handle h) {
    posix_port* port = port_of(h);
    if (port == nullptr) return;
    low_latency_restore(port);
    if (port->set_exclusive) ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    delete port;
}

const serial_backend posix_backend = {
    .open = posix_open,
    .get_properties = posix_get_properties,
    .get_state = posix_get_state,
    .set_state = posix_set_state,
    .set_timeouts = posix_set_timeouts,
    .read = posix_read,
    .write = posix_write,
    .purge = posix_purge,
    .close = posix_close,
};
}  // namespace

const serial_backend* serial_os_backend() { return &posix_backend; }

int serial_posix_fd(serial_handle h) {
    const posix_port* port = port_of(h);
    return port != nullptr ? port->fd : -1;
}

void serial_posix_set_info_call(serial_posix_info_call call) { info_call = call; }
