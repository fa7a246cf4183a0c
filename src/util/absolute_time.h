// Absolute times and time intervals as the engine computes with them: one
// signed 128-bit fixed-point number of seconds with 64 fraction bits. The
// exported functions (absolute_time.cpp) unpack their arguments into it and
// pack their results back; the local-calendar conversions build on the
// helpers here.
//
// Arithmetic wraps modulo 2^128 and is done on the unsigned type, so that
// no overflow is undefined behaviour. Conversions that can overflow report
// it exactly: they fail when the exact result does not fit its target, and
// only then.
#pragma once

#include <cstdint>

#include "kez/absolute_time.h"

namespace kez::util {

using Fixed = __int128;            // seconds * 2^64, two's complement
using UFixed = unsigned __int128;  // a magnitude, or a value being wrapped

// The results of the library.
enum TimeStatus : int {
    kTimeOk = 0,
    kTimeInvalidArgument = -1,
    kTimeNullPointer = -2,
    kTimeOverflow = -3,
    kTimeOutOfRange = -4,
    kTimeSystemFailed = -5,
};

// Seconds from 1904-01-01 (the engine's epoch) to 1970-01-01, both UTC.
constexpr std::int64_t kSeconds1904To1970 = 2082844800;

constexpr Fixed kOneSecond = Fixed{1} << 64;

inline Fixed fixed_from_seconds(std::int64_t seconds) {
    return static_cast<Fixed>(static_cast<UFixed>(static_cast<Fixed>(seconds)) << 64);
}

// Packing: the fraction word first, then the seconds word.
inline Fixed unpack(const KezTimeInterval &v) {
    return static_cast<Fixed>((static_cast<UFixed>(v.kezPrivate[1]) << 64) | v.kezPrivate[0]);
}
inline Fixed unpack(const KezAbsoluteTime &v) {
    return static_cast<Fixed>((static_cast<UFixed>(v.kezPrivate[1]) << 64) | v.kezPrivate[0]);
}
inline KezTimeInterval pack_interval(Fixed v) {
    const auto u = static_cast<UFixed>(v);
    return KezTimeInterval{{static_cast<std::uint64_t>(u), static_cast<std::uint64_t>(u >> 64)}};
}
inline KezAbsoluteTime pack_absolute_time(Fixed v) {
    const auto u = static_cast<UFixed>(v);
    return KezAbsoluteTime{{static_cast<std::uint64_t>(u), static_cast<std::uint64_t>(u >> 64)}};
}

// Wrapping arithmetic.
inline Fixed wrapping_add(Fixed a, Fixed b) { return static_cast<Fixed>(static_cast<UFixed>(a) + static_cast<UFixed>(b)); }
inline Fixed wrapping_sub(Fixed a, Fixed b) { return static_cast<Fixed>(static_cast<UFixed>(a) - static_cast<UFixed>(b)); }
// The fixed-point product with an integer: bits beyond 128 are dropped.
Fixed wrapping_multiply(Fixed v, std::int64_t factor);
// The quotient truncated toward zero (divisor not zero); only -2^127 / -1
// wraps.
Fixed wrapping_divide(Fixed v, std::int64_t divisor);

// -1, 0 or 1.
inline int compare(Fixed a, Fixed b) { return a < b ? -1 : a > b ? 1 : 0; }
// 0 when a and b lie at most `tolerance` (not negative) apart, else compare().
int compare_with_tolerance(Fixed a, Fixed b, Fixed tolerance);

// Doubles. Seconds in [-2^63, 2^63) convert exactly but for the bits below
// 2^-64 s, which are dropped (toward zero); anything else, infinities and
// NaN included, saturates to the extreme of its sign.
bool double_seconds_in_range(double seconds);
Fixed from_double_seconds(double seconds);
// The magnitude's 32-bit words summed as doubles, lowest first, then signed.
double to_double_seconds(Fixed v);
// The fraction of the second alone, in [0, 1) s, also for negative values.
inline Fixed fraction_of_second(Fixed v) { return static_cast<Fixed>(static_cast<std::uint64_t>(v)); }

// Codes of units, epochs and rounding modes.
bool valid_unit(int unit);
bool valid_epoch(int epoch);
bool valid_rounding(int rounding);
// Seconds to add to an absolute time to count it from `epoch` (valid).
std::int64_t seconds_from_native_epoch(int epoch);

// `count` units (valid) as an interval: sub-second units divide in fixed
// point, truncating toward zero; kTimeOverflow when the value does not fit.
int interval_from_units(int unit, std::int64_t count, Fixed *out);
// The same counted from `epoch` (valid), as an absolute time.
int absolute_time_from_units(int epoch, int unit, std::int64_t count, Fixed *out);
// v + shift seconds, in whole units (valid) rounded by `rounding` (valid);
// kTimeOverflow when the rounded count does not fit 64 bits. The sum is
// exact: shifting never overflows on its own.
int units_from_fixed(Fixed v, std::int64_t shift_seconds, int unit, int rounding, std::int64_t *count);
// The part of v below one whole unit (valid).
Fixed fractional_unit_time(Fixed v, int unit);

// The system's current time as an absolute time; kTimeSystemFailed when
// the system could not tell it.
int current_absolute_time(Fixed *out);

// The text of a result, as the _UP_ twins report it.
const char *absolute_time_message(int code);

}  // namespace kez::util
