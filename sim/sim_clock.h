// The simulator's one clock: the system's monotonic clock, which the reports'
// stamps (--stamp), the coarse and the exact pacing and the power-on delay
// all read.
#pragma once

#include <cstdint>

// Nanoseconds on the monotonic clock.
int64_t sim_clock_ns();
// The same in whole milliseconds.
inline int64_t sim_clock_ms() { return sim_clock_ns() / 1000000; }
