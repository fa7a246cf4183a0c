// The host heap on POSIX: the C library's malloc.
#include <malloc.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

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

void host_heap_compact() { malloc_trim(0); }

namespace {
std::size_t guarded_span(std::size_t size, std::size_t *page) {
    *page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (size + *page - 1) / *page * *page + *page;
}
}  // namespace

void *guarded_alloc(std::size_t size) {
    std::size_t page = 0;
    const std::size_t span = guarded_span(size, &page);
    void *base = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    char *guard = static_cast<char *>(base) + span - page;
    if (mprotect(guard, page, PROT_NONE) != 0) {
        munmap(base, span);
        return nullptr;
    }
    return guard - size;
}

void guarded_free(void *block, std::size_t size) {
    if (block == nullptr) return;
    std::size_t page = 0;
    const std::size_t span = guarded_span(size, &page);
    char *guard = static_cast<char *>(block) + size;
    munmap(guard + page - span, span);
}

}  // namespace kez::os
