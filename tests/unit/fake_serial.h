// The scripted serial backend of the unit tests and the fuzz harnesses: it
// plays the device's bytes from a queue of chunks (each read takes at most one
// chunk; an empty chunk is a read that times out with nothing), can queue
// replies when the host writes a given byte string or answer every write, can
// fail any call, and records every call.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial_backend.h"

// The handle of the port the fake opens.
constexpr serial_handle FAKE_HANDLE = 7;

struct fake_trigger {
    std::vector<uint8_t> written;              // a write of exactly these bytes...
    std::vector<std::vector<uint8_t>> replies;  // ...queues these chunks
    bool once = true;
};

struct fake_serial {
    // Script.
    std::deque<std::vector<uint8_t>> chunks;  // device bytes, one chunk per read at most
    // A read smaller than its chunk: false, the rest stays for the next read;
    // true, the rest is lost, as bytes that no read took are lost on a line.
    bool chunk_rest_lost = false;
    std::vector<fake_trigger> triggers;
    // Called with every write that succeeded whole; the chunks it returns are
    // queued after the triggers' (a device that answers each packet).
    std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t>& written)> answer;
    bool purge_clears = false;  // purge drops the queued chunks too
    // A read after the queue is empty: 0 bytes (a time-out), or this byte
    // over and over (a device that never falls quiet).
    bool endless = false;
    uint8_t endless_byte = 'x';

    // Fault switches (each failing call saves fail_errno first).
    int fail_errno = 5;  // EIO
    bool open_fails = false;
    int properties_fail_at = 0;  // 1: the first report fails, 2: the second
    // A terminal's report: everything settable.
    serial_caps caps{64,
                     SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                         SERIAL_SP_PARITY_CHECK | SERIAL_SP_RLSD,
                     SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8,
                     SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE | SERIAL_PARITY_ODD |
                         SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE,
                     SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_RLSD | SERIAL_PCF_PARITY_CHECK |
                         SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS};
    uint16_t first_packet_length = 64;
    bool get_state_fails = false;
    bool set_state_fails = false;
    int timeouts_fail_at = 0;  // fails the n-th set_timeouts call (1 = first)
    bool write_fails = false;  // every write fails
    int write_fails_at = 0;    // fails the n-th write (1 = first)
    int write_short = -1;      // >= 0: every write reports this many bytes written
    int read_fails_at = 0;     // fails the n-th read (1 = first)
    // The operator presses Ctrl-C while the n-th read waits (1 = first): it
    // ends at once with nothing, and so does every read after it while the
    // key is caught, as on the real backends.
    int interrupt_at_read = 0;

    // Record.
    std::vector<std::string> log;  // "open COM3", "timeouts 0 1 1 2 10", "purge", "read 100", "write", "close"
    std::vector<std::string> opened;
    std::vector<uint32_t> property_blocks;
    std::vector<serial_timeouts> timeouts;       // every set_timeouts call
    std::vector<serial_timeouts> read_timeouts;  // the time-outs in force at each read
    std::vector<serial_settings> states_set;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<uint32_t> reads;  // sizes asked for
    int purges = 0;
    int closes = 0;
    int open_count = 0;  // handles open now
    serial_settings state{9600, 7, 2, 2, true, true, true, 1, 1, true, true, true};

    void queue(const std::string& text) { chunks.emplace_back(text.begin(), text.end()); }
    void queue_bytes(const std::vector<uint8_t>& bytes) { chunks.push_back(bytes); }
    void quiet() { chunks.emplace_back(); }  // one read that times out
    void on_write(const std::string& written, const std::vector<std::string>& replies);
    std::string written_text() const;  // every byte written, in order
};

// Resets the fake and installs it as the serial backend; the serial port's
// module state is left as it is.
fake_serial& fake_start();
// fake_start, and the serial port's variables back to their start too
// (port_state_reset: no handle, empty name, no settings or time-outs).
fake_serial& fake_install();
// Restores the operating system's backend and marks the port closed.
void fake_remove();
