// The full consistency walk of the user heap (tests, and anyone chasing a
// corruption): every invariant the allocator relies on, checked from the
// arena up.
#include <cstdint>
#include <cstdio>

#include "core/heap.h"

namespace kez::core {

std::size_t slot_tree_value(std::size_t slot);
bool slot_tree_consistent();
Region *slot_region(std::size_t slot);
std::size_t region_count_by_address();
Region *region_by_address(std::size_t i);

namespace {

bool fail(char *why, std::size_t size, const char *what, const void *where) {
    if (why != nullptr && size != 0) std::snprintf(why, size, "%s at %p", what, where);
    return false;
}

bool region_consistent(Region *region, char *why, std::size_t why_size) {
    const FreeIndex *index = region->free;
    const FreeEntry *e = const_cast<FreeIndex *>(index)->entries();
    if (index->count > index->capacity || index->allocated >= index->capacity)
        return fail(why, why_size, "free index over capacity", region);
    if (region->arena_end > reinterpret_cast<char *>(region) + index->host_size)
        return fail(why, why_size, "arena beyond the host block", region);
    std::size_t next_free = 0, allocated = 0, largest = 0;
    bool previous_free = false;
    const char *b = region->arena_start;
    while (b < region->arena_end) {
        const auto *h = reinterpret_cast<const BlockHeader *>(b);
        if (static_cast<std::size_t>(region->arena_end - b) < kBlockHeader + kGranule)
            return fail(why, why_size, "block header past the arena", b);
        if (h->size == 0 || (h->size & (kGranule - 1)) != 0 ||
            h->size > static_cast<std::size_t>(region->arena_end - b) - kBlockHeader)
            return fail(why, why_size, "block size out of range", b);
        const bool is_free = next_free < index->count && e[next_free].block == b;
        if (is_free) {
            if (previous_free) return fail(why, why_size, "adjacent free blocks", b);
            if (!free_entry_sound(region, e[next_free])) return fail(why, why_size, "free block unsound", b);
            if (e[next_free].size > largest) largest = e[next_free].size;
            ++next_free;
        } else {
            if (next_free < index->count && e[next_free].block < b)
                return fail(why, why_size, "free entry not at a block boundary", e[next_free].block);
            if (h->check != allocated_check(h)) return fail(why, why_size, "allocated block check word", b);
            if (b + kBlockHeader + h->size > region->top && region->top != region->arena_end)
                return fail(why, why_size, "allocated block above the top", b);
            ++allocated;
        }
        previous_free = is_free;
        const char *next = b + kBlockHeader + h->size;
        if (next == region->arena_end) {
            const char *expected_top = is_free ? b : region->arena_end;
            if (region->top != expected_top) return fail(why, why_size, "wrong top", region->top);
        }
        b = next;
    }
    if (b != region->arena_end) return fail(why, why_size, "blocks do not tile the arena", b);
    if (next_free != index->count) return fail(why, why_size, "free entries out of address order", region);
    if (allocated != index->allocated) return fail(why, why_size, "allocated count", region);
    if (allocated == 0) return fail(why, why_size, "empty region kept", region);
    if (largest != region->largest_free) return fail(why, why_size, "largest free", region);
    if (slot_tree_value(index->slot) != largest || slot_region(index->slot) != region)
        return fail(why, why_size, "region slot", region);
    return true;
}

}  // namespace

bool block_in_use_sound(const void *p, std::size_t size) {
    Region *region = region_of(p);
    if (region == nullptr || (reinterpret_cast<std::uintptr_t>(p) & (kGranule - 1)) != 0) return false;
    const char *user = static_cast<const char *>(p);
    const auto *h = reinterpret_cast<const BlockHeader *>(user - kBlockHeader);
    if (h->check != allocated_check(h) || h->size < size || h->size > static_cast<std::size_t>(region->top - user))
        return false;
    const FreeEntry *e = region->free->entries();
    const std::size_t pos = entry_after(region, reinterpret_cast<const char *>(h));
    if (pos > 0 && e[pos - 1].block + kBlockHeader + e[pos - 1].size > reinterpret_cast<const char *>(h)) return false;
    return pos == region->free->count || user + h->size <= e[pos].block;
}

bool heap_consistent(char *why, std::size_t why_size) {
    if (why != nullptr && why_size != 0) why[0] = '\0';
    std::size_t regions = 0, host_bytes = 0, last_slot = 0;
    Region *previous = nullptr;
    for (Region *r = first_region(); r != nullptr; previous = r, r = r->next, ++regions) {
        if (r->free->prev != previous) return fail(why, why_size, "region list links", r);
        if (previous != nullptr && r->free->slot <= last_slot) return fail(why, why_size, "slot order", r);
        last_slot = r->free->slot;
        if (!region_consistent(r, why, why_size)) return false;
        host_bytes += r->free->host_size;
    }
    const HeapStats stats = heap_stats();
    if (regions != stats.regions || regions != region_count_by_address())
        return fail(why, why_size, "region count", nullptr);
    if (host_bytes != stats.host_bytes) return fail(why, why_size, "host byte total", nullptr);
    for (std::size_t i = 1; i < regions; ++i)
        if (region_by_address(i - 1)->arena_start >= region_by_address(i)->arena_start)
            return fail(why, why_size, "address table order", region_by_address(i));
    if (!slot_tree_consistent()) return fail(why, why_size, "slot tree", nullptr);
    return true;
}

}  // namespace kez::core
