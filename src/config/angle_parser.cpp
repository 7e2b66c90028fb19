#include "config/angle_parser.h"

#include <cmath>
#include <limits>

#include "common/number_text.h"
#include "console/console.h"

namespace {

enum class angle_format { colon, dotted, dmc };

// Where the text failed; each failure has printed its message.
enum angle_fault : int {
    ANGLE_OK = 0,
    ANGLE_ERR_MINUS_SIGNS = -1,
    ANGLE_ERR_COLON_COUNT = -2,
    ANGLE_ERR_COLON_PERIODS = -3,
    ANGLE_ERR_COLON_LETTERS = -4,
    ANGLE_ERR_UNRECOGNIZED = -5,
    ANGLE_ERR_DOTTED_PERIODS = -6,
    ANGLE_ERR_DMC_NO_IDENTIFIER = -7,
    ANGLE_ERR_DMC_MINUS_AND_DIRECTION = -8,
    ANGLE_ERR_DMC_TWO_DIRECTIONS = -9,
    // Colon and Dotted texts whose walk a newline ends before the second
    // separator (the counts above take the whole text): inside a field...
    ANGLE_ERR_FIXED_POINTER = -10,
    // ...or where a field begins: at the start or right after the first colon,
    ANGLE_ERR_COLON_CUT = -11,
    ANGLE_ERR_DOTTED_CUT = -12,  // or period
    ANGLE_ERR_DMC_DEGREES_TWICE = -13,
    ANGLE_ERR_DMC_MINUTES_TWICE = -14,
    ANGLE_ERR_DMC_SECONDS_TWICE = -15,
    ANGLE_ERR_DMC_CHARACTER = -16,
    ANGLE_ERR_DMC_POINTER = -17,  // a number after the last identifier
};

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_north_east(char c) { return c == 'N' || c == 'n' || c == 'E' || c == 'e'; }
bool is_south_west(char c) { return c == 'S' || c == 's' || c == 'W' || c == 'w'; }
bool is_angle_id(char c) { return c == 'D' || c == 'd' || c == 'M' || c == 'm' || c == 'C' || c == 'c'; }
bool ends_walk(char c) { return c == '\0' || c == '\n'; }

// A part is held in single precision. A number too large for it becomes an
// infinity of its sign (a plain conversion would be undefined), which the
// range checks below then refuse.
float to_f32(double value) {
    if (fits_f32(value) || std::isnan(value)) return static_cast<float>(value);
    return value < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
}

// Whether the number starting at p carries a minus sign: "-0" reads as 0 but
// still makes the degrees count as negative.
bool has_minus(const char* p) {
    while (*p == ' ' || *p == '\t') ++p;
    return *p == '-';
}

struct prescan {
    int minus = 0;
    int colons = 0;
    int periods = 0;
    int letters = 0;
    bool has_id = false;
    char north_east = '\0';  // first N/n/E/e, or none
    char south_west = '\0';  // first S/s/W/w, or none
};

prescan count_text(const char* text) {
    prescan s;
    for (const char* p = text; *p != '\0'; ++p) {
        char c = *p;
        if (c == '-') ++s.minus;
        if (c == ':') ++s.colons;
        if (c == '.') ++s.periods;
        if (is_letter(c)) ++s.letters;
        if (is_angle_id(c)) s.has_id = true;
        if (s.north_east == '\0' && is_north_east(c)) s.north_east = c;
        if (s.south_west == '\0' && is_south_west(c)) s.south_west = c;
    }
    return s;
}

// Picks the notation from the counts; prints the first rule broken and
// returns its fault then.
int choose_format(const prescan& s, angle_format& format) {
    if (s.minus > 1) {
        // Deliberate (too-man): the text says "too man minus signs", as it always has.
        con_print("\a\aError: too man minus signs: %d: only one is allowed\n", s.minus);
        return ANGLE_ERR_MINUS_SIGNS;
    }
    if (s.colons > 0) {
        if (s.colons != 2) {
            con_print("\a\aError: Colon format: must have 2 colons: [s][D]DD:MM:SS[.F*]\n");
            return ANGLE_ERR_COLON_COUNT;
        }
        if (s.periods > 1) {
            con_print("\a\aError: Colon format: too many periods: [s][D]DD:MM:SS[.F*]\n");
            return ANGLE_ERR_COLON_PERIODS;
        }
        if (s.letters > 0) {
            con_print("\a\aError: Colon format: has alpha characters: [s][D]DD:MM:SS[.F*]\n");
            return ANGLE_ERR_COLON_LETTERS;
        }
        format = angle_format::colon;
        return ANGLE_OK;
    }
    if (s.letters == 0) {
        if (s.periods == 0) {
            con_print("\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n");
            return ANGLE_ERR_UNRECOGNIZED;
        }
        if (s.periods != 2) {
            con_print("\a\aError: Dotted format: must have 2 periods: [s][D]DD.MM.[F*]\n"
                      "\tor DMC format must have at least one of [DdMmCc] identifiers\n");
            return ANGLE_ERR_DOTTED_PERIODS;
        }
        format = angle_format::dotted;
        return ANGLE_OK;
    }
    if (!s.has_id) {
        con_print("\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
                  "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n");
        return ANGLE_ERR_DMC_NO_IDENTIFIER;
    }
    if (s.minus > 0) {
        char direction = s.north_east != '\0' ? s.north_east : s.south_west;
        if (direction != '\0') {
            con_print("\a\aError: DMC format: both minus (-) and direction char %c cannot be specified\n", direction);
            return ANGLE_ERR_DMC_MINUS_AND_DIRECTION;
        }
    } else if (s.north_east != '\0' && s.south_west != '\0') {
        con_print("\a\aError: DMC format: both direction chars %c and %c cannot be specified\n", s.north_east,
                  s.south_west);
        return ANGLE_ERR_DMC_TWO_DIRECTIONS;
    }
    format = angle_format::dmc;
    return ANGLE_OK;
}

struct parts {
    float d = 0.0f;
    float m = 0.0f;
    float s = 0.0f;
    bool d_minus = false;  // the degrees were written with a minus sign
};

// Colon and Dotted: fixed fields between the two separators.
int walk_fixed(const char* text, angle_format format, parts& v) {
    const char separator = format == angle_format::colon ? ':' : '.';
    const char* field = text;
    const char* p = text;
    int seen = 0;
    for (; !ends_walk(*p); ++p) {
        if (*p != separator) continue;
        if (seen == 0) {
            v.d = static_cast<float>(text_whole(field));
            v.d_minus = has_minus(field);
            field = p + 1;
            seen = 1;
            continue;
        }
        if (format == angle_format::colon) {
            v.m = static_cast<float>(text_whole(field));
            v.s = to_f32(text_decimal(p + 1, false));
        } else {
            // The second period is the decimal point of the minutes.
            v.m = to_f32(text_decimal(field, false));
        }
        return ANGLE_OK;
    }
    // The choice of notation counted two separators in the text, so only a
    // newline ends the walk before the second: the angle is incomplete, and it
    // is refused rather than read as what came before. A newline inside a
    // field ("45:30\n:00") leaves the field start behind the walk's end...
    if (field != p) {
        con_print("\a\aInternal Error: pointer mismatch\n");
        return ANGLE_ERR_FIXED_POINTER;
    }
    // ...one where a field begins ("45:\n30:00") cuts the text there.
    if (format == angle_format::colon) {
        con_print("\a\aInternal Error: Colon format\n");
        return ANGLE_ERR_COLON_CUT;
    }
    con_print("\a\aInternal Error: Dotted format\n");
    return ANGLE_ERR_DOTTED_CUT;
}

// The number of a DMC part, from the field start up to its identifier letter
// at `at` (the letter is never read as part of the number, nor as an
// exponent), unless the part was given already: then twice_format's message
// with the value held, and the fault.
int take_dmc_part(const char* field, const char* at, float& value, bool& seen, const char* twice_format, int fault) {
    if (seen) {
        con_print(twice_format, static_cast<double>(value));
        return fault;
    }
    value = to_f32(text_decimal(field, false, nullptr, at));
    seen = true;
    return ANGLE_OK;
}

// DMC: each number ends at its identifier letter; direction letters only
// move the field start.
int walk_dmc(const char* text, parts& v) {
    bool have_d = false;
    bool have_m = false;
    bool have_s = false;
    const char* field = text;
    const char* p = text;
    for (; !ends_walk(*p); ++p) {
        char c = *p;
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == ' ' || c == '\t') continue;
        int rc = ANGLE_OK;
        if (c == 'D' || c == 'd') {
            rc = take_dmc_part(field, p, v.d, have_d, "\a\aError: DMC format: already have degrees (%f)\n",
                               ANGLE_ERR_DMC_DEGREES_TWICE);
            if (rc == ANGLE_OK) v.d_minus = has_minus(field);
        } else if (c == 'M' || c == 'm') {
            rc = take_dmc_part(field, p, v.m, have_m, "\a\aError: DMC format: already have minutes (%f)\n",
                               ANGLE_ERR_DMC_MINUTES_TWICE);
        } else if (c == 'C' || c == 'c') {
            rc = take_dmc_part(field, p, v.s, have_s, "\a\aError: DMC format: already have seconds (%f)\n",
                               ANGLE_ERR_DMC_SECONDS_TWICE);
        } else if (!is_north_east(c) && !is_south_west(c)) {
            con_print("\a\aError: DMC format: invalid char: %c (0x%02x)\n", c,
                      static_cast<unsigned>(static_cast<unsigned char>(c)));
            rc = ANGLE_ERR_DMC_CHARACTER;
        }
        if (rc != ANGLE_OK) return rc;
        field = p + 1;
    }
    if (field != p) {
        con_print("\a\aInternal Error: pointer mismatch\n");
        // Deliberate (dmc-pointer): a number after the last identifier is reported as an internal pointer mismatch.
        return ANGLE_ERR_DMC_POINTER;
    }
    return ANGLE_OK;
}

}  // namespace

