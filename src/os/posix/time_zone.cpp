// The zone the C library would use: TZ names a zone file (with or without a
// leading ':'), or is a rule; without TZ, /etc/localtime. A zone file is
// read through the rule in its footer (zone files of version 2 and later
// end with it), so the engine follows the current rule of the zone. A TZ
// that is neither gives UTC, as the C library does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "os/fault.h"
#include "os/os.h"
#include "os/time_zone.h"

namespace kez::os {
namespace {

// The footer rule of a zone file: the text between the last two line feeds.
bool rule_of_zone_file(const char *path, char *rule, std::size_t size) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    std::vector<char> data;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && data.size() < (1u << 22))
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    if (data.size() < 8 || std::memcmp(data.data(), "TZif", 4) != 0 || data.back() != '\n') return false;
    std::size_t start = data.size() - 1;
    while (start > 0 && data[start - 1] != '\n') --start;
    const std::size_t length = data.size() - 1 - start;
    if (start == 0 || length == 0 || length >= size) return false;
    std::memcpy(rule, data.data() + start, length);
    rule[length] = '\0';
    return true;
}

bool zone_file_rule(const char *name, char *rule, std::size_t size) {
    if (name[0] == '/') return rule_of_zone_file(name, rule, size);
    if (std::strstr(name, "..") != nullptr) return false;
    char dir[1024];
    if (!env_get("TZDIR", dir, sizeof dir)) std::strcpy(dir, "/usr/share/zoneinfo");
    char path[2048];
    const int n = std::snprintf(path, sizeof path, "%s/%s", dir, name);
    return n > 0 && static_cast<std::size_t>(n) < sizeof path && rule_of_zone_file(path, rule, size);
}

void utc(SystemZone *out) {
    *out = SystemZone{};
    std::strcpy(out->standard_name, "UTC");
}

}  // namespace

bool system_time_zone(SystemZone *out) {
    if (fault::hit("os.system_time_zone")) return false;
    char tz[1024];
    char rule[256];
    if (!env_get("TZ", tz, sizeof tz)) {
        if (!rule_of_zone_file("/etc/localtime", rule, sizeof rule)) return utc(out), true;
        return parse_zone_rule(rule, out);
    }
    if (tz[0] == '\0') return utc(out), true;
    const char *name = tz[0] == ':' ? tz + 1 : tz;
    if (zone_file_rule(name, rule, sizeof rule)) return parse_zone_rule(rule, out);
    if (tz[0] != ':' && parse_zone_rule(tz, out)) return true;
    return utc(out), true;
}

}  // namespace kez::os
