// The communication libraries' shared thread-variable slot.
#include "comm/comm_thread.h"

#include <cstdlib>

#include "core/thread_var.h"
#include "core/word_lock.h"
#include "kez/runtime.h"

namespace kez::comm {
namespace {

core::WordLock g_lock;
int g_slot = 0;
int g_users = 0;
CommThreadRecord g_without_slot{};

void free_record(void *record) { std::free(record); }

}  // namespace

bool acquire_thread_slot() {
    g_lock.lock();
    bool ok = true;
    if (g_users == 0) ok = core::alloc_thread_var_slot(&g_slot, free_record);
    if (ok) ++g_users;
    g_lock.unlock();
    return ok;
}

void release_thread_slot() {
    g_lock.lock();
    if (g_users > 0 && --g_users == 0 && g_slot != 0) {
        UninitializeKezThreadVar(g_slot);
        g_slot = 0;
    }
    g_lock.unlock();
}

CommThreadRecord *thread_record() {
    const int slot = g_slot;
    if (slot != 0)
        if (void *r = core::thread_record(slot, sizeof(CommThreadRecord), nullptr))
            return static_cast<CommThreadRecord *>(r);
    return &g_without_slot;
}

}  // namespace kez::comm
