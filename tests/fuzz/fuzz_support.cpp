#include "fuzz_support.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/serial_backend.h"
#include "shell/console.h"

fuzz_device fuzz_dev;

namespace {

FILE* null_output = nullptr;
int64_t fake_clock = 1000;
constexpr serial_handle FAKE_HANDLE = 7;

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

serial_handle fake_open(const char*) {
    ++fuzz_dev.open_handles;
    return FAKE_HANDLE;
}

bool fake_get_properties(serial_handle, uint32_t block_size, serial_caps* caps) {
    caps->packet_length = static_cast<uint16_t>(block_size > 64 ? 64 : block_size);
    caps->settable_params = 0xFFFFFFFFu;
    caps->settable_data = 0xFFFF;
    caps->settable_stop_parity = 0xFFFF;
    caps->prov_capabilities = 0xFFFFFFFFu;
    return true;
}

bool fake_get_state(serial_handle, serial_settings* settings) {
    *settings = serial_settings{9600, 8, SERIAL_NOPARITY, SERIAL_ONESTOPBIT, false, false, false,
                                SERIAL_DTR_DISABLE, SERIAL_RTS_DISABLE, false, false, false};
    return true;
}

bool fake_set_state(serial_handle, const serial_settings*) { return true; }
bool fake_set_timeouts(serial_handle, const serial_timeouts*) { return true; }

bool fake_read(serial_handle, void* buf, uint32_t size, uint32_t* got) {
    ++fuzz_dev.reads;
    *got = 0;
    if (fuzz_dev.position >= fuzz_dev.script_size) return true;
    size_t n = fuzz_dev.script[fuzz_dev.position++];
    size_t left = fuzz_dev.script_size - fuzz_dev.position;
    if (n > left) n = left;
    size_t take = n < size ? n : size;
    if (take > 0) std::memcpy(buf, fuzz_dev.script + fuzz_dev.position, take);
    fuzz_dev.position += n;  // what did not fit in this read is lost, as on a line
    *got = static_cast<uint32_t>(take);
    return true;
}

bool fake_write(serial_handle, const void*, uint32_t size, uint32_t* written) {
    ++fuzz_dev.writes;
    if (fuzz_dev.writes == fuzz_dev.fail_write) {
        *written = 0;
        plat_save_error(5);
        return false;
    }
    *written = size;
    return true;
}

void fake_purge(serial_handle) {}
void fake_close(serial_handle) { --fuzz_dev.open_handles; }

const serial_backend fake_backend = {
    .open = fake_open,
    .get_properties = fake_get_properties,
    .get_state = fake_get_state,
    .set_state = fake_set_state,
    .set_timeouts = fake_set_timeouts,
    .read = fake_read,
    .write = fake_write,
    .purge = fake_purge,
    .close = fake_close,
};

}  // namespace

void fuzz_setup() {
    static bool done = false;
    if (done) return;
    done = true;
    null_output = std::fopen("/dev/null", "w");
    if (null_output == nullptr) fuzz_fail("cannot open /dev/null");
    // QV_FUZZ_SHOW=1 keeps the console on standard output, to see what one
    // input does.
    const char* show = std::getenv("QV_FUZZ_SHOW");
    if (show == nullptr || show[0] != '1') con_set_output(null_output);
    plat_set_sleep_hook(no_sleep);
    plat_set_clock_hook(racing_clock);
    // The shell can be told to read any file name; keep the ones it writes
    // here in a directory of this process.
    char dir[64];
    std::snprintf(dir, sizeof dir, "/dev/shm/qvfuzz-%ld", static_cast<long>(getpid()));
    mkdir(dir, 0700);
    if (chdir(dir) != 0) fuzz_fail("cannot enter the working directory");
    std::snprintf(work_dir, sizeof work_dir, "%s", dir);
    std::atexit(remove_work_dir);
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
    fuzz_dev = fuzz_device{script, size, 0, fail_write, 0, 0, 0};
    serial_backend_set(&fake_backend);
}

void fuzz_device_stop() {
    serial_backend_set(nullptr);
    if (fuzz_dev.open_handles != 0) fuzz_fail("the port was left open");
}

void fuzz_fail(const char* what) {
    std::fprintf(stdout, "fuzz check failed: %s\n", what);
    std::fflush(stdout);
    std::abort();
}
