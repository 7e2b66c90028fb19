// Read deadlines of the POSIX backend on a pseudo-terminal: a read of n bytes
// with time-out t gives up n x (10000 / speed) + t + 10 ms after the call,
// and bytes that arrive late in a long wait still end it at once.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_serial.h"
#include "platform/platform.h"
#include "pty_port.h"
#include "serial/serial_port.h"

namespace {
using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

struct PosixDeadline : pty_port_test {
    PosixDeadline() : pty_port_test(5) {}

    // The device writes text after the given delay, on a thread of its own.
    std::thread device_writes_after(int delay_ms, std::string text) {
        return std::thread([this, delay_ms, text] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            ssize_t n = write(master, text.data(), text.size());
            (void)n;
        });
    }
};
}  // namespace

TEST_F(PosixDeadline, SilentLineGivesUpAtTheComputedTotal) {
    // size x (10000 / speed) + time-out + 10, in whole milliseconds rounded down.
    struct row {
        uint32_t speed;
        int size;
        int timeout;
        double total_ms;
    };
    const row rows[] = {
        {4800, 64, 10, 148},   // 64 x 2 + 10 + 10
        {9600, 1, 20, 31},     // 1 + 20 + 10
        {9600, 64, 10, 84},    // the download's drain read
        {14400, 2, 40, 50},    // 10000 / 14400 is 0
        {19200, 1, 110, 120},  // multiplier 0 from 14400 up
        {57600, 64, 20, 30},   // any size: time-out + 10
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.speed) + " baud, " + std::to_string(r.size) + " bytes, " +
                     std::to_string(r.timeout) + " ms");
        ASSERT_EQ(open_port("COM5", r.speed), 0);
        uint8_t buf[64] = {};
        auto start = clock_type::now();
        EXPECT_EQ(read_port("COM5", buf, r.size, r.timeout), 0);
        double ms = ms_since(start);
        EXPECT_GE(ms, r.total_ms);
        // Generous: a loaded machine may wake the reader late, but never by
        // a whole slice of the wait on top of the total.
        EXPECT_LT(ms, r.total_ms + 100.0);
        close_port();
    }
}

TEST_F(PosixDeadline, BytesLateInALongWaitEndTheReadAtOnce) {
    struct row {
        const char* what;
        int size;
        int first_ms;
        std::string first;
        int second_ms;
        std::string second;
        int expect_count;
        bool runs_to_deadline;
    };
    const row rows[] = {
        {"one byte after several slices of the wait", 1, 45, "\x06", 0, "", 1, false},
        {"all bytes in two parts", 4, 15, "ab", 45, "cd", 4, false},
        {"part of the bytes, then silence", 4, 15, "ab", 0, "", 2, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(open_port("COM5", 19200), 0);
        uint8_t buf[8] = {};
        const int timeout = 290;  // deadline 300 ms after the call
        auto start = clock_type::now();
        std::thread first = device_writes_after(r.first_ms, r.first);
        std::thread second = r.second.empty() ? std::thread() : device_writes_after(r.second_ms, r.second);
        int got = read_port("COM5", buf, r.size, timeout);
        double ms = ms_since(start);
        first.join();
        if (second.joinable()) second.join();
        EXPECT_EQ(got, r.expect_count);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(got > 0 ? got : 0)),
                  (r.first + r.second).substr(0, static_cast<size_t>(r.expect_count)));
        if (r.runs_to_deadline) {
            EXPECT_GE(ms, 300.0);
        } else {
            EXPECT_LT(ms, 250.0);
        }
        close_port();
    }
}

TEST_F(PosixDeadline, CaughtCtrlCEndsALongWaitAtOnce) {
    // The operator's Ctrl-C (SIGINT to the program) while a read waits for
    // 20 s: the read ends as its time-out would, with what had come, and so
    // does the next one; once Ctrl-C is no longer caught, reads wait again.
    ASSERT_EQ(open_port("COM5", 19200), 0);
    plat_interrupt_catch(true);
    ASSERT_EQ(write(master, "ab", 2), 2);  // there before the read, which waits for 8
    pthread_t reader = pthread_self();
    std::thread key([reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pthread_kill(reader, SIGINT);
    });
    uint8_t buf[8] = {};
    auto start = clock_type::now();
    int got = read_port("COM5", buf, 8, 20000);
    double ms = ms_since(start);
    key.join();
    // (Only a reader held off the processor for the whole 60 ms would start
    // after the key and take nothing.)
    if (got != 0) {
        EXPECT_EQ(got, 2);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "ab");
    }
    EXPECT_LT(ms, 5000.0);  // nowhere near the 20 s
    EXPECT_TRUE(plat_interrupted());
    start = clock_type::now();
    EXPECT_EQ(read_port("COM5", buf, 1, 20000), 0);
    EXPECT_LT(ms_since(start), 5000.0);
    plat_interrupt_catch(false);
    EXPECT_FALSE(plat_interrupted());
    purge_port();
    start = clock_type::now();
    EXPECT_EQ(read_port("COM5", buf, 1, 50), 0);
    EXPECT_GE(ms_since(start), 60.0);
    close_port();
}
