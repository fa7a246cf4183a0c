// The anchors under their own names: glibc's malloc and mimalloc. This file
// must not include the engine's headers, which redirect malloc on Linux.
#include <malloc.h>
#include <mimalloc.h>

#include <cstdlib>

#include "bench_heap.h"

namespace {
void *glibc_malloc(std::size_t n) { return std::malloc(n); }
void *glibc_realloc(void *p, std::size_t n) { return std::realloc(p, n); }
void glibc_free(void *p) { std::free(p); }
// Bytes glibc holds from the system: its arenas plus mapped chunks.
std::size_t glibc_now() {
    const struct mallinfo2 m = mallinfo2();
    return m.arena + m.hblkhd;
}
std::size_t glibc_peak() { return 0; }  // glibc keeps no peak; sampled by the benchmark

std::size_t mi_now() {
    std::size_t elapsed, user, system, rss, peak_rss, commit, peak_commit, faults;
    mi_process_info(&elapsed, &user, &system, &rss, &peak_rss, &commit, &peak_commit, &faults);
    return commit;
}
std::size_t mi_peak() {
    std::size_t elapsed, user, system, rss, peak_rss, commit, peak_commit, faults;
    mi_process_info(&elapsed, &user, &system, &rss, &peak_rss, &commit, &peak_commit, &faults);
    return peak_commit;
}
}  // namespace

const HeapUnderTest kGlibcHeap = {"glibc", glibc_malloc, glibc_realloc, glibc_free, glibc_now, glibc_peak};
const HeapUnderTest kMimallocHeap = {"mimalloc", mi_malloc, mi_realloc, mi_free, mi_now, mi_peak};
