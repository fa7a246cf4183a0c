// The engine's one logger: state, locations, timing handles and the exports.
//
// One recursive lock guards everything but the reporting mask, which is an
// atomic so that the level test before each message costs no lock. The
// logger lives in static storage constructed at load and destroyed at
// unload, so no static destructor can race a late log line.
#include "log/log.h"

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "core/time_base.h"
#include "kez/logging.h"
#include "os/os.h"
#include "log/log_internal.h"
#include "log/log_line.h"
#include "log/log_writers.h"

namespace kez::log {
namespace {

const char *const kDefaultTemplate = "[[TIME]] [[LEVEL]] [[FUNC]] [[FILE]:[LINE]] [MSG]";

std::atomic<std::uint32_t> g_mask{kFatal};
std::atomic<bool> g_configured{false};
std::atomic<std::uint64_t> g_test_clock{0};  // microseconds; 0: the engine clock

struct Logger {
    os::CriticalSection *lock = nullptr;
    std::uint32_t location = 0;
    std::uint32_t option = 1;
    std::unique_ptr<FileWriter> file;
    StdOutWriter out;
    StdErrWriter err;
    DebuggerWriter debugger;
    std::string template_text = kDefaultTemplate;
    LineTemplate line_start = LineTemplate::compile(kDefaultTemplate);
    LineTemplate continuation = LineTemplate::continuation();
    bool at_line_start = true;
    int last_handle = 0;
    std::map<int, std::uint64_t> timings;
    std::int64_t cached_second = INT64_MIN;
    os::LocalTime cached_time{};
};

alignas(Logger) unsigned char g_storage[sizeof(Logger)];
std::atomic<Logger *> g_logger{nullptr};

class Guard {
public:
    explicit Guard(Logger &l) : l_(l) { os::cs_enter(l_.lock); }
    ~Guard() { os::cs_leave(l_.lock); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

private:
    Logger &l_;
};

std::uint64_t now_us() {
    const std::uint64_t fixed = g_test_clock.load(std::memory_order_relaxed);
    return fixed != 0 ? fixed : core::MicroSecs();
}

const os::LocalTime &current_time(Logger &l) {
    const std::int64_t ms = os::wall_clock_ms();
    const std::int64_t second = ms / 1000;
    if (second != l.cached_second) {
        l.cached_time = os::local_time_of(second);
        l.cached_second = second;
    }
    l.cached_time.millisecond = static_cast<int>(ms % 1000);
    return l.cached_time;
}

void write_to(GenericStreamWriter &w, const char *text, bool no_line_end) {
    if (!w.good()) return;  // a failed writer is skipped
    w << text;
    if (!no_line_end) w << '\n';
    w.flush();
}

// Leaving a location flushes it; a file writer is flushed and closed.
void leave_location(Logger &l) {
    if (l.location == 1) std::fflush(stdout);
    if (l.location == 2) std::fflush(stderr);
    if (l.file) {
        l.file->flush();
        l.file.reset();
    }
}

// Builds and writes one line; caller holds the lock.
void write_line_locked(Logger &l, std::uint32_t level, bool no_line_end, const char *file, const char *func,
                       unsigned line, const RenderedMessage &message) {
    const LineTemplate &t = l.at_line_start ? l.line_start : l.continuation;
    const LineContext context{level, file, func, line, os::current_thread_id(), &current_time(l)};
    char text[kLineCapacity + 2];  // room for "\r\n"
    std::size_t length = render_line(text, t, context, message);
    l.at_line_start = !no_line_end;
    switch (l.location) {
        case 1: write_to(l.out, text, no_line_end); break;
        case 2: write_to(l.err, text, no_line_end); break;
        case 4: write_to(l.debugger, text, no_line_end); break;
        case 0:
        case 5:
            if (l.file && l.file->good()) {
                if (!no_line_end) {
                    text[length++] = '\r';
                    text[length++] = '\n';
                }
                l.file->write(text, length);
                if (level >= kTemp) l.file->flush();
            }
            break;
        default: break;
    }
}

void write_line(std::uint32_t level, bool no_line_end, const char *file, const char *func, unsigned line,
                const char *format, va_list args) {
    Logger *l = g_logger.load(std::memory_order_acquire);
    if (l == nullptr) return;
    try {
        // The message is formatted before the lock is taken: other threads
        // wait only for the line to be put together and written.
        RenderedMessage message;
        render_message(message, format, args);
        Guard guard(*l);
        write_line_locked(*l, level, no_line_end, file, func, line, message);
    } catch (...) {
        // Out of memory while writing: the line is lost, the caller is not.
    }
}

void write_line_v(std::uint32_t level, bool no_line_end, const char *file, const char *func, unsigned line,
                  const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    write_line(level, no_line_end, file, func, line, format, ap);
    va_end(ap);
}

void vwrite_internal(std::uint32_t level, bool no_line_end, const char *file, const char *func, unsigned line,
                     const char *format, va_list args) {
    if (tap_active()) {
        va_list copy;
        va_copy(copy, args);
        tap_vwrite(level, func, format, copy);
        va_end(copy);
    }
    if ((g_mask.load(std::memory_order_relaxed) & level) != 0)
        write_line(level, no_line_end, file, func, line, format, args);
}

}  // namespace

std::uint32_t reporting_levels() { return g_mask.load(std::memory_order_relaxed); }

std::uint32_t set_reporting_levels(std::uint32_t mask) { return g_mask.exchange(mask); }

bool enabled(std::uint32_t level) {
    if (tap_active()) return true;
    return (g_mask.load(std::memory_order_relaxed) & level) != 0;
}

void write(std::uint32_t level, bool no_line_end, const char *file, const char *func, unsigned line,
           const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite_internal(level, no_line_end, file, func, line, format, ap);
    va_end(ap);
}

bool set_reporting_location(std::uint32_t location, std::uint32_t option, const char *path) {
    Logger *l = g_logger.load(std::memory_order_acquire);
    if (l == nullptr) return false;
    if (location != 0 && location != 1 && location != 2 && location != 4 && location != 5) return false;
    try {
        Guard guard(*l);
        if (location == 5) {
            // Created first: a file that cannot be opened refuses the change
            // instead of silently dropping every later line.
            if (path == nullptr) return false;
            std::unique_ptr<FileWriter> file(FileWriter::open(path));
            if (!file) return false;
            leave_location(*l);
            l->file = std::move(file);
            l->option = option;
            l->location = 5;
            return true;
        }
        leave_location(*l);
        l->location = location;
        return true;
    } catch (...) {
        return false;
    }
}

void configure_once() {
    if (g_configured.exchange(true)) return;
    // A logger that cannot be built leaves the engine without a log; it
    // never fails the load.
    Logger *l = nullptr;
    try {
        l = new (g_storage) Logger;
    } catch (...) {
        return;
    }
    l->lock = os::cs_create();
    if (l->lock == nullptr) {
        l->~Logger();
        return;
    }
    g_logger.store(l, std::memory_order_release);
    g_mask.store(kFatal);
    set_reporting_location(3, 0, nullptr);  // refused: the location stays 0
    apply_environment_configuration();
}

void flush_after_startup() {
    Logger *l = g_logger.load(std::memory_order_acquire);
    if (l == nullptr) return;
    Guard guard(*l);
    if (l->location == 1) std::fflush(stdout);
    if (l->location == 2) std::fflush(stderr);
    // The file stays open: closing it here would silently drop every later
    // line while the location still says "file".
    if (l->file) l->file->flush();
}

void shutdown() {
    Logger *l = g_logger.exchange(nullptr);
    g_configured.store(false);
    if (l == nullptr) return;
    os::cs_enter(l->lock);
    leave_location(*l);
    os::cs_leave(l->lock);
    os::cs_destroy(l->lock);
    l->~Logger();
}

void assert_failed(const char *expression, const char *file, const char *func, unsigned line, const char *message) {
    char text[1024];
    if (message != nullptr)
        std::snprintf(text, sizeof text, "Assertion failed: %s (%s)", expression, message);
    else
        std::snprintf(text, sizeof text, "Assertion failed: %s", expression);
    if (tap_active()) tap_literal(kFatal, func, text);
    write_line_v(kFatal, false, file, func, line, "%s", text);  // the text is never a format
}

// ---- timing handles -----------------------------------------------------------

int new_timing_handle() {
    Logger *l = g_logger.load(std::memory_order_acquire);
    if (l == nullptr) return 0;
    try {
        Guard guard(*l);
        int h = l->last_handle;
        // Next integer, from the largest int back to 1, skipping live handles.
        for (std::size_t tries = 0; tries <= l->timings.size(); ++tries) {
            h = h == INT_MAX ? 1 : h + 1;
            if (l->timings.find(h) == l->timings.end()) break;
        }
        l->timings[h] = now_us();
        l->last_handle = h;
        return h;
    } catch (...) {
        return 0;
    }
}

void update_timing_handle(int handle, bool release) {
    Logger *l = g_logger.load(std::memory_order_acquire);
    if (l == nullptr) return;
    Guard guard(*l);
    auto it = l->timings.find(handle);
    if (it == l->timings.end()) return;
    if (release)
        l->timings.erase(it);
    else
        it->second = now_us();
}

void vwrite_timing(int handle, bool release, bool update, bool no_line_end, const char *file, const char *func,
                   unsigned line, const char *format, va_list args) {
    Logger *l = g_logger.load(std::memory_order_acquire);
    if (l == nullptr) return;
    try {
        Guard guard(*l);
        auto it = l->timings.find(handle);
        if (it == l->timings.end()) return;
        const std::uint64_t elapsed = now_us() - it->second;
        char shown[64];
        if (elapsed <= 99999)
            std::snprintf(shown, sizeof shown, "%.3f ms", static_cast<double>(elapsed) / 1000.0);
        else
            std::snprintf(shown, sizeof shown, "%.2f ms", static_cast<double>(elapsed) / 1000.0);
        std::string f = format != nullptr ? format : "unknown";
        const std::size_t at = f.find("[ELAPSED]");
        if (at != std::string::npos) f.replace(at, 9, shown);  // the text holds no '%'
        RenderedMessage message;
        render_message(message, f.c_str(), args);
        write_line_locked(*l, kTiming, no_line_end, file, func, line, message);
        if (release)
            l->timings.erase(handle);
        else if (update)
            l->timings[handle] = now_us();
    } catch (...) {
    }
}

// ---- test support -----------------------------------------------------------------

void set_clock_for_tests(std::uint64_t microseconds) { g_test_clock.store(microseconds); }

void set_last_timing_handle_for_tests(int handle) {
    if (Logger *l = g_logger.load()) {
        Guard guard(*l);
        l->last_handle = handle;
    }
}

int live_timing_handles_for_tests() {
    Logger *l = g_logger.load();
    if (l == nullptr) return 0;
    Guard guard(*l);
    return static_cast<int>(l->timings.size());
}

// ---- template ---------------------------------------------------------------------

const char *output_format() {
    Logger *l = g_logger.load(std::memory_order_acquire);
    if (l == nullptr) return kDefaultTemplate;
    Guard guard(*l);
    return l->template_text.c_str();
}

void set_output_format(const char *text) {
    Logger *l = g_logger.load(std::memory_order_acquire);
    if (l == nullptr || text == nullptr) return;
    try {
        LineTemplate compiled = LineTemplate::compile(text);
        Guard guard(*l);
        l->template_text = text;
        l->line_start = std::move(compiled);
    } catch (...) {
    }
}

}  // namespace kez::log

// ---- exports ------------------------------------------------------------------------

using namespace kez::log;

extern "C" void WriteKezLogMessage(unsigned int level, int noLineEnd, void *, const char *file, const char *function,
                                   unsigned int line, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    write_line(level, noLineEnd != 0, file, function, line, format, ap);
    va_end(ap);
}

extern "C" void WriteKezLogTimingEvent(int handle, int release, int update, int noLineEnd, void *, const char *file,
                                       const char *function, unsigned int line, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite_timing(handle, release != 0, update != 0, noLineEnd != 0, file, function, line, format, ap);
    va_end(ap);
}

extern "C" int GetKezLogTimingHandle(void) { return new_timing_handle(); }
extern "C" void UpdateKezLogTimingHandle(int handle) { update_timing_handle(handle, false); }
extern "C" void ReleaseKezLogTimingHandle(int handle) { update_timing_handle(handle, true); }
extern "C" unsigned int GetKezLogReportingLevels(void) { return reporting_levels(); }
extern "C" unsigned int SetKezLogReportingLevels(unsigned int levels) { return set_reporting_levels(levels); }
extern "C" const char *GetKezLogOutputFormat(void) { return output_format(); }
extern "C" void SetKezLogOutputFormat(const char *format) { set_output_format(format); }

extern "C" int SetKezLogReportingLocation(unsigned int location, unsigned int option, const char *filePath) {
    return set_reporting_location(location, option, filePath) ? 1 : 0;
}

extern "C" void KezAssert(const char *expression, const char *file, const char *function, unsigned int line,
                          const char *message) {
    assert_failed(expression != nullptr ? expression : "", file, function, line, message);
}
