#include "debug/thread_environment.h"

#include <atomic>
#include <cstdlib>

#include "os/fault.h"
#include "os/os.h"

namespace kez::debug {
namespace {

os::TlsKey g_key;
std::atomic<bool> g_have_key{false};
ThreadEnvironment g_stand_in = kInitialThreadEnvironment;

}  // namespace

ThreadEnvironment &thread_environment() {
    if (!g_have_key.load(std::memory_order_acquire)) return g_stand_in;
    if (auto *env = static_cast<ThreadEnvironment *>(os::tls_get(g_key))) return *env;
    auto *env = fault::hit("debug.thread_environment")
                    ? nullptr
                    : static_cast<ThreadEnvironment *>(std::malloc(sizeof(ThreadEnvironment)));
    if (env == nullptr) return g_stand_in;
    *env = kInitialThreadEnvironment;
    if (!os::tls_set(g_key, env)) {
        std::free(env);
        return g_stand_in;
    }
    os::thread_exit_hook_arm();  // so that the thread's end frees it
    return *env;
}

int ThreadEnvironmentInit() {
    if (g_have_key.load()) return 0;
    if (os::tls_alloc(&g_key)) g_have_key.store(true, std::memory_order_release);
    return 0;
}

void ThreadEnvironmentRelease() {
    if (!g_have_key.load(std::memory_order_acquire)) return;
    if (void *env = os::tls_get(g_key)) {
        os::tls_set(g_key, nullptr);
        std::free(env);
    }
}

void ThreadEnvironmentUninit() {
    if (!g_have_key.load()) return;
    ThreadEnvironmentRelease();
    g_have_key.store(false);
    os::tls_free(g_key);
    g_stand_in = kInitialThreadEnvironment;
}

}  // namespace kez::debug
