// The three heaps of the heap benchmark behind one table.
#pragma once

#include <cstddef>

struct HeapUnderTest {
    const char *name;
    void *(*allocate)(std::size_t);
    void *(*reallocate)(void *, std::size_t);
    void (*release)(void *);
    std::size_t (*host_bytes)();       // held from the system (or the host heap) now
    std::size_t (*host_bytes_peak)();  // most held at once; 0 when the heap keeps no peak
};

extern const HeapUnderTest kEngineHeap;
extern const HeapUnderTest kGlibcHeap;
extern const HeapUnderTest kMimallocHeap;
