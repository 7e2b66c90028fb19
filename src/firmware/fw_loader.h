// Replacing the device firmware through its serial loader.
#pragma once

#include <cstdint>

#include "common/word_scan.h"

// Start of the running transfer in whole seconds, from which fw_progress counts.
extern int64_t fw_start_time;

int firmware(int port, const char* file_name);
void fw_progress(uint32_t done, uint32_t total);
void cmd_firmware(word_cursor& words);
