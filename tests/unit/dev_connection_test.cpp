#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/conf_image.h"
#include "fake_serial.h"
#include "module_state.h"
#include "out_capture.h"
#include "serial/dev_connection.h"
#include "serial/serial_port.h"
#include "shell/command_args.h"
#include "shell/device_commands.h"

namespace {
const std::string VERSION = "Version " QV_VERSION;
// Another release's version text: the same with its last digit changed.
std::string other_version() {
    std::string other = VERSION;
    other.back() = other.back() == '9' ? '0' : static_cast<char>(other.back() + 1);
    return other;
}
const std::string STARTUP = "\r\nQuorvantis digipeater\r\n" + VERSION + "\r\n";
const std::string TURN_ON =
    "\a\aTURN ON the Quorvantis or CYCLE THE POWER if it is already on.\nYou have 20 seconds to do this...";
const std::string HEADER = "Dec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n";

struct DevConnection : ::testing::Test {
    fake_serial* f = nullptr;
    // Table rows run SetUp and TearDown once a row.
    void SetUp() override {
        module_state_reset();
        f = &fake_install();
    }
    void TearDown() override { module_state_reset(); }
    // A device that is quiet during the drain, then prints its start-up text
    // and answers Ctrl-C with reply.
    void device(const std::string& startup, const std::string& reply) {
        f->quiet();
        f->queue(startup);
        f->on_write("\x03", {reply});
    }
    std::string command(void (*cmd)(word_cursor&), const char* args) {
        char line[128];
        std::snprintf(line, sizeof line, "%s", args);
        word_cursor words = word_start(line);
        out_capture out;
        cmd(words);
        return out.text();
    }
    std::string disconnect() {
        out_capture out;
        cmd_disconnect();
        return out.text();
    }
    std::string connect_ok(const char* args, int speed) {
        device(STARTUP, "\r\nConnected " + std::to_string(speed) + "\r\n");
        return command(cmd_connect, args);
    }
};

std::string success_text(int speed) {
    std::string s = std::to_string(speed);
    return "Connecting at " + s + "...\n" + TURN_ON + "\nConnected at " + s + "\n";
}
}  // namespace

TEST_F(DevConnection, ConnectWordsChooseThePort) {
    for (const char* args : {"3", "com3", "COM3", "com3,9600", "3 9600", "Com3\t9600", "+3"}) {
        SCOPED_TRACE(args);
        SetUp();
        EXPECT_EQ(connect_ok(args, 9600), success_text(9600));
        EXPECT_STREQ(port_name, "COM3");
        EXPECT_EQ(f->opened, std::vector<std::string>{"COM3"});
        EXPECT_EQ(connected, 1);
        EXPECT_EQ(f->written_text(), "\x03");
        TearDown();
    }
    SetUp();
    EXPECT_EQ(connect_ok("10", 9600), success_text(9600));
    EXPECT_STREQ(port_name, "COM10");
}

// On Linux a port may be the device's own path: opened by that name, and the
// port named by it.
TEST_F(DevConnection, ConnectTakesADevicePath) {
    const struct {
        const char* args;
        int speed;
        const char* path;
    } rows[] = {
        {"/dev/ttyUSB0", 9600, "/dev/ttyUSB0"},
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0 57600", 57600,
         "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0"},
        {"/dev/ttyS1,19200", 19200, "/dev/ttyS1"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.args);
        SetUp();
        EXPECT_EQ(connect_ok(r.args, r.speed), success_text(r.speed));
        EXPECT_STREQ(port_name, r.path);
        EXPECT_EQ(f->opened, std::vector<std::string>{r.path});
        TearDown();
    }
}

