// The POSIX backend on a real pseudo-terminal: name resolution through the
// configuration directory, exact speeds, the millisecond read deadline, a
// device that goes away (also while a write's bytes are still queued), writes
// that last their line time, exclusive use, breaks, the low-latency request,
// and failed opens that name the device.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "fake_serial.h"
#include "out_capture.h"
#include "pty_port.h"
#include "platform/platform.h"
#include "platform/posix/serial_posix.h"
#include "serial/serial_port.h"

namespace {
struct PosixSerial : pty_port_test {
    PosixSerial() : pty_port_test(4) {}
};
}  // namespace

TEST_F(PosixSerial, EverySpeedOfTheTableIsSetExactly) {
    for (uint32_t speed : {110u, 300u, 1200u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u, 115200u}) {
        SCOPED_TRACE(speed);
        out_capture out;
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
    out_capture out;
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
    out_capture out;
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

TEST_F(PosixSerial, WriteEndsWhenItsBytesHaveLeftTheLine) {
    // 10 bits a byte at the speed: the write returns after the bytes' line
    // time, however fast the terminal took them. The write limit (n x (20000
    // / speed) + 10 ms) bounds only the handing over: 64 bytes at 57600 take
    // 11.1 ms on the line, more than its 10 ms.
    struct row {
        uint32_t speed;
        int size;
    };
    const row rows[] = {{9600, 48}, {19200, 252}, {57600, 64}};
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.speed) + " baud, " + std::to_string(r.size) + " bytes");
        ASSERT_EQ(open_port("COM4", r.speed), 0);
        std::string bytes(static_cast<size_t>(r.size), 'r');
        double line_ms = r.size * 10 * 1000.0 / r.speed;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(write_port("COM4", bytes.data(), r.size), r.size);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(ms, line_ms);
        EXPECT_LT(ms, line_ms + 100.0);  // generous: a loaded machine wakes late
        std::string got(static_cast<size_t>(r.size), '\0');
        EXPECT_EQ(read(master, got.data(), got.size()), r.size);
        EXPECT_EQ(got, bytes);
        close_port();
    }
}

TEST_F(PosixSerial, BreaksAreIgnored) {
    // A break is no byte (IGNBRK), as under Windows; read back through the
    // device's side of the line.
    termios before{};
    ASSERT_EQ(tcgetattr(master, &before), 0);
    ASSERT_EQ(open_port("COM4", 19200), 0);
    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_NE(after.c_iflag & IGNBRK, 0u);
    EXPECT_EQ(after.c_iflag & (BRKINT | PARMRK), 0u);
    close_port();
}

namespace {
// A driver that has the serial-information requests, as a USB adapter's has.
struct info_driver {
    serial_struct info{};
    bool get_refused = false;  // ENOTTY: no such request
    bool set_refused = false;  // EPERM: not allowed
    std::vector<std::string> calls;
};
info_driver* the_driver = nullptr;

int driver_call(int, unsigned long request, void* arg) {
    auto* info = static_cast<serial_struct*>(arg);
    if (request == TIOCGSERIAL) {
        the_driver->calls.push_back("get");
        if (the_driver->get_refused) {
            errno = ENOTTY;
            return -1;
        }
        *info = the_driver->info;
        return 0;
    }
    if (request == TIOCSSERIAL) {
        the_driver->calls.push_back("set");
        if (the_driver->set_refused) {
            errno = EPERM;
            return -1;
        }
        the_driver->info = *info;
        return 0;
    }
    errno = EINVAL;
    return -1;
}

struct driver_installed {
    explicit driver_installed(info_driver& d) {
        the_driver = &d;
        serial_posix_set_info_call(driver_call);
    }
    ~driver_installed() {
        serial_posix_set_info_call(nullptr);
        the_driver = nullptr;
    }
};
}  // namespace

