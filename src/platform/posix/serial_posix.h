// What the POSIX serial backend shows beyond the serial_backend table: the
// terminal behind a handle, and a seam for the driver's serial-information
// calls, which a pseudo-terminal does not have, and its output queue, which a
// pseudo-terminal reports empty at once, so that tests can stand in a serial
// driver.
#pragma once

#include "platform/serial_backend.h"

// The file descriptor of an open port's terminal, or -1.
int serial_posix_fd(serial_handle h);

// The requests a pseudo-terminal answers unlike a serial driver go through
// this when it is set: TIOCGSERIAL and TIOCSSERIAL (with a struct
// serial_struct) and TIOCOUTQ (with an int: the bytes still queued for the
// line, always 0 on a pseudo-terminal). It answers as ioctl() does (0, or -1
// with errno).
using serial_posix_info_call = int (*)(int fd, unsigned long request, void* info);
void serial_posix_set_info_call(serial_posix_info_call call);  // nullptr: ioctl() itself
