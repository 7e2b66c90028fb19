// A titled hex and character dump of bytes received from the device.
#pragma once

#include <cstdio>

void hexdump(FILE* stream, int flags, const char* title, const void* data, int length, int group);
