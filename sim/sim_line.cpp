// The slave's settings as the host left them, read through the master side.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include "sim_device.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

uint32_t sim_slave_speed(int master_fd) {
    termios2 t{};
    if (ioctl(master_fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

bool sim_slave_raw(int master_fd) {
    termios2 t{};
    if (ioctl(master_fd, TCGETS2, &t) != 0) return false;
    return (t.c_lflag & (ICANON | ECHO)) == 0;
}
