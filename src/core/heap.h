// The user heap: the memory that user programs get from malloc, calloc and
// realloc. Regions of at least 100 KiB come from the host heap; each is
// carved into 16-byte-aligned blocks, allocated first fit (the free block
// with the lowest address that fits, in the first region in list order that
// has one), split when the remainder is worth keeping, coalesced on free.
// Whole regions go back to the host as soon as they are empty.
//
// realloc grows a block into the free block right after it when that is
// large enough. A block alone in its region grows with the region: the host
// block is resized (the host may move it, and the block with it, without a
// copy by the engine when it can remap pages).
//
// Block layout: a 16-byte header {size of the user part, check word} and the
// user's bytes. The check word tells an allocated header from a free one and
// from user data, so that a wrong pointer or a freed one is refused before
// its "size" is believed.
//
// Free blocks are indexed outside the arena, per region, as an array sorted
// by address (FreeIndex); across regions a max-tree over the regions in list
// order finds the first region that can serve a size. This keeps the
// first-fit choice exact at logarithmic cost plus a short scan inside one
// region, and it touches the arena only where a block is taken or given back.
//
// Locks: every heap operation holds the user-memory critical section; host
// allocations take the host-memory lock, always after the section.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::core {

constexpr std::size_t kBlockHeader = 16;
constexpr std::size_t kGranule = 16;
constexpr std::size_t kSmallestSplit = 17;        // a smaller remainder stays with the block
constexpr std::size_t kRegionHostSize = 102400;   // host size of a region
constexpr std::size_t kRegionOverhead = 80;       // region record, alignment and one block header
constexpr std::size_t kHostSizeStep = 10240;      // a refused host request shrinks by this much

// The largest request the heap serves. Anything larger is refused before any
// arithmetic: rounding to 16 and adding the region overhead would wrap.
constexpr std::size_t kMaxRequest = (SIZE_MAX - kRegionOverhead - kGranule) & ~(kGranule - 1);

struct BlockHeader {
    std::size_t size;       // user part, a non-zero multiple of 16
    std::uintptr_t check;   // allocated_check() or free_check() of the header's address
};
static_assert(sizeof(BlockHeader) == kBlockHeader, "block header is 16 bytes");

inline std::uintptr_t allocated_check(const void *header) {
    return reinterpret_cast<std::uintptr_t>(header) ^ static_cast<std::uintptr_t>(0xA110CA7EDB10C4EDull);
}
inline std::uintptr_t free_check(const void *header) {
    return reinterpret_cast<std::uintptr_t>(header) ^ static_cast<std::uintptr_t>(0xF4EEB10C4F4EEB1Cull);
}

struct FreeEntry {
    char *block;  // header address
    std::size_t size;
};

struct FreeIndex;

// The region record at the start of each host block.
struct Region {
    char *arena_start;         // first block, 16-byte aligned
    char *arena_end;           // one past the arena
    FreeIndex *free;           // the region's free blocks, by address
    char *top;                 // free block reaching arena_end, or arena_end
    std::size_t largest_free;  // size of the largest free block (0: none)
    Region *next;              // list order
};
static_assert(sizeof(Region) == 48, "region record is six 64-bit fields");

// Bookkeeping of a region kept outside the arena (host heap).
struct FreeIndex {
    Region *prev;               // list order
    std::size_t host_size;      // bytes of the host block
    std::size_t slot;           // position in the list-order max-tree
    std::size_t allocated;      // blocks in use
    std::size_t count;          // free entries
    std::size_t capacity;       // entries room; always > allocated, so a free never needs more
    FreeEntry *entries() { return reinterpret_cast<FreeEntry *>(this + 1); }
};

// ---- the user-memory critical section (heap_section.cpp) --------------------

// Enters the section unless the calling thread holds it. The token goes to
// EndUserMemCriticalSection.
int BeginUserMemCriticalSection();
void EndUserMemCriticalSection(int token);
bool holds_user_mem_section();

// Start-up steps and their clean-ups.
int SetUpMemory();
void CleanUpMemory();
int InitAsyncAndMTProtection();
void UninitAsyncAndMTProtection();

