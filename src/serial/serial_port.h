// The one serial port: open at a speed with 8N1 and no flow control after its
// capabilities are checked, write, read with a per-call time-out, purge, close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/serial_backend.h"

// The port's name: "COMn", or where the platform takes one (Linux) the
// device's own path, which may be as long as any a command line holds.
constexpr size_t PORT_NAME_SIZE = 256;
extern char port_name[PORT_NAME_SIZE];  // written by the callers of open_port
extern serial_handle port_handle;     // the open port, or SERIAL_INVALID_HANDLE
extern uint8_t rx_buffer[1024];       // device replies (connect, firmware loader)
extern serial_settings port_settings; // as last read and applied by set_comm_prop
extern serial_timeouts port_timeouts; // port-wide set installed by open_port

// What open_port returns: 0 on success, else where it failed.
enum serial_open_result : int {
    SERIAL_OK = 0,
    SERIAL_ERR_OPEN_NO_NAME = -1,
    SERIAL_ERR_OPEN = -2,             // the system refused to open the port
    SERIAL_ERR_OPEN_PROPERTIES = -3,  // set_comm_prop failed (and said why)
    SERIAL_ERR_OPEN_TIMEOUTS = -14,   // the time-outs cannot be installed
};

// What set_comm_prop returns: 0 on success, else where it failed. The backend
// holds the properties blocks, so there is no failure for a block that cannot
// be had, only for the reports.
enum serial_prop_result : int {
    SERIAL_PROP_OK = 0,
    SERIAL_ERR_PROP_NO_NAME = -1,
    SERIAL_ERR_BAUD = -2,                // a speed that is not in the table
    SERIAL_ERR_PROPERTIES_FIRST = -4,    // the first properties report failed
    SERIAL_ERR_PROPERTIES_SECOND = -6,   // the second, full-size one failed
    SERIAL_ERR_SETTABLE_PARAMS = -7,     // parity, speed, data or stop bits not settable
    SERIAL_ERR_SETTABLE_DATA = -9,       // no 8 data bits
    SERIAL_ERR_SETTABLE_STOP_PARITY = -10,  // no 1 stop bit without parity
    SERIAL_ERR_SETTABLE_TIMEOUTS = -11,  // no total and interval time-outs
    SERIAL_ERR_GET_STATE = -12,
    SERIAL_ERR_SET_STATE = -13,
};

// What write_port returns when it fails; on success it returns the length
// written.
enum serial_write_result : int {
    SERIAL_ERR_WRITE_ARGUMENT = -1,  // no port name, or a length of 0 or less: one code for both
    SERIAL_ERR_WRITE_NO_BYTES = -2,
    SERIAL_ERR_WRITE = -3,           // the write failed or was cut short
};

// Opens the port named name at speed (one of the line speed table's) with the
// link's settings and time-outs, and empties its queues. Whatever refuses it,
// a failure leaves no port open.
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
// The same drain, ending once a read of quiet_ms brings nothing.
void drain_port_quiet(const char* name, void* buffer, int size, int quiet_ms);
// Closes port_handle (when open) and marks it invalid.
void close_port();

// The operator's Ctrl-C while a serial operation runs (connect's wait and
// handshake, baud, download, firmware from the power-on wait to the last
// record): the operation calls port_interrupt_catch(true) before its first
// exchange and port_interrupt_catch(false) after its last; at the prompt and
// at the questions Ctrl-C ends the program, as the system has it. In
// between, Ctrl-C ends the read under way at once (every later read too),
// and the operation stops at its next check of port_interrupted(), made where
// the line is between two exchanges: true once Ctrl-C was pressed; the first
// time it says so it prints the line that tells the operator. The operation
// then ends as on any failure, with its own messages, and closes the port.
void port_interrupt_catch(bool on);
bool port_interrupted();
