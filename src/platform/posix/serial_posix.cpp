// The serial port on a POSIX terminal device. "COMn" names the target of the
// link comn in the program's configuration directory, else /dev/ttyS<n-1>.
// Time-outs are kept here and enforced with ppoll() against a monotonic
// deadline, to a fraction of a millisecond.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/serial_posix_line.h"
#include "platform/serial_backend.h"

namespace {
// Time-outs of the one open port, as the last set_timeouts call gave them.
serial_timeouts port_limits{0, 0, 1, 0, 10};

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
// passed before any wait.
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
    if (name == nullptr) return 0;
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
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
// exists, else the n-th on-board serial port.
bool device_path(int n, char* path, size_t size) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    int len = -1;
    if (xdg != nullptr && xdg[0] != '\0') {
        len = std::snprintf(path, size, "%s/quorvantis/com%d", xdg, n);
    } else if (home != nullptr && home[0] != '\0') {
        len = std::snprintf(path, size, "%s/.config/quorvantis/com%d", home, n);
    }
    struct stat st{};
    if (len > 0 && static_cast<size_t>(len) < size && lstat(path, &st) == 0) return true;
    len = std::snprintf(path, size, "/dev/ttyS%d", n - 1);
    return len > 0 && static_cast<size_t>(len) < size;
}

serial_handle posix_open(const char* name) {
    int n = com_number(name);
    if (n == 0) {
        plat_save_error(ENOENT);
        return SERIAL_INVALID_HANDLE;
    }
    char path[4096];
    if (!device_path(n, path, sizeof path)) {
        plat_save_error(ENAMETOOLONG);
        return SERIAL_INVALID_HANDLE;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        plat_save_error(errno);
        return SERIAL_INVALID_HANDLE;
    }
    // Exclusive use, like a Windows port that is not shared: TIOCEXCL keeps
    // other opens out, the lock tells two programs of the same user apart.
    ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int code = (errno == EWOULDBLOCK) ? EBUSY : errno;
        ioctl(fd, TIOCNXCL);
        close(fd);
        plat_save_error(code);
        return SERIAL_INVALID_HANDLE;
    }
    if (posix_line_is_terminal(fd)) {
        posix_line_clear_hupcl(fd);
        int lines = TIOCM_DTR | TIOCM_RTS;
        // A pseudo-terminal has no modem lines; ENOTTY/EINVAL there is fine.
        ioctl(fd, TIOCMBIC, &lines);
    }
    return fd;
}

bool posix_get_properties(serial_handle h, uint32_t, serial_caps* caps) {
    *caps = serial_caps{};
    caps->packet_length = 64;
    // Anything that is not a terminal reports nothing settable, so the
    // capability check refuses it with its own message.
    if (!posix_line_is_terminal(static_cast<int>(h))) return true;
    caps->settable_params = 0x007f;
    caps->settable_data = 0x000f;
    caps->settable_stop_parity = 0x1f07;
    caps->prov_capabilities = 0x00ff;
    return true;
}

bool posix_get_state(serial_handle h, serial_settings* s) { return posix_line_get(static_cast<int>(h), s); }

bool posix_set_state(serial_handle h, const serial_settings* s) {
    return posix_line_set(static_cast<int>(h), s);
}

bool posix_set_timeouts(serial_handle h, const serial_timeouts* t) {
    if (fcntl(static_cast<int>(h), F_GETFD) < 0) {
        plat_save_error(errno);
        return false;
    }
    port_limits = *t;
    return true;
}

bool posix_read(serial_handle h, void* buf, uint32_t size, uint32_t* got) {
    int fd = static_cast<int>(h);
    uint8_t* bytes = static_cast<uint8_t*>(buf);
    uint32_t count = 0;
    *got = 0;
    int64_t total_ms = static_cast<int64_t>(size) * port_limits.read_multiplier + port_limits.read_constant;
    int64_t deadline = now_ns() + total_ms * 1000000LL;
    while (count < size) {
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

bool posix_write(serial_handle h, const void* buf, uint32_t size, uint32_t* written) {
    int fd = static_cast<int>(h);
    const uint8_t* bytes = static_cast<const uint8_t*>(buf);
    uint32_t count = 0;
    *written = 0;
    int64_t total_ms = static_cast<int64_t>(size) * port_limits.write_multiplier + port_limits.write_constant;
    int64_t deadline = now_ns() + total_ms * 1000000LL;
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
            // Cut short by the write time-out.
            plat_save_error(ETIMEDOUT);
            break;
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
    return true;
}

void posix_purge(serial_handle h) { tcflush(static_cast<int>(h), TCIOFLUSH); }

void posix_close(serial_handle h) {
    int fd = static_cast<int>(h);
    ioctl(fd, TIOCNXCL);
    close(fd);
}

const serial_backend posix_backend = {posix_open,        posix_get_properties, posix_get_state,
                                      posix_set_state,   posix_set_timeouts,   posix_read,
                                      posix_write,       posix_purge,          posix_close};
}  // namespace

const serial_backend* serial_os_backend() { return &posix_backend; }
