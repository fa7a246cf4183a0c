// Absolute times to and from the local calendar, in the engine's one zone
// (the C library's), from 1970 on.
#include <climits>
#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "clib/calendar.h"
#include "kez/absolute_time.h"
#include "util/absolute_time.h"

namespace {
constexpr std::int64_t kSeconds1900To1970 = 2208988800;
}  // namespace

using namespace kez::util;

extern "C" int KezAbsoluteTimeFromLocalCalendar(unsigned int year, unsigned int month, unsigned int day,
                                                unsigned int hour, unsigned int minute, unsigned int second,
                                                double milliseconds, KezAbsoluteTime *absoluteTime) {
    if (absoluteTime == nullptr) return kTimeNullPointer;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour >= 24 || minute >= 60 || second >= 60 ||
        !(milliseconds >= 0 && milliseconds < 1000))
        return kTimeInvalidArgument;
    if (year < 1970) return kTimeOutOfRange;
    // Years whose count since 1900 does not fit the calendar's int.
    if (year - 1900u > static_cast<unsigned>(INT_MAX)) return kTimeOutOfRange;
    kez::clib::TmFields fields{static_cast<int>(second), static_cast<int>(minute), static_cast<int>(hour),
                               static_cast<int>(day),    static_cast<int>(month) - 1, static_cast<int>(year - 1900u),
                               0, 0, -1};
    std::int64_t seconds1900 = 0;
    if (!kez::clib::local_seconds(&fields, &seconds1900) || seconds1900 < kSeconds1900To1970) return kTimeSystemFailed;
    Fixed value = fixed_from_seconds(seconds1900 - kSeconds1900To1970 + kSeconds1904To1970);
    if (milliseconds != 0) value += from_double_seconds(milliseconds / 1000);
    *absoluteTime = pack_absolute_time(value);
    return kTimeOk;
}

extern "C" int KezAbsoluteTimeToLocalCalendar(KezAbsoluteTime absoluteTime, unsigned int *year, unsigned int *month,
                                              unsigned int *day, unsigned int *hour, unsigned int *minute,
                                              unsigned int *second, double *milliseconds, unsigned int *weekDay) {
    for (unsigned int *p : {year, month, day, hour, minute, second, weekDay})
        if (p != nullptr) *p = 0;
    if (milliseconds != nullptr) *milliseconds = 0;
    const Fixed value = unpack(absoluteTime);
    const std::int64_t whole = static_cast<std::int64_t>(value >> 64);  // floor: the fraction is never negative
    if (whole < INT64_MIN + kSeconds1904To1970) return kTimeOverflow;
    const std::int64_t since1970 = whole - kSeconds1904To1970;
    if (since1970 < 0) return kTimeOutOfRange;
    kez::clib::TmFields fields;
    if (since1970 > INT64_MAX - kSeconds1900To1970 ||
        !kez::clib::local_fields(since1970 + kSeconds1900To1970, &fields))
        return kTimeSystemFailed;
    if (year != nullptr) *year = static_cast<unsigned>(fields.year) + 1900u;
    if (month != nullptr) *month = static_cast<unsigned>(fields.mon) + 1;
    if (day != nullptr) *day = static_cast<unsigned>(fields.mday);
    if (hour != nullptr) *hour = static_cast<unsigned>(fields.hour);
    if (minute != nullptr) *minute = static_cast<unsigned>(fields.min);
    if (second != nullptr) *second = static_cast<unsigned>(fields.sec);
    if (weekDay != nullptr) *weekDay = static_cast<unsigned>(fields.wday);
    if (milliseconds != nullptr) *milliseconds = to_double_seconds(fraction_of_second(value)) * 1000;
    return kTimeOk;
}
