// stdlib.h: qsort, through the engine's quicksort (the list container's).
#include "clib/clib_string_exports.h"
#include "core/quick_sort.h"

// quick_sort itself leaves fewer than two items, and items of size 0,
// alone without a comparison; it swaps items of any size, odd ones byte
// by byte.
extern "C" void kez_qsort(void *base, size_t count, size_t size, int (*compare)(const void *, const void *)) {
    if (count < 2) return;
    kez::core::quick_sort(base, count, size, compare);
}
