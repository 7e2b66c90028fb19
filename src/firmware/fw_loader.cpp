#include "firmware/fw_loader.h"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/text_file.h"
#include "console/console.h"
#include "firmware/inhex_verify.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

constexpr uint8_t FW_NO_REPLY = 0x00;  // nothing came within the answer window
constexpr uint8_t FW_ENQ = 0x05;
constexpr uint8_t FW_ACK = 0x06;
constexpr uint8_t FW_CR = 0x0D;
constexpr uint8_t FW_NO_START = 0x11;
constexpr uint8_t FW_BAD_CHECKSUM = 0x12;
constexpr uint8_t FW_VALIDATION = 0x15;
constexpr uint8_t FW_SYN = 0x16;
constexpr uint8_t FW_BUFFER_FULL = 0x17;
constexpr uint8_t FW_FATAL = 0x18;

constexpr const char* FW_ID_NAME = "QvNtIs";
constexpr const char* FW_ID_VERSION = "1.0";
constexpr uint32_t FW_SPEED = 19200;
constexpr int FW_MINUTES = 5;
constexpr long FW_POWER_ON_SECONDS = 20;
constexpr uint32_t FW_MAX_ERRORS = 10;
// The loader's answer windows.
constexpr int FW_PROMPT_WAIT_MS = FW_POWER_ON_SECONDS * 1000;
constexpr int FW_SYNC_WAIT_MS = 200;
constexpr int FW_ID_WAIT_MS = 5000;
constexpr int FW_RECORD_WAIT_MS = 100;
// How long the line must be quiet after a record that went more than once
// was acknowledged, before the next record goes: longer than a loader's
// answer can be late (a flash sector's erase, an adapter's latency).
constexpr int FW_SETTLE_QUIET_MS = 1000;

constexpr int BAR_WIDTH = 59;
constexpr size_t PROGRESS_HEAD = 21;

// The same reads as the file check, so line numbers agree with its messages
// and every record it accepts (267 characters at most) goes whole. One more
// byte holds the carriage return that ends each record on the wire.
std::array<char, INHEX_LINE_SIZE + 1> fw_line{};

// The loader's answer byte: read 1 byte into rx_buffer; FW_NO_REPLY when none came.
uint8_t fw_reply(int timeout_ms) {
    rx_buffer[0] = FW_NO_REPLY;
    read_port(port_name, rx_buffer, 1, timeout_ms);
    return rx_buffer[0];
}

// Reads away whatever the port still delivers, then empties both queues.
void fw_drain() { drain_port(port_name, rx_buffer, static_cast<int>(sizeof rx_buffer)); }

// The same, until the line has been quiet for FW_SETTLE_QUIET_MS.
void fw_settle() { drain_port_quiet(port_name, rx_buffer, static_cast<int>(sizeof rx_buffer), FW_SETTLE_QUIET_MS); }

// One line of the file into fw_line without its line end; its length, or
// INHEX_NO_LINE at the end.
int fw_read_line(FILE* file) { return inhex_read_line(file, fw_line.data(), INHEX_LINE_SIZE); }

// The answers that refuse a record, with their messages (which receive the
// line number) and what follows: FW_OK, the record goes again, or the end of
// the transfer. Any other answer is unknown, and the record goes again.
struct fw_refusal {
    uint8_t reply;
    const char* format;
    int result;
};
const std::array<fw_refusal, 6> fw_refusals = {{
    {FW_NO_REPLY, "\n\a\aError: Firmware updating error: timed out on Line %lu, resending.\n", FW_OK},
    {FW_NO_START, "\n\a\aError: Firmware updating error: didn't get start character on Line %lu, resending.\n", FW_OK},
    {FW_BAD_CHECKSUM, "\n\a\aError: Firmware updating error: bad record checksum on Line %lu, resending.\n", FW_OK},
    {FW_VALIDATION, "\n\a\aError: Firmware updating error: validation on Line %lu, resending.\n", FW_OK},
    // Deliberate (aborting-dash): no blank before the dash of "- aborting!".
    {FW_BUFFER_FULL, "\n\a\aError: Firmware updating error: buffer full on Line %lu- aborting!\n", FW_ERR_BUFFER_FULL},
    {FW_FATAL, "\n\a\aError: Firmware updating error: fatal on Line %lu- aborting!\n", FW_ERR_DEVICE_FATAL},
}};

// Reports a refused record; FW_OK when it goes again.
int fw_refused(uint8_t reply, unsigned long line_no) {
    for (const fw_refusal& refusal : fw_refusals) {
        if (refusal.reply != reply) continue;
        con_print(refusal.format, line_no);
        // After a time-out the reply may still be on its way: read until the
        // line is quiet, so that it is not taken for the reply to the copy.
        if (reply == FW_NO_REPLY) fw_drain();
        return refusal.result;
    }
    con_print("\n\a\aError: Firmware updating error: unknown on Line %lu, resending.\n", line_no);
    return FW_OK;
}

