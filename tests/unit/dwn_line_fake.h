// The download tests' device on the scripted serial fake: it answers each
// packet from a script of reply bytes, and hands out nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fake_serial.h"

namespace dwn_fake {

constexpr int NO_REPLY = -1;

// The fake, which records every call.
fake_serial& line();
// Installs the fake and opens "COM1" at 19200 as far as the port's state
// goes. Every packet written is answered with the next entry of the script (a
// byte, or NO_REPLY for none), and with ACK once the script is used up; the
// text command "download\r\n" is not answered. A purge drops unread replies.
void install(const std::vector<int>& script);
void remove();
// The whole packet with payload bytes, as the device expects it (independent CRC).
std::vector<uint8_t> frame(const std::vector<uint8_t>& payload);
std::vector<uint8_t> hex(const std::string& text);

}  // namespace dwn_fake
