#include "rules/rules_parser.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "common/directive_scan.h"
#include "common/number_text.h"
#include "common/text_file.h"
#include "common/word_table.h"
#include "config/angle_parser.h"
#include "config/conf_image.h"
#include "console/console.h"
#include "rules/rule_table.h"

namespace {
// Separator sets of the words of a rule line. Coordinates end only at a tab
// or comma, so they keep their blanks for the angle parser.
constexpr const char* BLANK_SET = " \t,";
constexpr const char* COORD_SET = "\t,";
// Deliberate (last-coordinate-blank): a blank does not end the last coordinate; a blank after it fails there.
constexpr const char* LAST_COORD_SET = "#/;\t,";
constexpr const char* CALL_SET = "#/; \t,";

const std::array<word_code, 4> rule_action_table = {{
    {"drop", RULE_DROP},
    {"d", RULE_DROP},
    {"pass", RULE_PASS},
    {"p", RULE_PASS},
}};

// One run: the file, where its messages point and the record being filled.
struct rules_run {
    directive_file df;
    const char* path;
    rule_entry* rule;
};

// A line error without an extra value: "<path>[<line>]: <text>:\n<line>\n".
int line_error(const rules_run& run, const char* text, int code) {
    con_print("\a\aError: %s[%d]: %s:\n%s\n", run.path, shown_line(run.df), text, line_echo.data());
    return code;
}

// The next argument; its missing or commented-out message when it is not there.
int take_arg(rules_run& run, const char* separators, const char* none_text, int none_code,
             const char* commented_text, int commented_code, char** word) {
    directive_arg_state state = directive_arg(run.df, separators, word);
    if (state == DIRECTIVE_ARG_NONE) return line_error(run, none_text, none_code);
    if (state == DIRECTIVE_ARG_COMMENTED) return line_error(run, commented_text, commented_code);
    return RULES_OK;
}

struct angle_arg {
    const char* separators;
    const char* missing_text;  // the same text whether absent or commented out
    int none_code;
    int commented_code;
    const char* range_format;  // receives path, line, value, line_echo
    int range_code;
    double low;
    double high;
    size_t offset;
};

int take_angle(rules_run& run, const angle_arg& arg) {
    char* word = nullptr;
    int rc = take_arg(run, arg.separators, arg.missing_text, arg.none_code, arg.missing_text, arg.commented_code,
                      &word);
    if (rc != RULES_OK) return rc;
    // Deliberate (angle-error-twice): a bad angle prints the angle parser's message, then this range message.
    // ANGLE_ERROR lies beyond every range, so a bad text fails here too.
    double value = dmctodeg(word);
    if (!(value >= arg.low && value <= arg.high)) {
        con_print(arg.range_format, run.path, shown_line(run.df), value, line_echo.data());
        return arg.range_code;
    }
    rule_set_f32(*run.rule, arg.offset, static_cast<float>(value));
    return RULES_OK;
}

// Walks the angles of an area rule, in the order they are written.
template <size_t N>
int take_angles(rules_run& run, const std::array<angle_arg, N>& args) {
    for (const angle_arg& arg : args) {
        int rc = take_angle(run, arg);
        if (rc != RULES_OK) return rc;
    }
    return RULES_OK;
}

constexpr const char* LAT_RANGE = "\a\aError: %s[%d]: invalid Latitude range [-90..90]: %f:\n%s\n";
constexpr const char* LON_RANGE = "\a\aError: %s[%d]: invalid Longitude range [-180..180]: %f:\n%s\n";

// The angles of each area rule: how each is taken, checked and stored.
const std::array<angle_arg, 2> circle_angles = {{
    {COORD_SET, "missing Latitude", RULES_ERR_CIRCLE_LATITUDE_MISSING, RULES_ERR_CIRCLE_LATITUDE_COMMENTED, LAT_RANGE,
     RULES_ERR_CIRCLE_LATITUDE_RANGE, -90, 90, RULE_OFF_LAT},
    {LAST_COORD_SET, "missing Longitude", RULES_ERR_CIRCLE_LONGITUDE_MISSING, RULES_ERR_CIRCLE_LONGITUDE_COMMENTED,
     LON_RANGE, RULES_ERR_CIRCLE_LONGITUDE_RANGE, -180, 180, RULE_OFF_LON},
}};
const std::array<angle_arg, 2> compass_angles = {{
    {COORD_SET, "missing Latitude", RULES_ERR_COMPASS_LATITUDE_MISSING, RULES_ERR_COMPASS_LATITUDE_COMMENTED,
     LAT_RANGE, RULES_ERR_COMPASS_LATITUDE_RANGE, -90, 90, RULE_OFF_LAT},
    {LAST_COORD_SET, "missing Longitude", RULES_ERR_COMPASS_LONGITUDE_MISSING, RULES_ERR_COMPASS_LONGITUDE_COMMENTED,
     LON_RANGE, RULES_ERR_COMPASS_LONGITUDE_RANGE, -180, 180, RULE_OFF_LON},
}};
const std::array<angle_arg, 4> rectangle_angles = {{
    {COORD_SET, "missing Latitude1", RULES_ERR_RECTANGLE_LATITUDE1_MISSING, RULES_ERR_RECTANGLE_LATITUDE1_COMMENTED,
     "\a\aError: %s[%d]: invalid Latitude1 range [-90..90]: %f:\n%s\n", RULES_ERR_RECTANGLE_LATITUDE1_RANGE, -90, 90,
     RULE_OFF_LAT1},
    {COORD_SET, "missing Longitude1", RULES_ERR_RECTANGLE_LONGITUDE1_MISSING, RULES_ERR_RECTANGLE_LONGITUDE1_COMMENTED,
     "\a\aError: %s[%d]: invalid Longitude1 range [-180..180]: %f:\n%s\n", RULES_ERR_RECTANGLE_LONGITUDE1_RANGE, -180,
     180, RULE_OFF_LON1},
    {COORD_SET, "missing Latitude2", RULES_ERR_RECTANGLE_LATITUDE2_MISSING, RULES_ERR_RECTANGLE_LATITUDE2_COMMENTED,
     "\a\aError: %s[%d]: invalid Latitude2 range [-90..90]: %f:\n%s\n", RULES_ERR_RECTANGLE_LATITUDE2_RANGE, -90, 90,
     RULE_OFF_LAT2},
    {LAST_COORD_SET, "missing Longitude2", RULES_ERR_RECTANGLE_LONGITUDE2_MISSING,
     RULES_ERR_RECTANGLE_LONGITUDE2_COMMENTED, "\a\aError: %s[%d]: invalid Longitude2 range [-180..180]: %f:\n%s\n",
     RULES_ERR_RECTANGLE_LONGITUDE2_RANGE, -180, 180, RULE_OFF_LON2},
}};
const std::array<angle_arg, 2> sector_angles = {{
    {COORD_SET, "missing Angle1", RULES_ERR_SECTOR_ANGLE1_MISSING, RULES_ERR_SECTOR_ANGLE1_COMMENTED,
     "\a\aError: %s[%d]: invalid Angle1, range [0..360]: %f:\n%s\n", RULES_ERR_SECTOR_ANGLE1_RANGE, 0, 360,
     RULE_OFF_ANGLE1},
    {COORD_SET, "missing Angle2", RULES_ERR_SECTOR_ANGLE2_MISSING, RULES_ERR_SECTOR_ANGLE2_COMMENTED,
     "\a\aError: %s[%d]: invalid Angle2, range [0..360]: %f:\n%s\n", RULES_ERR_SECTOR_ANGLE2_RANGE, 0, 360,
     RULE_OFF_ANGLE2},
}};

int handle_call(rules_run& run, bool destin) {
    char* word = nullptr;
    int rc = destin ? take_arg(run, CALL_SET, "missing Destination", RULES_ERR_DESTIN_MISSING,
                             "missing Destination string", RULES_ERR_DESTIN_COMMENTED, &word)
                    : take_arg(run, CALL_SET, "missing Source", RULES_ERR_SOURCE_MISSING,
                             "missing Source string", RULES_ERR_SOURCE_COMMENTED, &word);
    if (rc != RULES_OK) return rc;
    rule_entry& rule = *run.rule;
    if (word[0] == '*') {
        rule.flags |= RULE_PREFIX | RULE_ANY;
        return RULES_OK;
    }
    char* star = std::strchr(word, '*');
    if (star != nullptr) {
        *star = '\0';
        rule.flags |= RULE_PREFIX;
    } else {
        char* dash = std::strchr(word, '-');
        if (dash != nullptr) {
            *dash = '\0';
            int ssid = text_whole(dash + 1);
            if (ssid < 0 || ssid > 15) {
                con_print("\a\aError: %s[%d]: invalid SSID range [0..15]: %d:\n%s\n", run.path, shown_line(run.df),
                          ssid, line_echo.data());
                return RULES_ERR_SSID_RANGE;
            }
            rule.flags |= RULE_SSID;
            rule.slot[RULE_OFF_SSID] = static_cast<uint8_t>(ssid);
        }
    }
    size_t len = std::strlen(word);
    if (len > static_cast<size_t>(RULE_CALL_MAX)) {
        con_print(destin ? "\a\aError: %s[%d]: Destination is too long: %s:\n%s\n"
                         : "\a\aError: %s[%d]: Source is too long: %s:\n%s\n",
                  run.path, shown_line(run.df), word, line_echo.data());
        return destin ? RULES_ERR_DESTIN_TOO_LONG : RULES_ERR_SOURCE_TOO_LONG;
    }
    std::memcpy(rule.slot + RULE_OFF_CALL, word, len);
    return RULES_OK;
}

int handle_circle(rules_run& run) {
    char* word = nullptr;
    int rc = take_arg(run, BLANK_SET, "missing Radius", RULES_ERR_CIRCLE_RADIUS_MISSING, "missing Range",
                      RULES_ERR_CIRCLE_RADIUS_COMMENTED, &word);
    if (rc != RULES_OK) return rc;
    double radius = text_decimal(word, true);
    // A radius beyond the float range would be stored as infinity.
    if (!fits_f32(radius) || !(static_cast<float>(radius) > 0.0f)) {
        con_print("\a\aError: %s[%d]: invalid Circle Radius, must be > 0: %f:\n%s\n", run.path, shown_line(run.df),
                  radius, line_echo.data());
        return RULES_ERR_CIRCLE_RADIUS_RANGE;
    }
    rule_set_f32(*run.rule, RULE_OFF_RADIUS, static_cast<float>(radius));
    return take_angles(run, circle_angles);
}

int handle_compass(rules_run& run) {
    char* word = nullptr;
    int rc = take_arg(run, BLANK_SET, "missing Compass Direction", RULES_ERR_COMPASS_DIRECTION_MISSING,
                      "missing Direction", RULES_ERR_COMPASS_DIRECTION_COMMENTED, &word);
    if (rc != RULES_OK) return rc;
    size_t dir = 0;
    for (size_t i = 1; i < compass_names.size(); ++i) {
        if (nocase_equal(word, compass_names[i])) {
            dir = i;
            break;
        }
    }
    if (dir == 0) {
        con_print("\a\aError: %s[%d]: invalid compass Direction %s:\n%s\n", run.path, shown_line(run.df), word,
                  line_echo.data());
        return RULES_ERR_COMPASS_DIRECTION;
    }
    run.rule->slot[RULE_OFF_DIRECTION] = static_cast<uint8_t>(dir);
    return take_angles(run, compass_angles);
}

int handle_sector(rules_run& run) {
    int rc = take_angles(run, sector_angles);
    if (rc != RULES_OK) return rc;
    char* word = nullptr;
    rc = take_arg(run, CALL_SET, "missing Inner Range", RULES_ERR_SECTOR_INNER_MISSING, "missing Inner Range",
                  RULES_ERR_SECTOR_INNER_COMMENTED, &word);
    if (rc != RULES_OK) return rc;
    double inner = text_decimal(word, true);
    // Deliberate (inner-digit): the inner range must begin with a digit (".5" is refused); the outer range need not.
    if (word[0] < '0' || word[0] > '9' || !fits_f32(inner)) {
        return line_error(run, "invalid or missing Inner Range", RULES_ERR_SECTOR_INNER);
    }
    float inner_f = static_cast<float>(inner);
    rule_set_f32(*run.rule, RULE_OFF_INNER, inner_f);
    // The outer range is optional: absent or commented out, it stays 0.
    if (directive_arg(run.df, CALL_SET, &word) != DIRECTIVE_ARG_OK) return RULES_OK;
    double outer = text_decimal(word, true);
    if (!fits_f32(outer) || !(static_cast<float>(outer) > inner_f)) {
        con_print("\a\aError: %s[%d]: invalid Outer Range, must be > Inner Range: %f:\n%s\n", run.path,
                  shown_line(run.df), outer, line_echo.data());
        return RULES_ERR_SECTOR_OUTER;
    }
    rule_set_f32(*run.rule, RULE_OFF_OUTER, static_cast<float>(outer));
    return RULES_OK;
}

// The arguments of a rule of the given kind into its record. An implicit
// line has neither arguments nor a record.
int take_rule_arguments(rules_run& run, rule_kind kind) {
    switch (kind) {
    case RULE_KIND_IMPLICIT:
        break;
    case RULE_KIND_DESTIN:
    case RULE_KIND_SOURCE:
        return handle_call(run, kind == RULE_KIND_DESTIN);
    case RULE_KIND_CIRCLE:
        return handle_circle(run);
    case RULE_KIND_COMPASS:
        return handle_compass(run);
    case RULE_KIND_RECTANGLE:
        return take_angles(run, rectangle_angles);
    case RULE_KIND_SECTOR:
        return handle_sector(run);
    }
    return RULES_OK;
}

// The action code of the line's action word (RULE_DROP or RULE_PASS), or
// RULES_ERR_ACTION after its message.
int take_action(const rules_run& run, const char* word) {
    int row = word_find(rule_action_table, word);
    if (row == WORD_NONE) {
        con_print("\a\aError: %s[%d]: action %s invalid:\n%s\n", run.path, shown_line(run.df), word, line_echo.data());
        return RULES_ERR_ACTION;
    }
    return rule_action_table[static_cast<size_t>(row)].code;
}

// The kind of the line's command word into kind (RULES_OK), or a failure
// after its message. With 100 lines accepted already, any command word is one
// too many.
int take_kind(rules_run& run, int accepted, rule_kind& kind) {
    char* command = directive_word(run.df, BLANK_SET);
    if (command == nullptr) return line_error(run, "missing arguments", RULES_ERR_MISSING_ARGUMENTS);
    if (directive_is_comment_char(command[0])) return line_error(run, "missing command", RULES_ERR_COMMAND_COMMENTED);
    // Deliberate (limit-first): the rule limit is checked before the command word is looked up.
    if (accepted >= RULE_MAX) {
        con_print("\a\aError: %s[%d]: rule limit (%d) exceeded:\n%s\n", run.path, shown_line(run.df), RULE_MAX,
                  line_echo.data());
        return RULES_ERR_LIMIT;
    }
    int row = word_lookup(rule_command_table, &rule_command::word, command);
    if (row == WORD_AMBIGUOUS) {
        con_print("\a\aError: %s[%d]: Ambiguous command: %s:\n%s\n", run.path, shown_line(run.df), command,
                  line_echo.data());
        return RULES_ERR_COMMAND;
    }
    if (row == WORD_NONE) {
        con_print("\a\aError: %s[%d]: command %s invalid:\n%s\n", run.path, shown_line(run.df), command,
                  line_echo.data());
        return RULES_ERR_COMMAND;
    }
    kind = rule_command_table[static_cast<size_t>(row)].kind;
    return RULES_OK;
}

// Lines accepted so far, and how many of them were "implicit".
struct rule_counts {
    int accepted = 0;
    int implicit = 0;
};

// One line whose first word is the action: an "implicit" command, or a rule
// into the next free record.
int process_rule_line(rules_run& run, const char* action_text, rule_counts& counts) {
    const int action = take_action(run, action_text);
    if (action < 0) return action;
    rule_kind kind = RULE_KIND_IMPLICIT;
    const int taken = take_kind(run, counts.accepted, kind);
    if (taken != RULES_OK) return taken;
    if (kind == RULE_KIND_IMPLICIT) {
        // Deliberate (implicit-survives): an implicit line keeps its effect when a later line of the file fails.
        conf_image.implicit_action = action == RULE_DROP ? IMPLICIT_DROP : IMPLICIT_PASS;
        ++counts.implicit;
        ++counts.accepted;
        return RULES_OK;
    }
    // Fewer than 100 accepted lines, so a record is free.
    run.rule = &rule_table[static_cast<size_t>(counts.accepted - counts.implicit)];
    run.rule->kind = kind;
    run.rule->flags = static_cast<uint8_t>(action);
    run.rule->line = static_cast<uint16_t>(run.df.line_number);
    int rc = take_rule_arguments(run, kind);
    if (rc != RULES_OK) return rc;
    ++counts.accepted;
    return RULES_OK;
}

int process_lines(rules_run& run) {
    rule_counts counts;
    while (directive_read(run.df)) {
        char* action_text = directive_first_word(run.df);
        if (action_text == nullptr) continue;
        int rc = process_rule_line(run, action_text, counts);
        if (rc != RULES_OK) return rc;
    }
    // A read that failed is no end of the file: the rest of it was never seen.
    if (run.df.read_error != 0) {
        con_print("\a\aError: %s[%d]: read error: %s\n", run.path, shown_line(run.df),
                  text_file_error(run.df.read_error));
        return RULES_ERR_READ;
    }
    conf_image.rule_count = static_cast<uint16_t>(counts.accepted - counts.implicit);
    rules_processed = true;
    con_print("Rules processed %d, implicit %d\n", static_cast<int>(conf_image.rule_count), counts.implicit);
    return RULES_OK;
}
}  // namespace

int rules_process(const char* path) {
    rules_run run{};
    run.path = path;
    int opened = directive_open(run.df, path, "rules_process");
    if (opened == DIRECTIVE_ERR_NO_PATH) return RULES_ERR_NO_PATH;
    if (opened != DIRECTIVE_OPENED) return RULES_ERR_OPEN;
    conf_image.implicit_action = IMPLICIT_PASS;
    conf_image.rule_count = 0;
    rules_processed = false;
    std::memset(rule_table.data(), 0, sizeof rule_table);
    int rc = process_lines(run);
    directive_close(run.df);
    return rc;
}
