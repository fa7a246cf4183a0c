// The logger's state and its entry points inside the engine. Output
// locations and the line template belong to the logging library proper;
// until it is built, lines reach only the test tap.
#include "util/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "os/os.h"

namespace kez::log {
namespace {

std::atomic<std::uint32_t> g_mask{kFatal};
std::atomic<bool> g_configured{false};

#if defined(KEZ_TEST_HOOKS)
std::FILE *g_tap = nullptr;
os::Mutex *g_tap_lock = nullptr;
std::atomic<bool> g_tap_on{false};
#endif

void emit(std::uint32_t level, const char *func, const char *text) {
#if defined(KEZ_TEST_HOOKS)
    if (g_tap_on.load(std::memory_order_acquire)) {
        os::mutex_lock(g_tap_lock);
        std::fprintf(g_tap, "%u\t%s\t%s\n", level, func != nullptr ? func : "", text);
        std::fflush(g_tap);
        os::mutex_unlock(g_tap_lock);
    }
#else
    (void)level;
    (void)func;
    (void)text;
#endif
}

}  // namespace

std::uint32_t reporting_levels() { return g_mask.load(std::memory_order_relaxed); }

std::uint32_t set_reporting_levels(std::uint32_t mask) { return g_mask.exchange(mask); }

bool enabled(std::uint32_t level) {
#if defined(KEZ_TEST_HOOKS)
    if (g_tap_on.load(std::memory_order_relaxed)) return true;
#endif
    return (g_mask.load(std::memory_order_relaxed) & level) != 0;
}

void write(std::uint32_t level, bool, const char *, const char *func, unsigned, const char *format, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format != nullptr ? format : "unknown", ap);
    va_end(ap);
    emit(level, func, text);
}

void configure_once() {
    if (g_configured.exchange(true)) return;
    g_mask.store(kFatal);
}

void flush_after_startup() {}

void assert_failed(const char *expression, const char *file, const char *func, unsigned line, const char *message) {
    // Expression and message are data, never a format.
    char text[1024];
    if (message != nullptr)
        std::snprintf(text, sizeof text, "Assertion failed: %s (%s)", expression, message);
    else
        std::snprintf(text, sizeof text, "Assertion failed: %s", expression);
    (void)file;
    (void)line;
    emit(kFatal, func, text);
}

void open_test_tap() {
#if defined(KEZ_TEST_HOOKS)
    char path[1024];
    if (os::env_get("KEZ_TEST_LOG", path, sizeof path)) open_test_tap_at(path);
#endif
}

bool open_test_tap_at(const char *path) {
#if defined(KEZ_TEST_HOOKS)
    if (g_tap_on.load()) return false;
    g_tap_lock = os::mutex_create();
    if (g_tap_lock == nullptr) return false;
    g_tap = std::fopen(path, "a");
    if (g_tap == nullptr) {
        os::mutex_destroy(g_tap_lock);
        g_tap_lock = nullptr;
        return false;
    }
    g_tap_on.store(true, std::memory_order_release);
    return true;
#else
    (void)path;
    return false;
#endif
}

void close_test_tap() {
#if defined(KEZ_TEST_HOOKS)
    if (!g_tap_on.exchange(false)) return;
    std::fclose(g_tap);
    g_tap = nullptr;
    os::mutex_destroy(g_tap_lock);
    g_tap_lock = nullptr;
#endif
}

}  // namespace kez::log
