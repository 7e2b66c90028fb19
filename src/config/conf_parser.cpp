#include "config/conf_parser.h"

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
#include "serial/baud_table.h"

namespace {
// Keyword codes: part of the one numbering shared with the shell and the rules.
constexpr int KW_DSTAR = 2;
constexpr int KW_TNC = 3;
constexpr int KW_HOST = 4;
constexpr int KW_CALL = 9;
constexpr int KW_SSID = 10;
constexpr int KW_POSITION = 11;
constexpr int KW_WIDEMAX = 14;
constexpr int KW_WIDETOTAL = 15;
constexpr int KW_HALTONERR = 16;
constexpr int KW_DROPMANGLD = 17;
constexpr int KW_FIXVALID = 18;
constexpr int KW_RELAY = 19;
constexpr int KW_NSR = 20;
constexpr int KW_LOG = 32;
constexpr int KW_DUPEWIN = 34;
constexpr int KW_DIGIPATH = 35;

const std::array<word_code, 17> conf_keyword_table = {{
    {"call", KW_CALL},
    {"ssid", KW_SSID},
    {"position", KW_POSITION},
    {"base", KW_POSITION},
    {"log", KW_LOG},
    {"dropmangld", KW_DROPMANGLD},
    {"haltonerr", KW_HALTONERR},
    {"fixvalid", KW_FIXVALID},
    {"host", KW_HOST},
    {"tnc", KW_TNC},
    {"dstar", KW_DSTAR},
    {"nsr", KW_NSR},
    {"relay", KW_RELAY},
    {"widemax", KW_WIDEMAX},
    {"widetotal", KW_WIDETOTAL},
    {"dupewin", KW_DUPEWIN},
    {"digipath", KW_DIGIPATH},
}};

// Arguments end at comment characters, blanks, tabs and commas.
constexpr const char* ARG_SEPARATORS = "#/; \t,";

// The next argument, or the keyword's missing message: CONF_ERR_ARGUMENT at
// the end of the line, CONF_ERR_COMMENTED when the word stands after the
// comment character.
int take_arg(directive_file& df, const char* separators, const char* missing_format, char** word) {
    directive_arg_state state = directive_arg(df, separators, word);
    if (state == DIRECTIVE_ARG_OK) return CONF_OK;
    con_print(missing_format, shown_line(df), line_echo.data());
    return state == DIRECTIVE_ARG_COMMENTED ? CONF_ERR_COMMENTED : CONF_ERR_ARGUMENT;
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int handle_baud(directive_file& df, uint32_t& field) {
    char* word = nullptr;
    int rc = take_arg(df, ARG_SEPARATORS, "\a\aError: line %d: missing Baud argument: %s\n", &word);
    if (rc != CONF_OK) return rc;
    int value = text_whole(word);
    if (get_baud(value) == nullptr) {
        con_print("\a\aError: line %d: invalid Baud argument: %d: %s\n", shown_line(df), value, line_echo.data());
        return CONF_ERR_ARGUMENT;
    }
    field = static_cast<uint32_t>(value);
    return CONF_OK;
}

int handle_call(directive_file& df) {
    char* word = nullptr;
    int rc = take_arg(df, ARG_SEPARATORS, "\a\aError: line %d: missing Call Sign argument: %s\n", &word);
    if (rc != CONF_OK) return rc;
    size_t len = std::strlen(word);
    if (len > static_cast<size_t>(CONF_CALL_MAX)) {
        con_print("\a\aError: line %d: invalid Call Sign argument: too long: %s\n", shown_line(df),
                  line_echo.data());
        return CONF_ERR_ARGUMENT;
    }
    // Deliberate (call-rest-kept): only the text and its terminator are written; the rest of the field stays.
    for (size_t i = 0; i < len; ++i) conf_image.station_call[i] = upper(word[i]);
    conf_image.station_call[len] = '\0';
    return CONF_OK;
}

// A whole number in [low, high]; the range message names the argument.
int handle_ranged(directive_file& df, uint16_t& field, const char* missing_format, const char* range_format,
                  int low, int high, bool c_integer) {
    char* word = nullptr;
    int rc = take_arg(df, ARG_SEPARATORS, missing_format, &word);
    if (rc != CONF_OK) return rc;
    int value = c_integer ? text_c_integer(word) : text_whole(word);
    if (value < low || value > high) {
        con_print(range_format, shown_line(df), value, line_echo.data());
        return CONF_ERR_ARGUMENT;
    }
    field = static_cast<uint16_t>(value);
    return CONF_OK;
}

int handle_flag(directive_file& df, uint16_t& field) {
    char* word = nullptr;
    int rc = take_arg(df, ARG_SEPARATORS, "\a\aError: line %d: missing y | n argument: %s\n", &word);
    if (rc != CONF_OK) return rc;
    // Deliberate (flag-first-character): only the first character of a flag counts, so "on" reads as no.
    field = std::strchr("1ETYety", word[0]) != nullptr ? 1 : 0;
    return CONF_OK;
}

// A position's angle in degrees, or CONF_ERR_ARGUMENT after the message of a
// word the angle parser refuses (invalid_format) or of an angle beyond +-limit
// degrees (range_format).
int station_angle(const directive_file& df, const char* word, const char* invalid_format, double limit,
                  const char* range_format, double& value) {
    value = dmctodeg(word);
    if (value == ANGLE_ERROR) {
        con_print(invalid_format, shown_line(df), word, line_echo.data());
        return CONF_ERR_ARGUMENT;
    }
    // Deliberate (impossible-position): a base position off the earth is refused, as the rules file refuses one.
    // The device takes the position as it is: one outside the earth (a
    // longitude written first, say) is refused here, as the rules file does.
    if (value < -limit || value > limit) {
        con_print(range_format, shown_line(df), value, line_echo.data());
        return CONF_ERR_ARGUMENT;
    }
    return CONF_OK;
}

int handle_position(directive_file& df) {
    // Deliberate (position-comment): "position # x" is an invalid latitude, not a missing one.
    // The latitude is taken without the comment test, so "position # x"
    // hands "#" to the angle parser.
    char* word = directive_word(df, " \t,");
    if (word == nullptr) {
        con_print("\a\aError: line %d: missing Station Latitude argument: %s\n", shown_line(df), line_echo.data());
        return CONF_ERR_ARGUMENT;
    }
    double degrees = 0.0;
    int rc = station_angle(df, word, "\a\aError: line %d: invalid Station Latitude argument: %s: %s\n", 90.0,
                           "\a\aError: line %d: invalid Station Latitude range [-90..90]: %f: %s\n", degrees);
    if (rc != CONF_OK) return rc;
    conf_image.base_lat = static_cast<float>(degrees);
    rc = take_arg(df, ARG_SEPARATORS, "\a\aError: line %d: missing Station Longitude argument: %s\n", &word);
    if (rc != CONF_OK) return rc;
    rc = station_angle(df, word, "\a\aError: line %d: invalid Station Longitude argument: %s: %s\n", 180.0,
                       "\a\aError: line %d: invalid Station Longitude range [-180..180]: %f: %s\n", degrees);
    if (rc != CONF_OK) return rc;
    conf_image.base_lon = static_cast<float>(degrees);
    return CONF_OK;
}

int handle_digipath(directive_file& df) {
    char* word = nullptr;
    // Deliberate (digipath-blank): a blank ends the path, and components after the eighth are ignored unchecked.
    // Comma is no separator here: the whole path is one word, a blank ends it.
    int rc = take_arg(df, "#/; \t", "\a\aError: line %d: missing Digi Path argument: %s\n", &word);
    if (rc != CONF_OK) return rc;
    std::memset(conf_image.digi_path, 0, sizeof conf_image.digi_path);
    word_cursor parts = word_start(word);
    int stored = 0;
    while (stored < DIGI_PATH_SLOTS) {
        char* part = word_next(parts, ",");
        if (part == nullptr) break;
        size_t len = std::strlen(part);
        if (len > static_cast<size_t>(DIGI_PATH_CHARS)) {
            con_print("\a\aError: line %d: Digi Path component %d: %s exceeds length %d: %s\n", shown_line(df),
                      stored + 1, part, DIGI_PATH_CHARS, line_echo.data());
            return CONF_ERR_ARGUMENT;
        }
        for (size_t i = 0; i < len; ++i) conf_image.digi_path[stored][i] = upper(part[i]);
        ++stored;
    }
    digipath_count = stored;
    return CONF_OK;
}

int handle_keyword(directive_file& df, int code) {
    switch (code) {
    case KW_HOST:
        return handle_baud(df, conf_image.host_baud);
    case KW_DSTAR:
        return handle_baud(df, conf_image.dstar_baud);
    case KW_TNC:
        return handle_baud(df, conf_image.tnc_baud);
    case KW_CALL:
        return handle_call(df);
    case KW_SSID:
        // Deliberate (ssid-c-integer): the SSID is a C integer, so "017" is octal 15.
        return handle_ranged(df, conf_image.station_ssid, "\a\aError: line %d: missing SSID argument: %s\n",
                             "\a\aError: line %d: invalid SSID argument range [0..15]: %d: %s\n", 0, 15, true);
    case KW_WIDEMAX:
        return handle_ranged(df, conf_image.wide_max, "\a\aError: line %d: missing n argument: %s\n",
                             "\a\aError: line %d: invalid n argument range [1..6]: %d: %s\n", 1, 6, false);
    case KW_WIDETOTAL:
        return handle_ranged(df, conf_image.wide_total, "\a\aError: line %d: missing n argument: %s\n",
                             "\a\aError: line %d: invalid n argument range [1..6]: %d: %s\n", 1, 6, false);
    case KW_DUPEWIN:
        return handle_ranged(df, conf_image.dupe_window, "\a\aError: line %d: missing seconds argument: %s\n",
                             "\a\aError: line %d: invalid seconds argument range [5..500]: %d: %s\n", 5, 500,
                             false);
    case KW_LOG:
        return handle_flag(df, conf_image.log_port);
    case KW_DROPMANGLD:
        return handle_flag(df, conf_image.drop_mangled);
    case KW_HALTONERR:
        return handle_flag(df, conf_image.halt_on_error);
    case KW_FIXVALID:
        return handle_flag(df, conf_image.fix_valid);
    case KW_NSR:
        return handle_flag(df, conf_image.nsr);
    case KW_RELAY:
        return handle_flag(df, conf_image.relay);
    case KW_POSITION:
        return handle_position(df);
    case KW_DIGIPATH:
        return handle_digipath(df);
    default:
        con_print("\a\aError: internal processing error 2: line %d: %s\n", shown_line(df), line_echo.data());
        return CONF_ERR_NO_HANDLER;
    }
}

int process_lines(directive_file& df) {
    int items = 0;
    while (directive_read(df)) {
        char* token = directive_first_word(df);
        if (token == nullptr) continue;
        int row = word_lookup(conf_keyword_table, token);
        if (row == WORD_AMBIGUOUS) {
            con_print("\a\aError: line %d: Ambiguous command: %s: %s\n", shown_line(df), token, line_echo.data());
            return CONF_ERR_KEYWORD;
        }
        if (row == WORD_NONE) {
            con_print("\a\aError: line %d: command %s invalid: %s\n", shown_line(df), token, line_echo.data());
            return CONF_ERR_KEYWORD;
        }
        ++items;
        int rc = handle_keyword(df, conf_keyword_table[static_cast<size_t>(row)].code);
        if (rc != CONF_OK) return rc;
    }
    // A read that failed is no end of the file: the rest of it was never seen.
    if (df.read_error != 0) {
        con_print("\a\aError: line %d: read error: %s\n", shown_line(df), text_file_error(df.read_error));
        return CONF_ERR_READ;
    }
    // Deliberate (conf-processed-stays): once set, the processed flag stays through later failed files.
    conf_processed = 1;
    con_print("Configuration items processed %d\n", items);
    return CONF_OK;
}
}  // namespace

int conf_process(const char* path) {
    directive_file df;
    int opened = directive_open(df, path, "conf_process");
    if (opened == DIRECTIVE_ERR_NO_PATH) return CONF_ERR_NO_PATH;
    if (opened != DIRECTIVE_OPENED) return CONF_ERR_OPEN;
    // The rules file owns these two; a configure never undoes them.
    uint16_t rule_count = conf_image.rule_count;
    uint16_t implicit_action = conf_image.implicit_action;
    conf_reset();
    conf_image.rule_count = rule_count;
    conf_image.implicit_action =
        (implicit_action == IMPLICIT_DROP || implicit_action == IMPLICIT_PASS) ? implicit_action : IMPLICIT_PASS;
    int rc = process_lines(df);
    directive_close(df);
    return rc;
}
