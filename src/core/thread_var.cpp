// Thread-variable slots and per-thread blocks.
//
// Every block is also linked into a process-wide list so that releasing a
// slot frees that slot's value in every thread, and releasing the last slot
// frees the blocks of threads that are still running: without the list those
// values could never be found again once the index is gone.
#include "core/thread_var.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/frame.h"
#include "kez/runtime.h"
#include "os/os.h"
#include "log/log.h"

namespace kez::core {
namespace {

struct ThreadBlock {
    // Atomic so that a slot release on the unloading thread may clear the
    // values of other threads without a data race.
    std::atomic<void *> values[kThreadVarSlots];
    ThreadBlock *prev;
    ThreadBlock *next;
};

os::TlsKey g_index;
bool g_index_valid = false;
int g_next_slot = 1;
std::uint8_t g_slots_in_use = 0;
SlotValueDestructor g_destructors[kThreadVarSlots] = {};

os::CriticalSection *g_blocks_lock = nullptr;
ThreadBlock *g_blocks = nullptr;
std::atomic<int> g_live_blocks{0};

int g_cross_library_slot = 0;
char g_shared_error_buffer[512];

bool valid_slot(int slot) { return slot >= 1 && slot <= kThreadVarSlots; }

ThreadBlock *current_block() {
    if (!g_index_valid) return nullptr;
    return static_cast<ThreadBlock *>(os::tls_get(g_index));
}

ThreadBlock *current_or_new_block() {
    if (!g_index_valid) return nullptr;
    auto *b = static_cast<ThreadBlock *>(os::tls_get(g_index));
    if (b != nullptr) return b;
    b = static_cast<ThreadBlock *>(std::calloc(1, sizeof(ThreadBlock)));
    if (b == nullptr) return nullptr;
    if (!os::tls_set(g_index, b)) {
        std::free(b);
        return nullptr;
    }
    os::cs_enter(g_blocks_lock);
    b->next = g_blocks;
    if (g_blocks != nullptr) g_blocks->prev = b;
    g_blocks = b;
    os::cs_leave(g_blocks_lock);
    g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    os::thread_exit_hook_arm();
    return b;
}

// Destroys the values of a block, last slot first (the libraries that came
// up last go first), then unlinks and frees it. Caller holds the list lock.
void destroy_block_locked(ThreadBlock *b) {
    for (int i = kThreadVarSlots - 1; i >= 0; --i) {
        void *v = b->values[i].exchange(nullptr);
        if (v != nullptr && g_destructors[i] != nullptr) g_destructors[i](v);
    }
    if (b->prev != nullptr) b->prev->next = b->next;
    if (b->next != nullptr) b->next->prev = b->prev;
    if (g_blocks == b) g_blocks = b->next;
    std::free(b);
    g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
}

void free_error_buffer(void *buffer) { std::free(buffer); }

}  // namespace

bool alloc_thread_var_slot(int *slot, SlotValueDestructor destroy) {
    if (!g_index_valid) {
        if (!os::tls_alloc(&g_index)) {
            engine().load_state.store(LoadState::failed);
            return false;
        }
        g_blocks_lock = os::cs_create();
        if (g_blocks_lock == nullptr) {
            os::tls_free(g_index);
            engine().load_state.store(LoadState::failed);
            return false;
        }
        g_index_valid = true;
        g_next_slot = 1;
    }
    // Eight slots exist; slot numbers are not reused while the index lives.
    if (g_next_slot > kThreadVarSlots) return false;
    *slot = g_next_slot;
    os::cs_enter(g_blocks_lock);
    g_destructors[g_next_slot - 1] = destroy;
    os::cs_leave(g_blocks_lock);
    ++g_next_slot;
    ++g_slots_in_use;
    return true;
}

bool has_thread_block() { return current_block() != nullptr; }

void free_calling_thread_block() {
    ThreadBlock *b = current_block();
    if (b == nullptr) return;
    os::cs_enter(g_blocks_lock);
    destroy_block_locked(b);
    os::cs_leave(g_blocks_lock);
    os::tls_set(g_index, nullptr);
}

int live_thread_blocks() { return g_live_blocks.load(); }

int thread_var_slots_in_use() { return g_slots_in_use; }

void *thread_record(int slot, std::size_t size, bool *created) {
    if (created != nullptr) *created = false;
    if (!valid_slot(slot)) return nullptr;
    ThreadBlock *b = current_or_new_block();
    if (b == nullptr) return nullptr;  // the record could not be stored: do not make one
    if (void *existing = b->values[slot - 1].load(std::memory_order_relaxed)) return existing;
    void *record = std::calloc(1, size);
    if (record == nullptr) return nullptr;
    b->values[slot - 1].store(record, std::memory_order_relaxed);
    if (created != nullptr) *created = true;
    return record;
}

std::atomic<void *> *thread_var_cell(int slot) {
    if (!valid_slot(slot)) {
        KEZ_LOG(kez::log::kError, "Bogus thread local storage slot passed to GetKezThreadVar");
        return nullptr;
    }
    ThreadBlock *b = current_or_new_block();
    return b != nullptr ? &b->values[slot - 1] : nullptr;
}

bool AllocCrossLibraryThreadVarSlots() { return alloc_thread_var_slot(&g_cross_library_slot, free_error_buffer); }

void FreeCrossLibraryThreadVarSlots() {
    if (g_cross_library_slot == 0) return;
    const int slot = g_cross_library_slot;
    g_cross_library_slot = 0;
    UninitializeKezThreadVar(slot);
}

}  // namespace kez::core

