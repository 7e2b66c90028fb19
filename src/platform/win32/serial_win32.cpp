// The serial port on Windows: the Win32 communications calls, synchronous and
// non-overlapped. Every failing call leaves its reason in the thread's last
// error (GetLastError), which the caller's message shows.
#include <windows.h>

#include <mmsystem.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/comm_status_error.h"
#include "platform/platform.h"
#include "platform/serial_backend.h"
#include "platform/win32/interrupt_win32.h"

namespace {

// The capability bits are the ones of COMMPROP, which the driver fills.
static_assert(SERIAL_SP_PARITY == SP_PARITY && SERIAL_SP_BAUD == SP_BAUD && SERIAL_SP_DATABITS == SP_DATABITS &&
              SERIAL_SP_STOPBITS == SP_STOPBITS && SERIAL_SP_HANDSHAKING == SP_HANDSHAKING &&
              SERIAL_SP_PARITY_CHECK == SP_PARITY_CHECK && SERIAL_SP_RLSD == SP_RLSD);
static_assert(SERIAL_DATABITS_5 == DATABITS_5 && SERIAL_DATABITS_6 == DATABITS_6 && SERIAL_DATABITS_7 == DATABITS_7 &&
              SERIAL_DATABITS_8 == DATABITS_8);
static_assert(SERIAL_STOPBITS_10 == STOPBITS_10 && SERIAL_STOPBITS_15 == STOPBITS_15 &&
              SERIAL_STOPBITS_20 == STOPBITS_20);
static_assert(SERIAL_PARITY_NONE == PARITY_NONE && SERIAL_PARITY_ODD == PARITY_ODD &&
              SERIAL_PARITY_EVEN == PARITY_EVEN && SERIAL_PARITY_MARK == PARITY_MARK &&
              SERIAL_PARITY_SPACE == PARITY_SPACE);
static_assert(SERIAL_PCF_DTRDSR == PCF_DTRDSR && SERIAL_PCF_RTSCTS == PCF_RTSCTS && SERIAL_PCF_RLSD == PCF_RLSD &&
              SERIAL_PCF_PARITY_CHECK == PCF_PARITY_CHECK && SERIAL_PCF_XONXOFF == PCF_XONXOFF &&
              SERIAL_PCF_SETXCHAR == PCF_SETXCHAR && SERIAL_PCF_TOTALTIMEOUTS == PCF_TOTALTIMEOUTS &&
              SERIAL_PCF_INTTIMEOUTS == PCF_INTTIMEOUTS);

// The properties block. The driver fills a whole COMMPROP whatever size the
// block's wPacketLength claims (and may report a size smaller than the record:
// Wine reports 1), so the block is never smaller than the record; a reported
// size is a WORD, so 64 KiB holds any block a driver can ask for.
constexpr size_t PROPS_BLOCK_MAX = 0x10000;
static_assert(sizeof(COMMPROP) <= PROPS_BLOCK_MAX);

// Everything kept about one open port. The handle leads here: open creates
// the record, close frees it.
struct win_port {
    HANDLE handle = INVALID_HANDLE_VALUE;
    // The size the driver reported in the last properties call: a block asked
    // for with exactly that size is the second of the two steps, and is handed
    // over marked as initialised.
    uint32_t props_reported = 0;
    // The settings block as GetCommState last gave it. Applying settings
    // changes only the fields the program sets and keeps every other one
    // (fBinary, fDsrSensitivity, fTXContinueOnXoff, fErrorChar, fAbortOnError,
    // the reserved bits, XonLim, XoffLim, the special characters) as the driver
    // had it.
    bool dcb_read = false;
    DCB dcb{};
    alignas(COMMPROP) std::array<unsigned char, PROPS_BLOCK_MAX> props_block{};
    bool timer_period_set = false;  // this open asked for the 1 ms system timer
};

// The port behind a handle, or nullptr with ERROR_INVALID_HANDLE as the last error.
win_port* port_of(serial_handle h) {
    if (h == SERIAL_INVALID_HANDLE || h == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return reinterpret_cast<win_port*>(h);
}

// The port behind a handle for a call that needs the block it was given, or
// nullptr with the reason as the last error.
win_port* port_with(serial_handle h, const void* block) {
    win_port* port = port_of(h);
    if (port != nullptr && block == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return port;
}

serial_handle win_open(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        SetLastError(ERROR_INVALID_NAME);
        return SERIAL_INVALID_HANDLE;
    }
    // "COM10" and up are reachable only through the device namespace; the
    // prefix serves COM1 to COM9 just as well.
    std::array<char, 64> path{};
    const char* prefix = "\\\\.\\";
    if (std::strncmp(name, prefix, 4) == 0) prefix = "";
    int n = std::snprintf(path.data(), path.size(), "%s%s", prefix, name);
    if (n < 0 || static_cast<size_t>(n) >= path.size()) {
        SetLastError(ERROR_INVALID_NAME);
        return SERIAL_INVALID_HANDLE;
    }
    auto* port = new (std::nothrow) win_port{};
    if (port == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return SERIAL_INVALID_HANDLE;
    }
    HANDLE h = CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD saved = GetLastError();
        delete port;
        SetLastError(saved);
        return SERIAL_INVALID_HANDLE;
    }
    // Hold DTR and RTS off from the start, before the settings say so; a line
    // without modem signals refuses this, which does not matter.
    DWORD saved = GetLastError();
    EscapeCommFunction(h, CLRDTR);
    EscapeCommFunction(h, CLRRTS);
    // While the port is open the system timer runs at 1 ms, so that the wait
    // of a write for its line time ends within a millisecond of it (at the
    // default 15.6 ms a sleep can end a whole tick late). Close puts it back.
    port->timer_period_set = timeBeginPeriod(1) == TIMERR_NOERROR;
    SetLastError(saved);
    port->handle = h;
    return reinterpret_cast<serial_handle>(port);
}

bool win_get_properties(serial_handle h, uint32_t block_size, serial_caps* caps) {
    win_port* port = port_with(h, caps);
    if (port == nullptr) return false;
    if (block_size > 0xFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    size_t size = block_size < sizeof(COMMPROP) ? sizeof(COMMPROP) : block_size;
    std::memset(port->props_block.data(), 0, size);
    auto* prop = reinterpret_cast<COMMPROP*>(port->props_block.data());
    prop->wPacketLength = static_cast<WORD>(block_size);
    if (port->props_reported != 0 && block_size == port->props_reported) prop->dwProvSpec1 = COMMPROP_INITIALIZED;
    if (!GetCommProperties(port->handle, prop)) return false;
    caps->packet_length = prop->wPacketLength;
    caps->settable_params = prop->dwSettableParams;
    caps->settable_data = prop->wSettableData;
    caps->settable_stop_parity = prop->wSettableStopParity;
    caps->prov_capabilities = prop->dwProvCapabilities;
    port->props_reported = prop->wPacketLength;
    return true;
}

// The driver's settings block into the port's record.
bool read_dcb(win_port* port) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) return false;
    port->dcb = dcb;
    port->dcb_read = true;
    return true;
}

