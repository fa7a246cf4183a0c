// The engine's time zone. "TZ" in the engine's form (":EST:EDT:-300": the
// standard and daylight names and the offset of standard time from UTC in
// minutes) gives names and offset; any other value, or none, leaves them to
// the system's setting. The daylight rules always come from the system.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "clib/calendar.h"
#include "os/os.h"

namespace kez::clib {
namespace {

// Offsets of a whole day or more are no zone.
constexpr int kOffsetLimit = 1440;

const Zone kDefaultZone = [] {
    Zone z{};
    z.offset_minutes = -300;
    std::strcpy(z.standard_name, "EST");
    std::strcpy(z.daylight_name, "EDT");
    return z;
}();

std::atomic<const Zone *> g_zone{&kDefaultZone};
std::mutex g_zones_lock;
std::vector<std::unique_ptr<Zone>> g_zones;  // every zone made, until clean-up
std::unique_ptr<os::SystemZone> g_substitute;

void copy_name(char (&out)[64], const char *from, std::size_t length) {
    if (length > sizeof out - 1) length = sizeof out - 1;
    std::memcpy(out, from, length);
    out[length] = '\0';
}

// An optional sign and digits, nothing else; anything else is 0.
int parse_offset(const char *text) {
    const char *p = text + (*text == '-' || *text == '+');
    if (*p == '\0') return 0;
    long value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + (*p - '0');
        if (value >= kOffsetLimit) return 0;
    }
    return static_cast<int>(*text == '-' ? -value : value);
}

// ":std:dst:offset": a leading ':' and two more.
bool read_engine_form(const char *tz, Zone *z) {
    if (tz[0] != ':') return false;
    const char *first = std::strchr(tz + 1, ':');
    const char *second = first != nullptr ? std::strchr(first + 1, ':') : nullptr;
    if (second == nullptr) return false;
    copy_name(z->standard_name, tz + 1, static_cast<std::size_t>(first - tz - 1));
    copy_name(z->daylight_name, first + 1, static_cast<std::size_t>(second - first - 1));
    z->offset_minutes = parse_offset(second + 1);
    return true;
}

bool query_system(os::SystemZone *out) {
    {
        std::lock_guard<std::mutex> hold(g_zones_lock);
        if (g_substitute) {
            *out = *g_substitute;
            return true;
        }
    }
    return os::system_time_zone(out);
}

}  // namespace

namespace {
const TimeOptions kTimeOptions{":", "AM", "PM", "d/m/yy", "ddd, mmm d, yyyy"};
const TimeOptions *g_time_options = nullptr;
}  // namespace

int GetTimeOptions() {
    g_time_options = &kTimeOptions;
    return 0;
}

const TimeOptions &time_options() { return g_time_options != nullptr ? *g_time_options : kTimeOptions; }

const Zone &current_zone() { return *g_zone.load(std::memory_order_acquire); }

int InitTimeLib() {
    start_clock();
    auto zone = std::unique_ptr<Zone>(new (std::nothrow) Zone(kDefaultZone));
    if (!zone) return -1;
    os::SystemZone system;
    const bool have_system = query_system(&system);
    char tz[256];
    if (!os::env_get("TZ", tz, sizeof tz) || !read_engine_form(tz, zone.get())) {
        if (have_system) {
            copy_name(zone->standard_name, system.standard_name, std::strlen(system.standard_name));
            copy_name(zone->daylight_name, system.daylight_name, std::strlen(system.daylight_name));
            const int offset = -system.bias_minutes;
            zone->offset_minutes = offset > -kOffsetLimit && offset < kOffsetLimit ? offset : 0;
        }
    }
    if (have_system && system.has_daylight) {
        zone->has_daylight = true;
        zone->to_daylight = system.to_daylight;
        zone->to_standard = system.to_standard;
    }
    std::lock_guard<std::mutex> hold(g_zones_lock);
    g_zone.store(zone.get(), std::memory_order_release);
    g_zones.push_back(std::move(zone));
    return 0;
}

void TimeLibUninit() {
    std::lock_guard<std::mutex> hold(g_zones_lock);
    g_zone.store(&kDefaultZone, std::memory_order_release);
    g_zones.clear();
    g_substitute.reset();
}

bool substitute_system_zone(const char *rule) {
    std::unique_ptr<os::SystemZone> zone;
    if (rule != nullptr) {
        zone.reset(new os::SystemZone);
        if (!os::parse_zone_rule(rule, zone.get())) return false;
    }
    {
        std::lock_guard<std::mutex> hold(g_zones_lock);
        g_substitute = std::move(zone);
    }
    return InitTimeLib() == 0;
}

}  // namespace kez::clib

#if defined(KEZ_TEST_HOOKS)
#include "core/test_hooks.h"

extern "C" int KezTest_SetSystemTimeZone(const char *rule) {
    return kez::clib::substitute_system_zone(rule) ? 0 : -1;
}
#endif
