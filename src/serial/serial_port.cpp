#include "serial/serial_port.h"

#include <cstdio>

#include "console/console.h"
#include "platform/platform.h"
#include "serial/baud_table.h"

char port_name[PORT_NAME_SIZE];
serial_handle port_handle = SERIAL_INVALID_HANDLE;
uint8_t rx_buffer[1024];
serial_settings port_settings;
serial_timeouts port_timeouts;

namespace {
// The properties block up to and including the first provider character.
constexpr uint32_t FIRST_PROPERTIES_BLOCK = 62;

// What the link needs of the driver: parity, speed, data bits and stop bits
// settable; 8 data bits; one stop bit without parity; total and interval
// time-outs.
constexpr uint32_t SP_REQUIRED = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS;
constexpr uint16_t DATA_REQUIRED = SERIAL_DATABITS_8;
constexpr uint16_t STOP_PARITY_REQUIRED = SERIAL_STOPBITS_10 | SERIAL_PARITY_NONE;
constexpr uint32_t PCF_REQUIRED = SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;

const serial_backend& backend() { return *serial_backend_get(); }

// The drain reads until the line has been quiet this long, for at most
// DRAIN_LIMIT_MS or that long's worth of bytes at the port's speed (a device
// that never falls quiet must not hold it for ever).
constexpr int DRAIN_QUIET_MS = 100;
constexpr int64_t DRAIN_LIMIT_MS = 5000;

// The time-outs, in milliseconds. A character is 10 bits on the line, so
// CHARACTER_MS / speed is its time in whole milliseconds; a write may take
// twice that a byte. Every read waits its caller's time-out and a margin on
// top of its bytes.
constexpr uint32_t CHARACTER_MS = 10000;
constexpr uint32_t WRITE_BYTE_MS = 2 * CHARACTER_MS;
constexpr uint32_t PORT_READ_CONSTANT_MS = 1;
constexpr uint32_t WRITE_CONSTANT_MS = 10;
constexpr uint32_t READ_MARGIN_MS = 10;

// Milliseconds per byte at the speed, by integer division; a speed of 0 (no
// port ever set) counts as no per-byte allowance rather than a division by 0.
uint32_t per_byte(uint32_t numerator, uint32_t speed) { return speed == 0 ? 0 : numerator / speed; }
// The driver's capability report, in two steps: the first report tells the
// size the driver needs, the second fills a block of that size. The backend
// holds the blocks (the Windows one keeps a block of the largest size a
// driver can ask for in the port's record), so asking for one never fails for
// want of memory; only the report itself can fail.
int read_capabilities(const char* name, serial_caps& caps) {
    caps = serial_caps{};
    if (!backend().get_properties(port_handle, FIRST_PROPERTIES_BLOCK, &caps)) {
        con_print("\a\aError: could not get comm properties for port %s: %s\n", name, sys_error_text());
        return SERIAL_ERR_PROPERTIES_FIRST;
    }
    uint32_t full_size = caps.packet_length;
    caps = serial_caps{};
    if (!backend().get_properties(port_handle, full_size, &caps)) {
        con_print("\a\aError: could not get comm properties for port %s: %s\n", name, sys_error_text());
        return SERIAL_ERR_PROPERTIES_SECOND;
    }
    return SERIAL_PROP_OK;
}

// One field of the report that must hold all the bits the link needs, and
// the message that shows the whole field when it does not.
struct capability_need {
    uint32_t field;
    uint32_t needed;
    const char* format;  // receives the port's name and the field
    int code;
};

// The report against what the link needs, in this order.
int check_capabilities(const char* name, const serial_caps& caps) {
    const capability_need needs[] = {
        {caps.settable_params, SP_REQUIRED,
         "\a\aError: required comm properties for port %s not settable: Settable Params 0x%08x\n",
         SERIAL_ERR_SETTABLE_PARAMS},
        {caps.settable_data, DATA_REQUIRED,
         "\a\aError: 8 data bits comm properties for port %s not settable: Settable Data 0x%04x\n",
         SERIAL_ERR_SETTABLE_DATA},
        {caps.settable_stop_parity, STOP_PARITY_REQUIRED,
         "\a\aError: 1 stop bit, no parity comm properties for port %s not settable: Settable Stop & Parity "
         "0x%04x\n",
         SERIAL_ERR_SETTABLE_STOP_PARITY},
        {caps.prov_capabilities, PCF_REQUIRED,
         "\a\aError: timeouts comm properties for port %s not settable: Settable Prov Cap 0x%08x\n",
         SERIAL_ERR_SETTABLE_TIMEOUTS},
    };
    for (const capability_need& need : needs) {
        if ((need.field & need.needed) != need.needed) {
            con_print(need.format, name, static_cast<unsigned>(need.field));
            return need.code;
        }
    }
    return SERIAL_PROP_OK;
}

// The driver's settings with the link's put in: the speed, 8 data bits, no
// parity, one stop bit, no flow control of any kind, DTR and RTS held off,
// NUL bytes kept. Everything else stays as the driver had it.
int apply_link_settings(const char* name, uint32_t baud) {
    if (!backend().get_state(port_handle, &port_settings)) {
        con_print("\a\aError: could not get the comm state for port %s: %s\n", name, sys_error_text());
        return SERIAL_ERR_GET_STATE;
    }
    port_settings.baud = baud;
    port_settings.byte_size = 8;
    port_settings.parity = SERIAL_NOPARITY;
    port_settings.stop_bits = SERIAL_ONESTOPBIT;
    port_settings.parity_check = false;
    port_settings.cts_flow = false;
    port_settings.dsr_flow = false;
    port_settings.dtr_control = SERIAL_DTR_DISABLE;
    port_settings.rts_control = SERIAL_RTS_DISABLE;
    port_settings.xon_out = false;
    port_settings.xon_in = false;
    port_settings.strip_nul = false;
    if (!backend().set_state(port_handle, &port_settings)) {
        con_print("\a\aError: could not set the comm state for port %s: %s\n", name, sys_error_text());
        return SERIAL_ERR_SET_STATE;
    }
    return SERIAL_PROP_OK;
}

// The port-wide time-outs for the speed just applied.
int install_port_timeouts(const char* name) {
    uint32_t baud = port_settings.baud;
    port_timeouts.read_interval = 0;
    port_timeouts.read_multiplier = per_byte(CHARACTER_MS, baud);
    port_timeouts.read_constant = PORT_READ_CONSTANT_MS;
    port_timeouts.write_multiplier = per_byte(WRITE_BYTE_MS, baud);
    port_timeouts.write_constant = WRITE_CONSTANT_MS;
    if (!backend().set_timeouts(port_handle, &port_timeouts)) {
        con_print("\a\aError: could not set the comm timeouts for port %s: %s\n", name, sys_error_text());
        return SERIAL_ERR_OPEN_TIMEOUTS;
    }
    return SERIAL_OK;
}
}  // namespace

