#include "platform/platform.h"

namespace {
plat_sleep_hook sleep_hook = nullptr;
plat_clock_hook clock_hook = nullptr;
plat_clock_us_hook clock_us_hook = nullptr;
plat_sleep_until_hook sleep_until_hook = nullptr;
}  // namespace

void plat_sleep_ms(uint32_t ms) {
    if (sleep_hook != nullptr) {
        sleep_hook(ms);
        return;
    }
    plat_os_sleep_ms(ms);
}

void plat_set_sleep_hook(plat_sleep_hook hook) { sleep_hook = hook; }

int64_t plat_clock_ms() {
    if (clock_hook != nullptr) return clock_hook();
    return plat_os_clock_ms();
}

void plat_set_clock_hook(plat_clock_hook hook) { clock_hook = hook; }

int64_t plat_clock_us() {
    if (clock_us_hook != nullptr) return clock_us_hook();
    return plat_os_clock_us();
}

void plat_sleep_until_us(int64_t deadline_us) {
    if (sleep_until_hook != nullptr) {
        sleep_until_hook(deadline_us);
        return;
    }
    plat_os_sleep_until_us(deadline_us);
}

void plat_set_fine_clock_hooks(plat_clock_us_hook clock, plat_sleep_until_hook sleep) {
    clock_us_hook = clock;
    sleep_until_hook = sleep;
}
