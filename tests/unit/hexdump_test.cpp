#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/hexdump.h"
#include "out_capture.h"

namespace {

const std::string header = "Dec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n";

// Runs hexdump into the capture's memory stream and returns what it wrote.
std::string dump(int flags, const char* title, const void* data, int length, int group) {
    out_capture out;
    hexdump(out.stream(), flags, title, data, length, group);
    return out.text();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size() - 1;
        lines.push_back(text.substr(start, nl - start + 1));
        start = nl + 1;
    }
    return lines;
}

std::vector<uint8_t> counting(int n) {
    std::vector<uint8_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return v;
}

TEST(Hexdump, DocumentedExample) {
    const uint8_t bytes[] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K',
                             'L', 'M', 'N', 'O', 'P', 0x00, 0x7f, 0x80, 0x0a};
    EXPECT_EQ(dump(1, "Got", bytes, 20, 10),
              "Got: length 20 (0x14):\n"
              "Dec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n"
              "   0 0000| 41 42 43 44 45 46 47 48   49 4a 4b 4c 4d 4e 4f 50 | ABCDEFGHIJKLMNOP\n"
              "  16 0010| 00 7f 80 0a                                       | ....\n");
}

TEST(Hexdump, LengthZeroWritesOnlyTheTitle) {
    const uint8_t b = 0;
    EXPECT_EQ(dump(1, "Got", &b, 0, 10), "Got: length 0 (0x0):\n");
    EXPECT_EQ(dump(2, "Got", &b, 0, 10), "length 0 (0x0):\n");
    EXPECT_EQ(dump(4, "Got", &b, 0, 10), "");
}

TEST(Hexdump, SixteenAndSeventeenBytes) {
    std::vector<uint8_t> b;
    for (int i = 0; i < 17; ++i) b.push_back(static_cast<uint8_t>(0x30 + i));
    const std::string full = "   0 0000| 30 31 32 33 34 35 36 37   38 39 3a 3b 3c 3d 3e 3f | 0123456789:;<=>?\n";
    EXPECT_EQ(dump(4, nullptr, b.data(), 16, 10), header + full);

    const std::string text = dump(4, nullptr, b.data(), 17, 10);
    EXPECT_EQ(text, header + full + "  16 0010| 40" + std::string(48, ' ') + "| @\n");
    auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].find('|', 10), 61u);
}

TEST(Hexdump, GroupsOfTenLines) {
    auto b = counting(161);
    auto lines = lines_of(dump(4, nullptr, b.data(), 160, 10));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], header);
    EXPECT_EQ(lines[10].substr(0, 13), " 144 0090| 90");

    lines = lines_of(dump(4, nullptr, b.data(), 161, 10));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], header);
    EXPECT_EQ(lines[11], "\n");
    EXPECT_EQ(lines[12], header);
    EXPECT_EQ(lines[13], " 160 00a0| a0" + std::string(48, ' ') + "| .\n");
}

TEST(Hexdump, GroupZeroAndOne) {
    auto b = counting(33);
    auto lines = lines_of(dump(4, nullptr, b.data(), 33, 0));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(0, 10), "   0 0000|");
    EXPECT_EQ(lines[2].substr(0, 10), "  32 0020|");

    lines = lines_of(dump(4, nullptr, b.data(), 33, 1));
    ASSERT_EQ(lines.size(), 3u + 3u + 2u);
    EXPECT_EQ(lines[0], header);
    EXPECT_EQ(lines[2], "\n");
    EXPECT_EQ(lines[3], header);
    EXPECT_EQ(lines[5], "\n");
    EXPECT_EQ(lines[6], header);
}

TEST(Hexdump, CharacterColumnShowsOnlyPrintables) {
    const uint8_t b[] = {0x1f, 0x20, 0x7e, 0x7f, 0xff, 0x09, 0x41};
    EXPECT_EQ(dump(4, nullptr, b, 7, 0),
              "   0 0000| 1f 20 7e 7f ff 09 41" + std::string(61 - 31, ' ') + "| . ~...A\n");
}

TEST(Hexdump, LargeOffsets) {
    auto b = counting(1024);
    auto lines = lines_of(dump(4, nullptr, b.data(), 1024, 0));
    ASSERT_EQ(lines.size(), 64u);
    EXPECT_EQ(lines[63].substr(0, 13), "1008 03f0| f0");
    for (const auto& l : lines) EXPECT_EQ(l.size(), 80u);
}

TEST(Hexdump, TitleLines) {
    const uint8_t b[2] = {1, 2};
    struct {
        int flags;
        const char* title;
        const char* line;
    } rows[] = {
        {1, "Got", "Got: length 2 (0x2):\n"},
        {1, "", "length 2 (0x2):\n"},
        {1, nullptr, "hexdump: length 2 (0x2):\n"},
        {3, "Got", "Got: length 2 (0x2):\n"},
        {2, "Got", "length 2 (0x2):\n"},
        {2, nullptr, "length 2 (0x2):\n"},
        {6, "Got", "length 2 (0x2):\n"},
        {4, "Got", ""},
        {8, nullptr, ""},
    };
    const std::string body = "   0 0000| 01 02" + std::string(45, ' ') + "| ..\n";
    for (const auto& r : rows) {
        EXPECT_EQ(dump(r.flags, r.title, b, 2, 0), r.line + body)
            << r.flags << " " << (r.title != nullptr ? r.title : "(none)");
    }
}

// With flags 0 the title line shows the buffer's address: "0x" and its hex
// digits once.
TEST(Hexdump, AddressTitle) {
    const uint8_t b[300] = {};
    struct {
        const char* title;
        const char* before;
    } rows[] = {{nullptr, "hexdump: buffer addr 0x"}, {"Got", "hexdump: Got: buffer addr 0x"},
                {"", "hexdump: buffer addr 0x"}};
    for (const auto& r : rows) {
        std::string line = lines_of(dump(0, r.title, b, 300, 0))[0];
        std::string before = r.before;
        ASSERT_EQ(line.rfind(before, 0), 0u) << line;
        std::string rest = line.substr(before.size());
        size_t comma = rest.find(',');
        ASSERT_NE(comma, std::string::npos) << line;
        std::string digits = rest.substr(0, comma);
        EXPECT_EQ(digits.find_first_not_of("0123456789abcdef"), std::string::npos) << line;
        EXPECT_EQ(std::strtoull(digits.c_str(), nullptr, 16), reinterpret_cast<uintptr_t>(b)) << line;
        EXPECT_EQ(rest.substr(comma), ", length 300 (0x12c):\n");
    }
}

TEST(Hexdump, BadParameters) {
    const uint8_t b[4] = {};
    EXPECT_EQ(dump(1, "Got", nullptr, 4, 10), "hexdump: invalid param buf ptr\n");
    EXPECT_EQ(dump(1, "Got", b, -1, 10), "hexdump: invalid param len -1\n");
    // Without a stream the message goes to the console.
    out_capture out;
    hexdump(nullptr, 1, "Got", b, 4, 10);
    EXPECT_EQ(out.text(), "hexdump: invalid param file ptr\n");
}

}  // namespace
