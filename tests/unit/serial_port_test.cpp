#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_serial.h"
#include "module_state.h"
#include "out_capture.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {
void no_sleep(uint32_t) {}

struct SerialPort : ::testing::Test {
    fake_serial* f = nullptr;
    void SetUp() override {
        module_state_reset();
        f = &fake_install();
    }
    void TearDown() override { module_state_reset(); }
};

const std::string EIO_TEXT = "Input/output error";
}  // namespace

TEST_F(SerialPort, TimeoutsInstalledPerSpeed) {
    struct row {
        uint32_t speed, read_mult, write_mult;
    };
    // One 10-bit character in whole ms, and twice that for writes.
    const row rows[] = {{4800, 2, 4}, {9600, 1, 2}, {14400, 0, 1}, {19200, 0, 1},
                        {38400, 0, 0}, {56000, 0, 0}, {57600, 0, 0}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.speed);
        f = &fake_install();
        out_capture out;
        ASSERT_EQ(open_port("COM3", r.speed), 0);
        EXPECT_EQ(out.text(), "");
        ASSERT_EQ(f->timeouts.size(), 1u);
        const serial_timeouts& t = f->timeouts[0];
        EXPECT_EQ(t.read_interval, 0u);
        EXPECT_EQ(t.read_multiplier, r.read_mult);
        EXPECT_EQ(t.read_constant, 1u);
        EXPECT_EQ(t.write_multiplier, r.write_mult);
        EXPECT_EQ(t.write_constant, 10u);
        EXPECT_EQ(f->opened, std::vector<std::string>{"COM3"});
        EXPECT_NE(port_handle, SERIAL_INVALID_HANDLE);
        close_port();
    }
}

TEST_F(SerialPort, OpenSetsEightNoneOneWithoutFlowControl) {
    f->first_packet_length = 200;
    ASSERT_EQ(open_port("COM3", 19200), 0);
    // Two property reports: 62 bytes first, then the size the driver asked for.
    EXPECT_EQ(f->property_blocks, (std::vector<uint32_t>{62, 200}));
    ASSERT_EQ(f->states_set.size(), 1u);
    const serial_settings& s = f->states_set[0];
    EXPECT_EQ(s.baud, 19200u);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.parity, SERIAL_NOPARITY);
    EXPECT_EQ(s.stop_bits, SERIAL_ONESTOPBIT);
    EXPECT_FALSE(s.parity_check);
    EXPECT_FALSE(s.cts_flow);
    EXPECT_FALSE(s.dsr_flow);
    EXPECT_EQ(s.dtr_control, SERIAL_DTR_DISABLE);
    EXPECT_EQ(s.rts_control, SERIAL_RTS_DISABLE);
    EXPECT_FALSE(s.xon_out);
    EXPECT_FALSE(s.xon_in);
    EXPECT_FALSE(s.strip_nul);
    // The queues are emptied last.
    EXPECT_EQ(f->log.back(), "purge");
    EXPECT_EQ(f->log[f->log.size() - 2], "timeouts 0 0 1 1 10");
}

TEST_F(SerialPort, ReadTimeoutsPerCall) {
    struct row {
        uint32_t speed;
        int size, timeout;
        uint32_t mult, constant, total;
    };
    const row rows[] = {
        {9600, 1, 5000, 1, 5010, 5011},  // gives up after 5011 ms
        {4800, 64, 10, 2, 20, 148},      // gives up after 148 ms
        {38400, 500, 100, 0, 110, 110},  // t + 10 whatever the size
        {57600, 1024, 2000, 0, 2010, 2010},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.speed);
        f = &fake_install();
        ASSERT_EQ(open_port("COM1", r.speed), 0);
        std::vector<uint8_t> buf(static_cast<size_t>(r.size));
        EXPECT_EQ(read_port("COM1", buf.data(), r.size, r.timeout), 0);  // nothing came
        ASSERT_EQ(f->timeouts.size(), 2u);
        const serial_timeouts& t = f->timeouts[1];
        EXPECT_EQ(t.read_interval, 0u);
        EXPECT_EQ(t.read_multiplier, r.mult);
        EXPECT_EQ(t.read_constant, r.constant);
        EXPECT_EQ(r.size * t.read_multiplier + t.read_constant, r.total);
        // The write values stay the port-wide ones, which are not changed.
        EXPECT_EQ(t.write_multiplier, f->timeouts[0].write_multiplier);
        EXPECT_EQ(t.write_constant, 10u);
        EXPECT_EQ(port_timeouts.read_constant, 1u);
        close_port();
    }
}