using namespace kez::core;
namespace os = kez::os;

extern "C" void *GetKezThreadVarValue(int slot) {
    if (!valid_slot(slot)) {
        KEZ_LOG(kez::log::kError, "Bogus thread local storage slot passed to GetKezThreadVar");
        return nullptr;
    }
    ThreadBlock *b = current_or_new_block();
    return b != nullptr ? b->values[slot - 1].load(std::memory_order_relaxed) : nullptr;
}

extern "C" void SetKezThreadVarValue(int slot, void *value) {
    ThreadBlock *b = current_or_new_block();
    if (!valid_slot(slot)) {
        KEZ_LOG(kez::log::kError, "Bogus thread local storage slot passed to GetKezThreadVar");
        return;
    }
    if (b != nullptr) b->values[slot - 1].store(value, std::memory_order_relaxed);
}

extern "C" void UninitializeKezThreadVar(int slot) {
    if (!valid_slot(slot)) {
        KEZ_LOG(kez::log::kError, "Bogus thread local storage slot passed to UninitializeKezThreadVar");
        return;
    }
    if (g_slots_in_use == 0) {
        // Decrementing here would wrap the count to 255 and the index would
        // never be freed again: report and leave the count alone.
        KEZ_LOG(kez::log::kError, "UnitializeKezThreadVar called too many times");
        return;
    }
    --g_slots_in_use;
    if (!g_index_valid) return;
    // The slot's owner is going away: free its value in every thread now,
    // while its destructor is still valid.
    os::cs_enter(g_blocks_lock);
    if (SlotValueDestructor destroy = g_destructors[slot - 1]) {
        for (ThreadBlock *b = g_blocks; b != nullptr; b = b->next) {
            void *v = b->values[slot - 1].exchange(nullptr);
            if (v != nullptr) destroy(v);
        }
    }
    g_destructors[slot - 1] = nullptr;
    os::cs_leave(g_blocks_lock);
    if (g_slots_in_use == 0) {
        free_calling_thread_block();
        os::cs_enter(g_blocks_lock);
        while (g_blocks != nullptr) destroy_block_locked(g_blocks);
        os::cs_leave(g_blocks_lock);
        os::tls_free(g_index);
        os::cs_destroy(g_blocks_lock);
        g_blocks_lock = nullptr;
        g_index_valid = false;
        g_next_slot = 1;
    }
}

extern "C" char *GetThreadLocalErrorStringBuffer(void) {
    if (g_cross_library_slot == 0) return g_shared_error_buffer;
    bool created = false;
    auto *buffer = static_cast<char *>(thread_record(g_cross_library_slot, sizeof g_shared_error_buffer, &created));
    if (buffer == nullptr) return g_shared_error_buffer;  // threads without memory share one buffer
    if (created) std::memcpy(buffer, g_shared_error_buffer, sizeof g_shared_error_buffer);
    return buffer;
}
