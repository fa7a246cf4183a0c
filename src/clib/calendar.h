// The C library's calendar: seconds since 1900-01-01 00:00:00 UTC (signed,
// so that the hours before 1900 west of Greenwich are still dates) broken
// down into fields, in UTC or in the engine's time zone, and back. One zone
// serves the whole engine: the C library's functions and the absolute-time
// library's calendar conversions.
#pragma once

#include <cstdint>

#include "os/time_zone.h"

namespace kez::clib {

// The fields of the public struct tm, in its order.
struct TmFields {
    int sec, min, hour, mday, mon, year, wday, yday, isdst;
};

struct Zone {
    int offset_minutes;  // local standard time = UTC + offset
    char standard_name[64];
    char daylight_name[64];
    bool has_daylight;
    os::ZoneChange to_daylight;  // its hour in standard time
    os::ZoneChange to_standard;  // its hour in daylight time
};

// The zone in force. Never changes while a call reads it: a new zone is a
// new object, and replaced ones live until the time library's clean-up.
const Zone &current_zone();

// Start-up step: the zone from "TZ" (":std:dst:offset") or the system;
// starts clock's count.
int InitTimeLib();
void TimeLibUninit();
// Test hook: the system zone replaced by a rule in the POSIX TZ form (null:
// the real one again), then InitTimeLib again. False for a bad rule.
bool substitute_system_zone(const char *rule);

// Start-up step: the fixed time and date options of the engine's own
// date texts.
struct TimeOptions {
    const char *time_separator;
    const char *am;
    const char *pm;
    const char *short_date;
    const char *long_date;
};
int GetTimeOptions();
const TimeOptions &time_options();

// clock's count starts at its first call after start-up (once).
void start_clock();

// Days since 1900-01-01 of a proleptic Gregorian date (month 1-12), and back.
std::int64_t days_from_civil(std::int64_t year, int month, int day);

// Seconds to fields, false when the year does not fit an int.
bool utc_fields(std::int64_t seconds, TmFields *out);
bool local_fields(std::int64_t seconds, TmFields *out);
// mktime's work: the local fields normalised into seconds since 1900 UTC,
// every field rewritten from the result. False (fields untouched) when the
// result is before 1900 or its year does not fit an int.
bool local_seconds(TmFields *fields, std::int64_t *seconds);

}  // namespace kez::clib
