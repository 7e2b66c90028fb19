#include "rules/rule_table.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/conf_image.h"
#include "console/console.h"

std::array<rule_entry, RULE_MAX> rule_table{};
bool rules_processed = false;

const std::array<rule_command, 9> rule_command_table = {{
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

void rule_set_f32(rule_entry& rule, size_t offset, float value) {
    if (offset + sizeof value <= sizeof rule.slot) std::memcpy(rule.slot + offset, &value, sizeof value);
}

const char* rule_kind_name(int kind) {
    for (const rule_command& entry : rule_command_table) {
        if (entry.kind == kind) return entry.word;
    }
    return "?";
}

namespace {
float rule_get_f32(const rule_entry& rule, size_t offset) {
    float value = 0.0f;
    if (offset + sizeof value <= sizeof rule.slot) std::memcpy(&value, rule.slot + offset, sizeof value);
    return value;
}

// Each argument text holds at most 19 characters; longer ones are cut.
using arg_text = std::array<char, 20>;

void arg_print(arg_text& text, const char* format, ...) QV_PRINTF_LIKE(2, 3);
void arg_print(arg_text& text, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    if (n < 0) text[0] = '\0';
}

const char* action_word(uint8_t flags) {
    switch (flags & 0x0F) {
    case RULE_PASS:
        return "Pass";
    case RULE_DROP:
        return "Drop";
    default:
        return "?";
    }
}

void fill_call_texts(const rule_entry& rule, arg_text& a) {
    // The call need not be terminated; it is shown left-justified in as many
    // columns as it may have characters.
    char call[RULE_CALL_MAX + 1] = {};
    std::memcpy(call, rule.slot + RULE_OFF_CALL, RULE_CALL_MAX);
    if (rule.flags & RULE_ANY) {
        arg_print(a, "*");
    } else if (rule.flags & RULE_PREFIX) {
        arg_print(a, "%-*s*", RULE_CALL_MAX, call);
    } else if (rule.flags & RULE_SSID) {
        arg_print(a, "%-*s-%d", RULE_CALL_MAX, call, static_cast<int>(rule.slot[RULE_OFF_SSID]));
    } else {
        arg_print(a, "%-*s", RULE_CALL_MAX, call);
    }
}

double value_at(const rule_entry& rule, size_t offset) { return static_cast<double>(rule_get_f32(rule, offset)); }

// The value texts of the area rules: each text's format and where its value
// stands in the record; a text without a format is left empty (or, for the
// compass, holds the direction).
struct value_text {
    const char* format;
    size_t offset;
};
using value_texts = std::array<value_text, 4>;

const value_texts circle_texts = {{
    {"%-.3f mi R,", RULE_OFF_RADIUS},
    {"%-10.6f D Lat,", RULE_OFF_LAT},
    {"%-11.5f D Lon", RULE_OFF_LON},
    {nullptr, 0},
}};
const value_texts compass_texts = {{
    {nullptr, 0},
    {"%-10.6f D Lat,", RULE_OFF_LAT},
    {"%-11.5f D Lon", RULE_OFF_LON},
    {nullptr, 0},
}};
const value_texts rectangle_texts = {{
    {"%-10.6f D Lat1,", RULE_OFF_LAT1},
    {"%-11.5f D Lon1,", RULE_OFF_LON1},
    {"%-10.6f D Lat2,", RULE_OFF_LAT2},
    {"%-11.5f D Lon2", RULE_OFF_LON2},
}};
const value_texts sector_texts = {{
    {"%-.3f D Ang1,", RULE_OFF_ANGLE1},
    {"%-.3f D Ang2,", RULE_OFF_ANGLE2},
    {"%-.3f In R,", RULE_OFF_INNER},
    {"%-.3f Out R", RULE_OFF_OUTER},
}};

using arg_texts = std::array<arg_text, 4>;

void fill_value_texts(const rule_entry& rule, const value_texts& formats, arg_texts& texts) {
    for (size_t i = 0; i < formats.size(); ++i) {
        if (formats[i].format != nullptr) arg_print(texts[i], formats[i].format, value_at(rule, formats[i].offset));
    }
}

// The four argument texts of a rule, by its kind; all empty for a kind that
// no rule has.
void fill_texts(const rule_entry& rule, arg_texts& texts) {
    switch (static_cast<rule_kind>(rule.kind)) {
    case RULE_KIND_IMPLICIT:
        break;
    case RULE_KIND_DESTIN:
    case RULE_KIND_SOURCE:
        fill_call_texts(rule, texts[0]);
        break;
    case RULE_KIND_CIRCLE:
        fill_value_texts(rule, circle_texts, texts);
        break;
    case RULE_KIND_COMPASS: {
        uint8_t dir = rule.slot[RULE_OFF_DIRECTION];
        arg_print(texts[0], "%-2s Dir,", dir < compass_names.size() ? compass_names[dir] : "?");
        fill_value_texts(rule, compass_texts, texts);
        break;
    }
    case RULE_KIND_RECTANGLE:
        fill_value_texts(rule, rectangle_texts, texts);
        break;
    case RULE_KIND_SECTOR:
        fill_value_texts(rule, sector_texts, texts);
        break;
    }
}
}  // namespace

void rules_display() {
    if (conf_image.rule_count == 0) {
        con_print("No Rules are configured!  Implicit Rule Action is %s\n",
                  implicit_action_word(conf_image.implicit_action));
        return;
    }
    con_print("Rule count %d plus Implicit\n", static_cast<int>(conf_image.rule_count));
    con_print("\n%-6s %-9s %-s Arguments\n", "Action", "Command", "Mods");
    con_print("%-6s %-9s\n", implicit_action_word(conf_image.implicit_action), "Implicit");
    int count = conf_image.rule_count < RULE_MAX ? conf_image.rule_count : RULE_MAX;
    for (int i = 0; i < count; ++i) {
        const rule_entry& rule = rule_table[static_cast<size_t>(i)];
        arg_texts texts{};
        fill_texts(rule, texts);
        con_print("%-6s %-9s %02x   %s %s %s %s\n", action_word(rule.flags), rule_kind_name(rule.kind),
                  static_cast<unsigned>(rule.flags & 0xF0), texts[0].data(), texts[1].data(), texts[2].data(),
                  texts[3].data());
    }
}
