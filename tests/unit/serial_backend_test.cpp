// The rule both serial backends follow for a write: it lasts at least the
// line time of its bytes, 10 bits a byte at the port's speed, counted from the
// start of the write. Run on a clock the test drives: the sleep moves it.
#include "platform/serial_backend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module_state.h"
#include "platform/platform.h"

namespace {

int64_t fake_now_us = 0;
std::vector<int64_t> sleeps;  // the deadlines slept until

int64_t fake_clock() { return fake_now_us; }
void fake_sleep_until(int64_t deadline_us) {
    sleeps.push_back(deadline_us);
    if (deadline_us > fake_now_us) fake_now_us = deadline_us;
}

struct LineTime : ::testing::Test {
    LineTime() {
        module_state_reset();
        fake_now_us = 0;
        sleeps.clear();
        plat_set_fine_clock_hooks(fake_clock, fake_sleep_until);
    }
    ~LineTime() override { module_state_reset(); }
};

TEST_F(LineTime, WriteLastsItsBytesLineTimeFromItsStart) {
    struct row {
        uint32_t speed;
        uint32_t bytes;
        int64_t start_us;  // when the write began
        int64_t now_us;    // when the driver had taken the bytes
        int64_t end_us;    // when the write may return: start + bytes x 10 bits / speed
    };
    const row rows[] = {
        {19200, 204, 1000, 1000, 1000 + 106250},     // a 96-byte record and its CR, on a driver that queues
        {19200, 259, 0, 2000, 134895},               // a 128-byte record and its CR: 134.8958 ms, rounded down
        {19200, 259, 500, 134000, 500 + 134895},     // the driver took most of it: only the rest is waited
        {9600, 64, 0, 0, 66666},                     // a data packet at 9600
        {57600, 64, 7, 3000, 7 + 11111},             // 11.1 ms on the line: more than the 10 ms write limit
        {4800, 1, 0, 0, 2083},                       // one byte at 4800
        {115200, 21, 0, 0, 1822},                    // a command packet at the fastest speed of the table
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.speed) + " baud, " + std::to_string(r.bytes) + " bytes");
        sleeps.clear();
        fake_now_us = r.now_us;
        serial_wait_line_time(r.start_us, r.speed, r.bytes);
        EXPECT_EQ(serial_line_time_us(r.speed, r.bytes), r.end_us - r.start_us);
        ASSERT_EQ(sleeps.size(), 1u);
        EXPECT_EQ(sleeps[0], r.end_us);
        EXPECT_EQ(fake_now_us, r.end_us);
    }
}

TEST_F(LineTime, NoWaitOnceTheLineTimeHasPassed) {
    struct row {
        uint32_t speed;
        uint32_t bytes;
        int64_t start_us;
        int64_t now_us;
    };
    const row rows[] = {
        {19200, 204, 0, 106250},   // a driver that waited for the line itself: ends exactly then
        {19200, 204, 0, 140000},   // or later
        {9600, 0, 500, 500},       // nothing written takes no time
        {0, 64, 0, 0},             // no speed set: no line time to wait for
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.speed) + " baud, " + std::to_string(r.bytes) + " bytes at " +
                     std::to_string(r.now_us));
        sleeps.clear();
        fake_now_us = r.now_us;
        serial_wait_line_time(r.start_us, r.speed, r.bytes);
        EXPECT_TRUE(sleeps.empty());
        EXPECT_EQ(fake_now_us, r.now_us);
    }
}

}  // namespace
