// Library errors found by the _UP_ twins. User protection reports them as
// run-time errors; until it is part of the engine they are only recorded for
// the test hooks.
#include <atomic>
#include <cstdio>

#include "core/frame.h"

namespace kez::core {

#if defined(KEZ_TEST_HOOKS)
namespace {
struct LastLibraryError {
    int code = 0;
    char function[128] = {};
    char message[512] = {};
};
LastLibraryError g_last;
// A spin lock: the record is tiny, and it holds no system object that an
// unload would have to give back.
std::atomic_flag g_last_busy = ATOMIC_FLAG_INIT;

class Hold {
public:
    Hold() {
        while (g_last_busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~Hold() { g_last_busy.clear(std::memory_order_release); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
};
}  // namespace

int last_library_error(char *function, int function_size, char *message, int message_size) {
    Hold hold;
    std::snprintf(function, static_cast<std::size_t>(function_size), "%s", g_last.function);
    std::snprintf(message, static_cast<std::size_t>(message_size), "%s", g_last.message);
    return g_last.code;
}

void report_library_error(const char *function, int code, const char *message) {
    Hold hold;
    g_last.code = code;
    std::snprintf(g_last.function, sizeof g_last.function, "%s", function);
    std::snprintf(g_last.message, sizeof g_last.message, "%s", message != nullptr ? message : "");
}
#else
void report_library_error(const char *, int, const char *) {}
#endif

}  // namespace kez::core
