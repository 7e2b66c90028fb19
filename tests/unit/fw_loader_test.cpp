#include "firmware/fw_loader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "common/word_scan.h"
#include "console/console.h"
#include "fake_serial.h"
#include "out_capture.h"
#include "platform/platform.h"
#include "serial/dev_connection.h"
#include "serial/serial_port.h"
#include "shell/device_commands.h"

namespace {

int64_t test_now = 0;
int64_t test_clock() { return test_now * 1000; }  // the platform clock counts milliseconds

std::string progress(int64_t start, int64_t now, uint32_t done, uint32_t total) {
    fw_start_time = start;
    test_now = now;
    plat_set_clock_hook(test_clock);
    std::string text = capture_output("", [&] { fw_progress(done, total); });
    plat_set_clock_hook(nullptr);
    return text;
}

TEST(FwProgress, Lines) {
    struct row {
        int64_t start, now;
        uint32_t done, total;
        std::string line;
    };
    const row rows[] = {
        {100, 110, 1, 2, "\r 10s TTC  10s 50.0% " + std::string(29, '=')},
        {100, 105, 0, 0, "\r  5s TTC   0s  0.0% "},
        {7, 7, 257, 257, "\r  0s TTC   0s 100.0%" + std::string(59, '=')},
        {0, 1234, 1, 4, "\r1234s TTC 3702s 25.0" + std::string(14, '=')},
        {50, 53, 3, 257, "\r  3s TTC 254s  1.2% " + std::string(0, '=')},
        {0, 60, 128, 256, "\r 60s TTC  60s 50.0% " + std::string(29, '=')},
    };
    for (const row& r : rows) {
        EXPECT_EQ(progress(r.start, r.now, r.done, r.total), r.line) << r.now << " " << r.done << "/" << r.total;
    }
}

TEST(FwProgress, StaysWithinTheLine) {
    // More acknowledged than counted (the file changed under the loader): the
    // bar stops at 59 and the line at 80 characters.
    std::string line = progress(0, 2, 300, 257);
    EXPECT_EQ(line.size(), 80u);
    // A clock that stepped back gives no wrapped-around time left.
    line = progress(100, 90, 1, 2);
    EXPECT_EQ(line.substr(0, 21), "\r-10s TTC   0s 50.0% ");
}

std::string command(const char* args, const std::string& input) {
    std::string line = args;
    return capture_output(input, [&] {
        std::string copy = line;
        word_cursor words = word_start(copy.data());
        cmd_firmware(words);
    });
}

const std::string CONFIRM = "\a\aWARNING! This will alter the Quorvantis firmware!\nDo you want to continue (n or y)? [n]: ";
const std::string NOT_UPDATED = "Quorvantis Firmware will NOT be updated!\n";
const std::string FAILED = "Error: Firmware update failed!\n\tPower cycle Quorvantis and try again!\n";

TEST(FwCommand, Arguments) {
    struct row {
        const char* args;
        std::string input;
        std::string out;
    };
    const row rows[] = {
        {"", "", "\a\aError: missing arguments: com_port file_name\n"},
        {"11 fw.hex", "", "\a\aError: invalid COM port number (1..10): 11\n"},
        {"0 fw.hex", "", "\a\aError: invalid COM port number (1..10): 0\n"},
        {"abc fw.hex", "", "\a\aError: invalid COM port number (1..10): abc\n"},
        {"com0 fw.hex", "", "\a\aError: invalid COM port number (1..10): com0\n"},
        {"com11,fw.hex", "", "\a\aError: invalid COM port number (1..10): com11\n"},
        {"3", "", "\a\aError: missing argument: file_name\n"},
        {"com3", "", "\a\aError: missing argument: file_name\n"},
        {"3 fw.hex", "n\n", CONFIRM + NOT_UPDATED},
        {"com3 fw.hex", "n\n", CONFIRM + NOT_UPDATED},
        {"COM3\tfw.hex", "no thanks\n", CONFIRM + NOT_UPDATED},
        {"10 fw.hex", "\n", CONFIRM + NOT_UPDATED},
        {"3 fw.hex", "", CONFIRM + "\n" + NOT_UPDATED},
        {"3 fw.hex", std::string(100, 'n') + "\n", CONFIRM + NOT_UPDATED},
    };
    for (const row& r : rows) {
        EXPECT_EQ(command(r.args, r.input), r.out) << "'" << r.args << "'";
    }
}

TEST(FwCommand, RefusedWhileConnected) {
    connected = 1;
    std::string out = command("3 fw.hex", "y\n");
    connected = 0;
    EXPECT_EQ(out, "\a\aError: already Connected, Disconnect first!\n");
}

TEST(FwCommand, FileNames) {
    // A yes runs the update, which stops at the file: the name shows how it was taken.
    struct row {
        const char* args;
        const char* input;
        const char* name;
    };
    const row rows[] = {
        {"3 no such firmware.hex", "y\n", "no such firmware.hex"},
        {"com3 no such.hex,more", "Y\n", "no such.hex"},
        {"3,no such.hex\tmore", "yes please\n", "no such.hex"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(command(r.args, r.input),
                  CONFIRM + "\a\aError: cannot open " + r.name + "\n" + FAILED)
            << r.args;
    }
}

TEST(FwCommand, LongAnswerIsReadToItsEnd) {
    // The rest of an over-long answer is discarded, never left for the next prompt.
    out_capture out("n" + std::string(200, 'x') + "\nhelp\n");
    std::string line = "3 fw.hex";
    word_cursor words = word_start(line.data());
    cmd_firmware(words);
    char next[16] = {};
    EXPECT_EQ(con_read_line(next, sizeof next), 5);
    EXPECT_STREQ(next, "help\n");
}

TEST(Firmware, FileChecks) {
    EXPECT_EQ(capture_output("", [] { EXPECT_EQ(firmware("COM3", nullptr), -1); }),
              "firmware: Error: param filename is invalid\n");
    char name[] = "/tmp/qv_fw_test_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    FILE* file = fdopen(fd, "w");
    std::fputs("# only a comment\n", file);
    std::fclose(file);
    EXPECT_EQ(capture_output("", [&] { EXPECT_EQ(firmware("COM3", name), -4); }),
              "\a\aError: Firmware file is empty!\n\a\aError: Firmware file has some kind of error!\n");
    std::remove(name);
}

// The port is a name that port_name must hold whole: a shorter copy would
// name another device. Neither is opened.
TEST(Firmware, PortNameChecks) {
    fake_serial& fake = fake_install();
    const std::string too_long = "/dev/" + std::string(PORT_NAME_SIZE, 'x');
    for (const char* port : {static_cast<const char*>(nullptr), too_long.c_str()}) {
        int result = 0;
        EXPECT_EQ(capture_output("", [&] { result = firmware(port, "fw.hex"); }),
                  "firmware: Error: param port is invalid\n");
        EXPECT_EQ(result, -5);
    }
    EXPECT_TRUE(fake.opened.empty());
    fake_remove();
}

// Files that open but cannot be read twice from their start are refused as
// files that cannot be opened, before the port is touched: a directory (its
// first read fails) and a pipe, as the shell's <(command) gives (the check
// would use up what the transfer then sends: nothing, reported as success).
TEST(Firmware, FilesThatCannotBeReadAreNotOpened) {
    char dir[] = "/tmp/qv_fw_dir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const char record[] = ":00000001FF\n";
    ASSERT_EQ(write(pipe_fds[1], record, sizeof record - 1), static_cast<ssize_t>(sizeof record - 1));
    close(pipe_fds[1]);  // a good file, then its end
    const std::string pipe_path = "/dev/fd/" + std::to_string(pipe_fds[0]);

    fake_serial& fake = fake_install();
    const std::string names[] = {dir, pipe_path};
    for (const std::string& name : names) {
        int result = 0;
        std::string out = capture_output("\n", [&] { result = firmware("COM3", name.c_str()); });
        EXPECT_EQ(result, -2) << name;
        EXPECT_EQ(out, "\a\aError: cannot open " + name + "\n") << name;
    }
    EXPECT_TRUE(fake.opened.empty());
    fake_remove();
    close(pipe_fds[0]);
    rmdir(dir);
}

}  // namespace
