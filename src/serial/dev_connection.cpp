#include "serial/dev_connection.h"

#include "common/unavailable.h"

int32_t connected = 0;
int32_t last_baud = 57600;
const std::array<uint32_t, 5> connect_rates = {4800, 9600, 19200, 38400, 57600};

int dev_connect(int32_t, int) { return 2; }
void cmd_connect(word_cursor&) { report_unavailable("connect"); }
void cmd_baud(word_cursor&) { report_unavailable("baud"); }
void cmd_disconnect() { report_unavailable("disconnect"); }
