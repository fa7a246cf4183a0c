// The system's time zone as the engine takes it: names, the bias of local
// standard time, and the two yearly changes in the month/week form
// (week 1-4, 5 = the last such weekday of the month).
#pragma once

namespace kez::os {

struct ZoneChange {
    int month;    // 1-12
    int week;     // 1-5, 5 = last
    int weekday;  // 0 = Sunday
    int hour;     // local hour of the change; may lie outside 0-23 (the next or previous day)
    int minute;
};

struct SystemZone {
    char standard_name[64];
    char daylight_name[64];
    int bias_minutes;    // UTC = local standard time + bias
    bool has_daylight;   // both changes below are valid
    ZoneChange to_daylight;  // in local standard time
    ZoneChange to_standard;  // in local daylight time
};

// The system's setting. Windows: GetTimeZoneInformation. POSIX: the zone
// the C library uses, from TZ (a rule, or a zone file, with or without a
// leading ':') or /etc/localtime, read as the rule in the zone file's
// footer. False when the system gives nothing usable.
bool system_time_zone(SystemZone *out);

// A rule in the POSIX TZ form ("EST5EDT,M3.2.0,M11.1.0", "<+0330>-3:30").
// Only month/week/weekday changes are understood; a rule with others, or
// with daylight but no changes, is taken without daylight saving. False
// when the text is no rule.
bool parse_zone_rule(const char *rule, SystemZone *out);

}  // namespace kez::os
