// Checking an Intel HEX firmware file before any of it goes to the device.
#pragma once

#include <cstdint>
#include <cstdio>

// The number of records (1 or more), or -1..-7, or -8 when a read of the file
// fails; prints its own messages.
int inhexverify(FILE* file);
uint8_t inhex_sum(const char* text);
uint32_t hex_value(const char* text, int n);
