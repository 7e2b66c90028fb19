#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "out_capture.h"
#include "serial/baud_table.h"

namespace {

const long speeds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};

TEST(BaudTable, ThirteenSpeedsInOrderThenZero) {
    for (size_t i = 0; i < 13; ++i) EXPECT_EQ(static_cast<long>(baud_table[i]), speeds[i]) << i;
    EXPECT_EQ(baud_table[13], 0u);
}

TEST(BaudTable, EverySpeedIsFoundSilently) {
    out_capture out;
    for (long s : speeds) {
        const uint32_t* entry = get_baud(s);
        ASSERT_NE(entry, nullptr) << s;
        EXPECT_EQ(static_cast<long>(*entry), s);
    }
    EXPECT_EQ(out.text(), "");
}

TEST(BaudTable, OtherSpeedsAreNotFoundSilently) {
    out_capture out;
    const long others[] = {12345, 128000, -9600, -1, 1, 109, 115201, LONG_MAX, LONG_MIN,
                           // a speed that would equal a table entry if cut to 32 bits
                           sizeof(long) > 4 ? static_cast<long>(9600LL + 4294967296LL) : 9601L};
    for (long s : others) EXPECT_EQ(get_baud(s), nullptr) << s;
    EXPECT_EQ(out.text(), "");
}

TEST(BaudTable, ZeroPrintsItsMessage) {
    out_capture out;
    EXPECT_EQ(get_baud(0), nullptr);
    EXPECT_EQ(out.text(), "get_baud: Error: invalid baud: 0\n");
}

}  // namespace
