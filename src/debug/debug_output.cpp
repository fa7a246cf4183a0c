#include "debug/debug_output.h"

#include <atomic>
#include <cstring>

#include "core/test_hooks.h"
#include "os/os.h"

namespace kez::debug {

#if defined(KEZ_TEST_HOOKS)
namespace {
// The last message, for the tests; a spin lock guards it (tiny, and no
// system object to give back at unload).
constexpr std::size_t kRecordSize = 2048;
char g_last[kRecordSize];
std::size_t g_last_size = 0;
unsigned g_count = 0;
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;
}  // namespace

static void record(const char *text, std::size_t size) {
    while (g_busy.test_and_set(std::memory_order_acquire)) {
    }
    g_last_size = size < kRecordSize ? size : kRecordSize - 1;
    std::memcpy(g_last, text, g_last_size);
    g_last[g_last_size] = '\0';
    ++g_count;
    g_busy.clear(std::memory_order_release);
}

#endif

void send_debugger_output(const char *text, std::size_t size) {
#if defined(KEZ_TEST_HOOKS)
    record(text, size);
#else
    (void)size;
#endif
    os::debug_output(text);
}

}  // namespace kez::debug

#if defined(KEZ_TEST_HOOKS)
using namespace kez::debug;

// Copies the last message (terminated) and returns the number sent so far.
extern "C" unsigned KezTest_LastDebuggerOutput(char *buffer, int size) {
    while (g_busy.test_and_set(std::memory_order_acquire)) {
    }
    if (buffer != nullptr && size > 0) {
        const std::size_t n = g_last_size < static_cast<std::size_t>(size) ? g_last_size : static_cast<std::size_t>(size) - 1;
        std::memcpy(buffer, g_last, n);
        buffer[n] = '\0';
    }
    const unsigned count = g_count;
    g_busy.clear(std::memory_order_release);
    return count;
}
#endif
