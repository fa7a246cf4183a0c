// What the user heap tells user protection, and what it asks it. Until user
// protection is part of the engine no hooks are installed and every call is
// a no-op with the answer that user protection would give for a program
// that carries no pointer information.
#pragma once

#include <cstddef>

namespace kez::protect {

struct HeapHooks {
    // A block was handed out (its user address and the size asked for).
    void (*block_allocated)(void *ptr, std::size_t size);
    // Asked before a block is freed: true when user protection dealt with
    // the pointer itself, and the heap must not touch it.
    bool (*free_handled)(void *ptr);
    // A block went back to the heap.
    void (*block_freed)(void *ptr);
    // Whether the function that the calling thread's protection record names
    // as being called is the exported realloc (through any jump stubs).
    bool (*called_function_is_realloc)();
};

// Installs a table (null: none). The table must outlive its use.
void set_heap_hooks(const HeapHooks *hooks);

void heap_block_allocated(void *ptr, std::size_t size);
bool heap_free_handled(void *ptr);
void heap_block_freed(void *ptr);
bool heap_called_function_is_realloc();

}  // namespace kez::protect
