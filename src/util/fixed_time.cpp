// The fixed-point computations behind absolute times and time intervals.
//
// Conversions work on a sign and a 128-bit magnitude, which holds every
// value exactly, also -2^127 and a value with an epoch offset added to it
// (|v| < 2^127 + 2^100 < 2^128). Products that can exceed 128 bits are
// split into 64-bit halves; quotients are rounded from their exact
// remainders, never from a quotient that was already cut at 2^-64 s.
#include <bit>
#include <cmath>
#include <cstdint>

#include "util/absolute_time.h"

namespace kez::util {
namespace {

constexpr int kFirstUnit = KEZ_TIME_UNIT_ATTOSECOND;
constexpr int kSecondUnit = KEZ_TIME_UNIT_SECOND;
constexpr int kLastUnit = KEZ_TIME_UNIT_DAY;
// Bit (code - first) is set for each valid code.
constexpr std::uint32_t kUnitMask = 22321737;

constexpr std::uint64_t kPowersOfTen[] = {1ull,
                                          10ull,
                                          100ull,
                                          1000ull,
                                          10000ull,
                                          100000ull,
                                          1000000ull,
                                          10000000ull,
                                          100000000ull,
                                          1000000000ull,
                                          10000000000ull,
                                          100000000000ull,
                                          1000000000000ull,
                                          10000000000000ull,
                                          100000000000000ull,
                                          1000000000000000ull,
                                          10000000000000000ull,
                                          100000000000000000ull,
                                          1000000000000000000ull};

// A valid unit is either 10^-k s (k = 0..18, `per_second` = 10^k, the
// second included) or a whole number of seconds (minute, hour, day).
struct Unit {
    std::uint64_t per_second;  // units in one second; 1 for the long units
    std::int64_t seconds;      // seconds in one unit; 0 for the sub-second units
};

Unit unit_of(int code) {
    if (code <= kSecondUnit) return Unit{kPowersOfTen[kSecondUnit - code], 0};
    switch (code) {
    case KEZ_TIME_UNIT_MINUTE: return Unit{1, 60};
    case KEZ_TIME_UNIT_HOUR: return Unit{1, 3600};
    default: return Unit{1, 86400};
    }
}

struct Magnitude {
    bool negative;
    UFixed value;
};

Magnitude magnitude_of(Fixed v) {
    const auto u = static_cast<UFixed>(v);
    return v < 0 ? Magnitude{true, -u} : Magnitude{false, u};
}

// The value with the sign applied, modulo 2^128.
Fixed signed_of(bool negative, UFixed magnitude) { return static_cast<Fixed>(negative ? -magnitude : magnitude); }

// v + shift seconds, exactly.
Magnitude shifted(Fixed v, std::int64_t shift_seconds) {
    const Fixed shift = fixed_from_seconds(shift_seconds);
    Fixed sum;
    if (!__builtin_add_overflow(v, shift, &sum)) return magnitude_of(sum);
    // Past the 128-bit range on the side of the shift's sign; the wrapped
    // sum still holds the magnitude modulo 2^128, and the magnitude is
    // below 2^128.
    const auto wrapped = static_cast<UFixed>(sum);
    return shift < 0 ? Magnitude{true, -wrapped} : Magnitude{false, wrapped};
}

// How the exactly known remainder of a quotient compares with one half of
// the divisor, and whether there is one.
struct Quotient {
    UFixed whole;  // truncated toward zero
    int half;      // -1 below one half, 0 exactly one half, 1 above
    bool exact;
};

Quotient quotient(UFixed magnitude, const Unit &unit) {
    const auto low = static_cast<std::uint64_t>(magnitude);
    const auto high = static_cast<std::uint64_t>(magnitude >> 64);
    if (unit.seconds == 0) {
        // magnitude * per_second / 2^64: the product has up to 188 bits;
        // its upper part is the quotient, its lowest 64 bits the remainder.
        const UFixed low_product = static_cast<UFixed>(low) * unit.per_second;
        const UFixed whole = static_cast<UFixed>(high) * unit.per_second + (low_product >> 64);
        const auto rest = static_cast<std::uint64_t>(low_product);
        const std::uint64_t half = std::uint64_t{1} << 63;
        return Quotient{whole, rest < half ? -1 : rest == half ? 0 : 1, rest == 0};
    }
    const UFixed divisor = static_cast<UFixed>(unit.seconds) << 64;
    const UFixed rest = magnitude % divisor;  // below 2^81: doubling cannot overflow
    return Quotient{magnitude / divisor, rest * 2 < divisor ? -1 : rest * 2 == divisor ? 0 : 1, rest == 0};
}

// count units + shift seconds, or kTimeOverflow when that does not fit.
// Sub-second units divide in fixed point, truncating toward zero; whole
// seconds then leave the fraction alone, so the value fits 128 bits
// exactly when its seconds word fits 64.
int fixed_from_units(int unit, std::int64_t count, std::int64_t shift_seconds, Fixed *out) {
    const Unit u = unit_of(unit);
    Fixed seconds;  // |count * seconds| < 2^80
    std::uint64_t fraction = 0;
    if (u.seconds == 0) {
        const auto c = static_cast<std::uint64_t>(count);
        const UFixed magnitude = static_cast<UFixed>(count < 0 ? 0 - c : c) << 64;  // below 2^128
        const Fixed value = signed_of(count < 0, magnitude / u.per_second);
        seconds = value >> 64;
        fraction = static_cast<std::uint64_t>(value);
    } else {
        seconds = static_cast<Fixed>(count) * u.seconds;
    }
    seconds += shift_seconds;
    if (seconds < INT64_MIN || seconds > INT64_MAX) return kTimeOverflow;
    *out = fixed_from_seconds(static_cast<std::int64_t>(seconds)) | fraction;
    return kTimeOk;
}

}  // namespace

Fixed wrapping_multiply(Fixed v, std::int64_t factor) {
    // The low 128 bits of the two's-complement product are those of the
    // product of the magnitudes with the sign applied.
    return static_cast<Fixed>(static_cast<UFixed>(v) * static_cast<UFixed>(static_cast<Fixed>(factor)));
}

Fixed wrapping_divide(Fixed v, std::int64_t divisor) {
    const Magnitude m = magnitude_of(v);
    const auto d = static_cast<std::uint64_t>(divisor);
    const std::uint64_t d_magnitude = divisor < 0 ? 0 - d : d;
    return signed_of(m.negative != (divisor < 0), m.value / d_magnitude);
}

int compare_with_tolerance(Fixed a, Fixed b, Fixed tolerance) {
    // |a - b| needs 129 bits in general; as an unsigned difference of the
    // larger minus the smaller it is exact.
    const UFixed distance = a < b ? static_cast<UFixed>(b) - static_cast<UFixed>(a)
                                  : static_cast<UFixed>(a) - static_cast<UFixed>(b);
    if (distance <= static_cast<UFixed>(tolerance)) return 0;
    return compare(a, b);
}

bool double_seconds_in_range(double seconds) { return seconds >= -0x1p63 && seconds < 0x1p63; }

Fixed from_double_seconds(double seconds) {
    const bool negative = std::signbit(seconds);
    if (!double_seconds_in_range(seconds)) {
        constexpr Fixed kMax = static_cast<Fixed>(~UFixed{0} >> 1);
        return negative ? -kMax - 1 : kMax;
    }
    const auto bits = std::bit_cast<std::uint64_t>(seconds);
    const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
    if (exponent == 0) return 0;  // subnormal: far below 2^-64
    const UFixed mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    // seconds = mantissa * 2^(exponent - 1075); in units of 2^-64 s the
    // shift is exponent - 1011, at most 75 (for -2^63).
    const int shift = exponent - 1011;
    UFixed magnitude = 0;
    if (shift >= 0)
        magnitude = mantissa << shift;
    else if (shift > -64)
        magnitude = mantissa >> -shift;
    return signed_of(negative, magnitude);
}

double to_double_seconds(Fixed v) {
    const Magnitude m = magnitude_of(v);
    const double w0 = static_cast<double>(static_cast<std::uint32_t>(m.value));
    const double w1 = static_cast<double>(static_cast<std::uint32_t>(m.value >> 32));
    const double w2 = static_cast<double>(static_cast<std::uint32_t>(m.value >> 64));
    const double w3 = static_cast<double>(static_cast<std::uint32_t>(m.value >> 96));
    const double seconds = w0 * 0x1p-64 + w1 * 0x1p-32 + w2 + w3 * 0x1p32;
    return m.negative ? -seconds : seconds;
}

bool valid_unit(int unit) {
    return unit >= kFirstUnit && unit <= kLastUnit && ((kUnitMask >> (unit - kFirstUnit)) & 1u) != 0;
}

bool valid_epoch(int epoch) {
    return epoch == KEZ_TIME_EPOCH_0001 || epoch == KEZ_TIME_EPOCH_1601 || epoch == KEZ_TIME_EPOCH_1970;
}

bool valid_rounding(int rounding) { return rounding >= KEZ_TIME_ROUND_NEAREST_EVEN && rounding <= KEZ_TIME_ROUND_DOWN; }

std::int64_t seconds_from_native_epoch(int epoch) {
    switch (epoch) {
    case KEZ_TIME_EPOCH_0001: return 60052752000;
    case KEZ_TIME_EPOCH_1601: return 9561628800;
    default: return -kSeconds1904To1970;
    }
}

int interval_from_units(int unit, std::int64_t count, Fixed *out) { return fixed_from_units(unit, count, 0, out); }

int absolute_time_from_units(int epoch, int unit, std::int64_t count, Fixed *out) {
    return fixed_from_units(unit, count, -seconds_from_native_epoch(epoch), out);
}

int units_from_fixed(Fixed v, std::int64_t shift_seconds, int unit, int rounding, std::int64_t *count) {
    const Magnitude m = shifted(v, shift_seconds);
    const Quotient q = quotient(m.value, unit_of(unit));
    bool away = false;  // from zero, by one
    switch (rounding) {
    case KEZ_TIME_ROUND_NEAREST_EVEN: away = q.half > 0 || (q.half == 0 && (q.whole & 1) != 0); break;
    case KEZ_TIME_ROUND_UP: away = !m.negative && !q.exact; break;
    case KEZ_TIME_ROUND_DOWN: away = m.negative && !q.exact; break;
    default: break;
    }
    const UFixed magnitude = q.whole + (away ? 1 : 0);  // q.whole < 2^124
    const UFixed limit = m.negative ? UFixed{1} << 63 : (UFixed{1} << 63) - 1;
    if (magnitude > limit) return kTimeOverflow;
    *count = static_cast<std::int64_t>(static_cast<std::uint64_t>(signed_of(m.negative, magnitude)));
    return kTimeOk;
}

Fixed fractional_unit_time(Fixed v, int unit) {
    if (unit == kSecondUnit) return fraction_of_second(v);
    const Magnitude m = magnitude_of(v);
    const Unit u = unit_of(unit);
    if (u.seconds != 0) return signed_of(m.negative, m.value % (static_cast<UFixed>(u.seconds) << 64));
    // The whole units n = floor(|v| * p / 2^64) for p units a second, with
    // |v| * p = n * 2^64 + r; n units are trunc(n * 2^64 / p) in fixed
    // point, and |v| - trunc((|v| * p - r) / p) = ceil(r / p). Only r, the
    // low 64 bits of the product, is needed.
    const std::uint64_t r = static_cast<std::uint64_t>(m.value) * u.per_second;
    return signed_of(m.negative, r / u.per_second + (r % u.per_second != 0 ? 1 : 0));
}

}  // namespace kez::util
