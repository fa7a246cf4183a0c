// Date and time strings and the system clock as local time.
//
// Setting checks every field before anything is set: the system would
// otherwise normalise a day like February 30 into March and report
// success.
#include <cstdio>

#include "core/test_hooks.h"
#include "kez/utility.h"
#include "mt/thread_util.h"
#include "os/fault.h"
#include "os/system_services.h"

namespace {

namespace os = kez::os;

// The process-wide buffers of threads whose record cannot be had.
char g_date_string[11];
char g_time_string[9];

// The calling thread's record; null without memory (fault point
// "util.thread_record" stands for that).
kez::mt::UtilityThreadBlock *record() {
    return kez::fault::hit("util.thread_record") ? nullptr : kez::mt::utility_block();
}

// The clock now; a clock the system cannot convert reads as all zeros.
os::LocalDateTime now() {
    os::LocalDateTime t{};
    if (!os::local_date_time(&t)) t = os::LocalDateTime{};
    return t;
}

bool leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool valid_date(int month, int day, int year) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1) return false;
    return day <= kDays[month - 1] + (month == 2 && leap_year(year) ? 1 : 0);
}

bool valid_time(int hours, int minutes, int seconds) {
    return hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59 && seconds >= 0 && seconds <= 59;
}

// Two-digit fields are printed modulo 100 so that the text always fits
// its buffer, whatever the platform reports.
int two_digits(int v) { return ((v % 100) + 100) % 100; }

}  // namespace

extern "C" char *DateStr(void) {
    const os::LocalDateTime t = now();
    kez::mt::UtilityThreadBlock *block = record();
    char *text = block != nullptr ? block->date_string : g_date_string;
    std::snprintf(text, sizeof g_date_string, "%02d-%02d-%04d", two_digits(t.month), two_digits(t.day),
                  ((t.year % 10000) + 10000) % 10000);
    return text;
}

extern "C" char *TimeStr(void) {
    const os::LocalDateTime t = now();
    kez::mt::UtilityThreadBlock *block = record();
    char *text = block != nullptr ? block->time_string : g_time_string;
    std::snprintf(text, sizeof g_time_string, "%02d:%02d:%02d", two_digits(t.hour), two_digits(t.minute),
                  two_digits(t.second));
    return text;
}

extern "C" int GetSystemDate(int *month, int *day, int *year) {
    os::LocalDateTime t;
    if (month == nullptr || day == nullptr || year == nullptr || !os::local_date_time(&t)) return -1;
    *month = t.month;
    *day = t.day;
    *year = t.year;
    return 0;
}

extern "C" int Kez_GetSystemTime(int *hours, int *minutes, int *seconds) {
    os::LocalDateTime t;
    if (hours == nullptr || minutes == nullptr || seconds == nullptr || !os::local_date_time(&t)) return -1;
    *hours = t.hour;
    *minutes = t.minute;
    *seconds = t.second;
    return 0;
}

// The same value is set twice: the first set applies the daylight-saving
// setting of the old date, the second that of the new one.
extern "C" int SetSystemDate(int month, int day, int year) {
    os::LocalDateTime t;
    if (!valid_date(month, day, year) || !os::local_date_time(&t)) return -1;
    t.month = month;
    t.day = day;
    t.year = year;
    return os::set_local_date_time(t) && os::set_local_date_time(t) ? 0 : -1;
}

extern "C" int Kez_SetSystemTime(int hours, int minutes, int seconds) {
    os::LocalDateTime t;
    if (!valid_time(hours, minutes, seconds) || !os::local_date_time(&t)) return -1;
    t.hour = hours;
    t.minute = minutes;
    t.second = seconds;
    t.millisecond = 0;
    return os::set_local_date_time(t) ? 0 : -1;
}

#if defined(KEZ_TEST_HOOKS)
namespace {

struct Recorded {
    int count;
    os::LocalDateTime last;
};
Recorded g_recorded;

bool record_set(const os::LocalDateTime &t) {
    ++g_recorded.count;
    g_recorded.last = t;
    return true;
}

}  // namespace

extern "C" void KezTest_RecordClockSets(int on) {
    g_recorded = Recorded{};
    os::replace_local_time_setter(on != 0 ? record_set : nullptr);
}

extern "C" int KezTest_RecordedClockSets(int *fields) {
    const os::LocalDateTime &t = g_recorded.last;
    const int values[7] = {t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond};
    for (int i = 0; i < 7; ++i) fields[i] = values[i];
    return g_recorded.count;
}
#endif