TEST_F(SerialPort, ReadReturnsTheBytesReceived) {
    ASSERT_EQ(open_port("COM1", 9600), 0);
    f->queue("abc");
    uint8_t buf[10] = {};
    EXPECT_EQ(read_port("COM1", buf, 10, 100), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
}

TEST_F(SerialPort, CapabilityFailuresCloseThePort) {
    struct row {
        serial_caps caps;
        const char* message;
    };
    const row rows[] = {
        {{64, 0x0007, 0x000f, 0x1f07, 0xff},
         "\a\aError: required comm properties for port COM2 not settable: Settable Params 0x00000007\n"},
        {{64, 0x007f, 0x0007, 0x1f07, 0xff},
         "\a\aError: 8 data bits comm properties for port COM2 not settable: Settable Data 0x0007\n"},
        {{64, 0x007f, 0x000f, 0x1e07, 0xff},
         "\a\aError: 1 stop bit, no parity comm properties for port COM2 not settable: Settable Stop & Parity "
         "0x1e07\n"},
        {{64, 0x007f, 0x000f, 0x0006, 0xff},
         "\a\aError: 1 stop bit, no parity comm properties for port COM2 not settable: Settable Stop & Parity "
         "0x0006\n"},
        {{64, 0x007f, 0x000f, 0x1f07, 0x7f},
         "\a\aError: timeouts comm properties for port COM2 not settable: Settable Prov Cap 0x0000007f\n"},
        {{64, 0x007f, 0x000f, 0x1f07, 0xbf},
         "\a\aError: timeouts comm properties for port COM2 not settable: Settable Prov Cap 0x000000bf\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.message);
        f = &fake_install();
        f->caps = r.caps;
        out_capture out;
        EXPECT_EQ(open_port("COM2", 9600), -3);
        EXPECT_EQ(out.text(), r.message);
        EXPECT_EQ(f->closes, 1);
        EXPECT_EQ(f->open_count, 0);
        EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
        EXPECT_TRUE(f->states_set.empty());
    }
}

TEST_F(SerialPort, SystemFailuresOfSetCommProp) {
    struct row {
        int properties_fail_at;
        bool get_state_fails, set_state_fails;
        int code;
        std::string message;
    };
    const row rows[] = {
        {1, false, false, -4, "\a\aError: could not get comm properties for port COM4: " + EIO_TEXT + "\n"},
        {2, false, false, -6, "\a\aError: could not get comm properties for port COM4: " + EIO_TEXT + "\n"},
        {0, true, false, -12, "\a\aError: could not get the comm state for port COM4: " + EIO_TEXT + "\n"},
        {0, false, true, -13, "\a\aError: could not set the comm state for port COM4: " + EIO_TEXT + "\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.code);
        f = &fake_install();
        f->properties_fail_at = r.properties_fail_at;
        f->get_state_fails = r.get_state_fails;
        f->set_state_fails = r.set_state_fails;
        port_handle = serial_backend_get()->open("COM4");
        ASSERT_EQ(f->open_count, 1);
        out_capture out;
        EXPECT_EQ(set_comm_prop("COM4", 9600), r.code);
        EXPECT_EQ(out.text(), r.message);
        EXPECT_EQ(f->open_count, 0);
        EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    }
}

TEST_F(SerialPort, OpenFailures) {
    {
        out_capture out;
        EXPECT_EQ(open_port(nullptr, 9600), -1);
        EXPECT_EQ(out.text(), "open_port: Error: port null argument\n");
        EXPECT_TRUE(f->opened.empty());
    }
    {
        f->open_fails = true;
        f->fail_errno = 16;  // EBUSY: another program holds the port
        out_capture out;
        EXPECT_EQ(open_port("COM3", 9600), -2);
        EXPECT_EQ(out.text(), "\a\aError: cannot open com port COM3: Device or resource busy\n");
        EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    }
    {
        f = &fake_install();
        f->timeouts_fail_at = 1;
        out_capture out;
        EXPECT_EQ(open_port("COM3", 9600), -14);
        EXPECT_EQ(out.text(), "\a\aError: could not set the comm timeouts for port COM3: " + EIO_TEXT + "\n");
        EXPECT_EQ(f->closes, 1);
        EXPECT_EQ(f->purges, 0);
        EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    }
}

TEST_F(SerialPort, SpeedsOutsideTheTable) {
    // The port was open when the speed was refused: it is closed again.
    {
        out_capture out;
        EXPECT_EQ(open_port("COM3", 12345), -3);
        EXPECT_EQ(out.text(), "\a\aError: Invalid baud rate 12345\n");
        EXPECT_TRUE(f->states_set.empty());
        EXPECT_EQ(f->closes, 1);
        EXPECT_EQ(f->open_count, 0);
        EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    }
    f = &fake_install();
    {
        out_capture out;
        EXPECT_EQ(open_port("COM3", 0), -3);
        EXPECT_EQ(out.text(), "get_baud: Error: invalid baud: 0\n\a\aError: Invalid baud rate 0\n");
        EXPECT_EQ(f->closes, 1);
        EXPECT_EQ(f->open_count, 0);
        EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    }
    out_capture out;
    EXPECT_EQ(set_comm_prop(nullptr, 9600), -1);
    EXPECT_EQ(out.text(), "set_comm_prop: Error: port null argument\n");
}

TEST_F(SerialPort, WritePort) {
    ASSERT_EQ(open_port("COM3", 9600), 0);
    const char bytes[] = "abc";
    struct row {
        const char* name;
        const void* bytes;
        int length, result;
        const char* message;
    };
    const row rows[] = {
        {nullptr, bytes, 3, -1, "write_port: Error: invalid param file port\n"},
        {"COM3", nullptr, 3, -2, "write_port: Error: invalid param buf ptr\n"},
        {"COM3", bytes, 0, -1, "write_port: Error: invalid param len: 0\n"},
    };
    for (const row& r : rows) {
        out_capture out;
        EXPECT_EQ(write_port(r.name, r.bytes, r.length), r.result);
        EXPECT_EQ(out.text(), r.message);
    }
    EXPECT_TRUE(f->writes.empty());
    {
        out_capture out;
        EXPECT_EQ(write_port("COM3", bytes, 3), 3);
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(f->written_text(), "abc");
    }
    {
        f->write_fails = true;
        out_capture out;
        EXPECT_EQ(write_port("COM3", bytes, 3), -3);
        EXPECT_EQ(out.text(), "\a\aError: wrote 0 of 3, got error on port COM3: " + EIO_TEXT + "\n");
    }
    {
        // Cut short by the write time-out: bytes were lost, so it failed.
        f->write_fails = false;
        f->write_short = 1;
        out_capture out;
        EXPECT_EQ(write_port("COM3", bytes, 3), -3);
        EXPECT_EQ(out.text(), "\a\aError: wrote 1 of 3, got error on port COM3: Connection timed out\n");
    }
}

int64_t ticking_ms = 0;
int64_t ticking_clock() { return ticking_ms += 100; }  // every look: 100 ms later

TEST_F(SerialPort, DrainEndsAfterFiveSecondsOfTrickle) {
    // A device that never leaves the line quiet for 100 ms but sends far less
    // than the byte budget: the five seconds on the platform clock end the
    // drain (50 reads of 100 ms), and both queues are emptied after it.
    ASSERT_EQ(open_port("COM3", 9600), 0);
    for (int i = 0; i < 200; ++i) f->queue("x");
    uint8_t buf[40];
    plat_set_clock_hook(ticking_clock);
    drain_port("COM3", buf, static_cast<int>(sizeof buf));
    plat_set_clock_hook(nullptr);
    EXPECT_EQ(f->reads.size(), 50u);
    EXPECT_EQ(f->log.back(), "purge");
}

TEST_F(SerialPort, PurgeEmptiesBothQueues) {
    ASSERT_EQ(open_port("COM3", 9600), 0);
    int before = f->purges;
    purge_port();
    EXPECT_EQ(f->purges, before + 1);
}

using SerialPortDeathTest = SerialPort;

TEST_F(SerialPortDeathTest, ReadArgumentErrorsEndTheProgram) {
    ASSERT_EQ(open_port("COM3", 9600), 0);
    uint8_t buf[4];
    EXPECT_EXIT(
        {
            plat_set_sleep_hook(no_sleep);
            read_port(nullptr, buf, 4, 100);
        },
        ::testing::ExitedWithCode(3), "read_port: Error: invalid param port\nReturn code 25");
    EXPECT_EXIT(
        {
            plat_set_sleep_hook(no_sleep);
            read_port("COM3", nullptr, 4, 100);
        },
        ::testing::ExitedWithCode(3), "read_port: Error: invalid param buf ptr\nReturn code 25");
    EXPECT_EXIT(
        {
            plat_set_sleep_hook(no_sleep);
            read_port("COM3", buf, 0, 100);
        },
        ::testing::ExitedWithCode(3), "read_port: Error: invalid param size: 0\nReturn code 25");
}

TEST_F(SerialPortDeathTest, ReadSystemFailuresEndTheProgram) {
    ASSERT_EQ(open_port("COM3", 9600), 0);
    uint8_t buf[4];
    f->timeouts_fail_at = 2;
    EXPECT_EXIT(
        {
            plat_set_sleep_hook(no_sleep);
            read_port("COM3", buf, 4, 100);
        },
        ::testing::ExitedWithCode(3),
        "\a\aError: could not set the comm timeouts for port COM3: Input/output error\nReturn code 25");
    f->timeouts_fail_at = 0;
    f->read_fails_at = 1;
    EXPECT_EXIT(
        {
            plat_set_sleep_hook(no_sleep);
            read_port("COM3", buf, 4, 100);
        },
        ::testing::ExitedWithCode(3),
        "\a\aError: could not read on COM port COM3: Input/output error\nReturn code 26");
}