bool win_get_state(serial_handle h, serial_settings* settings) {
    win_port* port = port_with(h, settings);
    if (port == nullptr || !read_dcb(port)) return false;
    const DCB& dcb = port->dcb;
    settings->baud = dcb.BaudRate;
    settings->byte_size = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stop_bits = dcb.StopBits;
    settings->parity_check = dcb.fParity != 0;
    settings->cts_flow = dcb.fOutxCtsFlow != 0;
    settings->dsr_flow = dcb.fOutxDsrFlow != 0;
    settings->dtr_control = static_cast<uint8_t>(dcb.fDtrControl);
    settings->rts_control = static_cast<uint8_t>(dcb.fRtsControl);
    settings->xon_out = dcb.fOutX != 0;
    settings->xon_in = dcb.fInX != 0;
    settings->strip_nul = dcb.fNull != 0;
    return true;
}

bool win_set_state(serial_handle h, const serial_settings* settings) {
    win_port* port = port_with(h, settings);
    if (port == nullptr) return false;
    // No settings read on this port yet: start from what the driver has.
    if (!port->dcb_read && !read_dcb(port)) return false;
    DCB dcb = port->dcb;
    dcb.BaudRate = settings->baud;
    dcb.ByteSize = settings->byte_size;
    dcb.Parity = settings->parity;
    dcb.StopBits = settings->stop_bits;
    dcb.fParity = settings->parity_check ? 1 : 0;
    dcb.fOutxCtsFlow = settings->cts_flow ? 1 : 0;
    dcb.fOutxDsrFlow = settings->dsr_flow ? 1 : 0;
    dcb.fDtrControl = settings->dtr_control & 0x3u;
    dcb.fRtsControl = settings->rts_control & 0x3u;
    dcb.fOutX = settings->xon_out ? 1 : 0;
    dcb.fInX = settings->xon_in ? 1 : 0;
    dcb.fNull = settings->strip_nul ? 1 : 0;
    if (!SetCommState(port->handle, &dcb)) return false;
    port->dcb = dcb;
    return true;
}

