// The handshake on fuzzed device replies. Input: one byte naming the write
// that fails (0 none), one byte choosing the speed and whether a speed change
// follows, then the reply script.
#include "fuzz_support.h"
#include "serial/dev_connection.h"
#include "serial/serial_port.h"
#include "shell/device_commands.h"

#include <cstdio>

namespace {

// rc: what dev_connect (resync false) or dev_resync (resync true) returned.
void check_state(int rc, bool resync) {
    bool open = port_handle != SERIAL_INVALID_HANDLE;
    if (rc == 0) {
        if (connected != 1 || !open) fuzz_fail("handshake done without an open connection");
        return;
    }
    bool known = resync ? (rc == DEV_ERR_CR_WRITE || rc == DEV_ERR_NO_PROMPT) : (rc >= DEV_ERR_OPEN && rc <= DEV_ERR_NO_CONFIRMATION);
    if (!known) fuzz_fail(resync ? "dev_resync result outside its codes" : "dev_connect result outside its codes");
    if (connected != 0) fuzz_fail("failed handshake left the connection flag set");
    if (rc != 2 && open) fuzz_fail("failed handshake left the port open");
    if (rc == 2 && open) fuzz_fail("port reported unopenable but open");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    if (size < 2) return 0;
    uint32_t fail_write = data[0] % 8;
    uint8_t choice = data[1];
    fuzz_device_start(data + 2, size - 2, fail_write);
    std::snprintf(port_name, sizeof port_name, "COM%d", 1 + (choice >> 5) % 10);
    int32_t speed = static_cast<int32_t>(connect_rates[choice % connect_rates.size()]);
    last_baud = speed;
    int rc = dev_connect(speed);
    check_state(rc, false);
    if (rc == 0 && (choice & 0x10) != 0) {
        speed = static_cast<int32_t>(connect_rates[(choice >> 1) % connect_rates.size()]);
        last_baud = speed;
        rc = dev_resync(speed);
        check_state(rc, true);
    }
    if (port_handle != SERIAL_INVALID_HANDLE) close_port();
    connected = 0;
    fuzz_device_stop();
    return 0;
}
