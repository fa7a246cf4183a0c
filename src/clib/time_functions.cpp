// time.h: the clock, calendar conversions in UTC and in the engine's zone,
// and the fixed-English and locale forms of dates. Results live in the
// calling thread's record, so no call waits for another thread's.
#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "clib/calendar.h"
#include "clib/clib_library.h"
#include "clib/clib_locale_exports.h"
#include "core/time_base.h"
#include "kez/kez_api.h"
#include "os/locale.h"
#include "os/os.h"

static_assert(sizeof(kez::clib::TmFields) == 9 * sizeof(int), "struct tm is nine ints");

using kez::clib::TmFields;

extern "C" {
KEZ_API std::uint64_t kez_time(std::uint64_t *t);
KEZ_API long kez_clock(void);
KEZ_API double kez_difftime(std::uint64_t t1, std::uint64_t t0);
KEZ_API std::uint64_t kez_mktime(TmFields *tm);
KEZ_API TmFields *kez_localtime(const std::uint64_t *t);
KEZ_API TmFields *kez_gmtime(const std::uint64_t *t);
KEZ_API char *kez_asctime(const TmFields *tm);
KEZ_API char *kez_ctime(const std::uint64_t *t);
KEZ_API std::size_t kez_strftime(char *s, std::size_t max, const char *format, const TmFields *tm);
KEZ_API char *__dbgasctime(const TmFields *tm);
KEZ_API TmFields *__dbggmtime(const std::uint64_t *t);
}

namespace kez::clib {
namespace {

constexpr std::uint64_t kSeconds1900To1970 = 2208988800u;
constexpr std::uint64_t kClockUnset = UINT64_MAX;

std::atomic<std::uint64_t> g_clock_last{kClockUnset};
std::atomic<std::uint32_t> g_clock_total{0};

const char *const kDays[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char *const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};

// An unsigned count of seconds as the signed one the calendar works on;
// beyond INT64_MAX no year fits an int anyway.
bool signed_seconds(const std::uint64_t *t, std::int64_t *out) {
    if (t == nullptr || *t > static_cast<std::uint64_t>(INT64_MAX)) return false;
    *out = static_cast<std::int64_t>(*t);
    return true;
}

// Output bounded by strftime's max: nothing is written at or beyond it.
struct Out {
    char *s;
    std::size_t max;
    std::size_t n = 0;
    bool full = false;

    void put(const char *text, std::size_t length) {
        if (full || length >= max - n) {
            full = true;
            return;
        }
        std::memcpy(s + n, text, length);
        n += length;
    }
    void put(const char *text) { put(text, std::strlen(text)); }
    // printf's "%0*lld": zeros in front up to `width` characters, sign included.
    void number(long long value, int width) {
        char digits[24];
        char *end = digits + sizeof digits, *p = end;
        unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        do {
            *--p = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (end - p < width - (value < 0)) *--p = '0';
        if (value < 0) *--p = '-';
        put(p, static_cast<std::size_t>(end - p));
    }
};

// The locale's names, or the "C" locale's (null for a short name: the
// full name's first three letters); "?" for an index out of range.
struct Names {
    const os::NativeTimeNames *native = native_time_names();