// A path longer than port_name holds is refused as an argument, before
// anything is touched; the speed is checked before the port is named.
TEST_F(DevConnection, DevicePathArgumentErrors) {
    const std::string long_path = "/dev/" + std::string(251, 'x');  // 256 characters
    const std::string fits = "/dev/" + std::string(250, 'x');       // 255
    int number = 0;
    EXPECT_EQ(capture_output([&] { number = port_number_arg(long_path.c_str()); }),
              "\a\aError: device path too long (at most 255 characters): " + long_path + "\n");
    EXPECT_EQ(number, PORT_NUMBER_NONE);
    std::snprintf(port_name, sizeof port_name, "COM7");
    EXPECT_EQ(command(cmd_connect, "/dev/ttyUSB0 1200"), "\a\aError: invalid baud rate: 1200\n");
    EXPECT_STREQ(port_name, "COM7");
    EXPECT_TRUE(f->opened.empty());
    EXPECT_EQ(port_number_arg(fits.c_str()), PORT_NUMBER_PATH);
    port_arg_name(fits.c_str(), PORT_NUMBER_PATH, port_name, sizeof port_name);
    EXPECT_EQ(std::string(port_name), fits);
}

TEST_F(DevConnection, ConnectArgumentErrors) {
    struct row {
        const char* args;
        std::string message;
    };
    const row rows[] = {
        {"", "\a\aError: missing argument: com_port\n"},
        {"com0", "\a\aError: invalid COM port number (1..10): com0\n"},
        {"11", "\a\aError: invalid COM port number (1..10): 11\n"},
        {"abc", "\a\aError: invalid COM port number (1..10): abc\n"},
        {"com", "\a\aError: invalid COM port number (1..10): com\n"},
        {"-3", "\a\aError: invalid COM port number (1..10): -3\n"},
        {"3 1200", "\a\aError: invalid baud rate: 1200\n"},
        {"3 fast", "\a\aError: invalid baud rate: 0\n"},
        {"3 115200", "\a\aError: invalid baud rate: 115200\n"},
    };
    std::snprintf(port_name, sizeof port_name, "COM7");
    for (const row& r : rows) {
        SCOPED_TRACE(r.args);
        EXPECT_EQ(command(cmd_connect, r.args), r.message);
        EXPECT_TRUE(f->opened.empty());
        EXPECT_STREQ(port_name, "COM7");
        EXPECT_EQ(connected, 0);
    }
    EXPECT_EQ(last_baud, 115200);  // the speed is stored before it is checked
}

TEST_F(DevConnection, ConnectSpeeds) {
    EXPECT_EQ(connect_ok("3 9600x", 9600), success_text(9600));
    TearDown();
    SetUp();
    // No speed: the configured DSTAR baud, 9600 by default.
    EXPECT_EQ(connect_ok("3", 9600), success_text(9600));
    EXPECT_EQ(last_baud, 9600);
    TearDown();
    SetUp();
    conf_image.dstar_baud = 1200;
    EXPECT_EQ(command(cmd_connect, "3"), "\a\aError: invalid baud rate: 1200\n");
    EXPECT_TRUE(f->opened.empty());
    TearDown();
    SetUp();
    EXPECT_EQ(connect_ok("com1 57600", 57600), success_text(57600));
    EXPECT_EQ(f->states_set.at(0).baud, 57600u);
}

TEST_F(DevConnection, HandshakeReadsAndOrder) {
    EXPECT_EQ(connect_ok("3 9600", 9600), success_text(9600));
    // Open at the speed, drain (40 bytes until quiet), purge, the 100-byte
    // power-on read, Ctrl-C, the 1024-byte confirmation read.
    EXPECT_EQ(f->log, (std::vector<std::string>{"open COM3", "properties 62", "properties 64", "get_state",
                                                "set_state 9600", "timeouts 0 1 1 2 10", "purge",
                                                "timeouts 0 1 110 2 10", "read 40", "purge",
                                                "timeouts 0 1 20010 2 10", "read 100", "write",
                                                "timeouts 0 1 2010 2 10", "read 1024"}));
    EXPECT_EQ(f->timeouts.at(1).read_constant, 110u);
    EXPECT_EQ(f->timeouts.at(2).read_constant, 20010u);
    EXPECT_EQ(f->timeouts.at(3).read_constant, 2010u);
}

TEST_F(DevConnection, AlreadyConnected) {
    ASSERT_EQ(connect_ok("3", 9600), success_text(9600));
    EXPECT_EQ(command(cmd_connect, "4"), "\a\aError: already Connected!\n");
    out_capture out;
    EXPECT_EQ(dev_connect(9600), 1);
    EXPECT_EQ(out.text(), "Connecting at 9600...\n\a\aError: already Connected!\n");
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(f->open_count, 1);
}

