// The slave's settings as the host left them, read through the master side;
// and the settings of a terminal the device plays on (--tty).
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include "sim_device.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

uint32_t sim_slave_speed(int fd) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

bool sim_slave_raw(int master_fd) {
    termios2 t{};
    if (ioctl(master_fd, TCGETS2, &t) != 0) return false;
    return (t.c_lflag & (ICANON | ECHO)) == 0;
}

bool sim_tty_raw(int fd, uint32_t speed) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    // The device's port: 8N1 at the speed, no flow control, nothing
    // translated, and a break on the line is no byte (IGNBRK).
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = speed;
    t.c_ospeed = speed;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &t) != 0) return false;
    termios2 back{};
    return ioctl(fd, TCGETS2, &back) == 0 && back.c_ospeed == speed && (back.c_lflag & (ICANON | ECHO)) == 0;
}
