// Run-state change callbacks of modules and of the engine's own libraries.
//
// The table has no lock: it changes only during load and unload and in
// InitKezRTDll / CloseKezRTDll, which module start-up and shut-down code
// calls from one thread at a time.
#include <cstdint>

#include "core/frame.h"
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

bool matches(const Entry &e, void *module) { return module == nullptr || e.module == module; }

bool append(KezRunStateCallback callback, void *module) {
    for (int i = 0; i < g_count; ++i)
        if (g_table[i].callback == callback && g_table[i].module == module) return true;
    if (g_count == kMaxCallbacks) return false;
    g_table[g_count++] = Entry{callback, 0, module};
    return true;
}

}  // namespace

bool register_run_state_callback(void (*callback)(int)) {
    if (g_count == kMaxCallbacks) return false;
    return append(callback, nullptr);
}

void clear_run_state_callbacks() { g_count = 0; }

}  // namespace kez::core

using namespace kez::core;

extern "C" int InitKezRTDll(void *module, void *, void *, void *, void *, void *, void *, void *, void *,
                            KezRunStateCallback *callbacks) {
    kez::os::mask_x87_exceptions();
    if (engine().load_state.load() != LoadState::initialised) return 0;
    if (callbacks != nullptr)
        for (KezRunStateCallback *p = callbacks; *p != nullptr; ++p) append(*p, module);  // a full table drops the rest
    for (int i = 0; i < g_count; ++i) {
        if (!matches(g_table[i], module)) continue;
        g_table[i].callback(KEZ_RUN_STATE_START);
        g_table[i].started = 1;
    }
    for (int i = 0; i < g_count; ++i)
        if (matches(g_table[i], module)) g_table[i].callback(KEZ_RUN_STATE_ENABLE_CALLBACKS);
    return 1;
}

extern "C" void CloseKezRTDll(void *module) {
    if (engine().closed.load()) return;
    for (int i = g_count - 1; i >= 0; --i)
        if (matches(g_table[i], module)) g_table[i].callback(KEZ_RUN_STATE_DISABLE_CALLBACKS);
    for (int i = g_count - 1; i >= 0; --i) {
        if (!matches(g_table[i], module)) continue;
        g_table[i].callback(KEZ_RUN_STATE_STOP);
        g_table[i].started = 0;
    }
    // Remove exactly this module's entries; each hole takes the last entry.
    for (int i = 0; i < g_count;) {
        if (g_table[i].module == module)
            g_table[i] = g_table[--g_count];
        else
            ++i;
    }
    // The end-of-program exchange with a remote debugger (connection kind 2,
    // main module) joins here with the debugger link.
}
