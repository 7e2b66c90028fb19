#include "module_state.h"

#include <cstdint>
#include <cstring>

#include "common/directive_scan.h"
#include "config/conf_image.h"
#include "console/console.h"
#include "firmware/fw_loader.h"
#include "platform/platform.h"
#include "platform/posix/serial_posix.h"
#include "platform/serial_backend.h"
#include "rules/rule_table.h"
#include "serial/dev_connection.h"
#include "serial/serial_port.h"

namespace {
// last_baud's first value, read before any test or input changed it (its
// definition is a constant, so it is set before this is read).
const int32_t last_baud_at_start = last_baud;
}  // namespace

void port_state_reset() {
    port_handle = SERIAL_INVALID_HANDLE;
    std::memset(port_name, 0, sizeof port_name);
    std::memset(rx_buffer, 0, sizeof rx_buffer);
    port_settings = serial_settings{};
    port_timeouts = serial_timeouts{};
}

void module_state_reset() {
    con_edit_end();
    con_set_output(nullptr);
    con_set_input(nullptr);

    // The handle belongs to the backend installed now (a fake's handle means
    // nothing to the system's), so it is closed before the backend goes.
    close_port();
    port_state_reset();
    port_interrupt_catch(false);
    serial_backend_set(nullptr);
    serial_posix_set_info_call(nullptr);

    plat_set_sleep_hook(nullptr);
    plat_set_clock_hook(nullptr);
    plat_set_fine_clock_hooks(nullptr, nullptr);
    plat_save_error(0);

    connected = 0;
    last_baud = last_baud_at_start;
    conf_reset();
    conf_processed = 0;
    rule_table = {};
    rules_processed = false;
    line_echo = {};
    fw_start_time = 0;
}
