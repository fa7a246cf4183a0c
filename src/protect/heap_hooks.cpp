#include "protect/heap_hooks.h"

#include <atomic>

namespace kez::protect {
namespace {
std::atomic<const HeapHooks *> g_hooks{nullptr};
}  // namespace

void set_heap_hooks(const HeapHooks *hooks) { g_hooks.store(hooks, std::memory_order_release); }

void heap_block_allocated(void *ptr, std::size_t size) {
    const HeapHooks *h = g_hooks.load(std::memory_order_acquire);
    if (h != nullptr && h->block_allocated != nullptr) h->block_allocated(ptr, size);
}

bool heap_free_handled(void *ptr) {
    const HeapHooks *h = g_hooks.load(std::memory_order_acquire);
    return h != nullptr && h->free_handled != nullptr && h->free_handled(ptr);
}

void heap_block_freed(void *ptr) {
    const HeapHooks *h = g_hooks.load(std::memory_order_acquire);
    if (h != nullptr && h->block_freed != nullptr) h->block_freed(ptr);
}

// Without user protection no thread has a record that names a called
// function, so the answer is no.
bool heap_called_function_is_realloc() {
    const HeapHooks *h = g_hooks.load(std::memory_order_acquire);
    return h != nullptr && h->called_function_is_realloc != nullptr && h->called_function_is_realloc();
}

}  // namespace kez::protect
