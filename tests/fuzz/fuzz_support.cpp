#include "fuzz_support.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "console/console.h"
#include "fake_serial.h"
#include "module_state.h"
#include "platform/platform.h"
#include "platform/serial_backend.h"
#include "serial/serial_port.h"

namespace {

FILE* null_output = nullptr;
constexpr int64_t CLOCK_START = 1000;
int64_t fake_clock = CLOCK_START;
fake_serial* device = nullptr;  // the scripted device of the running input

char work_dir[64];

void no_sleep(uint32_t) {}

// The harnesses write only these names.
void remove_work_dir() {
    for (const char* name : {"f", "g", "h"}) unlink(name);
    if (chdir("/") == 0) rmdir(work_dir);
}

// Every look at the clock (in milliseconds) moves it one second on, so a loop
// that waits out a window of seconds ends after a few turns instead of in
// real time.
int64_t racing_clock() { return ++fake_clock * 1000; }

// Once a process: the silent output, and a working directory of its own.
void process_setup() {
    null_output = std::fopen("/dev/null", "w");
    if (null_output == nullptr) fuzz_fail("cannot open /dev/null");
    // The shell can be told to read any file name; keep the ones it writes
    // here in a directory of this process.
    char dir[64];
    std::snprintf(dir, sizeof dir, "/dev/shm/qvfuzz-%ld", static_cast<long>(getpid()));
    mkdir(dir, 0700);
    if (chdir(dir) != 0) fuzz_fail("cannot enter the working directory");
    std::snprintf(work_dir, sizeof work_dir, "%s", dir);
    std::atexit(remove_work_dir);
}

}  // namespace

void fuzz_setup() {
    static bool done = false;
    if (!done) process_setup();
    done = true;
    module_state_reset();
    // QV_FUZZ_SHOW=1 keeps the console on standard output, to see what one
    // input does.
    const char* show = std::getenv("QV_FUZZ_SHOW");
    if (show == nullptr || show[0] != '1') con_set_output(null_output);
    plat_set_sleep_hook(no_sleep);
    fake_clock = CLOCK_START;
    plat_set_clock_hook(racing_clock);
}

int fuzz_write_file(const char* name, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(name, "wb");
    if (f == nullptr) return -1;
    size_t n = size > 0 ? std::fwrite(data, 1, size, f) : 0;
    int rc = std::fclose(f);
    return (n == size && rc == 0) ? 0 : -2;
}

FILE* fuzz_open_input(const uint8_t* data, size_t size) {
    // fmemopen refuses a buffer of no bytes; an empty file stands in for it.
    FILE* stream = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : std::fopen("/dev/null", "rb");
    if (stream == nullptr) fuzz_fail("cannot open the input stream");
    con_set_input(stream);
    return stream;
}

void fuzz_close_input(FILE* stream) {
    con_set_input(nullptr);
    std::fclose(stream);
}

void fuzz_device_start(const uint8_t* script, size_t size, uint32_t fail_write) {
    device = &fake_start();
    device->chunk_rest_lost = true;
    device->write_fails_at = static_cast<int>(fail_write);
    size_t at = 0;
    while (at < size) {
        size_t n = script[at++];
        if (n > size - at) n = size - at;
        device->chunks.emplace_back(script + at, script + at + n);
        at += n;
    }
}

void fuzz_device_stop() {
    // The next input's reset would close a handle left here through the
    // system's backend, which never gave it.
    if (port_handle != SERIAL_INVALID_HANDLE) fuzz_fail("the port handle was left set");
    serial_backend_set(nullptr);
    if (device != nullptr && device->open_count != 0) fuzz_fail("the port was left open");
}

void fuzz_fail(const char* what) {
    std::fprintf(stdout, "fuzz check failed: %s\n", what);
    std::fflush(stdout);
    std::abort();
}
