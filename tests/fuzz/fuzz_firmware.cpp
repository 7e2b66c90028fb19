// The firmware loader on fuzzed loader replies. Input: one byte naming the
// write that fails (0 none), then either the reply script alone (with a small
// valid firmware file) or a firmware file, a line "%%" and the reply script.
#include "firmware/fw_loader.h"
#include "fuzz_split.h"
#include "fuzz_support.h"
#include "serial/serial_port.h"

namespace {
const char small_file[] =
    ":10010000214601360121470136007EFE09D2190140\n"
    ":100110002146017E17C20001FF5F16002148011928\n"
    ":00000001FF\n";
const char enter_lines[] = "\n\n\n";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    if (size < 1) return 0;
    uint32_t fail_write = data[0] % 16;
    fuzz_part parts[2];
    int count = fuzz_split(data + 1, size - 1, parts, 2);
    fuzz_part replies = parts[count - 1];
    int rc = count > 1 ? fuzz_write_file("h", parts[0].data, parts[0].size)
                       : fuzz_write_file("h", reinterpret_cast<const uint8_t*>(small_file), sizeof small_file - 1);
    if (rc != 0) return 0;
    FILE* answers = fuzz_open_input(reinterpret_cast<const uint8_t*>(enter_lines), sizeof enter_lines - 1);
    fuzz_device_start(replies.data, replies.size, fail_write);
    rc = firmware("COM1", "h");
    fuzz_close_input(answers);
    if (rc > 0 || rc < FW_ERR_INTERRUPTED || rc == -3) fuzz_fail("firmware result outside its codes");
    if (port_handle != SERIAL_INVALID_HANDLE) fuzz_fail("the loader left the port open");
    fuzz_device_stop();
    return 0;
}