TEST_F(PosixSerial, LowLatencyAskedForAtOpenAndPutBackAtClose) {
    const int LOW = ASYNC_LOW_LATENCY;
    const int OTHER = ASYNC_SKIP_TEST | ASYNC_SPD_HI;  // flags of the driver's own, kept as they are
    struct row {
        const char* what;
        int before;
        bool get_refused;
        bool set_refused;
        int while_open;
        std::vector<std::string> at_open;
        std::vector<std::string> at_close;
    };
    const std::vector<row> rows = {
        {"adapter at its default", OTHER, false, false, OTHER | LOW, {"get", "set"}, {"get", "set"}},
        {"already in low latency", OTHER | LOW, false, false, OTHER | LOW, {"get"}, {}},
        {"request not allowed", OTHER, false, true, OTHER, {"get", "set"}, {}},
        {"driver without the request", OTHER, true, false, OTHER, {"get"}, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        info_driver driver;
        driver.info.flags = r.before;
        driver.get_refused = r.get_refused;
        driver.set_refused = r.set_refused;
        driver_installed installed(driver);
        out_capture out;
        ASSERT_EQ(open_port("COM4", 19200), 0);
        EXPECT_EQ(out.text(), "");  // silently, whatever the driver said
        EXPECT_EQ(driver.info.flags, r.while_open);
        EXPECT_EQ(driver.calls, r.at_open);
        driver.calls.clear();
        close_port();
        EXPECT_EQ(driver.info.flags, r.before);
        EXPECT_EQ(driver.calls, r.at_close);
    }
}

namespace {
// A serial driver whose output queue still holds this many bytes however
// long the write waits (the device's side has stopped taking them).
int queue_held = 0;

int held_queue_call(int, unsigned long request, void* arg) {
    if (request == TIOCOUTQ) {
        *static_cast<int*>(arg) = queue_held;
        return 0;
    }
    errno = ENOTTY;
    return -1;
}
}  // namespace

TEST_F(PosixSerial, WriteWhoseDeviceGoesCountsOnlyTheBytesThatLeft) {
    // 44 bytes handed over, 12 of them still queued when the device goes:
    // 32 are known to have left, and the message says so.
    queue_held = 12;
    serial_posix_set_info_call(held_queue_call);
    ASSERT_EQ(open_port("COM4", 9600), 0);
    std::thread device_goes([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        close(master);
        master = -1;
    });
    std::string record(43, ':');
    record += '\r';
    out_capture out;
    EXPECT_EQ(write_port("COM4", record.data(), 44), SERIAL_ERR_WRITE);
    device_goes.join();
    serial_posix_set_info_call(nullptr);
    EXPECT_EQ(out.text(), "\a\aError: wrote 32 of 44, got error on port COM4: Input/output error\n");
}

TEST_F(PosixSerial, PseudoTerminalRefusesLowLatencyWithoutAWord) {
    out_capture out;
    ASSERT_EQ(open_port("COM4", 19200), 0);
    serial_struct info{};
    EXPECT_NE(ioctl(serial_posix_fd(port_handle), TIOCGSERIAL, &info), 0);  // it has no such request
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(write_port("COM4", "ok", 2), 2);
    close_port();
}

namespace {
int exclusive_flag(int fd) {
    int flag = -1;
    if (ioctl(fd, TIOCGEXCL, &flag) != 0) return -1;
    return flag;
}
}  // namespace

TEST_F(PosixSerial, ExclusiveUseHoldsAfterARefusedSecondOpen) {
    // Two opens of one pseudo-terminal. Run as root, the second gets past
    // TIOCEXCL and the lock refuses it; either way it must not clear the
    // flag the first one set.
    ASSERT_EQ(open_port("COM4", 9600), 0);
    int fd = serial_posix_fd(port_handle);
    EXPECT_EQ(exclusive_flag(fd), 1);
    serial_handle again = serial_backend_get()->open("COM4");
    EXPECT_EQ(again, SERIAL_INVALID_HANDLE);
    EXPECT_EQ(plat_last_error(), EBUSY);
    EXPECT_EQ(exclusive_flag(fd), 1);
    if (geteuid() != 0) {
        // Anyone else is kept out still.
        int other = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_LT(other, 0);
        if (other >= 0) close(other);
    }
    close_port();
    // What this open set, its close cleared.
    int probe = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    EXPECT_EQ(exclusive_flag(probe), 0);
    close(probe);
}

TEST_F(PosixSerial, ExclusiveFlagSetByAnotherProgramIsLeftToIt) {
    int other = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    out_capture out;
    int result = open_port("COM4", 9600);
    if (geteuid() == 0) {
        // Root gets past the flag (and the other program holds no lock).
        EXPECT_EQ(result, 0) << out.text();
    } else {
        EXPECT_EQ(result, -2);
    }
    close_port();
    EXPECT_EQ(exclusive_flag(other), 1);
    close(other);
}

TEST_F(PosixSerial, FailedOpenNamesTheDevice) {
    std::string missing = dir + "/ttyUSB9";
    std::string quorvantis = dir + "/quorvantis";
    ASSERT_EQ(symlink(missing.c_str(), (quorvantis + "/com6").c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), (quorvantis + "/com7").c_str()), 0);
    struct row {
        const char* port;
        std::string message;
    };
    const row rows[] = {
        {"COM6", "\a\aError: cannot open com port COM6: " + missing + ": No such file or directory\n"},
        {"COM7", "\a\aError: cannot open com port COM7: " + dir + ": Is a directory\n"},
    };
    for (const row& r : rows) {
        out_capture out;
        EXPECT_EQ(open_port(r.port, 9600), -2);
        EXPECT_EQ(out.text(), r.message);
        EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    }
    // A port in use: the second open names it too.
    ASSERT_EQ(open_port("COM4", 9600), 0);
    serial_handle first = port_handle;
    out_capture out;
    EXPECT_EQ(open_port("COM4", 9600), -2);
    EXPECT_EQ(out.text(), std::string("\a\aError: cannot open com port COM4: ") + ptsname(master) +
                              ": Device or resource busy\n");
    port_handle = first;
    close_port();
    unlink((quorvantis + "/com6").c_str());
    unlink((quorvantis + "/com7").c_str());
}

