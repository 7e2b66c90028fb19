// Numbers read from text, each by the grammar of the place that reads it.
// None of them takes "inf", "nan" or hexadecimal floats, and none overflows.
#pragma once

// Whole number: optional blanks and tabs, optional sign, decimal digits.
// Whatever follows the digits is ignored; text without digits reads as 0.
// A value beyond the int range is clamped to INT_MIN or INT_MAX.
int text_whole(const char* text);

// C integer literal with automatic base after optional blanks, tabs and sign:
// hexadecimal after "0x" or "0X", octal after a leading 0, else decimal.
// Text without a number reads as 0; clamped like text_whole.
int text_c_integer(const char* text);

// Decimal number: optional blanks and tabs, optional sign, digits with an
// optional decimal point and fraction, and, when allow_exponent is set, an
// optional exponent (e or E, optional sign, digits). Reading stops at the
// first character that does not fit; text without a number reads as 0.
// end, when given, receives where the reading stopped (text itself when no
// number was found). Only the first stop - text characters are read when
// stop is given, so a caller can end the number before a letter.
double text_decimal(const char* text, bool allow_exponent, const char** end = nullptr,
                    const char* stop = nullptr);

// Whether a double fits a single-precision float without becoming infinite.
bool fits_f32(double value);
