// Measures how long read_port really waits when nothing arrives: opens the
// given port (a simulated device that stays silent), reads one byte with each
// time-out named on the command line, and prints one line per read:
//   TIMEOUT_MS COMPUTED_MS MEASURED_US GOT
// COMPUTED_MS is the total the read is allowed: size x (10000 / speed) +
// time-out + 10.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "common/number_text.h"
#include "serial/serial_port.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qv-timeout-probe COMn SPEED TIMEOUT_MS...\n");
        return 2;
    }
    int speed = text_whole(argv[2]);
    if (speed <= 0) {
        std::fprintf(stderr, "qv-timeout-probe: bad speed %s\n", argv[2]);
        return 2;
    }
    if (open_port(argv[1], static_cast<uint32_t>(speed)) != 0) return 1;
    std::array<uint8_t, 16> byte{};
    int rc = 0;
    for (int i = 3; i < argc; ++i) {
        int timeout = text_whole(argv[i]);
        if (timeout < 1 || timeout > 100000) {
            std::fprintf(stderr, "qv-timeout-probe: bad time-out %s\n", argv[i]);
            rc = 2;
            break;
        }
        const int size = 1;
        long computed = size * static_cast<long>(10000 / static_cast<uint32_t>(speed)) + static_cast<long>(timeout) + 10;
        auto start = std::chrono::steady_clock::now();
        int got = read_port(argv[1], byte.data(), size, timeout);
        auto took = std::chrono::steady_clock::now() - start;
        long long us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
        std::printf("%d %ld %lld %d\n", timeout, computed, us, got);
        std::fflush(stdout);
    }
    close_port();
    return rc;
}
