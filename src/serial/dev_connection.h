// The connection to the device: the handshake that connects, the host speed
// change with its re-synchronisation, and the disconnect.
#pragma once

#include <cstdint>

extern int32_t connected;  // 1 while a handshake succeeded and the port is open
extern int32_t last_baud;  // speed of the latest connect or baud command

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
    DEV_ERR_HOST_WRITE = 10,      // dev_baud: the host speed command cannot be written
};

// The initial connect catches the operator's Ctrl-C while it runs
// (port_interrupt_catch); a re-synchronisation is part of dev_baud, which does.
int dev_connect(int32_t speed, int resync);
// Asks the connected device for the host speed speed ("host <speed>" and a
// carriage return) and re-synchronises (dev_connect with resync 1): the
// host's side of the line stays at the speed of the connect. A failed write
// ends the connection with DEV_ERR_HOST_WRITE; else dev_connect's result.
int dev_baud(int32_t speed);
// Ends the connection: closes its port and clears the connection flag.
void dev_disconnect();
