// The POSIX TZ rule, read into the month/week form both platforms share.
#include <cstring>

#include "os/time_zone.h"

namespace kez::os {
namespace {

struct Reader {
    const char *p;

    bool digit() const { return *p >= '0' && *p <= '9'; }

    // A name: three or more letters, or anything between '<' and '>'.
    bool name(char (&out)[64]) {
        std::size_t n = 0;
        const char *start = p;
        if (*p == '<') {
            start = ++p;
            while (*p != '\0' && *p != '>') ++p;
            if (*p != '>') return false;
            n = static_cast<std::size_t>(p - start);
            ++p;
        } else {
            while ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z')) ++p;
            n = static_cast<std::size_t>(p - start);
            if (n < 3) return false;
        }
        if (n > sizeof out - 1) n = sizeof out - 1;
        std::memcpy(out, start, n);
        out[n] = '\0';
        return true;
    }

    bool number(int *out, int max) {
        if (!digit()) return false;
        int v = 0;
        while (digit()) {
            v = v * 10 + (*p++ - '0');
            if (v > max) return false;
        }
        *out = v;
        return true;
    }

    // [+-]hh[:mm[:ss]] in minutes.
    bool clock_minutes(int *out) {
        int sign = 1;
        if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1 : 1;
        int h = 0, m = 0, s = 0;
        if (!number(&h, 167)) return false;
        if (*p == ':') {
            ++p;
            if (!number(&m, 59)) return false;
            if (*p == ':') {
                ++p;
                if (!number(&s, 59)) return false;
            }
        }
        *out = sign * (h * 60 + m);
        return true;
    }

    // ",Mm.w.d[/time]"
    bool change(ZoneChange *c) {
        if (*p != ',' || p[1] != 'M') return false;
        p += 2;
        if (!number(&c->month, 12) || c->month < 1 || *p++ != '.') return false;
        if (!number(&c->week, 5) || c->week < 1 || *p++ != '.') return false;
        if (!number(&c->weekday, 6)) return false;
        int minutes = 120;
        if (*p == '/') {
            ++p;
            if (!clock_minutes(&minutes)) return false;
        }
        // Floor division: "/-1" is 23:00 of the day before.
        c->hour = minutes >= 0 ? minutes / 60 : -((-minutes + 59) / 60);
        c->minute = minutes - c->hour * 60;
        return true;
    }
};

}  // namespace

bool parse_zone_rule(const char *rule, SystemZone *out) {
    if (rule == nullptr) return false;
    *out = SystemZone{};
    Reader r{rule};
    int bias = 0;
    if (!r.name(out->standard_name) || !r.clock_minutes(&bias)) return false;
    out->bias_minutes = bias;
    if (*r.p == '\0') return true;
    if (!r.name(out->daylight_name)) return false;
    int daylight_bias = 0;
    if (*r.p != ',' && *r.p != '\0' && !r.clock_minutes(&daylight_bias)) return false;
    ZoneChange start{}, end{};
    if (r.change(&start) && r.change(&end) && *r.p == '\0') {
        out->has_daylight = true;
        out->to_daylight = start;
        out->to_standard = end;
    }
    return true;
}

}  // namespace kez::os