double dmctodeg(const char* text) {
    if (text == nullptr || text[0] == '\0') {
        con_print("dmctodeg: Error: invalid param inp\n");
        return ANGLE_ERROR;
    }
    const prescan counts = count_text(text);
    angle_format format = angle_format::dmc;
    if (choose_format(counts, format) != ANGLE_OK) return ANGLE_ERROR;

    parts v;
    int rc = ANGLE_OK;
    switch (format) {
    case angle_format::colon:
    case angle_format::dotted:
        rc = walk_fixed(text, format, v);
        break;
    case angle_format::dmc:
        rc = walk_dmc(text, v);
        break;
    }
    if (rc != ANGLE_OK) return ANGLE_ERROR;

    // Deliberate (part-range-text): the messages say [0..59.99], and a negative part above -60 passes.
    if (v.s <= -60.0f || v.s >= 60.0f) {
        con_print("\a\aError: sec %f is out of range [0..59.99]\n", static_cast<double>(v.s));
        return ANGLE_ERROR;
    }
    if (v.m <= -60.0f || v.m >= 60.0f) {
        con_print("\a\aError: min %f is out of range [0..59.99]\n", static_cast<double>(v.m));
        return ANGLE_ERROR;
    }

    bool south_west = format == angle_format::dmc && counts.south_west != '\0';
    if (south_west) v.d = -v.d;

    // Each term keeps its own sign: a minus on the minutes or seconds pulls
    // only that term, added to non-negative degrees.
    const double frac = static_cast<double>(v.s) * (1.0 / 3600.0) + static_cast<double>(v.m) * (1.0 / 60.0);
    const double deg = static_cast<double>(v.d);
    const bool negative = v.d < 0.0f || (v.d == 0.0f && (v.d_minus || south_west));
    const double result = negative ? deg - frac : deg + frac;

    // Deliberate (angle-range-text): the message says [-180..180] while the check allows -360 to 360.
    if (result < -360.0 || result > 360.0 || std::isnan(result)) {
        con_print("\a\aError: deg %f is out of range [-180..180]\n", result);
        return ANGLE_ERROR;
    }
    return result;
}
