// Correctly rounded conversion of decimal text to double (round to nearest,
// ties to even), for inputs of any length and exponent. The core of strtod
// and atof; it needs no lock and allocates nothing.
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

// The same text rounded once, directly to float and to long double (the
// 80-bit type on Linux; on Windows long double is double).
struct ParsedFloat { float value; const char *end; bool range_error; };
ParsedFloat parse_float(const char *text, char decimal_point) noexcept;
struct ParsedLongDouble { long double value; const char *end; bool range_error; };
ParsedLongDouble parse_long_double(const char *text, char decimal_point) noexcept;

}  // namespace kez::clib