TEST_F(DevConnection, PortCannotBeOpened) {
    f->open_fails = true;
    f->fail_errno = 2;  // ENOENT
    EXPECT_EQ(command(cmd_connect, "5 19200"),
              "Connecting at 19200...\n\a\aError: cannot open com port COM5: No such file or directory\n"
              "\a\aError: could not open COM port COM5\n");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
}

TEST_F(DevConnection, SpeedTheLineCannotTake) {
    // The connect commands offer only speeds of the line's table; one from
    // elsewhere is refused by the port after it was opened, and the port is
    // closed again before the connect gives up.
    std::snprintf(port_name, sizeof port_name, "COM3");
    out_capture out;
    EXPECT_EQ(dev_connect(12345), DEV_ERR_OPEN);
    EXPECT_EQ(out.text(),
              "Connecting at 12345...\n\a\aError: Invalid baud rate 12345\n\a\aError: could not open COM port COM3\n");
    EXPECT_EQ(f->opened.size(), 1u);
    EXPECT_EQ(f->closes, 1);
    EXPECT_EQ(f->open_count, 0);
    EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    EXPECT_EQ(connected, 0);
}

TEST_F(DevConnection, NoProductWord) {
    device(std::string("Hello\0", 6), "");
    std::string expected = "Connecting at 9600...\n" + TURN_ON +
                           "\n\a\aError: did not receive the Quorvantis prompt!\nExpected: Quorvantis\n"
                           "Got: length 6 (0x6):\n" +
                           HEADER +
                           "   0 0000| 48 65 6c 6c 6f 23                                 | Hello#\n";
    EXPECT_EQ(command(cmd_connect, "3"), expected);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
    EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    EXPECT_TRUE(f->writes.empty());
}

TEST_F(DevConnection, NothingAtPowerOn) {
    f->quiet();
    std::string expected = "Connecting at 9600...\n" + TURN_ON +
                           "\n\a\aError: did not receive the Quorvantis prompt!\nExpected: Quorvantis\n"
                           "Got: length 0 (0x0):\n";
    EXPECT_EQ(command(cmd_connect, "3"), expected);
    EXPECT_EQ(f->closes, 1);
}

TEST_F(DevConnection, VersionChecks) {
    const std::string wrong = "Connecting at 9600...\n" + TURN_ON +
                              "\n\a\aError: did not receive the correct Quorvantis version (" + VERSION + ")!\n";
    struct row {
        std::string startup;
        bool accepted;
    };
    const row rows[] = {
        {"Quorvantis " + other_version() + "\r\n", false},
        {VERSION + "\r\nQuorvantis\r\n", false},  // only before the product word
        {"Quorvantis", false},
        // NUL and high bytes become '#'.
        {std::string("Quorvantis \0\x80\xff ", 15) + VERSION + std::string("\r\n\0", 3), true},
        {VERSION + " Quorvantis " + VERSION, true},
        {std::string("\xffQuorvantis", 11) + VERSION, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.startup);
        SetUp();
        device(r.startup, "Connected 9600");
        std::string out = command(cmd_connect, "3");
        EXPECT_EQ(out, r.accepted ? success_text(9600) : wrong);
        EXPECT_EQ(connected, r.accepted ? 1 : 0);
        EXPECT_EQ(f->open_count, r.accepted ? 1 : 0);
        TearDown();
    }
}

TEST_F(DevConnection, AttentionWriteFails) {
    device(STARTUP, "");
    f->write_fails = true;
    EXPECT_EQ(command(cmd_connect, "3"),
              "Connecting at 9600...\n" + TURN_ON +
                  "\a\aError: wrote 0 of 1, got error on port COM3: Input/output error\n"
                  "\n\a\aError: wrote <ctrl>-c attention character, got error on port COM3\n");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
}

