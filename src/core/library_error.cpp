// Library errors found by the _UP_ twins. User protection reports them as
// run-time errors; until it is part of the engine they are only recorded for
// the test hooks.
#include <cstdio>

#include "core/frame.h"
#include "os/os.h"

namespace kez::core {

#if defined(KEZ_TEST_HOOKS)
namespace {
struct LastLibraryError {
    int code = 0;
    char function[128] = {};
    char message[512] = {};
};
LastLibraryError g_last;
os::CriticalSection *g_last_lock = nullptr;
}  // namespace

int last_library_error(char *function, int function_size, char *message, int message_size) {
    if (g_last_lock == nullptr) return 0;
    os::cs_enter(g_last_lock);
    std::snprintf(function, static_cast<std::size_t>(function_size), "%s", g_last.function);
    std::snprintf(message, static_cast<std::size_t>(message_size), "%s", g_last.message);
    const int code = g_last.code;
    os::cs_leave(g_last_lock);
    return code;
}

void report_library_error(const char *function, int code, const char *message) {
    static os::CriticalSection *lock = [] { return g_last_lock = os::cs_create(); }();
    if (lock == nullptr) return;
    os::cs_enter(lock);
    g_last.code = code;
    std::snprintf(g_last.function, sizeof g_last.function, "%s", function);
    std::snprintf(g_last.message, sizeof g_last.message, "%s", message != nullptr ? message : "");
    os::cs_leave(lock);
}
#else
void report_library_error(const char *, int, const char *) {}
#endif

}  // namespace kez::core
