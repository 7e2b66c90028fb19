#include "platform/serial_backend.h"

#include "platform/platform.h"

namespace {
const serial_backend* installed = nullptr;
}  // namespace

const serial_backend* serial_backend_get() {
    return installed != nullptr ? installed : serial_os_backend();
}

void serial_backend_set(const serial_backend* backend) { installed = backend; }

int64_t serial_line_time_us(uint32_t speed, uint32_t bytes) {
    if (speed == 0) return 0;
    constexpr int64_t BIT_TIMES_US = 10 * 1000000LL;  // 10 bits a byte, in microseconds
    return static_cast<int64_t>(bytes) * BIT_TIMES_US / speed;
}

void serial_wait_line_time(int64_t start_us, uint32_t speed, uint32_t bytes) {
    int64_t end = start_us + serial_line_time_us(speed, bytes);
    if (plat_clock_us() < end) plat_sleep_until_us(end);
}
