// KEZ_LOG: switches the engine's own log on for a program whose source
// cannot be changed. Read once at load, after the built-in defaults; without
// it the logger keeps those defaults.
//
//   KEZ_LOG=<levels>[:<where>]
//   levels  "all", a number (decimal or 0x...), or level names joined by
//           '|', '+' or ',' (TRACE TIMING INFO TEMP WARNING ERROR FATAL BUILD
//           DLLMAIN, any case)
//   where   stdout, stderr (the default), debugger, or a file path
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os.h"
#include "log/log.h"
#include "log/log_internal.h"

namespace kez::log {
namespace {

bool equals_nocase(const char *a, std::size_t n, const char *b) {
    if (std::strlen(b) != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool parse_levels(const char *text, std::size_t n, std::uint32_t *mask) {
    if (n == 0) return false;
    if (equals_nocase(text, n, "all")) {
        *mask = 0x1FF;
        return true;
    }
    if (std::isdigit(static_cast<unsigned char>(text[0]))) {
        char number[32];
        if (n >= sizeof number) return false;
        std::memcpy(number, text, n);
        number[n] = '\0';
        char *end = nullptr;
        const unsigned long v = std::strtoul(number, &end, 0);
        if (*end != '\0' || v > 0xFFFFFFFFul) return false;
        *mask = static_cast<std::uint32_t>(v);
        return true;
    }
    static const char *const kNames[] = {"TRACE", "TIMING", "INFO",  "TEMP",   "WARNING",
                                         "ERROR", "FATAL",  "BUILD", "DLLMAIN"};
    std::uint32_t m = 0;
    std::size_t start = 0;
    while (start <= n) {
        std::size_t end = start;
        while (end < n && text[end] != '|' && text[end] != '+' && text[end] != ',') ++end;
        bool known = false;
        for (int i = 0; i < 9; ++i) {
            if (equals_nocase(text + start, end - start, kNames[i])) {
                m |= 1u << i;
                known = true;
            }
        }
        if (!known) return false;
        start = end + 1;
    }
    *mask = m;
    return true;
}

}  // namespace

void apply_environment_configuration() {
    char value[1024];
    if (!os::env_get("KEZ_LOG", value, sizeof value) || value[0] == '\0') return;
    const char *colon = std::strchr(value, ':');
    const std::size_t levels_length = colon != nullptr ? static_cast<std::size_t>(colon - value) : std::strlen(value);
    const char *where = colon != nullptr ? colon + 1 : "stderr";
    std::uint32_t mask = 0;
    if (!parse_levels(value, levels_length, &mask)) {
        std::fprintf(stderr, "kez: KEZ_LOG ignored: unknown levels in \"%s\"\n", value);
        return;
    }
    bool ok;
    if (std::strcmp(where, "stdout") == 0)
        ok = set_reporting_location(1, 0, nullptr);
    else if (std::strcmp(where, "stderr") == 0)
        ok = set_reporting_location(2, 0, nullptr);
    else if (std::strcmp(where, "debugger") == 0)
        ok = set_reporting_location(4, 0, nullptr);
    else
        ok = set_reporting_location(5, 1, where);
    if (!ok) {
        std::fprintf(stderr, "kez: KEZ_LOG ignored: cannot write the log to \"%s\"\n", where);
        return;
    }
    set_reporting_levels(mask);
}

}  // namespace kez::log
