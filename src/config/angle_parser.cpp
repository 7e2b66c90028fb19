#include "config/angle_parser.h"

double dmctodeg(const char*) { return ANGLE_ERROR; }
