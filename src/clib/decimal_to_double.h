// Correctly rounded conversion of decimal text to double, float and long
// double (round to nearest, ties to even, once, from the decimal value),
// for inputs of any length and exponent. The core of strtod, strtof, strtold
// and atof, and of the scanf family's numbers; it needs no lock and
// allocates nothing.
//
// Accepted: leading C-locale white space, an optional sign, then either
// "inf", "infinity" or "nan" in any case (the longest match), or decimal
// digits with an optional decimal point (the character given) and an
// optional exponent (e or E, an optional sign, digits; an e that is not
// followed by digits is left unread). Hexadecimal forms are not recognised:
// "0x1p3" reads as 0, ending at the x.
#pragma once

namespace kez::clib {

struct ParsedDouble {
    double value;     // the rounded value; 0 when nothing was read
    const char *end;  // first character not read; the text itself when nothing was read
    bool range_error; // overflow to +-HUGE_VAL, or a result below DBL_MIN that is inexact
};

ParsedDouble parse_double(const char *text, char decimal_point) noexcept;

// The same to float: overflow to +-HUGE_VALF and inexact results below
// FLT_MIN are range errors.
struct ParsedFloat {
    float value;
    const char *end;
    bool range_error;
};
ParsedFloat parse_float(const char *text, char decimal_point) noexcept;

// The same to long double: the 80-bit extended format on Linux (overflow to
// +-HUGE_VALL, inexact results below LDBL_MIN). On Windows the engine's long
// double is a double: the result is parse_double's.
struct ParsedLongDouble {
    long double value;
    const char *end;
    bool range_error;
};
ParsedLongDouble parse_long_double(const char *text, char decimal_point) noexcept;

}  // namespace kez::clib
