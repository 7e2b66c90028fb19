// Angle texts: any text gives either the error value or degrees in -360..360.
#include <cstring>
#include <vector>

#include "config/angle_parser.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    std::vector<char> text(size + 1, '\0');
    if (size > 0) std::memcpy(text.data(), data, size);
    double degrees = dmctodeg(text.data());
    if (degrees != ANGLE_ERROR && !(degrees >= -360.0 && degrees <= 360.0)) fuzz_fail("angle out of range");
    return 0;
}
