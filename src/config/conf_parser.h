// Reading a station configuration file into the live configuration image.
#pragma once

// 0 when the whole file was read without error, else a negative code; prints
// every message itself.
int conf_process(const char* path);
