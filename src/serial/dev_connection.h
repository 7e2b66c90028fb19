// The connection to the device: handshake, connect, baud and disconnect.
#pragma once

#include <array>
#include <cstdint>

#include "common/word_scan.h"

extern int32_t connected;  // 1 while a handshake succeeded and the port is open
extern int32_t last_baud;  // speed of the latest connect or baud command
extern const std::array<uint32_t, 5> connect_rates;  // 4800 9600 19200 38400 57600

// What dev_connect returns. resync 0 is the initial connect, on the port
// named by port_name, which it opens; any other value re-synchronises after a
// host speed change on the open port. Every failure from DEV_ERR_NO_PRODUCT
// on ends the connection (dev_disconnect).
enum dev_result : int {
    DEV_CONNECTED = 0,            // handshake done: port open, connected 1
    DEV_ALREADY_CONNECTED = 1,    // initial: nothing changed
    DEV_ERR_OPEN = 2,             // initial: the port cannot be opened
    DEV_ERR_NO_PRODUCT = 3,       // initial: no product word in the start-up text
    DEV_ERR_NO_VERSION = 4,       // initial: not our version text after it
    DEV_ERR_ATTENTION_WRITE = 5,  // initial: Ctrl-C cannot be written
    DEV_ERR_NO_CONFIRMATION = 6,  // initial: no "Connected <speed>"
    DEV_ERR_CR_WRITE = 7,         // resync: the carriage return cannot be written
    DEV_ERR_NO_PROMPT = 8,        // resync: no device prompt
    DEV_ERR_INTERRUPTED = 9,      // both: the operator's Ctrl-C stopped it
};

int dev_connect(int32_t speed, int resync);
// Ends the connection: closes its port and clears the connection flag.
void dev_disconnect();

// Shell commands; the cursor stands after the command word.
void cmd_connect(word_cursor& words);
void cmd_baud(word_cursor& words);
void cmd_disconnect();
