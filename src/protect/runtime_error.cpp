#include "protect/runtime_error.h"

#include <atomic>

namespace kez::protect {
namespace {
std::atomic<RuntimeErrorSink> g_sink{nullptr};
std::atomic<int> g_debugging_level{kNoDebugging};
}  // namespace

void report_runtime_error(int severity, const char *text) {
    if (severity == kNoReport) return;
    if (RuntimeErrorSink sink = g_sink.load(std::memory_order_acquire)) sink(severity, text);
}

void set_runtime_error_sink(RuntimeErrorSink sink) { g_sink.store(sink, std::memory_order_release); }

int debugging_level() { return g_debugging_level.load(std::memory_order_relaxed); }
void set_debugging_level(int level) { g_debugging_level.store(level, std::memory_order_relaxed); }

}  // namespace kez::protect
