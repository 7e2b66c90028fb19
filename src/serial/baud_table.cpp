#include "serial/baud_table.h"

#include "console/console.h"

const uint32_t baud_table[14] = {110,   300,   600,   1200,  2400,  4800,   9600,
                                 14400, 19200, 38400, 56000, 57600, 115200, 0};

const uint32_t* get_baud(long speed) {
    // Deliberate (baud-zero-two-messages): a speed of 0 gets this message and then the caller's own.
    if (speed == 0) {
        con_print("get_baud: Error: invalid baud: %ld\n", speed);
        return nullptr;
    }
    for (const uint32_t* entry = baud_table; *entry != 0; ++entry) {
        if (static_cast<long>(*entry) == speed) return entry;
    }
    return nullptr;
}
