// The engine's in-place quicksort over a byte range of fixed-size items: the
// list container sorts with it, and so does the C library's qsort.
#pragma once

#include <cstddef>

namespace kez::core {

using SortCompareFn = int (*)(const void *, const void *);

// Deepest the stack of pending ranges went (tests check the bound).
struct QuickSortStats {
    int max_pending = 0;
};

// The stack of pending ranges the sort keeps. Sorting the smaller side first
// bounds its depth by log2(count), so it never fills for any range that fits
// in memory.
constexpr int kQuickSortMaxPending = 49;

// Sorts `count` items of `item_size` bytes at `base` ascending by `compare`.
// Not stable.
void quick_sort(void *base, std::size_t count, std::size_t item_size, SortCompareFn compare,
                QuickSortStats *stats = nullptr);

// The same with a smaller stack of pending ranges (1 to kQuickSortMaxPending),
// so tests can reach what happens when it is full.
void quick_sort_limited(void *base, std::size_t count, std::size_t item_size, SortCompareFn compare, int max_pending,
                        QuickSortStats *stats);

}  // namespace kez::core
