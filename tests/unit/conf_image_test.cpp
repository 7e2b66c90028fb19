#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/conf_image.h"
#include "module_state.h"
#include "out_capture.h"

namespace {

// The default image as the device receives it, byte for byte.
const std::array<uint8_t, 120> default_bytes = [] {
    std::array<uint8_t, 120> b{};
    const uint8_t head[56] = {
        0x00, 0xe1, 0x00, 0x00,  // 0: host baud 57600
        0x80, 0x25, 0x00, 0x00,  // 4: DSTAR baud 9600
        0x00, 0x4b, 0x00, 0x00,  // 8: TNC baud 19200
        0x00, 0x00, 0x1f, 0x42,  // 12: base latitude 39.75
        0x00, 0xc0, 0xd1, 0xc2,  // 16: base longitude -104.875
        'n',  'o',  't',  's',  'e', 't', 0, 0,  // 20: station call
        0,    0,                 // 28: SSID
        3,    0,                 // 30: WIDE Max
        6,    0,                 // 32: WIDE Total
        1,    0,                 // 34: relay
        0,    0,                 // 36: NSR
        1,    0,                 // 38: default baud is the DSTAR baud
        28,   0,                 // 40: duplicate window
        1,    0,                 // 42: log port
        0,    0,                 // 44: halt on error
        1,    0,                 // 46: drop mangled
        1,    0,                 // 48: fix valid
        0,    0,                 // 50: pass without position
        112,  0,                 // 52: implicit action 'p'
        0,    0,                 // 54: rule count
    };
    std::memcpy(b.data(), head, sizeof head);
    return b;
}();

const std::string default_display =
    "Configuration:\n"
    "Station Call\tnotset\tSSID 0x00\n"
    "Base Lat  39.750000\tLon  -104.87500\n"
    "Host  baud\t57600\n"
    "DSTAR baud\t9600\n"
    "TNC   baud\t19200\n"
    "WIDE Max 3\tWIDE Total 6\tDupe Window 28 sec.\n"
    "NSR: Disabled\tRelay: Enabled\n"
    "Digi Path[0]: \n"
    "Log Port: Yes\n"
    "Fix Valid: Yes\tPass packets without valid position: No\n"
    "Halt On Error: No\tDrop Mangled Packet: Yes\n"
    "Rule count 0\tImplicit Rule Action: Pass\n";

std::array<uint8_t, 120> bytes_of(const conf_image_t& image) {
    std::array<uint8_t, 120> b{};
    std::memcpy(b.data(), &image, b.size());
    return b;
}

std::string display() {
    out_capture out;
    conf_display();
    return out.text();
}

void set_slot(int slot, const char* text) {
    std::memset(conf_image.digi_path[slot], 0, 8);
    std::memcpy(conf_image.digi_path[slot], text, std::min<size_t>(std::strlen(text), 8));
}

class ConfImage : public ::testing::Test {
protected:
    void SetUp() override { module_state_reset(); }
};

TEST_F(ConfImage, DefaultBytes) {
    EXPECT_EQ(bytes_of(conf_default), default_bytes);
    EXPECT_EQ(bytes_of(conf_image), default_bytes);
    EXPECT_EQ(digipath_count, 0);
}

TEST_F(ConfImage, DisplayAfterStart) { EXPECT_EQ(display(), default_display); }

TEST_F(ConfImage, ResetRestoresDefaultsButNotTheProcessedFlag) {
    conf_image.host_baud = 1200;
    std::memcpy(conf_image.station_call, "AB1\0set", 8);
    set_slot(0, "WIDE1-1");
    digipath_count = 1;
    conf_image.rule_count = 7;
    conf_processed = 1;
    conf_reset();
    EXPECT_EQ(bytes_of(conf_image), default_bytes);
    EXPECT_EQ(digipath_count, 0);
    EXPECT_EQ(conf_processed, 1);
}

TEST_F(ConfImage, ThreeLetterCallIsRightAligned) {
    // The parser writes the call and its terminator; the rest of "notset" stays.
    std::memcpy(conf_image.station_call, "AB1", 4);
    conf_image.station_ssid = 15;
    std::string text = display();
    EXPECT_NE(text.find("Station Call\t   AB1\tSSID 0x0f\n"), std::string::npos) << text;
}

TEST_F(ConfImage, DigiPathDisplay) {
    struct {
        std::array<const char*, 3> slots;
        int count;
        const char* line;
    } rows[] = {
        {{"WIDE1-1", "WIDE2-2", nullptr}, 2, "Digi Path[2]: WIDE1-1,WIDE2-2\n"},
        {{"RELAY", nullptr, nullptr}, 1, "Digi Path[1]: RELAY\n"},
        {{"ABCDEFGH", "X", nullptr}, 2, "Digi Path[2]: ABCDEFGH,X\n"},
        {{"ABCDEFGH", nullptr, nullptr}, 1, "Digi Path[1]: ABCDEFGH\n"},
        {{"A", "B", "C"}, 3, "Digi Path[3]: A,B,C\n"},
    };
    for (const auto& r : rows) {
        conf_reset();
        for (int i = 0; i < 3; ++i) {
            if (r.slots[static_cast<size_t>(i)] != nullptr) set_slot(i, r.slots[static_cast<size_t>(i)]);
        }
        digipath_count = r.count;
        std::string text = display();
        EXPECT_NE(text.find(std::string("\n") + r.line + "Log Port: "), std::string::npos) << text;
    }
}

TEST_F(ConfImage, AllEightSlotsFull) {
    for (int i = 0; i < 8; ++i) std::memset(conf_image.digi_path[i], 'A' + i, 8);
    digipath_count = 8;
    std::string text = display();
    EXPECT_NE(text.find("Digi Path[8]: AAAAAAAA,BBBBBBBB,CCCCCCCC,DDDDDDDD,EEEEEEEE,FFFFFFFF,GGGGGGGG,HHHHHHHH\n"),
              std::string::npos)
        << text;
}

TEST_F(ConfImage, FlagsAndActionWords) {
    conf_image.nsr = 2;
    conf_image.relay = 0;
    conf_image.log_port = 0;
    conf_image.fix_valid = 0;
    conf_image.pass_no_position = 5;
    conf_image.halt_on_error = 1;
    conf_image.drop_mangled = 0;
    conf_image.rule_count = 12;
    conf_image.implicit_action = 100;
    std::string text = display();
    EXPECT_NE(text.find("NSR: Enabled\tRelay: Disabled\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nLog Port: No\nFix Valid: No\tPass packets without valid position: Yes\n"
                        "Halt On Error: Yes\tDrop Mangled Packet: No\nRule count 12\tImplicit Rule Action: Drop\n"),
              std::string::npos)
        << text;

    for (uint16_t action : {uint16_t{0}, uint16_t{'P'}, uint16_t{'D'}, uint16_t{101}, uint16_t{65535}}) {
        conf_image.implicit_action = action;
        text = display();
        EXPECT_NE(text.find("Implicit Rule Action: ?\n"), std::string::npos) << action;
    }
}

TEST_F(ConfImage, DefaultConnectBaud) {
    EXPECT_EQ(conf_default_connect_baud(), 9600u);
    conf_image.dstar_baud = 38400;
    EXPECT_EQ(conf_default_connect_baud(), 38400u);
    conf_image.default_baud_is_dstar = 0;
    EXPECT_EQ(conf_default_connect_baud(), 57600u);
}

}  // namespace