// ---- host memory (heap_host.cpp) ------------------------------------------------

// Host allocation with fall-back sizes: preferred, then preferred - step, ...
// while above minimum + step, then minimum. With a reserve, that much more
// must also be available at the time. 1 and the block and its size, or 0.
int TryToMallocFromHost(std::size_t preferred, std::size_t minimum, std::size_t step, std::size_t reserve,
                        void **block, std::size_t *size);
// Gives a block back; the host heap is compacted after every 16th.
void FreeToHost(void *block);
// Resizes a host block under the host lock (a host request): the block at
// its new address, or null with the block unchanged.
void *ReallocFromHost(void *block, std::size_t size);
std::size_t host_requests();
// Whether the section exists (the engine is up).
bool user_mem_ready();

// ---- regions and their index (heap_region.cpp) --------------------------------

// Creates a region able to hold a block of r bytes and appends it to the list.
Region *create_region(std::size_t r);
void release_region(Region *region);
// Grows the arena of a region whose one block in use is *in_use by `grow`
// bytes (a multiple of 16; at least 32 when that block is the last one): the
// free top grows, or a new free top appears. The host may move the region:
// the result is its new address, and *in_use follows. Null, nothing
// changed, when the host refuses.
Region *grow_region(Region *region, std::size_t grow, BlockHeader **in_use);
void release_all_regions();
// The region whose arena holds p (arena start + 16 up to the top), or null.
Region *region_of(const void *p);
// The first region in list order with a free block of at least r bytes.
Region *first_region_fitting(std::size_t r);
// After the region's largest free block may have changed.
void region_largest_changed(Region *region);
// Makes room in the region's index for one more allocated block.
bool reserve_entry(Region *region);
// First entry (in address order) whose block starts after `block`.
std::size_t entry_after(Region *region, const char *block);
void insert_entry(Region *region, std::size_t pos, char *block, std::size_t size);
void erase_entry(Region *region, std::size_t pos);
void recompute_largest(Region *region);
// Whether the arena still holds the free block an entry indexes, and the
// entry lies inside the arena, below the top (the top block ending exactly
// at the arena end).
bool free_entry_sound(const Region *region, const FreeEntry &e);

Region *first_region();

struct HeapStats {
    std::size_t regions;
    std::size_t host_bytes;       // held by regions now
    std::size_t host_bytes_peak;  // most held at once since start-up
    std::size_t host_requests;    // host allocation attempts since start-up
};
HeapStats heap_stats();

// ---- allocate, free, reallocate (heap_alloc.cpp, heap_free.cpp) ------------------

// r: the request rounded up to 16 (>0, <= kMaxRequest). Caller holds the section.
void *allocate_block(std::size_t r);

enum class FreeResult { freed, handled_by_protection, not_allocated, corrupt };
// Checks and frees; reports misuse. for_realloc selects the message.
FreeResult free_block(void *ptr, bool for_realloc);
void *reallocate_block(void *ptr, std::size_t size);

// Forgets the resource disposer's functions (clean-up); the next block looks
// them up again.
void forget_resource_disposer();

// ---- consistency (heap_walk.cpp) ---------------------------------------------------

// Walks every region: blocks tile each arena, free blocks are exactly the
// indexed ones, in address order and never adjacent, every check word is
// right, each region's top and largest free are right, the regions' max-tree
// and address table agree. False and a description of the first fault.
bool heap_consistent(char *why, std::size_t why_size);

// The cheap check of one block in use: in a region below the top, its check
// word right, at least `size` bytes, and overlapping no free block.
bool block_in_use_sound(const void *p, std::size_t size);

// Whether p is the user address of a block in use, proved by walking its
// region from the start (the extended debugging level's check). 0 yes,
// 1 the walk did not meet it, 2 a corrupt header on the way.
int walk_to_block(Region *region, const char *header);

}  // namespace kez::core

extern "C" {
void *_AllocDynamicUserMem(std::size_t size, int inSection);
void _FreeDynamicUserMem(void *ptr, int forRealloc, int inSection);
}
