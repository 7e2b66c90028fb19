#include "config/conf_parser.h"

#include "common/unavailable.h"

int conf_process(const char*) {
    report_unavailable("configure");
    return -1;
}