TEST_F(PosixSerial, RefusedPermissionNamesTheOwningGroup) {
    // The device allows no one; a user who is not root is refused and told
    // which group owns it. Root is let in anyway, so the open runs in a child
    // that gives up root first.
    const char* slave = ptsname(master);
    ASSERT_NE(slave, nullptr);
    struct stat st{};
    ASSERT_EQ(stat(slave, &st), 0);
    group* owner = getgrgid(st.st_gid);
    ASSERT_NE(owner, nullptr);
    std::string expected = std::string("\a\aError: cannot open com port COM4: ") + slave +
                           ": Permission denied (owned by group " + owner->gr_name + ")\n";
    ASSERT_EQ(chmod(slave, 0), 0);
    // The child must reach the link in the configuration directory.
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir + "/quorvantis").c_str(), 0755), 0);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipe_fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        out_capture out;
        int result = open_port("COM4", 9600);
        std::string text = out.text();
        ssize_t n = write(pipe_fds[1], text.data(), text.size());
        (void)n;
        _exit(result == -2 ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string text;
    char buf[512];
    ssize_t n = 0;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    chmod(slave, 0620);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, expected);
}

// A port named by the device's own path is opened as COMn's target is:
// exclusively, set to the link's settings, and named by that path in the
// messages, with the system's text after it and the path not repeated.
TEST_F(PosixSerial, DevicePathOpensTheDeviceItself) {
    const std::string path = ptsname(master);
    ASSERT_EQ(open_port(path.c_str(), 19200), 0);
    int fd = serial_posix_fd(port_handle);
    EXPECT_EQ(exclusive_flag(fd), 1);
    serial_settings settings{};
    ASSERT_TRUE(serial_backend_get()->get_state(port_handle, &settings));
    EXPECT_EQ(settings.baud, 19200u);
    EXPECT_EQ(write_port(path.c_str(), "ok", 2), 2);
    serial_handle first = port_handle;
    {
        out_capture out;
        EXPECT_EQ(open_port(path.c_str(), 9600), -2);
        EXPECT_EQ(out.text(), "\a\aError: cannot open com port " + path + ": Device or resource busy\n");
    }
    port_handle = first;
    close_port();
    const std::string missing = dir + "/ttyUSB9";
    out_capture out;
    EXPECT_EQ(open_port(missing.c_str(), 9600), -2);
    EXPECT_EQ(out.text(), "\a\aError: cannot open com port " + missing + ": No such file or directory\n");
    EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
}