void close_port() {
    if (port_handle != SERIAL_INVALID_HANDLE) backend().close(port_handle);
    port_handle = SERIAL_INVALID_HANDLE;
}

int open_port(const char* name, uint32_t speed) {
    if (name == nullptr) {
        con_print("open_port: Error: port null argument\n");
        return SERIAL_ERR_OPEN_NO_NAME;
    }
    port_handle = backend().open(name);
    if (port_handle == SERIAL_INVALID_HANDLE) {
        con_print("\a\aError: cannot open com port %s: %s\n", name, sys_error_text());
        return SERIAL_ERR_OPEN;
    }
    int rc = set_comm_prop(name, speed) == SERIAL_PROP_OK ? install_port_timeouts(name) : SERIAL_ERR_OPEN_PROPERTIES;
    // Every way out but success leaves no port open, whatever refused it.
    if (rc != SERIAL_OK) {
        close_port();
        return rc;
    }
    purge_port();
    return SERIAL_OK;
}

int set_comm_prop(const char* name, uint32_t speed) {
    if (name == nullptr) {
        con_print("set_comm_prop: Error: port null argument\n");
        return SERIAL_ERR_PROP_NO_NAME;
    }
    const uint32_t* entry = get_baud(static_cast<long>(speed));
    if (entry == nullptr) {
        con_print("\a\aError: Invalid baud rate %ld\n", static_cast<long>(speed));
        return SERIAL_ERR_BAUD;
    }
    serial_caps caps{};
    int rc = read_capabilities(name, caps);
    if (rc == SERIAL_PROP_OK) rc = check_capabilities(name, caps);
    if (rc == SERIAL_PROP_OK) rc = apply_link_settings(name, *entry);
    // A port that cannot serve the link is given up at once.
    if (rc != SERIAL_PROP_OK) close_port();
    return rc;
}

