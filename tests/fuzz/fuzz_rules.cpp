// The rules parser on fuzzed files, then the display of the rule table.
#include "fuzz_support.h"
#include "rules/rule_table.h"
#include "rules/rules_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    if (fuzz_write_file("f", data, size) != 0) return 0;
    int rc = rules_process("f");
    if (rc > 0) fuzz_fail("rules_process returned a positive code");
    rules_display();
    return 0;
}
