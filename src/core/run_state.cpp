// Run-state change callbacks of modules and of the engine's own libraries.
//
// The table changes during load and unload, in InitKezRTDll /
// CloseKezRTDll, and when an engine library that starts at its first use
// registers (from any thread): a lock guards it. Callbacks run without the
// lock, so that one may register another.
#include <cstdint>

#include "core/frame.h"
#include "core/word_lock.h"
#include "kez/runtime.h"
#include "os/os.h"

namespace kez::core {
namespace {

constexpr int kMaxCallbacks = 32;

struct Entry {
    KezRunStateCallback callback;
    std::int32_t started;
    void *module;
};

Entry g_table[kMaxCallbacks];
int g_count = 0;
WordLock g_table_lock;

bool matches(const Entry &e, void *module) { return module == nullptr || e.module == module; }

// The callback of entry i, read under the lock; null past the end or for
// another module's entry.
KezRunStateCallback callback_at(int i, void *module) {
    g_table_lock.lock();
    KezRunStateCallback cb = i < g_count && matches(g_table[i], module) ? g_table[i].callback : nullptr;
    g_table_lock.unlock();
    return cb;
}


bool append(KezRunStateCallback callback, void *module) {
    for (int i = 0; i < g_count; ++i)
        if (g_table[i].callback == callback && g_table[i].module == module) return true;
    if (g_count == kMaxCallbacks) return false;
    g_table[g_count++] = Entry{callback, 0, module};
    return true;
}

}  // namespace

bool register_run_state_callback(void (*callback)(int)) {
    g_table_lock.lock();
    const bool ok = g_count < kMaxCallbacks && append(callback, nullptr);
    g_table_lock.unlock();
    return ok;
}

void clear_run_state_callbacks() {
    g_table_lock.lock();
    g_count = 0;
    g_table_lock.unlock();
}

}  // namespace kez::core

using namespace kez::core;

extern "C" int InitKezRTDll(void *module, void *, void *, void *, void *, void *, void *, void *, void *,
                            KezRunStateCallback *callbacks) {
    kez::os::mask_x87_exceptions();
    if (engine().load_state.load() != LoadState::initialised) return 0;
    g_table_lock.lock();
    if (callbacks != nullptr)
        for (KezRunStateCallback *p = callbacks; *p != nullptr; ++p) append(*p, module);  // a full table drops the rest
    const int count = g_count;
    g_table_lock.unlock();
    for (int i = 0; i < count; ++i) {
        if (KezRunStateCallback cb = callback_at(i, module)) {
            cb(KEZ_RUN_STATE_START);
            g_table_lock.lock();
            if (i < g_count) g_table[i].started = 1;
            g_table_lock.unlock();
        }
    }
    for (int i = 0; i < count; ++i)
        if (KezRunStateCallback cb = callback_at(i, module)) cb(KEZ_RUN_STATE_ENABLE_CALLBACKS);
    return 1;
}

extern "C" void CloseKezRTDll(void *module) {
    if (engine().closed.load()) return;
    g_table_lock.lock();
    const int count = g_count;
    g_table_lock.unlock();
    for (int i = count - 1; i >= 0; --i)
        if (KezRunStateCallback cb = callback_at(i, module)) cb(KEZ_RUN_STATE_DISABLE_CALLBACKS);
    for (int i = count - 1; i >= 0; --i) {
        if (KezRunStateCallback cb = callback_at(i, module)) {
            cb(KEZ_RUN_STATE_STOP);
            g_table_lock.lock();
            if (i < g_count) g_table[i].started = 0;
            g_table_lock.unlock();
        }
    }
    // Remove exactly this module's entries; each hole takes the last entry.
    g_table_lock.lock();
    for (int i = 0; i < g_count;) {
        if (g_table[i].module == module)
            g_table[i] = g_table[--g_count];
        else
            ++i;
    }
    g_table_lock.unlock();
    // The end-of-program exchange with a remote debugger (connection kind 2,
    // main module) joins here with the debugger link.
}
