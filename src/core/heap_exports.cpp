// malloc, calloc, realloc and free: the user heap as user programs see it.
// Every block handed out is registered with the platform's resource
// disposer (when its library is loaded) and with resource tracking, and
// unregistered before it goes back.
//
// The functions are defined as kez_<name>: on Linux that is their link
// name, on Windows the module-definition file exports them under the plain
// names. The engine's own calls of malloc stay the host C library's.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/heap.h"
#include "kez/kez_api.h"
#include "debug/resource_tracking.h"
#include "os/os.h"

extern "C" {
KEZ_API void *kez_malloc(size_t size);
KEZ_API void *kez_calloc(size_t count, size_t size);
KEZ_API void *kez_realloc(void *ptr, size_t size);
KEZ_API void kez_free(void *ptr);
}

namespace kez::core {
namespace {

// The resource disposer's interface: it is given a block and the function
// that releases it, and forgets a block when told.
using ReleaseFn = void (*)(void *resource);
using RegisterFn = void (*)(void *resource, ReleaseFn release);
using UnregisterFn = void (*)(void *resource);

constexpr int kNotLookedUp = 0;
constexpr int kLookedUp = 1;
std::atomic<int> g_disposer_state{kNotLookedUp};
std::atomic<RegisterFn> g_register{nullptr};
std::atomic<UnregisterFn> g_unregister{nullptr};

// Looked up once, on the first block, and only when the disposer's library
// is already in the process: the engine never loads it.
void look_up_disposer() {
    if (g_disposer_state.load(std::memory_order_acquire) == kLookedUp) return;
    if (os::Module m = os::module_if_loaded("kezresourcedisposer.dll")) {
        g_register.store(reinterpret_cast<RegisterFn>(os::module_symbol(m, "RegisterKezResource")));
        g_unregister.store(reinterpret_cast<UnregisterFn>(os::module_symbol(m, "UnregisterKezResource")));
    }
    g_disposer_state.store(kLookedUp, std::memory_order_release);
}

// What the disposer calls to reclaim a block the program left behind.
void release_registered_block(void *block) { kez_free(block); }

void register_block(void *p, std::size_t size) {
    look_up_disposer();
    if (RegisterFn reg = g_register.load(std::memory_order_relaxed)) reg(p, release_registered_block);
    if (debug::resource_tracking_enabled()) {
        char description[96];
        std::snprintf(description, sizeof description, "Block 0x%016llX of %llu byte%s",
                      static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)),
                      static_cast<unsigned long long>(size), size == 1 ? "" : "s");
        debug::resource_acquire(reinterpret_cast<std::uintptr_t>(p), "Memory", description);
    }
}

void unregister_block(void *p) {
    if (UnregisterFn unreg = g_unregister.load(std::memory_order_relaxed)) unreg(p);
    debug::resource_release(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

void forget_resource_disposer() {
    g_register.store(nullptr);
    g_unregister.store(nullptr);
    g_disposer_state.store(kNotLookedUp);
}

}  // namespace kez::core

using namespace kez::core;

extern "C" void *kez_malloc(size_t size) {
    void *p = _AllocDynamicUserMem(size, 0);
    if (p != nullptr) register_block(p, size);
    return p;
}

extern "C" void *kez_calloc(size_t count, size_t size) {
    if (count == 0 || size == 0 || count > kMaxRequest / size) return nullptr;
    const std::size_t bytes = count * size;
    void *p = _AllocDynamicUserMem(bytes, 0);
    if (p == nullptr) return nullptr;
    std::memset(p, 0, bytes);
    register_block(p, bytes);
    return p;
}

extern "C" void *kez_realloc(void *ptr, size_t size) {
    if (ptr == nullptr) return kez_malloc(size);
    if (size == 0) {
        kez_free(ptr);
        return nullptr;
    }
    // Refused before anything changes: the block stays as it is.
    if (size > kMaxRequest || !user_mem_ready()) return nullptr;
    // Unregistered before the heap may reuse the address, so that another
    // thread's new registration of it is never the one removed.
    unregister_block(ptr);
    const int token = BeginUserMemCriticalSection();
    void *moved = reallocate_block(ptr, size);
    std::size_t kept = 0;
    if (moved == nullptr) {
        // The old block is unchanged (or was never a block): register what
        // is still there again.
        const Region *region = region_of(ptr);
        const auto *header = reinterpret_cast<const BlockHeader *>(static_cast<char *>(ptr) - kBlockHeader);
        if (region != nullptr && (reinterpret_cast<std::uintptr_t>(ptr) & (kGranule - 1)) == 0 &&
            header->check == allocated_check(header))
            kept = header->size;
    }
    EndUserMemCriticalSection(token);
    if (moved != nullptr)
        register_block(moved, size);
    else if (kept != 0)
        register_block(ptr, kept);
    return moved;
}

extern "C" void kez_free(void *ptr) {
    if (ptr == nullptr) return;
    unregister_block(ptr);
    _FreeDynamicUserMem(ptr, 0, 0);
}
