#include "serial/dev_connection.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/hexdump.h"
#include "serial/serial_port.h"
#include "version.h"

int32_t connected = 0;
int32_t last_baud = 57600;

namespace {
const char* const PRODUCT_WORD = "Quorvantis";
const char* const DEVICE_PROMPT = "Quorva> ";
const uint8_t ATTENTION = 0x03;  // Ctrl-C
const uint8_t CARRIAGE_RETURN = 0x0d;
constexpr int POWER_ON_SECONDS = 20;
constexpr int STARTUP_READ = 100;            // bytes of the start-up text looked at
constexpr int CONFIRMATION_WAIT_MS = 2000;   // for "Connected <speed>" after Ctrl-C
constexpr int PROMPT_WAIT_MS = 20000;        // for the prompt after a speed change
constexpr int GOT_HEADER_EVERY = 10;         // lines between the dump's column headers
static_assert(STARTUP_READ < sizeof rx_buffer, "the start-up text is terminated in rx_buffer");

// Scratch for the drain reads and the expected confirmation text.
char scratch[40];

// Finds needle in the first length bytes of text, never beyond them.
bool holds(const char* text, size_t length, const char* needle) {
    size_t n = std::strlen(needle);
    if (n > length) return false;
    for (size_t i = 0; i + n <= length; ++i) {
        if (std::memcmp(text + i, needle, n) == 0) return true;
    }
    return false;
}

// The reply as a text: the bytes received up to the first NUL among them.
size_t reply_length(int count) {
    const void* nul = std::memchr(rx_buffer, 0, static_cast<size_t>(count));
    return nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - rx_buffer)
                          : static_cast<size_t>(count);
}

int fail_closed(int result) {
    dev_disconnect();
    return result;
}

// dev_connect's handshake, while Ctrl-C is caught.
int handshake(int32_t speed) {
    if (dev_already_connected()) return DEV_ALREADY_CONNECTED;
    if (open_port(port_name, static_cast<uint32_t>(speed)) != SERIAL_OK) {
        con_print("\a\aError: could not open COM port %s\n", port_name);
        return DEV_ERR_OPEN;
    }
    drain_port(port_name, scratch, static_cast<int>(sizeof scratch));
    if (port_interrupted()) return fail_closed(DEV_ERR_INTERRUPTED);
    con_print("\a\aTURN ON the Quorvantis or CYCLE THE POWER if it is already on.\nYou have %ld seconds to do this...",
              static_cast<long>(POWER_ON_SECONDS));
    int n = read_port(port_name, rx_buffer, STARTUP_READ, POWER_ON_SECONDS * 1000);
    if (port_interrupted()) return fail_closed(DEV_ERR_INTERRUPTED);
    rx_buffer[n] = 0;
    for (int i = 0; i < n; ++i) {
        if (rx_buffer[i] == 0 || rx_buffer[i] > 0x7f) rx_buffer[i] = '#';
    }
    const char* text = reinterpret_cast<const char*>(rx_buffer);
    const char* product = std::strstr(text, PRODUCT_WORD);
    if (product == nullptr) {
        con_print("\n\a\aError: did not receive the Quorvantis prompt!\nExpected: Quorvantis\n");
        hexdump(con_output(), HEXDUMP_LENGTH, "Got", rx_buffer, n, GOT_HEADER_EVERY);
        return fail_closed(DEV_ERR_NO_PRODUCT);
    }
    if (std::strstr(product, VERSION_TEXT) == nullptr) {
        con_print("\n\a\aError: did not receive the correct Quorvantis version (%s)!\n", VERSION_TEXT);
        return fail_closed(DEV_ERR_NO_VERSION);
    }
    if (write_port(port_name, &ATTENTION, 1) < 0) {
        con_print("\n\a\aError: wrote <ctrl>-c attention character, got error on port %s\n", port_name);
        return fail_closed(DEV_ERR_ATTENTION_WRITE);
    }
    int m = read_port(port_name, rx_buffer, static_cast<int>(sizeof rx_buffer), CONFIRMATION_WAIT_MS);
    if (port_interrupted()) return fail_closed(DEV_ERR_INTERRUPTED);
    std::snprintf(scratch, sizeof scratch, "Connected %ld", static_cast<long>(speed));
    if (!holds(reinterpret_cast<const char*>(rx_buffer), reply_length(m), scratch)) {
        con_print("\n\a\aError: did not receive the Quorvantis Connected string!\nExpected %s\n", scratch);
        hexdump(con_output(), HEXDUMP_LENGTH, "Got", rx_buffer, m, GOT_HEADER_EVERY);
        return fail_closed(DEV_ERR_NO_CONFIRMATION);
    }
    con_print("\n");
    con_print("Connected at %ld\n", static_cast<long>(speed));
    connected = 1;
    return DEV_CONNECTED;
}
}  // namespace

bool dev_already_connected() {
    if (connected != 1) return false;
    con_print("\a\aError: already Connected!\n");
    return true;
}

void dev_disconnect() {
    close_port();
    connected = 0;
}

int dev_connect(int32_t speed) {
    con_print("Connecting at %ld...\n", static_cast<long>(speed));
    port_interrupt_catch(true);
    int result = handshake(speed);
    port_interrupt_catch(false);
    return result;
}

int dev_resync(int32_t speed) {
    con_print("Connecting at %ld...\n", static_cast<long>(speed));
    if (write_port(port_name, &CARRIAGE_RETURN, 1) < 0) {
        con_print("\a\aError: wrote CR character, got error on port %s\n", port_name);
        return fail_closed(DEV_ERR_CR_WRITE);
    }
    int m = read_port(port_name, rx_buffer, static_cast<int>(sizeof rx_buffer), PROMPT_WAIT_MS);
    if (port_interrupted()) return fail_closed(DEV_ERR_RESYNC_INTERRUPTED);
    if (holds(reinterpret_cast<const char*>(rx_buffer), reply_length(m), DEVICE_PROMPT)) {
        con_print("Connected at %ld\n", static_cast<long>(speed));
        return DEV_RESYNCED;
    }
    con_print("\a\aError: did not receive the Quorvantis prompt!\n");
    return fail_closed(DEV_ERR_NO_PROMPT);
}

int dev_baud(int32_t speed) {
    char command[24];
    // Deliberate (baud-keeps-line): baud asks the device for a speed but the port stays at connect's speed.
    int length = std::snprintf(command, sizeof command, "host %ld\r", static_cast<long>(speed));
    port_interrupt_catch(true);
    int result = DEV_ERR_HOST_WRITE;
    if (write_port(port_name, command, length) < 0) {
        con_print("\a\aError: wrote Host Baud command, got error on port %s\n", port_name);
        dev_disconnect();
    } else {
        result = dev_resync(speed);
    }
    port_interrupt_catch(false);
    return result;
}
