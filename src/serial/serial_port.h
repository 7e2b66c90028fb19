// The one serial port: open at a speed with 8N1 and no flow control after its
// capabilities are checked, write, read with a per-call time-out, purge, close.
#pragma once

#include <cstdint>

#include "platform/serial_backend.h"

extern char port_name[8];             // "COMn", written by the callers of open_port
extern serial_handle port_handle;     // the open port, or SERIAL_INVALID_HANDLE
extern uint8_t rx_buffer[1024];       // device replies (connect, firmware loader)
extern serial_settings port_settings; // as last read and applied by set_comm_prop
extern serial_timeouts port_timeouts; // port-wide set installed by open_port

int open_port(const char* name, uint32_t speed);
int set_comm_prop(const char* name, uint32_t speed);
int write_port(const char* name, const void* bytes, int length);
// Returns the count received; argument and system failures end the program.
int read_port(const char* name, void* buffer, int size, int timeout_ms);
void purge_port();
// Reads away whatever the device still sends, size bytes at a time into
// buffer with a 100 ms time-out, until a read comes back empty (the line was
// quiet that long), then empties both queues. A device that never falls quiet
// is given up on after 5 seconds on the platform clock, or 5 seconds' worth of
// bytes at the port's speed.
void drain_port(const char* name, void* buffer, int size);
// Closes port_handle (when open) and marks it invalid.
void close_port();

// The port number of a command's COM-port argument: its leading digits ("3"),
// or the digits after "com" in any letter case ("com3", "COM3"). 1 to 10; 0,
// after the invalid-number message, for any other word.
int port_number_arg(const char* word);
// Names the port to open: port_name becomes "COMn".
void port_name_set(int number);
