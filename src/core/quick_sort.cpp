// Quicksort with median-of-three pivots and an explicit stack of pending
// ranges; no recursion.
#include "core/quick_sort.h"

#include <cstdint>
#include <cstring>

#include "log/log.h"

namespace kez::core {
namespace {

// Items are swapped in the widest unit that divides the item size: bytes for
// odd sizes, 16-bit units for sizes that are even but not a multiple of 4,
// 32-bit units otherwise. memcpy keeps unaligned items legal.
template <typename Unit>
inline void swap_items(char *a, char *b, std::size_t size) {
    for (std::size_t i = 0; i < size; i += sizeof(Unit)) {
        Unit x;
        Unit y;
        std::memcpy(&x, a + i, sizeof(Unit));
        std::memcpy(&y, b + i, sizeof(Unit));
        std::memcpy(a + i, &y, sizeof(Unit));
        std::memcpy(b + i, &x, sizeof(Unit));
    }
}

template <typename Unit>
inline void order(char *a, char *b, std::size_t size, SortCompareFn compare) {
    if (compare(a, b) > 0) swap_items<Unit>(a, b, size);
}

// Leaves first <= middle <= last.
template <typename Unit>
inline void median_of_three(char *first, char *middle, char *last, std::size_t size, SortCompareFn compare) {
    order<Unit>(first, middle, size, compare);
    order<Unit>(first, last, size, compare);
    order<Unit>(middle, last, size, compare);
}

// Only when the stack of pending ranges is full, which the smaller-side-first
// order rules out for anything that fits in memory: the range is still
// sorted rather than left behind.
template <typename Unit>
void insertion_sort(char *first, char *last, std::size_t size, SortCompareFn compare) {
    for (char *next = first + size; next <= last; next += size)
        for (char *p = next; p > first && compare(p - size, p) > 0; p -= size) swap_items<Unit>(p - size, p, size);
}

struct Range {
    char *first;
    char *last;  // the last item, not one past it
};

template <typename Unit>
void sort_items(char *base, std::size_t count, std::size_t size, SortCompareFn compare, int max_pending,
                QuickSortStats *stats) {
    Range pending[kQuickSortMaxPending];
    int depth = 0;
    int deepest = 0;
    char *first = base;
    char *last = base + (count - 1) * size;
    for (;;) {
        const std::size_t n = static_cast<std::size_t>(last - first) / size + 1;
        if (n == 2) {
            order<Unit>(first, last, size, compare);
        } else if (n == 3) {
            median_of_three<Unit>(first, first + size, last, size, compare);
        } else if (n > 3) {
            char *middle = first + static_cast<std::size_t>(last - first) / size / 2 * size;
            median_of_three<Unit>(first, middle, last, size, compare);
            // The median is the pivot and waits in the next-to-last slot; the
            // first and last items already lie on their sides of it.
            char *const pivot = last - size;
            swap_items<Unit>(middle, pivot, size);
            char *left = first + size;
            char *right = pivot - size;
            for (;;) {
                while (left < pivot && compare(left, pivot) < 0) left += size;
                while (right > first && compare(right, pivot) > 0) right -= size;
                if (left >= right) break;
                swap_items<Unit>(left, right, size);
                left += size;
                right -= size;
            }
            swap_items<Unit>(left, pivot, size);

            // The pivot now sits at `left`. Push the larger side and go on
            // with the smaller one together with the pivot slot.
            const std::size_t below = static_cast<std::size_t>(left - first) / size;
            const std::size_t above = static_cast<std::size_t>(last - left) / size;
            Range larger;
            std::size_t larger_count;
            if (below > above) {
                larger = {first, left - size};
                larger_count = below;
                first = left;
            } else {
                larger = {left + size, last};
                larger_count = above;
                last = left;
            }
            if (larger_count > 1) {
                if (depth < max_pending) {
                    pending[depth++] = larger;
                    if (depth > deepest) deepest = depth;
                } else {
                    log::assert_failed("depth < maxPending", __FILE__, "quick_sort", __LINE__,
                                       "Sort stack full, finishing a range by insertion");
                    insertion_sort<Unit>(larger.first, larger.last, size, compare);
                }
            }
            continue;
        }
        if (depth == 0) break;
        --depth;
        first = pending[depth].first;
        last = pending[depth].last;
    }
    if (stats != nullptr) stats->max_pending = deepest;
}

}  // namespace

void quick_sort_limited(void *base, std::size_t count, std::size_t item_size, SortCompareFn compare, int max_pending,
                        QuickSortStats *stats) {
    if (stats != nullptr) stats->max_pending = 0;
    if (base == nullptr || count < 2 || item_size == 0 || compare == nullptr) return;
    if (max_pending < 1) max_pending = 1;
    if (max_pending > kQuickSortMaxPending) max_pending = kQuickSortMaxPending;
    char *const bytes = static_cast<char *>(base);
    if (item_size % 2 != 0)
        sort_items<std::uint8_t>(bytes, count, item_size, compare, max_pending, stats);
    else if (item_size % 4 != 0)
        sort_items<std::uint16_t>(bytes, count, item_size, compare, max_pending, stats);
    else
        sort_items<std::uint32_t>(bytes, count, item_size, compare, max_pending, stats);
}

void quick_sort(void *base, std::size_t count, std::size_t item_size, SortCompareFn compare, QuickSortStats *stats) {
    quick_sort_limited(base, count, item_size, compare, kQuickSortMaxPending, stats);
}

}  // namespace kez::core
