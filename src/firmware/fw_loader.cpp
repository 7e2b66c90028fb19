#include "firmware/fw_loader.h"

#include "common/unavailable.h"

int firmware(int, const char*) { return -1; }
void fw_progress(uint32_t, uint32_t) {}
void cmd_firmware(word_cursor&) { report_unavailable("firmware"); }
