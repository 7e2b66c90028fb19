#include "common/number_text.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {
bool is_digit(char c) { return c >= '0' && c <= '9'; }

const char* skip_blanks(const char* p) {
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Accumulates digits of the base with saturation; returns the clamped int.
int read_integer(const char* p, int base) {
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (base == 0) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) {
            base = 16;
            p += 2;
        } else if (p[0] == '0') {
            base = 8;
        } else {
            base = 10;
        }
    }
    long long value = 0;
    for (; digit_value(*p) < base; ++p) {
        value = value * base + digit_value(*p);
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}
}  // namespace

int text_whole(const char* text) {
    if (text == nullptr) return 0;
    return read_integer(skip_blanks(text), 10);
}

int text_c_integer(const char* text) {
    if (text == nullptr) return 0;
    return read_integer(skip_blanks(text), 0);
}

double text_decimal(const char* text, bool allow_exponent, const char** end, const char* stop) {
    if (end != nullptr) *end = text;
    if (text == nullptr) return 0.0;
    auto at_end = [stop](const char* q) { return *q == '\0' || (stop != nullptr && q >= stop); };
    const char* p = text;
    while (!at_end(p) && (*p == ' ' || *p == '\t')) ++p;
    const char* start = p;
    if (!at_end(p) && (*p == '+' || *p == '-')) ++p;
    int digits = 0;
    while (!at_end(p) && is_digit(*p)) {
        ++p;
        ++digits;
    }
    if (!at_end(p) && *p == '.') {
        ++p;
        while (!at_end(p) && is_digit(*p)) {
            ++p;
            ++digits;
        }
    }
    if (digits == 0) return 0.0;
    if (allow_exponent && !at_end(p) && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (!at_end(q) && (*q == '+' || *q == '-')) ++q;
        if (!at_end(q) && is_digit(*q)) {
            while (!at_end(q) && is_digit(*q)) ++q;
            p = q;
        }
    }
    // The text matched the grammar from start to p; strtod converts that part
    // alone, copied, so it can neither read further nor take another grammar.
    char buf[400];
    size_t n = static_cast<size_t>(p - start);
    if (n >= sizeof buf) n = sizeof buf - 1;
    std::memcpy(buf, start, n);
    buf[n] = '\0';
    if (end != nullptr) *end = p;
    return std::strtod(buf, nullptr);
}

bool fits_f32(double value) { return std::isfinite(value) && std::fabs(value) <= FLT_MAX; }
