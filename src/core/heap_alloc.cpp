// Taking blocks from the user heap: first fit over the regions in list
// order, split when the remainder is worth keeping, a new region when none
// fits.
#include "core/heap.h"
#include "protect/heap_hooks.h"
#include "protect/runtime_error.h"
#include "log/log.h"

namespace kez::core {

extern const char kCorruptMessage[] = "Dynamic memory is corrupt.";

bool free_entry_sound(const Region *region, const FreeEntry &e) {
    const auto *h = reinterpret_cast<const BlockHeader *>(e.block);
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(e.block);
    if ((a & (kGranule - 1)) != 0 || e.block < region->arena_start) return false;
    if (e.size == 0 || (e.size & (kGranule - 1)) != 0) return false;
    if (static_cast<std::size_t>(region->arena_end - e.block) < kBlockHeader + e.size) return false;
    const char *end = e.block + kBlockHeader + e.size;
    // The top block ends exactly at the arena end; every other one below the top.
    if (e.block == region->top ? end != region->arena_end : end > region->top) return false;
    return h->size == e.size && h->check == free_check(h);
}

namespace {

void *take(Region *region, std::size_t pos, std::size_t r) {
    FreeIndex *index = region->free;
    FreeEntry &e = index->entries()[pos];
    char *block = e.block;
    const std::size_t s = e.size;
    auto *header = reinterpret_cast<BlockHeader *>(block);
    if (s - r < kSmallestSplit) {
        erase_entry(region, pos);
        if (block == region->top) region->top = region->arena_end;
        header->size = s;
    } else {
        char *rest = block + kBlockHeader + r;
        auto *rest_header = reinterpret_cast<BlockHeader *>(rest);
        rest_header->size = s - r - kBlockHeader;
        rest_header->check = free_check(rest_header);
        e = {rest, rest_header->size};
        if (block == region->top) region->top = rest;
        header->size = r;
    }
    header->check = allocated_check(header);
    ++index->allocated;
    if (s == region->largest_free) {
        recompute_largest(region);
        region_largest_changed(region);
    }
    return block + kBlockHeader;
}

}  // namespace

void *allocate_block(std::size_t r) {
    KEZ_ASSERT_MSG(holds_user_mem_section(), "_AllocDynamicUserMem called without user memory critical section!");
    Region *region = first_region_fitting(r);
    if (region == nullptr) {
        region = create_region(r);
        if (region == nullptr) return nullptr;
    }
    if (!reserve_entry(region)) return nullptr;
    const FreeEntry *e = region->free->entries();
    const std::size_t n = region->free->count;
    std::size_t pos = 0;
    while (pos < n && e[pos].size < r) ++pos;
    if (pos == n || !free_entry_sound(region, e[pos])) {
        // The index promised a fit (pos == n cannot happen while the tables
        // agree), or the arena no longer holds the free block it indexed:
        // something wrote over the heap's own data.
        protect::report_runtime_error(protect::kFatal, kCorruptMessage);
        return nullptr;
    }
    void *p = take(region, pos, r);
    protect::heap_block_allocated(p, r);
    return p;
}

}  // namespace kez::core

using namespace kez::core;

extern "C" void *_AllocDynamicUserMem(std::size_t size, int inSection) {
    if (size == 0 || size > kMaxRequest || !user_mem_ready()) return nullptr;
    const std::size_t r = (size + kGranule - 1) & ~(kGranule - 1);
    if (inSection != 0) return allocate_block(r);
    const int token = BeginUserMemCriticalSection();
    void *p = allocate_block(r);
    EndUserMemCriticalSection(token);
    return p;
}
