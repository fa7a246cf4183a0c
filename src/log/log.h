// The engine's logger as the rest of the engine sees it. Engine code tests
// a level with enabled() before building a message; KEZ_LOG does both.
#pragma once

#include <cstdint>

namespace kez::log {

enum Level : std::uint32_t {
    kTrace = 1,
    kTiming = 2,
    kInfo = 4,
    kTemp = 8,
    kWarning = 16,
    kError = 32,
    kFatal = 64,
    kBuild = 128,
    kDllMain = 256,
};

// The reporting mask, read without a lock.
std::uint32_t reporting_levels();
std::uint32_t set_reporting_levels(std::uint32_t mask);

// Whether a message of `level` would be written anywhere (the reporting
// mask, or the test tap, which sees every line).
bool enabled(std::uint32_t level);

void write(std::uint32_t level, bool no_line_end, const char *file, const char *func, unsigned line,
           const char *format, ...) __attribute__((format(printf, 6, 7)));

// Start-up configuration: runs once per process.
void configure_once();
// End of the start-up sequence: flushes what the start-up wrote.
void flush_after_startup();
// Unload: flushes and closes every output; later lines go nowhere.
void shutdown();

// The engine's assertion report: "Assertion failed: <expr> (<message>)" as a
// FATAL line, whatever the mask. Does not stop the program.
void assert_failed(const char *expression, const char *file, const char *func, unsigned line, const char *message);

// Test tap: when the environment variable KEZ_TEST_LOG names a file at
// load, every line (all levels) is appended to it as
// "<level>\t<function>\t<text>\n". Builds without test hooks have no tap.
void open_test_tap();
// Opens the tap on `path` unless it is open already; false when it cannot.
bool open_test_tap_at(const char *path);
// Closes the tap file; a line being written meanwhile is written first or
// dropped. The tap's lock stays for later opens until the engine unloads.
void close_test_tap(bool unloading = false);

}  // namespace kez::log

#define KEZ_LOG(level, ...)                                                              \
    do {                                                                                 \
        if (::kez::log::enabled(level))                                                  \
            ::kez::log::write((level), false, __FILE__, __func__, __LINE__, __VA_ARGS__); \
    } while (0)

// The same, naming a function other than the enclosing one (for lines that
// stand for a step of a larger sequence).
#define KEZ_LOG_AS(level, func, ...)                                                  \
    do {                                                                              \
        if (::kez::log::enabled(level))                                               \
            ::kez::log::write((level), false, __FILE__, (func), __LINE__, __VA_ARGS__); \
    } while (0)

// The warning every library writes before returning a negative code.
#define KEZ_LOG_ERR(code) KEZ_LOG(::kez::log::kWarning, "Err = %d", static_cast<int>(code))

#define KEZ_ASSERT_MSG(cond, message)                                                          \
    do {                                                                                       \
        if (!(cond)) ::kez::log::assert_failed(#cond, __FILE__, __func__, __LINE__, (message)); \
    } while (0)
