#include "download/dwn_sequence.h"

#include "common/unavailable.h"

int dwn_sequence() { return -1; }
void cmd_download() { report_unavailable("download"); }
