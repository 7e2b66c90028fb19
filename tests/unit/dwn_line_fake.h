// A device on the end of the line for the download tests: records every write,
// answers each packet from a script of reply bytes, and hands out nothing else.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/serial_backend.h"

namespace dwn_fake {

constexpr int NO_REPLY = -1;

struct line_state {
    std::vector<std::vector<uint8_t>> writes;  // every write, in order
    std::vector<int> script;                   // reply per packet write: a byte or NO_REPLY
    size_t script_at = 0;
    std::deque<uint8_t> pending;               // bytes the next reads hand out
    std::vector<uint32_t> read_sizes;
    std::vector<uint32_t> read_constants;      // the read constant installed before each read
    uint32_t read_constant = 0;
    int fail_write_number = 0;                 // this write (from 1) fails
    int closes = 0;
};

line_state& line();
// Installs the fake, opens "COM1" at 19200 as far as the port's state goes.
void install(const std::vector<int>& script);
void remove();
// The whole packet with payload bytes, as the device expects it (independent CRC).
std::vector<uint8_t> frame(const std::vector<uint8_t>& payload);
std::vector<uint8_t> hex(const std::string& text);
// Output captured from the console between begin and end.
void capture_begin(const std::string& input = "");
std::string capture_end();

}  // namespace dwn_fake