// The transfer's progress: records acknowledged of the total, and the failed
// replies, counted over the whole transfer.
struct fw_counts {
    uint32_t total = 0;
    uint32_t acknowledged = 0;
    uint32_t errors = 0;
};

// Sends the record in fw_line (length characters, then the CR) until the
// loader acknowledges it; FW_OK or the failure.
//
// The answers carry no record number, so an answer that comes after its
// window is taken for the answer to whatever was sent next. A late answer to
// an earlier copy of the same record is harmless (it answers the same
// record), but none may still be on its way when the next record goes: once
// a record that went more than once is acknowledged, the line is read until
// it has been quiet for FW_SETTLE_QUIET_MS. A record that went once keeps the
// transfer's pace.
int fw_send_record(int length, unsigned long line_no, fw_counts& counts) {
    fw_line[static_cast<size_t>(length)] = static_cast<char>(FW_CR);
    fw_line[static_cast<size_t>(length) + 1] = '\0';
    for (int sent = 1;; ++sent) {
        // Ctrl-C stops the transfer before a record goes, never in the middle of one.
        if (port_interrupted()) return FW_ERR_INTERRUPTED;
        if (write_port(port_name, fw_line.data(), length + 1) < 0) {
            // Deliberate (firmsync-record): a record write that failed is named the FIRMSYNC attention character.
            con_print("\a\aError: wrote FIRMSYNC attention character, got error on port %s\n", port_name);
            return FW_ERR_RECORD_WRITE;
        }
        uint8_t reply = fw_reply(FW_RECORD_WAIT_MS);
        if (reply == FW_ACK) {
            ++counts.acknowledged;
            fw_progress(counts.acknowledged, counts.total);
            if (sent > 1) fw_settle();
            return FW_OK;
        }
        // A wait that Ctrl-C ended is no answer of the loader's.
        if (port_interrupted()) return FW_ERR_INTERRUPTED;
        // Deliberate (error-budget): ten failed replies end the transfer, counted over the whole file, not per record.
        ++counts.errors;
        if (counts.errors >= FW_MAX_ERRORS) {
            con_print("\n\a\aError: maximum Firmware updating errors (%d) encountered- aborting!\n",
                      static_cast<int>(FW_MAX_ERRORS));
            return FW_ERR_TOO_MANY_ERRORS;
        }
        int rc = fw_refused(reply, line_no);
        if (rc != FW_OK) return rc;
    }
}

// Sends every record of the file; FW_OK or the failure.
int fw_transfer(FILE* file, uint32_t total) {
    unsigned long line_no = 0;
    fw_counts counts;
    counts.total = total;
    int length = 0;
    while ((length = fw_read_line(file)) != INHEX_NO_LINE) {
        ++line_no;
        if (fw_line[0] != ':') continue;
        int rc = fw_send_record(length, line_no, counts);
        if (rc != FW_OK) return rc;
    }
    // A read that failed is no end of the file: the rest was never sent.
    if (std::ferror(file)) {
        const char* reason = text_file_error(errno);
        con_print("\n\a\aError: Firmware updating error: read error (%s) on Line %lu- aborting!\n", reason,
                  line_no + 1);
        return FW_ERR_FILE_READ;
    }
    con_print("\n");
    return FW_OK;
}

// From the power-on request to the last record: the part of the update that
// Ctrl-C stops (port_interrupt_catch).
int fw_load(FILE* file, uint32_t total) {
    con_print("\nTo begin TURN ON the Quorvantis or CYCLE THE POWER if it is already on.\n\a\aYou have %ld "
              "seconds to do this...",
              FW_POWER_ON_SECONDS);
    uint8_t prompt = fw_reply(FW_PROMPT_WAIT_MS);
    if (port_interrupted()) return FW_ERR_INTERRUPTED;
    if (prompt != FW_ENQ) {
        con_print("\n\a\aError: did not receive the Quorvantis Firmware prompt!\n");
        return FW_ERR_NO_PROMPT;
    }

    const uint8_t syn = FW_SYN;
    if (write_port(port_name, &syn, 1) < 0) {
        con_print("\n\a\aError: wrote FIRMSYNC sync character, got error on port %s\n", port_name);
        return FW_ERR_SYNC_WRITE;
    }
    uint8_t synced = fw_reply(FW_SYNC_WAIT_MS);
    if (port_interrupted()) return FW_ERR_INTERRUPTED;
    if (synced != FW_ACK) {
        con_print("\n\a\aError: did not synchronize with the Quorvantis!\n");
        return FW_ERR_NO_SYNC;
    }

    std::array<char, 16> identifier{};
    int id_length = std::snprintf(identifier.data(), identifier.size(), "%s%s", FW_ID_NAME, FW_ID_VERSION);
    if (write_port(port_name, identifier.data(), id_length) < 0) {
        // Deliberate (identifier-text): as the acknowledgement's, this message names QvNtIs without its version.
        con_print("\n\a\aError: wrote %s identifier, got error on port %s\n", FW_ID_NAME, port_name);
        return FW_ERR_ID_WRITE;
    }
    uint8_t identified = fw_reply(FW_ID_WAIT_MS);
    if (port_interrupted()) return FW_ERR_INTERRUPTED;
    if (identified != FW_ACK) {
        con_print("\n\a\aError: did not receive %s identifier acknowledgement!\n", FW_ID_NAME);
        return FW_ERR_NO_ID_ACK;
    }

    con_print("\n\n");
    std::rewind(file);
    fw_start_time = plat_clock_ms() / 1000;
    return fw_transfer(file, total);
}

