#include "rules/rule_table.h"

#include <cstring>

#include "config/conf_image.h"
#include "shell/console.h"

std::array<rule_entry, RULE_MAX> rule_table{};
bool rules_processed = false;

const std::array<rule_word, 9> rule_command_table = {{
    {"implicit", RULE_KIND_IMPLICIT},
    {"destin", RULE_KIND_DESTIN},
    {"dst", RULE_KIND_DESTIN},
    {"source", RULE_KIND_SOURCE},
    {"src", RULE_KIND_SOURCE},
    {"circle", RULE_KIND_CIRCLE},
    {"compass", RULE_KIND_COMPASS},
    {"rectangle", RULE_KIND_RECTANGLE},
    {"sector", RULE_KIND_SECTOR},
}};

const std::array<const char*, 9> compass_names = {"Error", "N", "NE", "E", "SE", "S", "SW", "W", "NW"};

float rule_get_f32(const rule_entry& rule, size_t offset) {
    float value = 0.0f;
    if (offset + sizeof value <= sizeof rule.slot) std::memcpy(&value, rule.slot + offset, sizeof value);
    return value;
}

void rule_set_f32(rule_entry& rule, size_t offset, float value) {
    if (offset + sizeof value <= sizeof rule.slot) std::memcpy(rule.slot + offset, &value, sizeof value);
}

const char* rule_kind_name(int kind) {
    for (const rule_word& entry : rule_command_table) {
        if (entry.code == kind) return entry.word;
    }
    return "?";
}

void rules_display() {
    con_print("No Rules are configured!  Implicit Rule Action is %s\n",
              conf_image.implicit_action == IMPLICIT_DROP   ? "Drop"
              : conf_image.implicit_action == IMPLICIT_PASS ? "Pass"
                                                            : "?");
}
