// The exported absolute-time and time-interval functions. Each checks its
// arguments in its documented order, computes in fixed point
// (fixed_time.cpp) and writes its output only on success. The conversions
// to whole units check their codes before their result pointer; every
// other function checks the result pointer first.
#include "kez/absolute_time.h"

#include <cstdint>

#include "os/os.h"
#include "util/absolute_time.h"

namespace kez::util {

namespace {

// floor(ns * 2^64 / 10^9) for ns < 10^9 without a 128-bit division (the
// clock is read often): 10^9 = 2^9 * 5^9, and with 2^55 = 5^9 * q + r,
// floor(ns * 2^55 / 5^9) = ns * q + floor(ns * r / 5^9), each term below
// 2^64.
std::uint64_t fraction_of_nanoseconds(std::uint32_t ns) {
    constexpr std::uint64_t kFivePow9 = 1953125;
    constexpr std::uint64_t kQuotient = (std::uint64_t{1} << 55) / kFivePow9;
    constexpr std::uint64_t kRest = (std::uint64_t{1} << 55) % kFivePow9;
    return ns * kQuotient + ns * kRest / kFivePow9;
}

}  // namespace

int current_absolute_time(Fixed *out) {
    os::UtcTime now;
    if (!os::utc_now(&now)) return kTimeSystemFailed;
    *out = fixed_from_seconds(now.seconds + kSeconds1904To1970) | fraction_of_nanoseconds(now.nanoseconds);
    return kTimeOk;
}

const char *absolute_time_message(int code) {
    switch (code) {
    case kTimeInvalidArgument: return "An argument passed to the function is invalid.";
    case kTimeNullPointer: return "A pointer passed to the function is NULL.";
    case kTimeOverflow: return "A mathematical operation resulted in an overflow.";
    case kTimeOutOfRange: return "An input time or date value is out of range on this system.";
    case kTimeSystemFailed: return "The specified time operation failed.";
    default: return "Unknown error";
    }
}

}  // namespace kez::util

using namespace kez::util;

namespace {

// Stores a successful result; passes a failure on untouched.
template <class T, class V>
int deliver(int status, T *out, const V &value) {
    if (status == kTimeOk) *out = value;
    return status;
}

}  // namespace

extern "C" {

int GetCurrentKezAbsoluteTime(KezAbsoluteTime *absoluteTime) {
    if (absoluteTime == nullptr) return kTimeNullPointer;
    Fixed now = 0;
    const int status = current_absolute_time(&now);
    return deliver(status, absoluteTime, pack_absolute_time(now));
}

int KezAbsoluteTimeFromTimeUnit(int epoch, int unit, long long count, KezAbsoluteTime *absoluteTime) {
    if (absoluteTime == nullptr) return kTimeNullPointer;
    if (!valid_epoch(epoch) || !valid_unit(unit)) return kTimeInvalidArgument;
    Fixed value = 0;
    const int status = absolute_time_from_units(epoch, unit, count, &value);
    return deliver(status, absoluteTime, pack_absolute_time(value));
}

int KezAbsoluteTimeToTimeUnit(KezAbsoluteTime absoluteTime, int epoch, int unit, int rounding, long long *count) {
    if (!valid_epoch(epoch) || !valid_unit(unit) || !valid_rounding(rounding)) return kTimeInvalidArgument;
    if (count == nullptr) return kTimeNullPointer;
    std::int64_t n = 0;
    const int status = units_from_fixed(unpack(absoluteTime), seconds_from_native_epoch(epoch), unit, rounding, &n);
    return deliver(status, count, static_cast<long long>(n));
}

int KezTimeIntervalFromSeconds(double seconds, KezTimeInterval *interval) {
    if (interval == nullptr) return kTimeNullPointer;
    if (!double_seconds_in_range(seconds)) return kTimeInvalidArgument;  // NaN too
    *interval = pack_interval(from_double_seconds(seconds));
    return kTimeOk;
}

int KezTimeIntervalToSeconds(KezTimeInterval interval, double *seconds) {
    if (seconds == nullptr) return kTimeNullPointer;
    *seconds = to_double_seconds(unpack(interval));
    return kTimeOk;
}

int KezTimeIntervalFromTimeUnit(int unit, long long count, KezTimeInterval *interval) {
    if (interval == nullptr) return kTimeNullPointer;
    if (!valid_unit(unit)) return kTimeInvalidArgument;
    Fixed value = 0;
    const int status = interval_from_units(unit, count, &value);
    return deliver(status, interval, pack_interval(value));
}

int KezTimeIntervalToTimeUnit(KezTimeInterval interval, int unit, int rounding, long long *count) {
    if (!valid_unit(unit) || !valid_rounding(rounding)) return kTimeInvalidArgument;
    if (count == nullptr) return kTimeNullPointer;
    std::int64_t n = 0;
    const int status = units_from_fixed(unpack(interval), 0, unit, rounding, &n);
    return deliver(status, count, static_cast<long long>(n));
}

int KezTimeIntervalToFractionalUnitTime(KezTimeInterval interval, int unit, KezTimeInterval *fraction) {
    if (!valid_unit(unit)) return kTimeInvalidArgument;
    if (fraction == nullptr) return kTimeNullPointer;
    *fraction = pack_interval(fractional_unit_time(unpack(interval), unit));
    return kTimeOk;
}

int AddKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, KezTimeInterval *sum) {
    if (sum == nullptr) return kTimeNullPointer;
    *sum = pack_interval(wrapping_add(unpack(a), unpack(b)));
    return kTimeOk;
}

int SubtractKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, KezTimeInterval *difference) {
    if (difference == nullptr) return kTimeNullPointer;
    *difference = pack_interval(wrapping_sub(unpack(a), unpack(b)));
    return kTimeOk;
}

int AddToKezAbsoluteTime(KezAbsoluteTime absoluteTime, KezTimeInterval interval, KezAbsoluteTime *sum) {
    if (sum == nullptr) return kTimeNullPointer;
    *sum = pack_absolute_time(wrapping_add(unpack(absoluteTime), unpack(interval)));
    return kTimeOk;
}

int SubtractFromKezAbsoluteTime(KezAbsoluteTime absoluteTime, KezTimeInterval interval,
                                KezAbsoluteTime *difference) {
    if (difference == nullptr) return kTimeNullPointer;
    *difference = pack_absolute_time(wrapping_sub(unpack(absoluteTime), unpack(interval)));
    return kTimeOk;
}

int SubtractKezAbsoluteTimes(KezAbsoluteTime a, KezAbsoluteTime b, KezTimeInterval *difference) {
    if (difference == nullptr) return kTimeNullPointer;
    *difference = pack_interval(wrapping_sub(unpack(a), unpack(b)));
    return kTimeOk;
}

int IncrementKezAbsoluteTime(KezAbsoluteTime *absoluteTime, KezTimeInterval interval) {
    if (absoluteTime == nullptr) return kTimeNullPointer;
    *absoluteTime = pack_absolute_time(wrapping_add(unpack(*absoluteTime), unpack(interval)));
    return kTimeOk;
}

int DecrementKezAbsoluteTime(KezAbsoluteTime *absoluteTime, KezTimeInterval interval) {
    if (absoluteTime == nullptr) return kTimeNullPointer;
    *absoluteTime = pack_absolute_time(wrapping_sub(unpack(*absoluteTime), unpack(interval)));
    return kTimeOk;
}

int IncrementKezTimeInterval(KezTimeInterval *interval, KezTimeInterval increment) {
    if (interval == nullptr) return kTimeNullPointer;
    *interval = pack_interval(wrapping_add(unpack(*interval), unpack(increment)));
    return kTimeOk;
}

int DecrementKezTimeInterval(KezTimeInterval *interval, KezTimeInterval decrement) {
    if (interval == nullptr) return kTimeNullPointer;
    *interval = pack_interval(wrapping_sub(unpack(*interval), unpack(decrement)));
    return kTimeOk;
}

int MultiplyKezTimeInterval(KezTimeInterval interval, long long factor, KezTimeInterval *product) {
    if (product == nullptr) return kTimeNullPointer;
    *product = pack_interval(wrapping_multiply(unpack(interval), factor));
    return kTimeOk;
}

int DivideKezTimeInterval(KezTimeInterval interval, long long divisor, KezTimeInterval *quotient) {
    if (quotient == nullptr) return kTimeNullPointer;
    if (divisor == 0) return kTimeInvalidArgument;
    *quotient = pack_interval(wrapping_divide(unpack(interval), divisor));
    return kTimeOk;
}

int CompareKezAbsoluteTimes(KezAbsoluteTime a, KezAbsoluteTime b, int *result) {
    if (result == nullptr) return kTimeNullPointer;
    *result = compare(unpack(a), unpack(b));
    return kTimeOk;
}

int CompareKezAbsoluteTimesWithTolerance(KezAbsoluteTime a, KezAbsoluteTime b, KezTimeInterval tolerance,
                                         int *result) {
    if (result == nullptr) return kTimeNullPointer;
    if (unpack(tolerance) < 0) return kTimeInvalidArgument;
    *result = compare_with_tolerance(unpack(a), unpack(b), unpack(tolerance));
    return kTimeOk;
}

int CompareKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, int *result) {
    if (result == nullptr) return kTimeNullPointer;
    *result = compare(unpack(a), unpack(b));
    return kTimeOk;
}

int CompareKezTimeIntervalsWithTolerance(KezTimeInterval a, KezTimeInterval b, KezTimeInterval tolerance,
                                         int *result) {
    if (result == nullptr) return kTimeNullPointer;
    if (unpack(tolerance) < 0) return kTimeInvalidArgument;
    *result = compare_with_tolerance(unpack(a), unpack(b), unpack(tolerance));
    return kTimeOk;
}

}  // extern "C"
