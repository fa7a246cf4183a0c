// The logger's test tap: in test builds, every line the engine logs (all
// levels, whatever the mask) can also be appended to a file, so tests can
// read what the engine wrote. Builds without test hooks have no tap.
#include <atomic>
#include <cstdio>

#include "clib/print_engine.h"
#include "os/os.h"
#include "log/log.h"
#include "log/log_internal.h"

namespace kez::log {

#if defined(KEZ_TEST_HOOKS)
namespace {
std::FILE *g_tap = nullptr;
os::CriticalSection *g_tap_lock = nullptr;
std::atomic<bool> g_tap_on{false};
}  // namespace

bool tap_active() { return g_tap_on.load(std::memory_order_relaxed); }

void tap_literal(std::uint32_t level, const char *func, const char *text) {
    if (!g_tap_on.load(std::memory_order_acquire)) return;
    // The tap may have been closed since the flag was read: the file is
    // checked again under the lock, which outlives every close but unload's.
    os::cs_enter(g_tap_lock);
    if (g_tap != nullptr) {
        std::fprintf(g_tap, "%u\t%s\t%s\n", level, func != nullptr ? func : "", text);
        std::fflush(g_tap);
    }
    os::cs_leave(g_tap_lock);
}

void tap_vwrite(std::uint32_t level, const char *func, const char *format, va_list args) {
    char text[4096];
    clib::format_text(text, sizeof text, format != nullptr ? format : "unknown", args);
    tap_literal(level, func, text);
}

void open_test_tap() {
    char path[1024];
    if (os::env_get("KEZ_TEST_LOG", path, sizeof path)) open_test_tap_at(path);
}

bool open_test_tap_at(const char *path) {
    if (g_tap_on.load()) return false;
    if (g_tap_lock == nullptr && (g_tap_lock = os::cs_create()) == nullptr) return false;
    std::FILE *f = std::fopen(path, "a");
    if (f == nullptr) return false;
    os::cs_enter(g_tap_lock);
    g_tap = f;
    os::cs_leave(g_tap_lock);
    g_tap_on.store(true, std::memory_order_release);
    return true;
}

void close_test_tap(bool unloading) {
    if (g_tap_on.exchange(false)) {
        os::cs_enter(g_tap_lock);
        std::fclose(g_tap);
        g_tap = nullptr;
        os::cs_leave(g_tap_lock);
    }
    if (unloading && g_tap_lock != nullptr) {
        os::cs_destroy(g_tap_lock);
        g_tap_lock = nullptr;
    }
}
#else
bool tap_active() { return false; }
void tap_vwrite(std::uint32_t, const char *, const char *, va_list) {}
void tap_literal(std::uint32_t, const char *, const char *) {}
void open_test_tap() {}
bool open_test_tap_at(const char *) { return false; }
void close_test_tap(bool) {}
#endif

}  // namespace kez::log