int write_port(const char* name, const void* bytes, int length) {
    if (name == nullptr) {
        con_print("write_port: Error: invalid param file port\n");
        return SERIAL_ERR_WRITE_ARGUMENT;
    }
    if (bytes == nullptr) {
        con_print("write_port: Error: invalid param buf ptr\n");
        return SERIAL_ERR_WRITE_NO_BYTES;
    }
    if (length <= 0) {
        con_print("write_port: Error: invalid param len: %d\n", length);
        return SERIAL_ERR_WRITE_ARGUMENT;
    }
    uint32_t written = 0;
    bool ok = backend().write(port_handle, bytes, static_cast<uint32_t>(length), &written);
    // Deliberate (short-write): a write that the time-out cut short has lost bytes on the way: failed.
    if (!ok || written != static_cast<uint32_t>(length)) {
        con_print("\a\aError: wrote %d of %d, got error on port %s: %s\n", static_cast<int>(written), length, name,
                  sys_error_text());
        return SERIAL_ERR_WRITE;
    }
    return length;
}

int read_port(const char* name, void* buffer, int size, int timeout_ms) {
    char message[256];
    if (name == nullptr) {
        fatal_exit(25, "read_port: Error: invalid param port\n");
        return 0;
    }
    if (buffer == nullptr) {
        fatal_exit(25, "read_port: Error: invalid param buf ptr\n");
        return 0;
    }
    if (size <= 0) {
        std::snprintf(message, sizeof message, "read_port: Error: invalid param size: %d\n", size);
        fatal_exit(25, message);
        return 0;
    }
    serial_timeouts per_call = port_timeouts;
    per_call.read_multiplier = per_byte(CHARACTER_MS, port_settings.baud);
    // A time-out below 1 ms is taken as 1, so the constant never wraps.
    uint32_t wait = timeout_ms < 1 ? 1u : static_cast<uint32_t>(timeout_ms);
    per_call.read_constant = wait + READ_MARGIN_MS;
    if (!backend().set_timeouts(port_handle, &per_call)) {
        std::snprintf(message, sizeof message, "\a\aError: could not set the comm timeouts for port %s: %s\n", name,
                      sys_error_text());
        fatal_exit(25, message);
        return 0;
    }
    uint32_t got = 0;
    if (!backend().read(port_handle, buffer, static_cast<uint32_t>(size), &got)) {
        std::snprintf(message, sizeof message, "\a\aError: could not read on COM port %s: %s\n", name,
                      sys_error_text());
        fatal_exit(26, message);
        return 0;
    }
    return got > static_cast<uint32_t>(size) ? size : static_cast<int>(got);
}

void purge_port() {
    if (port_handle != SERIAL_INVALID_HANDLE) backend().purge(port_handle);
}

void drain_port(const char* name, void* buffer, int size) { drain_port_quiet(name, buffer, size, DRAIN_QUIET_MS); }

void drain_port_quiet(const char* name, void* buffer, int size, int quiet_ms) {
    const int64_t start = plat_clock_ms();
    // The bytes the line carries in DRAIN_LIMIT_MS.
    const int64_t budget = DRAIN_LIMIT_MS * port_settings.baud / CHARACTER_MS;
    int64_t drained = 0;
    for (;;) {
        int n = read_port(name, buffer, size, quiet_ms);
        if (n == 0) break;
        drained += n;
        if (plat_clock_ms() - start >= DRAIN_LIMIT_MS || drained >= budget) break;
    }
    purge_port();
}

namespace {
bool interrupt_reported = false;
}  // namespace

void port_interrupt_catch(bool on) {
    interrupt_reported = false;
    plat_interrupt_catch(on);
}

bool port_interrupted() {
    if (!plat_interrupted()) return false;
    if (!interrupt_reported) con_print("\n\a\aError: interrupted by Ctrl-C!\n");
    interrupt_reported = true;
    return true;
}
