// The commands that work the device: connect, baud, disconnect, download and
// firmware. Each takes its arguments from the rest of its line (the cursor
// stands after the command word) and calls the operations of the connection,
// the download and the firmware loader.
#pragma once

#include <array>
#include <cstdint>

#include "common/word_scan.h"

// The speeds that the command summary lists and that connect and baud accept.
extern const std::array<uint32_t, 5> connect_rates;  // 4800 9600 19200 38400 57600

void cmd_connect(word_cursor& words);
void cmd_baud(word_cursor& words);
void cmd_disconnect();
void cmd_download();
void cmd_firmware(word_cursor& words);
