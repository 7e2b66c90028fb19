// The reset of every module's state that each fixture and fuzz input starts
// from: whatever a case leaves behind, the next one finds the program as it
// starts (the start values are the design's: nothing connected, last_baud
// 57600 before the first command, the default configuration, no rules).
#include "module_state.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/directive_scan.h"
#include "config/conf_image.h"
#include "console/console.h"
#include "fake_serial.h"
#include "firmware/fw_loader.h"
#include "out_capture.h"
#include "platform/platform.h"
#include "platform/posix/serial_posix.h"
#include "platform/serial_backend.h"
#include "pty_port.h"
#include "rules/rule_table.h"
#include "serial/dev_connection.h"
#include "serial/serial_port.h"

namespace {

int hook_calls = 0;
void counting_sleep(uint32_t) { ++hook_calls; }
int64_t stopped_clock() {
    ++hook_calls;
    return -5;
}
void counting_sleep_until(int64_t) { ++hook_calls; }

// Memory streams the console is pointed at while dirty.
struct dirt {
    char* out_data = nullptr;
    size_t out_size = 0;
    FILE* out = nullptr;
    FILE* in = nullptr;
    fake_serial* fake = nullptr;  // the backend the port was opened on
    struct sigaction sigint_before {};
};

// Changes every piece of module state from its start: a port opened on the
// scripted fake, the operator's Ctrl-C caught, raised and reported, every
// hook set, the console on memory streams, and values in every variable.
void dirty_every_module(dirt& d) {
    sigaction(SIGINT, nullptr, &d.sigint_before);
    d.fake = &fake_install();
    d.out = open_memstream(&d.out_data, &d.out_size);
    ASSERT_NE(d.out, nullptr);
    d.in = std::tmpfile();
    ASSERT_NE(d.in, nullptr);
    con_set_output(d.out);
    con_set_input(d.in);

    std::snprintf(port_name, sizeof port_name, "COM3");
    ASSERT_EQ(open_port(port_name, 9600), SERIAL_OK);
    ASSERT_EQ(d.fake->open_count, 1);
    rx_buffer[0] = 'Q';
    rx_buffer[sizeof rx_buffer - 1] = 'x';
    port_interrupt_catch(true);
    plat_interrupt_raise();
    ASSERT_TRUE(port_interrupted());  // reported once

    plat_set_sleep_hook(counting_sleep);
    plat_set_clock_hook(stopped_clock);
    plat_set_fine_clock_hooks(stopped_clock, counting_sleep_until);
    plat_save_error_text(5, "a text of its own");

    connected = 1;
    last_baud = 4800;
    conf_image.host_baud = 4800;
    std::memcpy(conf_image.station_call, "AB1CD\0\0", 8);
    digipath_count = 3;
    conf_processed = 1;
    rule_table[0].kind = RULE_KIND_DESTIN;
    rule_table[RULE_MAX - 1].line = 7;
    rules_processed = true;
    std::snprintf(line_echo.data(), line_echo.size(), "host 4800");
    fw_start_time = 1234;
}

void clean(dirt& d) {
    if (d.in != nullptr) std::fclose(d.in);
    if (d.out != nullptr) std::fclose(d.out);
    std::free(d.out_data);
}

bool all_zero(const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

// Every module as the program starts it; sigint_before: the handler before
// the Ctrl-C catch.
void expect_at_start(const struct sigaction& sigint_before) {
    // Console: the process's own streams.
    EXPECT_EQ(con_output(), stdout);
    EXPECT_EQ(con_input(), stdin);

    // Serial port: none open, nothing of it kept; the system's backend.
    EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    EXPECT_TRUE(all_zero(port_name, sizeof port_name));
    EXPECT_TRUE(all_zero(rx_buffer, sizeof rx_buffer));
    const serial_settings& s = port_settings;
    EXPECT_EQ(s.baud, 0u);
    EXPECT_EQ(s.byte_size + s.parity + s.stop_bits + s.dtr_control + s.rts_control, 0);
    EXPECT_FALSE(s.parity_check || s.cts_flow || s.dsr_flow || s.xon_out || s.xon_in || s.strip_nul);
    const serial_timeouts& t = port_timeouts;
    EXPECT_EQ(t.read_interval + t.read_multiplier + t.read_constant + t.write_multiplier + t.write_constant, 0u);
    EXPECT_EQ(serial_backend_get(), serial_os_backend());

    // Ctrl-C: not caught (its handler as before), not raised.
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, sigint_before.sa_handler);
    EXPECT_FALSE(plat_interrupted());

    // The platform's own pause and clocks, no saved error.
    hook_calls = 0;
    plat_sleep_ms(0);
    plat_sleep_until_us(0);
    int64_t before_ms = plat_os_clock_ms();
    int64_t ms = plat_clock_ms();
    int64_t after_ms = plat_os_clock_ms();
    EXPECT_TRUE(ms >= before_ms && ms <= after_ms) << ms;
    int64_t before_us = plat_os_clock_us();
    int64_t us = plat_clock_us();
    int64_t after_us = plat_os_clock_us();
    EXPECT_TRUE(us >= before_us && us <= after_us) << us;
    EXPECT_EQ(hook_calls, 0);
    EXPECT_EQ(plat_last_error(), 0);
    EXPECT_STREQ(sys_error_text(), "");

    // Connection, configuration, rules, directive echo, firmware clock.
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(last_baud, 57600);
    EXPECT_EQ(std::memcmp(&conf_image, &conf_default, sizeof conf_image), 0);
    EXPECT_EQ(digipath_count, 0);
    EXPECT_EQ(conf_processed, 0);
    EXPECT_TRUE(all_zero(rule_table.data(), sizeof rule_table));
    EXPECT_FALSE(rules_processed);
    EXPECT_TRUE(all_zero(line_echo.data(), line_echo.size()));
    EXPECT_EQ(fw_start_time, 0);
}

}  // namespace

