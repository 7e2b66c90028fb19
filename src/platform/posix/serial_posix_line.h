// Line settings of a POSIX terminal through termios2, so that every speed is
// set exactly. Kept apart because <asm/termbits.h> clashes with <termios.h>.
#pragma once

#include "platform/serial_backend.h"

// Whether fd is a terminal whose settings can be read.
bool posix_line_is_terminal(int fd);
// Clears HUPCL, so closing the port does not drop the modem lines again.
void posix_line_clear_hupcl(int fd);
bool posix_line_get(int fd, serial_settings* settings);
// Raw 8N1 at the exact speed, no flow control, breaks ignored; read back and
// compared.
bool posix_line_set(int fd, const serial_settings* settings);
// The output speed of the terminal in bits per second (0 when unknown).
uint32_t posix_line_speed(int fd);
