// The engine's heap as a user program calls it: through the public header,
// whose malloc, realloc and free are the engine's (kez_malloc etc. on Linux).
#include "bench_heap.h"
#include "core/heap.h"
#include "kez/ansi_c.h"

namespace {
void *engine_malloc(std::size_t n) { return malloc(n); }
void *engine_realloc(void *p, std::size_t n) { return realloc(p, n); }
void engine_free(void *p) { free(p); }
std::size_t engine_peak() { return kez::core::heap_stats().host_bytes_peak; }
std::size_t engine_now() { return kez::core::heap_stats().host_bytes; }
}  // namespace

const HeapUnderTest kEngineHeap = {"kez", engine_malloc, engine_realloc, engine_free, engine_now, engine_peak};