// Everything between the port open and its close.
int fw_session(FILE* file, uint32_t total) {
    fw_drain();

    // The answer's text and an end of input do not matter.
    std::array<char, 1024> enter{};
    con_ask(enter.data(), static_cast<int>(enter.size()),
            "\n\a\aWARNING! The Quorvantis Firmware is about to be updated!\nThis will take less than %d "
            "minutes.\nDo NOT interrupt the process once started!\nIf power is interrupted during this "
            "process you may not be able\nto communicate with the Quorvantis due to firmware corruption.\n"
            "If this happens correct the power problem and restart this entire process.\n\nType the Enter "
            "key when you are ready to continue...",
            FW_MINUTES);

    port_interrupt_catch(true);
    int result = fw_load(file, total);
    port_interrupt_catch(false);
    return result;
}

}  // namespace

int64_t fw_start_time = 0;

void fw_progress(uint32_t done, uint32_t total) {
    int64_t elapsed = plat_clock_ms() / 1000 - fw_start_time;
    double fraction = total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
    // The estimate is kept within what an unsigned 32-bit number holds, and a
    // clock that stepped back gives no negative time.
    double remaining_d = 0.0;
    if (fraction != 0.0) {
        double quotient = static_cast<double>(elapsed) / fraction;
        if (quotient > 9.0e18) quotient = 9.0e18;
        if (quotient < -9.0e18) quotient = -9.0e18;
        remaining_d = static_cast<double>(static_cast<int64_t>(quotient)) - static_cast<double>(elapsed);
    }
    if (!(remaining_d > 0.0)) remaining_d = 0.0;
    if (remaining_d > 4294967295.0) remaining_d = 4294967295.0;
    unsigned long remaining = static_cast<unsigned long>(remaining_d);
    // The line holds 80 characters: a count past the total draws a full bar.
    int bar = static_cast<int>(BAR_WIDTH * (fraction > 1.0 ? 1.0 : fraction));
    double percent = 100.0 * fraction;

    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(), "\r%3" PRId64 "s TTC %3lus %4.1f%% ", elapsed, remaining, percent);
    // Deliberate (progress-21): the progress line keeps the first 21 characters of its numbers before the bar.
    text[PROGRESS_HEAD] = '\0';
    for (int i = 0; i < bar; ++i) text[PROGRESS_HEAD + static_cast<size_t>(i)] = '=';
    text[PROGRESS_HEAD + static_cast<size_t>(bar)] = '\0';
    con_print("%s", text.data());
}

int firmware(const char* port, const char* file_name) {
    if (file_name == nullptr) {
        con_print("firmware: Error: param filename is invalid\n");
        return FW_ERR_NO_FILE_NAME;
    }
    // A name that port_name cannot hold whole would open another device.
    if (port == nullptr || std::memchr(port, '\0', sizeof port_name) == nullptr) {
        con_print("firmware: Error: param port is invalid\n");
        return FW_ERR_PORT_OPEN;
    }
    // The file is read twice, checked and then sent, so it must be one that
    // can be read again from its start (no pipe).
    FILE* file = text_file_open(file_name);
    if (file != nullptr && std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        file = nullptr;
    }
    if (file == nullptr) {
        con_print("\a\aError: cannot open %s\n", file_name);
        return FW_ERR_FILE_OPEN;
    }
    int total = inhexverify(file);
    if (total < 1) {
        con_print("\a\aError: Firmware file has some kind of error!\n");
        std::fclose(file);
        return FW_ERR_FILE_CHECK;
    }
    if (port != port_name) std::snprintf(port_name, sizeof port_name, "%s", port);
    if (open_port(port_name, FW_SPEED) != SERIAL_OK) {
        con_print("\a\aError: could not open COM port %s\n", port_name);
        std::fclose(file);
        return FW_ERR_PORT_OPEN;
    }
    int result = fw_session(file, static_cast<uint32_t>(total));
    close_port();
    std::fclose(file);
    return result;
}
