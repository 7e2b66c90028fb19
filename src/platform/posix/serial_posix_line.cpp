// termios2 with BOTHER: the speed is a plain number in c_ispeed/c_ospeed, so
// 14400 and 56000 are set as exactly as the standard rates.
#include "platform/posix/serial_posix_line.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

#include "platform/platform.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

#ifndef TIOCM_DTR
#define TIOCM_DTR 0x002
#endif
#ifndef TIOCM_RTS
#define TIOCM_RTS 0x004
#endif

namespace {
bool get2(int fd, termios2* t) {
    if (ioctl(fd, TCGETS2, t) != 0) {
        plat_save_error(errno);
        return false;
    }
    return true;
}

// A break on the line is no byte, as under Windows, where the driver reports
// it in the port's error state: IGNBRK drops it (raw mode would read it as a
// 0x00, and a device that breaks the line while it powers up would put a 0x00
// before its first byte).
constexpr tcflag_t RAW_IFLAG_ON = IGNBRK;
constexpr tcflag_t RAW_IFLAG_OFF = BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                                   ICRNL | IXON | IXOFF | IXANY | IMAXBEL | IUCLC;
constexpr tcflag_t RAW_LFLAG_OFF = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN | ECHOCTL |
                                   ECHOKE | TOSTOP | XCASE;
}  // namespace

bool posix_line_is_terminal(int fd) {
    termios2 t{};
    return ioctl(fd, TCGETS2, &t) == 0;
}

void posix_line_clear_hupcl(int fd) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return;
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    ioctl(fd, TCSETS2, &t);
}

uint32_t posix_line_speed(int fd) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

bool posix_line_get(int fd, serial_settings* s) {
    termios2 t{};
    if (!get2(fd, &t)) return false;
    s->baud = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5: s->byte_size = 5; break;
    case CS6: s->byte_size = 6; break;
    case CS7: s->byte_size = 7; break;
    default: s->byte_size = 8; break;
    }
    // The DCB's numbering: 0 none, 1 odd, 2 even; stop bits 0 one, 2 two.
    s->parity = (t.c_cflag & PARENB) == 0 ? 0 : ((t.c_cflag & PARODD) != 0 ? 1 : 2);
    s->stop_bits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
    s->parity_check = (t.c_iflag & INPCK) != 0;
    s->cts_flow = (t.c_cflag & CRTSCTS) != 0;
    s->dsr_flow = false;
    s->dtr_control = SERIAL_DTR_DISABLE;
    s->rts_control = SERIAL_RTS_DISABLE;
    s->xon_out = (t.c_iflag & IXON) != 0;
    s->xon_in = (t.c_iflag & IXOFF) != 0;
    s->strip_nul = false;
    return true;
}

bool posix_line_set(int fd, const serial_settings* s) {
    // Only what the link needs is accepted: 8N1, no flow control of any kind.
    if (s->byte_size != 8 || s->parity != SERIAL_NOPARITY || s->stop_bits != SERIAL_ONESTOPBIT ||
        s->parity_check || s->cts_flow || s->dsr_flow || s->xon_out || s->xon_in || s->strip_nul ||
        s->baud == 0) {
        plat_save_error(EINVAL);
        return false;
    }
    termios2 t{};
    if (!get2(fd, &t)) return false;
    t.c_iflag &= ~RAW_IFLAG_OFF;
    t.c_iflag |= RAW_IFLAG_ON;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~RAW_LFLAG_OFF;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL | CBAUD |
                                        (CBAUD << IBSHIFT));
    t.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = s->baud;
    t.c_ospeed = s->baud;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &t) != 0) {
        plat_save_error(errno);
        return false;
    }
    termios2 back{};
    if (!get2(fd, &back)) return false;
    bool same = back.c_ospeed == s->baud && back.c_ispeed == s->baud && (back.c_cflag & CSIZE) == CS8 &&
                (back.c_cflag & (PARENB | CSTOPB | CRTSCTS)) == 0 &&
                (back.c_iflag & (IXON | IXOFF | IXANY | INPCK | ICRNL | INLCR | IGNCR)) == 0 &&
                (back.c_iflag & RAW_IFLAG_ON) == RAW_IFLAG_ON &&
                (back.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (back.c_oflag & OPOST) == 0;
    if (!same) {
        plat_save_error(EINVAL);
        return false;
    }
    if (s->dtr_control == SERIAL_DTR_DISABLE || s->rts_control == SERIAL_RTS_DISABLE) {
        int lines = 0;
        if (s->dtr_control == SERIAL_DTR_DISABLE) lines |= TIOCM_DTR;
        if (s->rts_control == SERIAL_RTS_DISABLE) lines |= TIOCM_RTS;
        // A pseudo-terminal has no modem lines; its ENOTTY/EINVAL is no failure.
        ioctl(fd, TIOCMBIC, &lines);
    }
    return true;
}
