// The system's time zone: GetTimeZoneInformation, names in the ANSI code page.
#include <windows.h>

#include "os/fault.h"
#include "os/time_zone.h"

namespace kez::os {
namespace {

void ansi_name(const WCHAR *wide, char (&out)[64]) {
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, out, sizeof out, nullptr, nullptr);
    if (n <= 0) out[0] = '\0';
    out[sizeof out - 1] = '\0';
}

ZoneChange change_of(const SYSTEMTIME &t) {
    return ZoneChange{t.wMonth, t.wDay, t.wDayOfWeek, t.wHour, t.wMinute};
}

}  // namespace

bool system_time_zone(SystemZone *out) {
    if (fault::hit("os.system_time_zone")) return false;
    TIME_ZONE_INFORMATION info;
    if (GetTimeZoneInformation(&info) == TIME_ZONE_ID_INVALID) return false;
    *out = SystemZone{};
    ansi_name(info.StandardName, out->standard_name);
    ansi_name(info.DaylightName, out->daylight_name);
    out->bias_minutes = info.Bias;
    // A change with a year is a fixed date of that year only: not a yearly rule.
    const bool yearly = info.DaylightDate.wYear == 0 && info.StandardDate.wYear == 0;
    out->has_daylight = yearly && info.DaylightDate.wMonth >= 1 && info.DaylightDate.wMonth <= 12 &&
                        info.StandardDate.wMonth >= 1 && info.StandardDate.wMonth <= 12 &&
                        info.DaylightDate.wDay >= 1 && info.DaylightDate.wDay <= 5 &&
                        info.StandardDate.wDay >= 1 && info.StandardDate.wDay <= 5;
    if (out->has_daylight) {
        out->to_daylight = change_of(info.DaylightDate);
        out->to_standard = change_of(info.StandardDate);
    }
    return true;
}

}  // namespace kez::os
