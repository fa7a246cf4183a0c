// The host heap on Windows: the C runtime's malloc.
#include <malloc.h>
#include <stdlib.h>
#include <windows.h>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

void *host_alloc(std::size_t size) {
    if (fault::hit("os.host_alloc")) return nullptr;
    return malloc(size);
}

void *host_realloc(void *block, std::size_t size) {
    if (fault::hit("os.host_realloc")) return nullptr;
    return realloc(block, size);
}

void host_free(void *block) { free(block); }

void host_heap_compact() { _heapmin(); }

namespace {
std::size_t guarded_span(std::size_t size, std::size_t *page) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    *page = info.dwPageSize;
    return (size + *page - 1) / *page * *page + *page;
}
}  // namespace

void *guarded_alloc(std::size_t size) {
    std::size_t page = 0;
    const std::size_t span = guarded_span(size, &page);
    char *base = static_cast<char *>(VirtualAlloc(nullptr, span, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (base == nullptr) return nullptr;
    DWORD old = 0;
    char *guard = base + span - page;
    if (!VirtualProtect(guard, page, PAGE_NOACCESS, &old)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    return guard - size;
}

void guarded_free(void *block, std::size_t size) {
    if (block == nullptr) return;
    std::size_t page = 0;
    const std::size_t span = guarded_span(size, &page);
    VirtualFree(static_cast<char *>(block) + size + page - span, 0, MEM_RELEASE);
}

}  // namespace kez::os
