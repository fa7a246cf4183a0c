// Handle memory on the host heap: the default memory-function table of the
// list container.
#include "core/handle_memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "os/fault.h"

namespace kez::core {
namespace {

std::atomic<const MemFuncs *> g_list_mem_funcs{nullptr};

// Every block comes from here, so tests can refuse one ("handle_memory.block").
void *block_alloc_clear(std::size_t size) {
    if (fault::hit("handle_memory.block")) return nullptr;
    return std::calloc(1, size);
}

}  // namespace

MemHandle handle_new(std::size_t size) {
    auto *record = static_cast<HandleRecord *>(std::malloc(sizeof(HandleRecord)));
    if (record == nullptr) return nullptr;
    record->block = nullptr;
    record->size = 0;
    if (size != 0) {
        record->block = block_alloc_clear(size);
        if (record->block == nullptr) {
            std::free(record);
            return nullptr;
        }
        record->size = size;
    }
    return record;
}

void handle_dispose(MemHandle handle) {
    if (handle == nullptr) return;
    std::free(handle->block);
    std::free(handle);
}

int handle_set_size(MemHandle handle, std::size_t size) {
    if (handle == nullptr || handle->size == size) return kMgNoErr;
    void *block = nullptr;
    if (size != 0) {
        block = block_alloc_clear(size);
        if (block == nullptr) return kMgFullErr;
        const std::size_t keep = size < handle->size ? size : handle->size;
        if (keep != 0) std::memcpy(block, handle->block, keep);
    }
    std::free(handle->block);
    handle->block = block;
    handle->size = size;
    return kMgNoErr;
}

void *ptr_new_clear(std::size_t size) { return size == 0 ? nullptr : block_alloc_clear(size); }

int ptr_dispose(void *ptr) {
    std::free(ptr);
    return kMgNoErr;
}

void handle_lock(MemHandle) {}
void handle_unlock(MemHandle) {}

std::size_t handle_size(MemHandle handle) { return handle == nullptr ? 0 : handle->size; }

const MemFuncs kHandleMemoryFuncs = {
    handle_new, handle_dispose, handle_set_size, ptr_new_clear, ptr_dispose, handle_lock, handle_unlock, handle_size,
};

const MemFuncs *set_list_memory_functions(const MemFuncs *table) { return g_list_mem_funcs.exchange(table); }

const MemFuncs *list_memory_functions() { return g_list_mem_funcs.load(std::memory_order_acquire); }

int InstallListMemoryFunctions() {
    set_list_memory_functions(&kHandleMemoryFuncs);
    return 0;
}

}  // namespace kez::core