bool win_set_timeouts(serial_handle h, const serial_timeouts* timeouts) {
    win_port* port = port_with(h, timeouts);
    if (port == nullptr) return false;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts->read_interval;
    t.ReadTotalTimeoutMultiplier = timeouts->read_multiplier;
    t.ReadTotalTimeoutConstant = timeouts->read_constant;
    t.WriteTotalTimeoutMultiplier = timeouts->write_multiplier;
    t.WriteTotalTimeoutConstant = timeouts->write_constant;
    return SetCommTimeouts(port->handle, &t) != 0;
}

bool win_read(serial_handle h, void* buf, uint32_t size, uint32_t* got) {
    *got = 0;
    win_port* port = port_of(h);
    if (port == nullptr) return false;
    // After the operator's Ctrl-C a read returns at once, and the console's
    // handler cancels the one under way: both end as a time-out would, with
    // what had arrived.
    if (!win_interrupt_read_begin()) return true;
    DWORD n = 0;
    BOOL ok = ReadFile(port->handle, buf, size, &n, nullptr);
    DWORD code = GetLastError();
    win_interrupt_read_end();
    if (!ok && code == ERROR_OPERATION_ABORTED && plat_interrupted()) {
        *got = n <= size ? n : 0;
        return true;
    }
    SetLastError(code);
    if (!ok) return false;
    *got = n;
    // A read that ended short ran into its time-out, or the device went away
    // while it waited: some drivers (Wine's among them) report the latter as a
    // time-out too. The port's error state tells them apart; asking for it
    // also clears line errors, which would otherwise stop further reads when
    // the driver aborts on errors. A driver that cannot report its error state
    // says nothing about the device: the read stays a time-out.
    if (n < size) {
        DWORD errors = 0;
        COMSTAT status;
        if (!ClearCommError(port->handle, &errors, &status)) {
            DWORD code = GetLastError();
            if (comm_status_device_gone(code)) return false;
        }
    }
    return true;
}

bool win_write(serial_handle h, const void* buf, uint32_t size, uint32_t* written) {
    *written = 0;
    win_port* port = port_of(h);
    if (port == nullptr) return false;
    DWORD n = 0;
    int64_t start_us = plat_clock_us();
    BOOL ok = WriteFile(port->handle, buf, size, &n, nullptr);
    *written = n;
    if (!ok) return false;
    // A write that the write time-out cut short succeeds with a short count and
    // leaves no reason behind: name the time-out, so the message shows it. It
    // returns at once: its caller fails it, and a wait would only delay that.
    if (n < size) {
        SetLastError(ERROR_TIMEOUT);
        return true;
    }
    // The driver of a USB adapter completes the write when the bytes are in
    // the adapter, before they are on the wire: the write lasts their line
    // time, so that a reply window opened next does not lose it.
    serial_wait_line_time(start_us, port->dcb.BaudRate, size);
    return true;
}

void win_purge(serial_handle h) {
    win_port* port = port_of(h);
    if (port != nullptr) PurgeComm(port->handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void win_close(serial_handle h) {
    win_port* port = port_of(h);
    if (port == nullptr) return;
    CloseHandle(port->handle);
    if (port->timer_period_set) timeEndPeriod(1);
    delete port;
}

constexpr serial_backend win_backend = {
    .open = win_open,
    .get_properties = win_get_properties,
    .get_state = win_get_state,
    .set_state = win_set_state,
    .set_timeouts = win_set_timeouts,
    .read = win_read,
    .write = win_write,
    .purge = win_purge,
    .close = win_close,
};

}  // namespace

const serial_backend* serial_os_backend() { return &win_backend; }
