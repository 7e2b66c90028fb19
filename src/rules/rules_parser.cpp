#include "rules/rules_parser.h"

#include "common/unavailable.h"

int rules_process(const char*) {
    report_unavailable("rules");
    return -1;
}
