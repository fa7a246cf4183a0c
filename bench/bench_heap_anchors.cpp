// The anchors under their own names: glibc's malloc and mimalloc. This file
// must not include the engine's headers, which redirect malloc on Linux.
//
// Debian's libmimalloc.so also defines malloc and free: linked into the
// program it would replace glibc's heap for the whole process (the glibc
// anchor and the engine's host heap included). It is therefore loaded at
// run time with local symbol scope and called through its mi_ names only.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>

#include "bench_heap.h"
#include "os/os.h"

namespace {
void *glibc_malloc(std::size_t n) { return std::malloc(n); }
void *glibc_realloc(void *p, std::size_t n) { return std::realloc(p, n); }
void glibc_free(void *p) { std::free(p); }
// Bytes glibc holds from the system: its arenas plus mapped chunks.
std::size_t glibc_now() {
    const struct mallinfo2 m = mallinfo2();
    return m.arena + m.hblkhd;
}
std::size_t glibc_peak() { return 0; }  // glibc keeps no peak

using ProcessInfo = void (*)(std::size_t *, std::size_t *, std::size_t *, std::size_t *, std::size_t *,
                             std::size_t *, std::size_t *, std::size_t *);
struct Mimalloc {
    void *(*malloc)(std::size_t) = nullptr;
    void *(*realloc)(void *, std::size_t) = nullptr;
    void (*free)(void *) = nullptr;
    ProcessInfo info = nullptr;
    Mimalloc() {
        kez::os::Module m = kez::os::module_load("libmimalloc.so.2");
        if (m == nullptr) {
            std::fprintf(stderr, "libmimalloc.so.2 not found (apt-get install libmimalloc-dev)\n");
            std::abort();
        }
        malloc = reinterpret_cast<void *(*)(std::size_t)>(kez::os::module_symbol(m, "mi_malloc"));
        realloc = reinterpret_cast<void *(*)(void *, std::size_t)>(kez::os::module_symbol(m, "mi_realloc"));
        free = reinterpret_cast<void (*)(void *)>(kez::os::module_symbol(m, "mi_free"));
        info = reinterpret_cast<ProcessInfo>(kez::os::module_symbol(m, "mi_process_info"));
    }
};
const Mimalloc &mi() {
    static const Mimalloc m;
    return m;
}

void *mi_allocate(std::size_t n) { return mi().malloc(n); }
void *mi_reallocate(void *p, std::size_t n) { return mi().realloc(p, n); }
void mi_release(void *p) { mi().free(p); }
std::size_t mi_commit(bool peak) {
    std::size_t elapsed, user, system, rss, peak_rss, commit, peak_commit, faults;
    mi().info(&elapsed, &user, &system, &rss, &peak_rss, &commit, &peak_commit, &faults);
    return peak ? peak_commit : commit;
}
std::size_t mi_now() { return mi_commit(false); }
std::size_t mi_peak() { return mi_commit(true); }
}  // namespace

const HeapUnderTest kGlibcHeap = {"glibc", glibc_malloc, glibc_realloc, glibc_free, glibc_now, glibc_peak};
const HeapUnderTest kMimallocHeap = {"mimalloc", mi_allocate, mi_reallocate, mi_release, mi_now, mi_peak};