    const char *day(int i, bool full) const {
        if (i < 0 || i > 6) return "?";
        if (native != nullptr) return full ? native->day[i] : native->short_day[i];
        return full ? kDays[i] : nullptr;
    }
    const char *month(int i, bool full) const {
        if (i < 0 || i > 11) return "?";
        if (native != nullptr) return full ? native->month[i] : native->short_month[i];
        return full ? kMonths[i] : nullptr;
    }
    const char *am_pm(int hour) const {
        if (native != nullptr) return hour < 12 ? native->am : native->pm;
        return hour < 12 ? "AM" : "PM";
    }
};

void put_day(Out &out, const Names &names, int i, bool full) {
    const char *name = names.day(i, full);
    if (name != nullptr) return out.put(name);
    out.put(kDays[i], 3);
}

void put_month(Out &out, const Names &names, int i, bool full) {
    const char *name = names.month(i, full);
    if (name != nullptr) return out.put(name);
    out.put(kMonths[i], 3);
}

void format_time(Out &out, const char *format, const TmFields &tm, const Names &names);

// %c: the locale's date and time, at most 128 bytes, or "%b %d %H:%M:%S %Y".
void put_date_time(Out &out, const TmFields &tm, const Names &names) {
    if (names.native != nullptr) {
        char text[256];
        if (os::native_date_time(native_time_locale(), &tm.sec, text, sizeof text)) {
            text[128] = '\0';
            return out.put(text);
        }
    }
    format_time(out, "%b %d %H:%M:%S %Y", tm, names);
}

void format_time(Out &out, const char *format, const TmFields &tm, const Names &names) {
    for (const char *p = format; *p != '\0' && !out.full; ++p) {
        if (*p != '%' || p[1] == '\0') {
            out.put(p, 1);
            continue;
        }
        switch (*++p) {
        case '%': out.put("%", 1); break;
        case 'a': put_day(out, names, tm.wday, false); break;
        case 'A': put_day(out, names, tm.wday, true); break;
        case 'b': put_month(out, names, tm.mon, false); break;
        case 'B': put_month(out, names, tm.mon, true); break;
        case 'c': put_date_time(out, tm, names); break;
        case 'd': out.number(tm.mday, 2); break;
        case 'H': out.number(tm.hour, 2); break;
        case 'I': out.number((tm.hour % 12 + 12) % 12 == 0 ? 12 : (tm.hour % 12 + 12) % 12, 2); break;
        case 'j': out.number(static_cast<long long>(tm.yday) + 1, 3); break;
        case 'm': out.number(static_cast<long long>(tm.mon) + 1, 2); break;
        case 'M': out.number(tm.min, 2); break;
        case 'p': out.put(names.am_pm(tm.hour)); break;
        case 'S': out.number(tm.sec, 2); break;
        case 'U': out.number((static_cast<long long>(tm.yday) + 7 - tm.wday) / 7, 2); break;
        case 'w': out.number(tm.wday, 1); break;
        case 'W': out.number((static_cast<long long>(tm.yday) + 7 - (tm.wday + 6) % 7) / 7, 2); break;
        case 'x': format_time(out, "%m/%d/%y", tm, names); break;
        case 'X': format_time(out, "%H:%M:%S", tm, names); break;
        case 'y': out.number(((static_cast<long long>(tm.year) + 1900) % 100 + 100) % 100, 2); break;
        case 'Y': out.number(static_cast<long long>(tm.year) + 1900, 1); break;
        case 'Z': {
            const Zone &z = current_zone();
            out.put(tm.isdst > 0 ? z.daylight_name : z.standard_name);
            break;
        }
        default: out.put(p - 1, 2); break;  // not a conversion: as written
        }
    }
}

// asctime's line in the fixed English names: NULL (EINVAL) for a weekday
// or month without a name, or a line that does not fit the buffer.
char *format_line(const TmFields *tm, char *buffer) {
    if (tm == nullptr || tm->wday < 0 || tm->wday > 6 || tm->mon < 0 || tm->mon > 11) {
        set_errno(kEINVAL);
        return nullptr;
    }
    Out out{buffer, static_cast<std::size_t>(kTimeTextSize)};
    format_time(out, "%a %b %d %H:%M:%S %Y\n", *tm, Names{nullptr});
    if (out.full) {
        set_errno(kEINVAL);
        return nullptr;
    }
    buffer[out.n] = '\0';
    return buffer;
}

TmFields *broken_down(const std::uint64_t *t, TmFields *result, bool local) {
    std::int64_t seconds;
    if (!signed_seconds(t, &seconds) || !(local ? local_fields(seconds, result) : utc_fields(seconds, result))) {
        set_errno(kEINVAL);
        return nullptr;
    }
    return result;
}

std::mutex g_debugger_lock;
TmFields g_debugger_tm;
char g_debugger_line[kTimeTextSize];

}  // namespace

void start_clock() {
    std::uint64_t unset = kClockUnset;
    g_clock_last.compare_exchange_strong(unset, static_cast<std::uint64_t>(core::MilliSecs()));
}

}  // namespace kez::clib

using namespace kez::clib;

extern "C" std::uint64_t kez_time(std::uint64_t *t) {
    const std::int64_t ms = kez::os::wall_clock_ms();
    const std::uint64_t now = static_cast<std::uint64_t>(ms / 1000 - (ms % 1000 < 0)) + kSeconds1900To1970;
    if (t != nullptr) *t = now;
    return now;
}

// Each call adds the clock's advance since the one before to the total;
// concurrent calls each add a distinct stretch, so the total never runs back.
extern "C" long kez_clock(void) {
    start_clock();
    const auto now = static_cast<std::uint64_t>(kez::core::MilliSecs());
    std::uint64_t last = g_clock_last.load(std::memory_order_relaxed);
    while (now > last) {
        if (g_clock_last.compare_exchange_weak(last, now, std::memory_order_relaxed)) {
            const auto total = g_clock_total.fetch_add(static_cast<std::uint32_t>(now - last)) +
                               static_cast<std::uint32_t>(now - last);
            return static_cast<std::int32_t>(total);
        }
    }
    return static_cast<std::int32_t>(g_clock_total.load());
}

extern "C" double kez_difftime(std::uint64_t t1, std::uint64_t t0) {
    return t1 >= t0 ? static_cast<double>(t1 - t0) : -static_cast<double>(t0 - t1);
}

extern "C" std::uint64_t kez_mktime(TmFields *tm) {
    std::int64_t seconds;
    if (tm == nullptr || !local_seconds(tm, &seconds)) return UINT64_MAX;
    return static_cast<std::uint64_t>(seconds);
}

extern "C" TmFields *kez_localtime(const std::uint64_t *t) { return broken_down(t, time_result(), true); }
extern "C" TmFields *kez_gmtime(const std::uint64_t *t) { return broken_down(t, time_result(), false); }
extern "C" char *kez_asctime(const TmFields *tm) { return format_line(tm, time_text_buffer()); }

extern "C" char *kez_ctime(const std::uint64_t *t) {
    TmFields local;
    return broken_down(t, &local, true) != nullptr ? format_line(&local, time_text_buffer()) : nullptr;
}

extern "C" std::size_t kez_strftime(char *s, std::size_t max, const char *format, const TmFields *tm) {
    if (s == nullptr || max == 0 || format == nullptr || tm == nullptr) return 0;
    Out out{s, max};
    format_time(out, format, *tm, Names{});
    if (out.full) {
        s[0] = '\0';
        return 0;
    }
    s[out.n] = '\0';
    return out.n;
}

extern "C" char *__dbgasctime(const TmFields *tm) {
    std::lock_guard<std::mutex> hold(g_debugger_lock);
    return format_line(tm, g_debugger_line);
}

extern "C" TmFields *__dbggmtime(const std::uint64_t *t) {
    std::lock_guard<std::mutex> hold(g_debugger_lock);
    return broken_down(t, &g_debugger_tm, false);
}
