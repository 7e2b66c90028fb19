// The effects the serial port needs from the operating system, and nothing
// more. posix/ and win32/ implement it; unit tests install a scripted fake.
// Every failing call records the system's error (plat_save_error on POSIX,
// the thread's last error on Windows) before it returns false.
#pragma once

#include <cstdint>

// An open port. It leads to the backend's record of everything the backend
// keeps about that port (open creates the record, close frees it), so a
// backend keeps no port's state in variables of its own and several ports
// could be open at once.
using serial_handle = intptr_t;
constexpr serial_handle SERIAL_INVALID_HANDLE = -1;

// Capability fields of the driver's properties report.
struct serial_caps {
    uint16_t packet_length;         // the full size of the report the driver needs
    uint32_t settable_params;       // SERIAL_SP_* bits
    uint16_t settable_data;         // SERIAL_DATABITS_* bits
    uint16_t settable_stop_parity;  // SERIAL_STOPBITS_* and SERIAL_PARITY_* bits
    uint32_t prov_capabilities;     // SERIAL_PCF_* bits
};

// The capability bits, with the values of the Windows properties record
// (COMMPROP), which the Win32 backend passes on as the driver gives them.
// settable_params: what can be set at all.
constexpr uint32_t SERIAL_SP_PARITY = 0x0001;
constexpr uint32_t SERIAL_SP_BAUD = 0x0002;
constexpr uint32_t SERIAL_SP_DATABITS = 0x0004;
constexpr uint32_t SERIAL_SP_STOPBITS = 0x0008;
constexpr uint32_t SERIAL_SP_HANDSHAKING = 0x0010;
constexpr uint32_t SERIAL_SP_PARITY_CHECK = 0x0020;
constexpr uint32_t SERIAL_SP_RLSD = 0x0040;
// settable_data: the data bits a byte can have.
constexpr uint16_t SERIAL_DATABITS_5 = 0x0001;
constexpr uint16_t SERIAL_DATABITS_6 = 0x0002;
constexpr uint16_t SERIAL_DATABITS_7 = 0x0004;
constexpr uint16_t SERIAL_DATABITS_8 = 0x0008;
// settable_stop_parity: stop bits and parities.
constexpr uint16_t SERIAL_STOPBITS_10 = 0x0001;
constexpr uint16_t SERIAL_STOPBITS_15 = 0x0002;
constexpr uint16_t SERIAL_STOPBITS_20 = 0x0004;
constexpr uint16_t SERIAL_PARITY_NONE = 0x0100;
constexpr uint16_t SERIAL_PARITY_ODD = 0x0200;
constexpr uint16_t SERIAL_PARITY_EVEN = 0x0400;
constexpr uint16_t SERIAL_PARITY_MARK = 0x0800;
constexpr uint16_t SERIAL_PARITY_SPACE = 0x1000;
// prov_capabilities: what the driver offers.
constexpr uint32_t SERIAL_PCF_DTRDSR = 0x0001;
constexpr uint32_t SERIAL_PCF_RTSCTS = 0x0002;
constexpr uint32_t SERIAL_PCF_RLSD = 0x0004;
constexpr uint32_t SERIAL_PCF_PARITY_CHECK = 0x0008;
constexpr uint32_t SERIAL_PCF_XONXOFF = 0x0010;
constexpr uint32_t SERIAL_PCF_SETXCHAR = 0x0020;
constexpr uint32_t SERIAL_PCF_TOTALTIMEOUTS = 0x0040;
constexpr uint32_t SERIAL_PCF_INTTIMEOUTS = 0x0080;

constexpr uint8_t SERIAL_NOPARITY = 0;
constexpr uint8_t SERIAL_ONESTOPBIT = 0;
constexpr uint8_t SERIAL_DTR_DISABLE = 0;
constexpr uint8_t SERIAL_RTS_DISABLE = 0;

// The line settings the program reads and applies (the Windows DCB's fields
// that matter here; a backend keeps everything else as the driver had it).
struct serial_settings {
    uint32_t baud;
    uint8_t byte_size;
    uint8_t parity;
    uint8_t stop_bits;
    bool parity_check;  // fParity
    bool cts_flow;      // fOutxCtsFlow
    bool dsr_flow;      // fOutxDsrFlow
    uint8_t dtr_control;
    uint8_t rts_control;
    bool xon_out;       // fOutX
    bool xon_in;        // fInX
    bool strip_nul;     // fNull
};

// Time-outs in milliseconds, as the Windows COMMTIMEOUTS record holds them.
struct serial_timeouts {
    uint32_t read_interval;
    uint32_t read_multiplier;
    uint32_t read_constant;
    uint32_t write_multiplier;
    uint32_t write_constant;
};

struct serial_backend {
    // Opens the named port ("COMn", or a device path where plat_port_path takes
    // one) exclusively for synchronous I/O, DTR and RTS held off;
    // SERIAL_INVALID_HANDLE on failure.
    serial_handle (*open)(const char* name);
    // The properties report for a block of block_size bytes (the driver reports
    // the size it needs in caps->packet_length).
    bool (*get_properties)(serial_handle h, uint32_t block_size, serial_caps* caps);
    bool (*get_state)(serial_handle h, serial_settings* settings);
    bool (*set_state)(serial_handle h, const serial_settings* settings);
    bool (*set_timeouts)(serial_handle h, const serial_timeouts* timeouts);
    // Reads until size bytes have arrived or the installed read time-out has
    // passed; *got is the count (a time-out is a success). A caught Ctrl-C
    // (plat_interrupted) ends the read at once, as its time-out would; a
    // write is never cut short by it.
    bool (*read)(serial_handle h, void* buf, uint32_t size, uint32_t* got);
    // Writes within the installed write time-out; *written is the count. A
    // write that hands over every byte returns when their line time has
    // passed (serial_wait_line_time); one cut short returns at once.
    bool (*write)(serial_handle h, const void* buf, uint32_t size, uint32_t* written);
    void (*purge)(serial_handle h);
    void (*close)(serial_handle h);
};

// A byte is 10 bits on the line (start bit, 8 data bits, stop bit): the time
// in microseconds that bytes take at speed, rounded down; 0 at speed 0.
int64_t serial_line_time_us(uint32_t speed, uint32_t bytes);
// A write lasts at least its bytes' line time, counted from the start of the
// write (start_us on plat_clock_us), whatever the driver does: on a USB
// adapter the system's write ends when the bytes are in the adapter, before
// they are on the wire, and a reply window opened then would lose their
// line time. Waits until that time has passed; returns at once when it has.
void serial_wait_line_time(int64_t start_us, uint32_t speed, uint32_t bytes);

// The operating system's backend (posix/ or win32/).
const serial_backend* serial_os_backend();
// The backend in use: the operating system's unless a test installed another.
const serial_backend* serial_backend_get();
void serial_backend_set(const serial_backend* backend);  // nullptr restores the OS one
