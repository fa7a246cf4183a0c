// Giving blocks back to the user heap: the checks that refuse a pointer the
// heap did not hand out (or already took back), coalescing with free
// neighbours, returning empty regions to the host; and reallocation.
#include <cstring>

#include "core/heap.h"
#include "protect/heap_hooks.h"
#include "protect/runtime_error.h"
#include "log/log.h"

namespace kez::core {

extern const char kCorruptMessage[];

namespace {

const char kFreeMessage[] = "Attempt to free pointer to memory not allocated by malloc() or calloc().";
const char kReallocMessage[] = "Attempt to realloc pointer to memory not allocated by malloc() or calloc().";

void report(FreeResult result, bool for_realloc) {
    if (result == FreeResult::corrupt) {
        protect::report_runtime_error(protect::kFatal, kCorruptMessage);
    } else if (result == FreeResult::not_allocated) {
        const char *text = for_realloc ? kReallocMessage : kFreeMessage;
        KEZ_LOG(log::kError, "%s", text);
        protect::report_runtime_error(protect::kNonFatal, text);
    }
}

// Whether ptr is the user address of a block in use. A pointer into no
// region, a misaligned one, a header whose check word is not that of an
// allocated block, a size that runs past the top or into a free block, and
// a pointer at or inside a free block (freed twice) are all refused.
// Freed (the block is sound): *out is its region, *pos_out the first free
// entry after it.
FreeResult check_block(void *ptr, Region **out, std::size_t *pos_out) {
    __builtin_prefetch(static_cast<char *>(ptr) - kBlockHeader);  // while the region is looked up
    Region *region = region_of(ptr);
    if (region == nullptr || (reinterpret_cast<std::uintptr_t>(ptr) & (kGranule - 1)) != 0)
        return FreeResult::not_allocated;
    char *user = static_cast<char *>(ptr);
    auto *header = reinterpret_cast<BlockHeader *>(user - kBlockHeader);
    const std::size_t size = header->size;
    if (header->check != allocated_check(header) || size == 0 || (size & (kGranule - 1)) != 0 ||
        size > static_cast<std::size_t>(region->top - user))
        return FreeResult::not_allocated;
    const FreeEntry *e = region->free->entries();
    const std::size_t pos = entry_after(region, reinterpret_cast<char *>(header));
    if (pos > 0 && e[pos - 1].block + kBlockHeader + e[pos - 1].size > reinterpret_cast<char *>(header))
        return FreeResult::not_allocated;
    if (pos < region->free->count && user + size > e[pos].block) return FreeResult::not_allocated;
    if (protect::debugging_level() >= protect::kExtended) {
        const int walk = walk_to_block(region, reinterpret_cast<char *>(header));
        if (walk == 1) return FreeResult::not_allocated;
        if (walk == 2) return FreeResult::corrupt;
    }
    *out = region;
    *pos_out = pos;
    return FreeResult::freed;
}

// Returns a checked block to its region's free blocks; pos is the first
// free entry after it.
void release(Region *region, BlockHeader *header, std::size_t pos) {
    FreeIndex *index = region->free;
    FreeEntry *e = index->entries();
    char *block = reinterpret_cast<char *>(header);
    const std::size_t size = header->size;
    char *end = block + kBlockHeader + size;
    const bool merge_next = pos < index->count && e[pos].block == end;
    const bool merge_prev = pos > 0 && e[pos - 1].block + kBlockHeader + e[pos - 1].size == block;
    header->check = 0;  // a stale header never passes for a block again
    if (merge_next) reinterpret_cast<BlockHeader *>(end)->check = 0;
    FreeEntry *merged;
    if (merge_prev && merge_next) {
        e[pos - 1].size += kBlockHeader + size + kBlockHeader + e[pos].size;
        erase_entry(region, pos);
        merged = &e[pos - 1];
    } else if (merge_prev) {
        e[pos - 1].size += kBlockHeader + size;
        merged = &e[pos - 1];
    } else if (merge_next) {
        e[pos] = {block, size + kBlockHeader + e[pos].size};
        merged = &e[pos];
    } else {
        insert_entry(region, pos, block, size);
        merged = &e[pos];
    }
    auto *merged_header = reinterpret_cast<BlockHeader *>(merged->block);
    merged_header->size = merged->size;
    merged_header->check = free_check(merged_header);
    if (merged->block + kBlockHeader + merged->size == region->arena_end) region->top = merged->block;
    --index->allocated;
    if (merged->size > region->largest_free) {
        region->largest_free = merged->size;
        region_largest_changed(region);
    }
    if (index->allocated == 0 && index->count == 1 && e[0].block == region->arena_start &&
        e[0].block + kBlockHeader + e[0].size == region->arena_end)
        release_region(region);
}

enum class Grow { grown, cannot, corrupt };

// Grows a checked block to r bytes (more than it has; pos: the first free
// entry after it) by taking the free block right after it, split when the
// remainder is worth keeping. A block alone in its region for which that is
// not enough grows its region first: the host may move the region, and
// *region and *header follow it.
Grow grow_in_place(Region **region_io, BlockHeader **header_io, std::size_t pos, std::size_t r) {
    Region *region = *region_io;
    BlockHeader *header = *header_io;
    const std::size_t old_size = header->size;
    char *end = reinterpret_cast<char *>(header) + kBlockHeader + old_size;
    const bool next_free = pos < region->free->count && region->free->entries()[pos].block == end;
    if (next_free && !free_entry_sound(region, region->free->entries()[pos])) return Grow::corrupt;
    const std::size_t room = old_size + (next_free ? kBlockHeader + region->free->entries()[pos].size : 0);
    if (room < r) {
        // Alone in its region, the block is the last one, or the free top follows it.
        if (region->free->allocated != 1 || (next_free ? end != region->top : end != region->arena_end))
            return Grow::cannot;
        std::size_t grow = r - room;
        if (!next_free && grow < kBlockHeader + kGranule) grow = kBlockHeader + kGranule;  // a free top of one granule
        region = grow_region(region, grow, &header);
        if (region == nullptr) return Grow::cannot;
        end = reinterpret_cast<char *>(header) + kBlockHeader + old_size;
        *region_io = region;
        *header_io = header;
    }
    FreeEntry &next = region->free->entries()[pos];  // the top when the region grew
    const std::size_t next_size = next.size;
    const std::size_t whole = old_size + kBlockHeader + next_size;
    const bool was_top = next.block == region->top;
    reinterpret_cast<BlockHeader *>(end)->check = 0;  // now inside the block
    if (whole - r < kSmallestSplit) {
        erase_entry(region, pos);
        if (was_top) region->top = region->arena_end;
        header->size = whole;
    } else {
        char *rest = reinterpret_cast<char *>(header) + kBlockHeader + r;
        auto *rest_header = reinterpret_cast<BlockHeader *>(rest);
        rest_header->size = whole - r - kBlockHeader;
        rest_header->check = free_check(rest_header);
        next = {rest, rest_header->size};
        if (was_top) region->top = rest;
        header->size = r;
    }
    if (next_size == region->largest_free) {
        recompute_largest(region);
        region_largest_changed(region);
    }
    return Grow::grown;
}

}  // namespace

int walk_to_block(Region *region, const char *header) {
    const FreeEntry *e = region->free->entries();
    std::size_t next_free = 0;
    const char *b = region->arena_start;
    while (b < region->top) {
        const auto *h = reinterpret_cast<const BlockHeader *>(b);
        const bool is_free = next_free < region->free->count && e[next_free].block == b;
        if (is_free) {
            if (!free_entry_sound(region, e[next_free])) return 2;
            ++next_free;
        } else if (h->check != allocated_check(h)) {
            return 2;
        }
        if (h->size == 0 || (h->size & (kGranule - 1)) != 0 ||
            h->size > static_cast<std::size_t>(region->arena_end - b) - kBlockHeader)
            return 2;
        if (b == header) return is_free ? 1 : 0;
        if (b > header) return 1;
        b += kBlockHeader + h->size;
    }
    return 1;
}

FreeResult free_block(void *ptr, bool for_realloc) {
    KEZ_ASSERT_MSG(holds_user_mem_section(), "Must have user memory critical section here.");
    if (!for_realloc && protect::heap_free_handled(ptr)) return FreeResult::handled_by_protection;
    Region *region = nullptr;
    std::size_t pos = 0;
    const FreeResult result = check_block(ptr, &region, &pos);
    if (result != FreeResult::freed) {
        report(result, for_realloc);
        return result;
    }
    release(region, reinterpret_cast<BlockHeader *>(static_cast<char *>(ptr) - kBlockHeader), pos);
    protect::heap_block_freed(ptr);
    return FreeResult::freed;
}

void *reallocate_block(void *ptr, std::size_t size) {
    KEZ_ASSERT_MSG(holds_user_mem_section(), "Must have user memory critical section here.");
    Region *region = nullptr;
    std::size_t pos = 0;
    const FreeResult result = check_block(ptr, &region, &pos);
    if (result != FreeResult::freed) {
        report(result, true);
        return nullptr;
    }
    const std::size_t r = (size + kGranule - 1) & ~(kGranule - 1);
    auto *header = reinterpret_cast<BlockHeader *>(static_cast<char *>(ptr) - kBlockHeader);
    const std::size_t old_size = header->size;
    // Whether the block may keep its address: at the user protection level
    // only when realloc was called by name.
    const bool may_stay =
        protect::debugging_level() < protect::kUserProtection || protect::heap_called_function_is_realloc();
    if (old_size >= r && may_stay) {
        if (old_size - r >= kSmallestSplit) {
            // The tail becomes a block of its own and is freed at once, so
            // it merges with a free block after it.
            header->size = r;
            auto *tail = reinterpret_cast<BlockHeader *>(static_cast<char *>(ptr) + r);
            tail->size = old_size - r - kBlockHeader;
            tail->check = allocated_check(tail);
            ++region->free->allocated;
            release(region, tail, pos);  // the first free entry after the block is the first after its tail
        }
        return ptr;
    }
    if (old_size < r && may_stay) {
        const Grow grown = grow_in_place(&region, &header, pos, r);
        if (grown == Grow::corrupt) {
            protect::report_runtime_error(protect::kFatal, kCorruptMessage);
            return nullptr;
        }
        if (grown == Grow::grown) {
            void *now = reinterpret_cast<char *>(header) + kBlockHeader;
            if (now != ptr) {  // moved with its region: told as a move
                protect::heap_block_allocated(now, r);
                protect::heap_block_freed(ptr);
            }
            return now;
        }
    }
    void *moved = allocate_block(r);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, ptr, old_size < r ? old_size : r);
    // The new block may have come from a new region; the old one is where it was.
    region = region_of(ptr);
    release(region, header, entry_after(region, reinterpret_cast<char *>(header)));
    protect::heap_block_freed(ptr);
    return moved;
}

}  // namespace kez::core

using namespace kez::core;

extern "C" void _FreeDynamicUserMem(void *ptr, int forRealloc, int inSection) {
    if (ptr == nullptr || !user_mem_ready()) return;
    if (inSection != 0) {
        free_block(ptr, forRealloc != 0);
        return;
    }
    const int token = BeginUserMemCriticalSection();
    free_block(ptr, forRealloc != 0);
    EndUserMemCriticalSection(token);
}
