// Angle texts in the Colon, Dotted and DMC notations, converted to degrees.
#pragma once

// The largest finite single-precision float: returned, after a message, for
// any text that is not a valid angle. Valid results lie within -360 to 360.
constexpr double ANGLE_ERROR = 3.4028234663852886e38;

double dmctodeg(const char* text);
