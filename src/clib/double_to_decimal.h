// Binary to decimal: the exact, correctly rounded decimal digits of a double
// or a long double, for the printf family's %e, %f and %g (and %Le ...). Rounding is to nearest with ties to
// even, decided on the exact binary value. No lock, no heap.
#pragma once

namespace kez::clib {

enum class DigitMode {
    significant,  // `precision` significant digits (%e, %g); below 1 means 1
    after_point,  // `precision` digits after the decimal point (%f); below 0 means 0
};

enum class DigitSpecial { finite = 0, infinity = 1, nan = 2 };

struct DecimalDigits {
    int count;      // digits written; -1 when the buffer was too small (its contents then unspecified)
    int exponent;   // value = 0.d1 d2 ... d_count x 10^exponent; 9999 for infinity and NaN
    bool negative;  // the sign bit, for zeros and NaN too
    DigitSpecial special;
};

// Writes the rounded digits as the characters '0'..'9' to out[0..count),
// with no terminating NUL, and no decimal point: their place is given by the
// exponent, d1 standing for d1 x 10^(exponent - 1).
//
//   significant: count == max(precision, 1).
//   after_point: count == exponent + max(precision, 0); the last digit is
//                the one of 10^-precision.
// The first digit is non-zero unless the rounded value is zero; a zero
// result (a zero input, or one rounded away in after_point) is reported as
// all '0' digits with exponent 1, so after_point gives precision + 1 of them.
// Trailing zeros are written out. A carry out of the first digit (9.96 to
// two digits) moves the exponent up: 0.10 x 10^2.
//
// Buffer: `size` chars. significant needs max(precision, 1); after_point
// needs at most max(precision, 0) + kDoubleFixedExtraDigits (309 integer
// digits of DBL_MAX and one for a carry). Any precision is exact; digits
// past the end of the double's finite expansion are zeros.
//
// Infinity and NaN write "Infinity" (8 chars) and "NaN" (3 chars), count 8
// or 3, exponent 9999, special set; `negative` gives their sign bit.
DecimalDigits double_to_decimal(double value, DigitMode mode, int precision, char *out, int size) noexcept;
inline constexpr int kDoubleFixedExtraDigits = 309 + 1;

// The same for a long double, same contract. On Linux that is the 80-bit
// extended format: after_point then needs max(precision, 0) +
// kLongDoubleFixedExtraDigits (4933 integer digits of LDBL_MAX, one for a
// carry); the least subnormal 2^-16445 has 11495 significant digits, all
// exact. Encodings the processor refuses (pseudo-infinities, pseudo-NaNs,
// unnormals) give "NaN"; pseudo-denormals are read as the processor reads
// them. On Windows the engine's long double is a double: the value is
// converted to double and handled as double_to_decimal does.
DecimalDigits long_double_to_decimal(long double value, DigitMode mode, int precision, char *out, int size) noexcept;
#if defined(_WIN32)
inline constexpr int kLongDoubleFixedExtraDigits = kDoubleFixedExtraDigits;
#else
inline constexpr int kLongDoubleFixedExtraDigits = 4933 + 1;
#endif

// The two ways double_to_decimal works, for its tests and benchmarks.
// The short way covers finite non-zero doubles asked for at most 17 digits
// (significant precision up to 17; after_point when the count before a
// carry is at most 17), from a 128-bit power of five with a known error
// bound. It gives the same result as the exact way, or returns false and
// writes nothing (to out or *result) when the bound leaves the rounding
// open, when the buffer is too small, or when the request is outside its
// reach. The exact way is the big-integer division, for any input.
bool double_to_decimal_short(double value, DigitMode mode, int precision, char *out, int size,
                             DecimalDigits *result) noexcept;
DecimalDigits double_to_decimal_exact(double value, DigitMode mode, int precision, char *out, int size) noexcept;

}  // namespace kez::clib
