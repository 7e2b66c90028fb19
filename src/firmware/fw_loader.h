// Replacing the device firmware through its serial loader.
#pragma once

#include <cstdint>

#include "common/word_scan.h"

// Start of the running transfer in whole seconds, from which fw_progress counts.
extern int64_t fw_start_time;

// 0, or a negative code: -1 to -14 for the failures of the loader exchange,
// -15 when a read of the file fails during the transfer.
int firmware(int port, const char* file_name);
void fw_progress(uint32_t done, uint32_t total);
void cmd_firmware(word_cursor& words);
