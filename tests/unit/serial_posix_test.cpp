// The POSIX backend on a real pseudo-terminal: name resolution through the
// configuration directory, exact speeds, the millisecond read deadline, and a
// device that goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_serial.h"
#include "pty_port.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {
struct PosixSerial : pty_port_test {
    PosixSerial() : pty_port_test(4) {}
};
}  // namespace

TEST_F(PosixSerial, EverySpeedOfTheTableIsSetExactly) {
    for (uint32_t speed : {110u, 300u, 1200u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u, 115200u}) {
        SCOPED_TRACE(speed);
        console_capture out;
        ASSERT_EQ(open_port("COM4", speed), 0) << out.text();
        serial_settings back{};
        ASSERT_TRUE(serial_backend_get()->get_state(port_handle, &back));
        EXPECT_EQ(back.baud, speed);
        EXPECT_EQ(back.byte_size, 8);
        EXPECT_EQ(back.parity, SERIAL_NOPARITY);
        EXPECT_EQ(back.stop_bits, SERIAL_ONESTOPBIT);
        EXPECT_FALSE(back.cts_flow || back.xon_in || back.xon_out || back.parity_check);
        close_port();
    }
}

TEST_F(PosixSerial, BytesPassUnchanged) {
    ASSERT_EQ(open_port("COM4", 9600), 0);
    const char from_device[] = "a\r\n\x03\x11\x13\x00\xff";
    ASSERT_EQ(write(master, from_device, 8), 8);
    uint8_t buf[8] = {};
    EXPECT_EQ(read_port("COM4", buf, 8, 500), 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 8), std::string(from_device, 8));
    EXPECT_EQ(write_port("COM4", "\r\n\x03", 3), 3);
    char got[3] = {};
    usleep(20000);
    EXPECT_EQ(read(master, got, 3), 3);
    EXPECT_EQ(std::string(got, 3), "\r\n\x03");
}

TEST_F(PosixSerial, ReadDeadlineToTheMillisecond) {
    // 1 byte, 100 ms at 38400: the deadline is 0 x 1 + 100 + 10 = 110 ms, not
    // a 100 ms step of the terminal's own timer. Generous bounds; the figure
    // is printed for the record.
    ASSERT_EQ(open_port("COM4", 38400), 0);
    uint8_t byte = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_port("COM4", &byte, 1, 100), 0);
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("1-byte read, 100 ms time-out at 38400: returned after %.1f ms\n", ms);
    EXPECT_GE(ms, 109.0);
    EXPECT_LT(ms, 400.0);
}

TEST_F(PosixSerial, SecondOpenOfTheSamePortIsRefused) {
    ASSERT_EQ(open_port("COM4", 9600), 0);
    serial_handle again = serial_backend_get()->open("COM4");
    EXPECT_EQ(again, SERIAL_INVALID_HANDLE);
    EXPECT_EQ(plat_last_error(), EBUSY);
}

TEST_F(PosixSerial, WithoutXdgTheHomeConfigurationIsUsed) {
    std::string home = dir + "/home";
    mkdir(home.c_str(), 0700);
    mkdir((home + "/.config").c_str(), 0700);
    mkdir((home + "/.config/quorvantis").c_str(), 0700);
    ASSERT_EQ(symlink(ptsname(master), (home + "/.config/quorvantis/com2").c_str()), 0);
    const char* old_home = std::getenv("HOME");
    std::string saved_home = old_home != nullptr ? old_home : "";
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", home.c_str(), 1);
    console_capture out;
    EXPECT_EQ(open_port("COM2", 19200), 0) << out.text();
    close_port();
    setenv("HOME", saved_home.c_str(), 1);
    unlink((home + "/.config/quorvantis/com2").c_str());
    rmdir((home + "/.config/quorvantis").c_str());
    rmdir((home + "/.config").c_str());
    rmdir(home.c_str());
}

TEST_F(PosixSerial, NotATerminalIsRefusedByTheCapabilityCheck) {
    std::string file = dir + "/quorvantis/com5";
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    console_capture out;
    EXPECT_EQ(open_port("COM5", 9600), -3);
    EXPECT_EQ(out.text(),
              "\a\aError: required comm properties for port COM5 not settable: Settable Params 0x00000000\n");
    EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    unlink(file.c_str());
}

TEST_F(PosixSerial, DeviceGoneIsAFailedReadNotABusyWait) {
    ASSERT_EQ(open_port("COM4", 9600), 0);
    close(master);
    master = -1;
    uint8_t buf[16];
    uint32_t got = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(serial_backend_get()->read(port_handle, buf, sizeof buf, &got));
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 50.0);  // well before the 16 x 1 + 1 ms deadline would matter at this scale
    EXPECT_EQ(got, 0u);
}
