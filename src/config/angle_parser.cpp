#include "config/angle_parser.h"

#include <cmath>
#include <limits>

#include "common/number_text.h"
#include "shell/console.h"

namespace {

enum class angle_format { colon, dotted, dmc };

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
// returns a negative code then.
int choose_format(const prescan& s, angle_format& format) {
    if (s.minus > 1) {
        con_print("\a\aError: too man minus signs: %d: only one is allowed\n", s.minus);
        return -1;
    }
    if (s.colons > 0) {
        if (s.colons != 2) {
            con_print("\a\aError: Colon format: must have 2 colons: [s][D]DD:MM:SS[.F*]\n");
            return -2;
        }
        if (s.periods > 1) {
            con_print("\a\aError: Colon format: too many periods: [s][D]DD:MM:SS[.F*]\n");
            return -3;
        }
        if (s.letters > 0) {
            con_print("\a\aError: Colon format: has alpha characters: [s][D]DD:MM:SS[.F*]\n");
            return -4;
        }
        format = angle_format::colon;
        return 0;
    }
    if (s.letters == 0) {
        if (s.periods == 0) {
            con_print("\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n");
            return -5;
        }
        if (s.periods != 2) {
            con_print("\a\aError: Dotted format: must have 2 periods: [s][D]DD.MM.[F*]\n"
                      "\tor DMC format must have at least one of [DdMmCc] identifiers\n");
            return -6;
        }
        format = angle_format::dotted;
        return 0;
    }
    if (!s.has_id) {
        con_print("\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
                  "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n");
        return -7;
    }
    if (s.minus > 0) {
        char direction = s.north_east != '\0' ? s.north_east : s.south_west;
        if (direction != '\0') {
            con_print("\a\aError: DMC format: both minus (-) and direction char %c cannot be specified\n", direction);
            return -8;
        }
    } else if (s.north_east != '\0' && s.south_west != '\0') {
        con_print("\a\aError: DMC format: both direction chars %c and %c cannot be specified\n", s.north_east,
                  s.south_west);
        return -9;
    }
    format = angle_format::dmc;
    return 0;
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
        return 0;
    }
    if (field != p) {
        con_print("\a\aInternal Error: pointer mismatch\n");
        return -10;
    }
    // A newline ended the text before its second separator: the angle is
    // incomplete, so it is refused rather than read as what came before.
    if (format == angle_format::colon) {
        con_print("\a\aInternal Error: Colon format\n");
        return -11;
    }
    con_print("\a\aInternal Error: Dotted format\n");
    return -12;
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
        if (c == 'D' || c == 'd') {
            if (have_d) {
                con_print("\a\aError: DMC format: already have degrees (%f)\n", static_cast<double>(v.d));
                return -13;
            }
            v.d = to_f32(text_decimal(field, false, nullptr, p));
            v.d_minus = has_minus(field);
            have_d = true;
        } else if (c == 'M' || c == 'm') {
            if (have_m) {
                con_print("\a\aError: DMC format: already have minutes (%f)\n", static_cast<double>(v.m));
                return -14;
            }
            v.m = to_f32(text_decimal(field, false, nullptr, p));
            have_m = true;
        } else if (c == 'C' || c == 'c') {
            if (have_s) {
                con_print("\a\aError: DMC format: already have seconds (%f)\n", static_cast<double>(v.s));
                return -15;
            }
            v.s = to_f32(text_decimal(field, false, nullptr, p));
            have_s = true;
        } else if (!is_north_east(c) && !is_south_west(c)) {
            con_print("\a\aError: DMC format: invalid char: %c (0x%02x)\n", c,
                      static_cast<unsigned>(static_cast<unsigned char>(c)));
            return -16;
        }
        field = p + 1;
    }
    if (field != p) {
        con_print("\a\aInternal Error: pointer mismatch\n");
        return -17;
    }
    return 0;
}

}  // namespace

double dmctodeg(const char* text) {
    if (text == nullptr || text[0] == '\0') {
        con_print("dmctodeg: Error: invalid param inp\n");
        return ANGLE_ERROR;
    }
    const prescan counts = count_text(text);
    angle_format format = angle_format::dmc;
    if (choose_format(counts, format) != 0) return ANGLE_ERROR;

    parts v;
    int rc = 0;
    switch (format) {
    case angle_format::colon:
    case angle_format::dotted:
        rc = walk_fixed(text, format, v);
        break;
    case angle_format::dmc:
        rc = walk_dmc(text, v);
        break;
    default:
        con_print("\a\aInternal Error: could not determine format\n");
        rc = -18;
        break;
    }
    if (rc != 0) return ANGLE_ERROR;

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

    if (result < -360.0 || result > 360.0 || std::isnan(result)) {
        con_print("\a\aError: deg %f is out of range [-180..180]\n", result);
        return ANGLE_ERROR;
    }
    return result;
}
