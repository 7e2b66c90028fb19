// The firmware file check on fuzzed files: a record count or one of its codes.
#include "firmware/inhex_verify.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    FILE* file = fuzz_open_input(data, size);
    int rc = inhexverify(file);
    fuzz_close_input(file);
    if (rc == 0 || rc < INHEX_ERR_AFTER_END) fuzz_fail("inhexverify result outside its codes");
    return 0;
}
