// The command shell's line handling: a fuzzed script of command lines (and of
// answers to its questions), with a fuzzed file "f" for configure and rules and
// a scripted device behind connect and firmware. The input is cut at lines
// "%%": script, file f, device replies.
#include "fuzz_split.h"
#include "fuzz_support.h"
#include "serial/dev_connection.h"
#include "serial/serial_port.h"
#include "shell/command_shell.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    fuzz_part parts[3];
    int count = fuzz_split(data, size, parts, 3);
    if (count > 1 && fuzz_write_file("f", parts[1].data, parts[1].size) != 0) return 0;
    if (count > 2) {
        fuzz_device_start(parts[2].data, parts[2].size, 0);
    } else {
        fuzz_device_start(nullptr, 0, 0);
    }
    FILE* script = fuzz_open_input(parts[0].data, parts[0].size);
    int rc = command_shell();
    fuzz_close_input(script);
    if (rc != 0 && rc != 1) fuzz_fail("command_shell status other than 0 or 1");
    // A connection may stand at the end of the script; end it as exit would.
    if (connected != 0) {
        close_port();
        connected = 0;
    }
    fuzz_device_stop();
    return 0;
}
