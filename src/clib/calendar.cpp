// Gregorian calendar arithmetic on signed 64-bit day and second counts, and
// daylight saving from the zone's yearly changes.
#include "clib/calendar.h"

#include <climits>

namespace kez::clib {
namespace {

constexpr std::int64_t kDay = 86400;

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days since 1970-01-01 (the civil-from-days pair over 400-year eras).
std::int64_t days_from_1970(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr std::int64_t kDays1900To1970 = 25567;

struct Civil {
    std::int64_t year;
    int month;  // 1-12
    int day;
};

Civil civil_from_1900(std::int64_t days) {
    const std::int64_t z = days - kDays1900To1970 + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return Civil{yoe + era * 400 + (m <= 2), m, d};
}

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// 1900-01-01 was a Monday.
int weekday_of(std::int64_t days) { return static_cast<int>(days + 1 - floor_div(days + 1, 7) * 7); }

bool fields_of(std::int64_t seconds, int isdst, TmFields *out) {
    const std::int64_t days = floor_div(seconds, kDay);
    const std::int64_t rest = seconds - days * kDay;
    const Civil c = civil_from_1900(days);
    const std::int64_t year = c.year - 1900;
    if (year < INT_MIN || year > INT_MAX) return false;
    out->sec = static_cast<int>(rest % 60);
    out->min = static_cast<int>(rest / 60 % 60);
    out->hour = static_cast<int>(rest / 3600);
    out->mday = c.day;
    out->mon = c.month - 1;
    out->year = static_cast<int>(year);
    out->wday = weekday_of(days);
    out->yday = static_cast<int>(days - days_from_civil(c.year, 1, 1));
    out->isdst = isdst;
    return true;
}

// The local standard second of a yearly change in `year`.
std::int64_t change_second(std::int64_t year, const os::ZoneChange &c) {
    const std::int64_t first = days_from_civil(year, c.month, 1);
    std::int64_t day = first + (c.weekday - weekday_of(first) + 7) % 7 + 7 * (c.week - 1);
    if (c.week == 5) {
        static constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const int length = kMonthDays[c.month - 1] + (c.month == 2 && is_leap(year));
        while (day - first >= length) day -= 7;
    }
    return day * kDay + c.hour * 3600 + c.minute * 60;
}

// Whether daylight saving is in force at local standard second `s`. The
// change to daylight time is given in standard time, the change back in
// daylight time; a start later in the year than the end (the southern
// hemisphere) means daylight time spans the turn of the year.
bool in_daylight(const Zone &z, std::int64_t s) {
    if (!z.has_daylight) return false;
    const std::int64_t year = civil_from_1900(floor_div(s, kDay)).year;
    const std::int64_t start = change_second(year, z.to_daylight);
    const std::int64_t end = change_second(year, z.to_standard) - 3600;
    return start < end ? s >= start && s < end : s >= start || s < end;
}

// Seconds a 64-bit count may hold before the arithmetic below overflows;
// far beyond any year an int can hold.
constexpr std::int64_t kSecondsLimit = INT64_MAX / 2;

}  // namespace

std::int64_t days_from_civil(std::int64_t year, int month, int day) {
    return days_from_1970(year, month, day) + kDays1900To1970;
}

bool utc_fields(std::int64_t seconds, TmFields *out) {
    if (seconds > kSecondsLimit || seconds < -kSecondsLimit) return false;
    return fields_of(seconds, 0, out);
}

bool local_fields(std::int64_t seconds, TmFields *out) {
    if (seconds > kSecondsLimit || seconds < -kSecondsLimit) return false;
    const Zone &z = current_zone();
    const std::int64_t s = seconds + z.offset_minutes * 60;
    const bool daylight = in_daylight(z, s);
    return fields_of(daylight ? s + 3600 : s, daylight ? 1 : 0, out);
}

bool local_seconds(TmFields *fields, std::int64_t *seconds) {
    const std::int64_t year = static_cast<std::int64_t>(fields->year) + floor_div(fields->mon, 12);
    if (year < INT_MIN || year > INT_MAX) return false;
    const int month = static_cast<int>(fields->mon - floor_div(fields->mon, 12) * 12);
    const std::int64_t days = days_from_civil(year + 1900, month + 1, 1) + fields->mday - 1;
    const std::int64_t local = days * kDay + static_cast<std::int64_t>(fields->hour) * 3600 +
                               static_cast<std::int64_t>(fields->min) * 60 + fields->sec;
    // The same test as for a UTC second, on the wall clock: an hour that
    // repeats is read as standard time, an hour that is skipped as daylight.
    const Zone &z = current_zone();
    const std::int64_t utc = local - z.offset_minutes * 60 - (in_daylight(z, local) ? 3600 : 0);
    TmFields result;
    if (utc < 0 || !local_fields(utc, &result)) return false;
    *fields = result;
    *seconds = utc;
    return true;
}

}  // namespace kez::clib
