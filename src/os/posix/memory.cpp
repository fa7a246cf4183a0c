// The host heap on POSIX: the C library's malloc.
#include <malloc.h>
#include <stdlib.h>

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

}  // namespace kez::os
