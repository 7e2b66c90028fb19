// The line speeds the program accepts for a serial port.
#pragma once

#include <cstdint>

// 13 speeds in bits per second, ended by 0.
extern const uint32_t baud_table[14];

// The table entry equal to speed, or nullptr. Speed 0 prints a message.
const uint32_t* get_baud(long speed);