TEST_F(DevConnection, ConfirmationChecks) {
    // Connected 57600 in reply to a connect at 9600.
    device(STARTUP, "Connected 57600");
    std::string expected = "Connecting at 9600...\n" + TURN_ON +
                           "\n\a\aError: did not receive the Quorvantis Connected string!\nExpected Connected 9600\n"
                           "Got: length 15 (0xf):\n" +
                           HEADER +
                           "   0 0000| 43 6f 6e 6e 65 63 74 65   64 20 35 37 36 30 30    | Connected 57600\n";
    EXPECT_EQ(command(cmd_connect, "3 9600"), expected);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
    TearDown();

    // The reply text ends at its first NUL.
    SetUp();
    device(STARTUP, std::string("xx\0Connected 9600", 17));
    EXPECT_NE(command(cmd_connect, "3 9600").find("Expected Connected 9600\nGot: length 17 (0x11):\n"),
              std::string::npos);
    EXPECT_EQ(connected, 0);
    TearDown();

    // No reply at all.
    SetUp();
    f->quiet();
    f->queue(STARTUP);
    EXPECT_EQ(command(cmd_connect, "3"), "Connecting at 9600...\n" + TURN_ON +
                                             "\n\a\aError: did not receive the Quorvantis Connected string!\n"
                                             "Expected Connected 9600\nGot: length 0 (0x0):\n");
}

TEST_F(DevConnection, FullReplyWithoutNul) {
    // 1024 bytes without a NUL: searched whole, never beyond.
    std::string tail = "Connected 9600";
    device(STARTUP, std::string(1024 - tail.size(), 'x') + tail);
    EXPECT_EQ(command(cmd_connect, "3"), success_text(9600));
    TearDown();

    SetUp();
    device(STARTUP, std::string(1024 - 13, 'x') + "Connected 960");
    rx_buffer[1023] = 'x';
    std::string out = command(cmd_connect, "3");
    EXPECT_NE(out.find("Expected Connected 9600\nGot: length 1024 (0x400):\n"), std::string::npos);
    // 64 lines with the header before lines 1, 11, ..., 61.
    size_t headers = 0;
    for (size_t at = out.find(HEADER); at != std::string::npos; at = out.find(HEADER, at + 1)) ++headers;
    EXPECT_EQ(headers, 7u);
    EXPECT_EQ(connected, 0);
}

TEST_F(DevConnection, DeviceThatNeverFallsQuiet) {
    f->endless = true;
    std::string out = command(cmd_connect, "3 9600");
    // The drain gives up (5 seconds' worth of bytes at the speed), purges,
    // and the power-on read sees no product word.
    EXPECT_NE(out.find("Expected: Quorvantis\n"), std::string::npos);
    EXPECT_LE(f->reads.size(), 9600u / 2 / 40 + 2);
    EXPECT_GE(f->purges, 2);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
}

TEST_F(DevConnection, BaudResynchronises) {
    ASSERT_EQ(connect_ok("3 9600", 9600), success_text(9600));
    f->writes.clear();
    f->on_write("\r", {"\r\nQuorva> "});
    EXPECT_EQ(command(cmd_baud, "57600"), "Connecting at 57600...\nConnected at 57600\n");
    EXPECT_EQ(f->written_text(), "host 57600\r\r");
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(last_baud, 57600);
    // The line stays at the connect speed.
    EXPECT_EQ(f->states_set.size(), 1u);
    EXPECT_EQ(f->timeouts.back().read_constant, 20010u);
    EXPECT_EQ(f->reads.back(), 1024u);
}

TEST_F(DevConnection, BaudFailures) {
    EXPECT_EQ(command(cmd_baud, "57600"), "\a\aError: must be Connected before changing the Baud!\n");
    EXPECT_EQ(command(cmd_baud, ""), "\a\aError: must be Connected before changing the Baud!\n");
    ASSERT_EQ(connect_ok("3 9600", 9600), success_text(9600));
    EXPECT_EQ(command(cmd_baud, ""), "\a\aError: missing argument: baud\n");
    EXPECT_EQ(command(cmd_baud, "1200"), "\a\aError: invalid baud rate: 1200\n");
    EXPECT_EQ(command(cmd_baud, "x"), "\a\aError: invalid baud rate: 0\n");
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(f->writes.size(), 1u);

    // No prompt after the carriage return.
    EXPECT_EQ(command(cmd_baud, "19200"),
              "Connecting at 19200...\n\a\aError: did not receive the Quorvantis prompt!\n");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
    EXPECT_EQ(disconnect(), "\a\aError: not Connected!\n");
    // After a failed baud, connect works at once.
    EXPECT_EQ(connect_ok("3 9600", 9600), success_text(9600));
    EXPECT_EQ(connected, 1);
    TearDown();

    SetUp();
    ASSERT_EQ(connect_ok("3 9600", 9600), success_text(9600));
    f->write_fails = true;
    EXPECT_EQ(command(cmd_baud, "4800"),
              "\a\aError: wrote 0 of 10, got error on port COM3: Input/output error\n"
              "\a\aError: wrote Host Baud command, got error on port COM3\n");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
}

