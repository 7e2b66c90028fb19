// The connection to the device: the handshake that connects, the host speed
// change with its re-synchronisation, and the disconnect.
#pragma once

#include <cstdint>

extern int32_t connected;  // 1 while a handshake succeeded and the port is open
extern int32_t last_baud;  // speed of the latest connect or baud command

// What dev_connect returns. Every failure from DEV_ERR_NO_PRODUCT on ends the
// connection (dev_disconnect); after DEV_ERR_OPEN no port is open.
enum dev_connect_result : int {
    DEV_CONNECTED = 0,            // handshake done: port open, connected 1
    DEV_ALREADY_CONNECTED = 1,    // a connection exists already: nothing changed
    DEV_ERR_OPEN = 2,             // the port cannot be opened
    DEV_ERR_NO_PRODUCT = 3,       // no product word in the start-up text
    DEV_ERR_NO_VERSION = 4,       // not our version text after it
    DEV_ERR_ATTENTION_WRITE = 5,  // Ctrl-C cannot be written
    DEV_ERR_NO_CONFIRMATION = 6,  // no "Connected <speed>"
    DEV_ERR_INTERRUPTED = 9,      // the operator's Ctrl-C stopped it
};

// true, after the "already Connected" error, while a connection exists: a
// second connect is refused before it touches anything.
bool dev_already_connected();

// The initial connect at speed: opens the port named by port_name, waits for
// the device's start-up text with its product word and version, sends Ctrl-C
// and expects "Connected <speed>". It catches the operator's Ctrl-C while it
// runs (port_interrupt_catch).
int dev_connect(int32_t speed);

// What dev_resync and dev_baud return. Every failure ends the connection.
enum dev_resync_result : int {
    DEV_RESYNCED = 0,                // the device's prompt answered: still connected
    DEV_ERR_CR_WRITE = 7,            // the carriage return cannot be written
    DEV_ERR_NO_PROMPT = 8,           // no device prompt
    DEV_ERR_RESYNC_INTERRUPTED = 9,  // the operator's Ctrl-C stopped it
    DEV_ERR_HOST_WRITE = 10,         // dev_baud only: the host speed command cannot be written
};

// The re-synchronisation after a host speed change, on the open port: a
// carriage return, then the device's prompt. The host's side of the line stays
// at the speed of the connect; speed is the one the device was asked for.
int dev_resync(int32_t speed);

// Asks the connected device for the host speed speed ("host <speed>" and a
// carriage return), then dev_resync, with the operator's Ctrl-C caught.
int dev_baud(int32_t speed);

// Ends the connection: closes its port and clears the connection flag.
void dev_disconnect();