TEST(ModuleState, ResetPutsEveryModuleBackToItsStart) {
    dirt d;
    dirty_every_module(d);
    module_state_reset();
    expect_at_start(d.sigint_before);
    // The port was closed through the backend that opened it.
    EXPECT_EQ(d.fake->closes, 1);
    EXPECT_EQ(d.fake->open_count, 0);
    // The Ctrl-C notice was not yet shown for the next interruption.
    plat_interrupt_raise();
    {
        out_capture out;
        EXPECT_TRUE(port_interrupted());
        EXPECT_EQ(out.text(), "\n\a\aError: interrupted by Ctrl-C!\n");
    }
    module_state_reset();
    clean(d);
}

// A case that leaves every module dirty, and the case after it in the same
// fixture, which must find everything at its start (gtest runs a file's cases
// in order unless told to shuffle them).
namespace {
bool dirty_case_ran = false;
struct sigaction sigint_at_first {};

struct ModuleStateLeak : ::testing::Test {
    void SetUp() override { module_state_reset(); }
};
}  // namespace

TEST_F(ModuleStateLeak, ACaseLeavesEveryModuleDirty) {
    dirt d;
    dirty_every_module(d);
    sigint_at_first = d.sigint_before;
    dirty_case_ran = true;
    // The console keeps pointing at the two streams, closed now: the next
    // case must not find them.
    clean(d);
}

TEST_F(ModuleStateLeak, TheNextCaseStartsAtTheStart) {
    struct sigaction sigint_before = sigint_at_first;
    if (!dirty_case_ran) sigaction(SIGINT, nullptr, &sigint_before);
    expect_at_start(sigint_before);
}

// The POSIX backend's driver seam: a call set by one case is not the next
// one's.
namespace {
int driver_calls = 0;
int counting_driver(int, unsigned long, void*) {
    ++driver_calls;
    errno = ENOTTY;
    return -1;
}
struct ModuleStatePty : pty_port_test {
    ModuleStatePty() : pty_port_test(6) {}
};
}  // namespace

TEST_F(ModuleStatePty, TheDriverSeamGoesBackToTheSystem) {
    serial_posix_set_info_call(counting_driver);
    {
        out_capture out;
        ASSERT_EQ(open_port("COM6", 9600), SERIAL_OK) << out.text();
    }
    close_port();
    ASSERT_GT(driver_calls, 0);  // the open asks the driver through the seam
    module_state_reset();
    driver_calls = 0;
    {
        out_capture out;
        ASSERT_EQ(open_port("COM6", 9600), SERIAL_OK) << out.text();
    }
    EXPECT_EQ(driver_calls, 0);
}
