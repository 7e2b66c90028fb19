// The station configuration parser on fuzzed files, then the display of
// whatever it took in.
#include "config/conf_image.h"
#include "config/conf_parser.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    if (fuzz_write_file("f", data, size) != 0) return 0;
    int rc = conf_process("f");
    if (rc > 0) fuzz_fail("conf_process returned a positive code");
    conf_display();
    return 0;
}
