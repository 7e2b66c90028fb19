// How long the program's own serial calls take against a device that answers
// at once: a 1-byte request and a record line each answered by one byte within
// the loader's 100 ms window, reads that run into their time-out (100 and
// 200 ms for 1 byte, the 1024-byte drain read, the identifier's 5000 ms), and
// how long past their line time (10 bits a byte) writes of 1 byte and of a
// 128-byte record line last.
// Built for Windows and run under Wine by scripts/wine-timing, and natively
// (the target serial-timing of each build); tests/wine/serial_peer.py plays
// the device: it answers 'x' and CR at once and stays silent after 'q'.
//
// Prints one line per figure: "timing: NAME n=N median=M p99=P max=X ms".
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <vector>

#include "serial/serial_port.h"

namespace {

constexpr int ROUND_TRIPS = 300;
constexpr int TIME_OUTS = 10;

double now_ms() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double, std::milli>(clock::now().time_since_epoch()).count();
}

void show(const char* what, std::vector<double> v) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    size_t p99 = std::min(v.size() - 1, v.size() * 99 / 100);
    std::printf("timing: %-30s n=%zu median=%.3f p99=%.3f max=%.3f ms\n", what, v.size(), v[v.size() / 2], v[p99],
                v.back());
}

// One request written, then one byte read with the time-out; the elapsed time
// from the start of the write to the end of the read. -1 when the write failed.
double exchange(const char* request, int length, int timeout_ms, int* got) {
    uint8_t reply = 0;
    double start = now_ms();
    if (write_port(port_name, request, length) != length) return -1;
    *got = read_port(port_name, &reply, 1, timeout_ms);
    return now_ms() - start;
}

}  // namespace

int main() {
    std::snprintf(port_name, sizeof port_name, "COM%d", 1);
    if (open_port(port_name, 19200) != 0) return 1;
    int missing = 0;
    int got = 0;
    std::vector<double> byte_trip;
    std::vector<double> line_trip;
    // A record line of the firmware file's usual length, ended by CR.
    const char record[] = ":10010000214601360121470136007EFE09D2190140\r";
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        double t = exchange("x", 1, 100, &got);
        if (t < 0) return 2;
        if (got != 1) ++missing;
        byte_trip.push_back(t);
        t = exchange(record, static_cast<int>(sizeof record - 1), 100, &got);
        if (t < 0) return 2;
        if (got != 1) ++missing;
        line_trip.push_back(t);
    }
    show("1 byte answered, 100 ms read", byte_trip);
    show("record answered, 100 ms read", line_trip);

    // Writes the device does not answer: ':' and digits, no CR.
    std::array<char, 259> long_line{};
    long_line.fill('0');
    long_line[0] = ':';
    std::vector<double> over_1;
    std::vector<double> over_259;
    for (int i = 0; i < TIME_OUTS; ++i) {
        double start = now_ms();
        if (write_port(port_name, "0", 1) != 1) return 2;
        over_1.push_back(now_ms() - start - 10.0 / 19.2);
        start = now_ms();
        if (write_port(port_name, long_line.data(), static_cast<int>(long_line.size())) !=
            static_cast<int>(long_line.size())) {
            return 2;
        }
        over_259.push_back(now_ms() - start - 10.0 * static_cast<double>(long_line.size()) / 19.2);
    }
    show("write 1 byte, past line time", over_1);
    show("write 259 bytes, past line time", over_259);

    std::array<uint8_t, 1024> drain{};
    std::vector<double> t100;
    std::vector<double> t200;
    std::vector<double> t_drain;
    for (int i = 0; i < TIME_OUTS; ++i) {
        if (write_port(port_name, "q", 1) != 1) return 2;
        double start = now_ms();
        if (read_port(port_name, drain.data(), 1, 100) != 0) ++missing;
        t100.push_back(now_ms() - start);
        start = now_ms();
        if (read_port(port_name, drain.data(), 1, 200) != 0) ++missing;
        t200.push_back(now_ms() - start);
        start = now_ms();
        if (read_port(port_name, drain.data(), static_cast<int>(drain.size()), 100) != 0) ++missing;
        t_drain.push_back(now_ms() - start);
    }
    double start = now_ms();
    if (read_port(port_name, drain.data(), 1, 5000) != 0) ++missing;
    std::vector<double> t5000{now_ms() - start};
    show("silence, 1 byte 100 ms (110)", t100);
    show("silence, 1 byte 200 ms (210)", t200);
    show("silence, 1024 bytes 100 ms (110)", t_drain);
    show("silence, 1 byte 5000 ms (5010)", t5000);
    std::printf("timing: unexpected counts %d\n", missing);
    close_port();
    return missing == 0 ? 0 : 3;
}
