// Handle memory: relocatable blocks reached through a two-word record
// {block, size}, and the memory-function table through which the list
// container allocates. A holder of a handle goes through the record on every
// access, because resizing moves the block.
#pragma once

#include <cstddef>

namespace kez::core {

// Memory-manager result codes used by handle memory and the list container.
constexpr int kMgNoErr = 0;
constexpr int kMgArgErr = 1;
constexpr int kMgFullErr = 2;          // no memory
constexpr int kMgListDamagedErr = 45;  // a list's front marker is overwritten

struct HandleRecord {
    void *block;       // null while the size is 0
    std::size_t size;  // bytes in the block
};
using MemHandle = HandleRecord *;

// Entries in their fixed order. A replacement table (tests inject failures
// this way) must hand out HandleRecord handles whose size is the block's.
struct MemFuncs {
    MemHandle (*new_handle)(std::size_t size);  // zero-filled block; null when out of memory
    void (*dispose_handle)(MemHandle handle);
    int (*set_handle_size)(MemHandle handle, std::size_t size);  // 0 or a memory-manager code
    void *(*new_ptr_clear)(std::size_t size);
    int (*dispose_ptr)(void *ptr);
    void (*lock_handle)(MemHandle handle);
    void (*unlock_handle)(MemHandle handle);
    std::size_t (*get_handle_size)(MemHandle handle);
};

// The host-heap implementation of each entry.
MemHandle handle_new(std::size_t size);
// Frees block and record; null does nothing.
void handle_dispose(MemHandle handle);
// Moves the block on every size change, shrinking included: the old contents
// up to the smaller size are copied and any growth is zero-filled. A null
// handle or an unchanged size does nothing. kMgFullErr leaves the handle as
// it was.
int handle_set_size(MemHandle handle, std::size_t size);
void *ptr_new_clear(std::size_t size);      // null for size 0
int ptr_dispose(void *ptr);                 // null does nothing; always 0
void handle_lock(MemHandle handle);         // blocks never move while in use here,
void handle_unlock(MemHandle handle);       // so both do nothing
std::size_t handle_size(MemHandle handle);  // 0 for a null handle

// The table above, the list container's default.
extern const MemFuncs kHandleMemoryFuncs;

// The table that LCreate uses, installed by the start-up chain. Returns the
// table it replaces; null uninstalls (LCreate then fails).
const MemFuncs *set_list_memory_functions(const MemFuncs *table);
const MemFuncs *list_memory_functions();

// Start-up step: installs kHandleMemoryFuncs.
int InstallListMemoryFunctions();

}  // namespace kez::core
