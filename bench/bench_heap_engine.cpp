// The engine's heap as a user program calls it: through its exports, the
// link names the public header's malloc, realloc and free have on Linux
// (the header itself replaces the host's and cannot meet it here).
#include "bench_heap.h"
#include "core/heap.h"

extern "C" {
void *kez_malloc(std::size_t size);
void *kez_realloc(void *ptr, std::size_t size);
void kez_free(void *ptr);
}

namespace {
void *engine_malloc(std::size_t n) { return kez_malloc(n); }
void *engine_realloc(void *p, std::size_t n) { return kez_realloc(p, n); }
void engine_free(void *p) { kez_free(p); }
std::size_t engine_peak() { return kez::core::heap_stats().host_bytes_peak; }
std::size_t engine_now() { return kez::core::heap_stats().host_bytes; }
}  // namespace

const HeapUnderTest kEngineHeap = {"kez", engine_malloc, engine_realloc, engine_free, engine_now, engine_peak};