TEST_F(DevConnection, ResyncCarriageReturnFails) {
    ASSERT_EQ(connect_ok("3 9600", 9600), success_text(9600));
    connected = 1;
    f->write_fails = true;
    out_capture out;
    EXPECT_EQ(dev_resync(9600), 7);
    EXPECT_EQ(out.text(), "Connecting at 9600...\n\a\aError: wrote 0 of 1, got error on port COM3: Input/output error\n"
                          "\a\aError: wrote CR character, got error on port COM3\n");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
}

// The baud command's operation gives the re-synchronisation's result, or its
// own when the host speed command cannot be written; every failure ends the
// connection.
TEST_F(DevConnection, BaudResults) {
    struct row {
        const char* name;
        bool write_fails;
        const char* reply;
        int result;
    };
    const row rows[] = {
        {"the prompt answers", false, "\r\nQuorva> ", 0},
        {"no prompt", false, "", 8},
        {"the host speed command cannot be written", true, "", 10},
    };
    for (const row& r : rows) {
        SetUp();
        ASSERT_EQ(connect_ok("3 9600", 9600), success_text(9600)) << r.name;
        f->on_write("\r", {r.reply});
        f->write_fails = r.write_fails;
        int result = -1;
        capture_output([&] { result = dev_baud(57600); });
        EXPECT_EQ(result, r.result) << r.name;
        EXPECT_EQ(connected, r.result == 0 ? 1 : 0) << r.name;
        TearDown();
    }
}

TEST_F(DevConnection, Disconnect) {
    ASSERT_EQ(connect_ok("3", 9600), success_text(9600));
    EXPECT_EQ(disconnect(), "Disconnected\n");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
    EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    EXPECT_EQ(disconnect(), "\a\aError: not Connected!\n");
}

TEST_F(DevConnection, CtrlCStopsTheHandshake) {
    // Ctrl-C while a read of the handshake waits (the fake's n-th read): the
    // connect stops at once with the interrupt line, closes the port and
    // leaves no connection; nothing is written after it.
    const std::string INTERRUPTED = "\n\a\aError: interrupted by Ctrl-C!\n";
    struct row {
        const char* name;
        int read;  // 1 the drain, 2 the power-on wait, 3 the confirmation
        std::string out;
        std::string written;
    };
    const row rows[] = {
        {"during the drain", 1, "Connecting at 9600...\n" + INTERRUPTED, ""},
        {"during the power-on wait", 2, "Connecting at 9600...\n" + TURN_ON + INTERRUPTED, ""},
        {"waiting for the confirmation", 3, "Connecting at 9600...\n" + TURN_ON + INTERRUPTED, "\x03"},
    };
    for (const row& r : rows) {
        SetUp();
        device(STARTUP, "\r\nConnected 9600\r\n");
        f->interrupt_at_read = r.read;
        EXPECT_EQ(command(cmd_connect, "3"), r.out) << r.name;
        EXPECT_EQ(f->written_text(), r.written) << r.name;
        EXPECT_EQ(connected, 0) << r.name;
        EXPECT_EQ(f->open_count, 0) << r.name;
        EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE) << r.name;
        TearDown();
    }
    // The next connect is not touched by it.
    SetUp();
    EXPECT_EQ(connect_ok("3", 9600), success_text(9600));

    // baud: Ctrl-C while the prompt is awaited ends the connection.
    f->interrupt_at_read = static_cast<int>(f->reads.size()) + 1;
    EXPECT_EQ(command(cmd_baud, "57600"), "Connecting at 57600...\n" + INTERRUPTED);
    EXPECT_EQ(f->written_text(), "\x03host 57600\r\r");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(f->open_count, 0);
    EXPECT_EQ(disconnect(), "\a\aError: not Connected!\n");
}
