// The connection to the device: handshake, connect, baud and disconnect.
#pragma once

#include <array>
#include <cstdint>

#include "common/word_scan.h"

extern int32_t connected;  // 1 while a handshake succeeded and the port is open
extern int32_t last_baud;  // speed of the latest connect or baud command
extern const std::array<uint32_t, 5> connect_rates;  // 4800 9600 19200 38400 57600

int dev_connect(int32_t speed, int resync);
// Ends the connection: closes its port and clears the connection flag.
void dev_disconnect();

// Shell commands; the cursor stands after the command word.
void cmd_connect(word_cursor& words);
void cmd_baud(word_cursor& words);
void cmd_disconnect();
