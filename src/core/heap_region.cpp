// Regions of the user heap: creation and release, the region list, the
// tables that find a region by address and the first region (in list order)
// that can serve a size, and each region's index of free blocks.
#include <cstring>

#include "core/heap.h"
#include "os/os.h"

namespace kez::core {
namespace {

struct AddressEntry {
    const char *arena_start;
    Region *region;
};

struct Tables {
    Region *first = nullptr;
    Region *last = nullptr;
    std::size_t regions = 0;
    std::size_t host_bytes = 0;
    std::size_t host_bytes_peak = 0;

    // Max-tree over slots in list order: leaf i holds the largest free block
    // of the region in slot i (0 for an empty slot). Regions are appended
    // at the next slot; released ones leave a hole until the slots are
    // renumbered.
    Region **slots = nullptr;
    std::size_t *tree = nullptr;  // [1, 2 * slot_capacity)
    std::size_t slot_capacity = 0;
    std::size_t slots_used = 0;

    // Regions sorted by arena start, for finding the region of a pointer.
    // The start is kept beside the region so that the search reads one
    // array and no region record.
    AddressEntry *by_address = nullptr;
    std::size_t by_address_capacity = 0;
};

Tables g;

// Up from the leaf only while a node changes: the nodes above an unchanged
// one are right already.
void tree_set(std::size_t slot, std::size_t value) {
    std::size_t i = slot + g.slot_capacity;
    g.tree[i] = value;
    for (i >>= 1; i != 0; i >>= 1) {
        const std::size_t a = g.tree[2 * i], b = g.tree[2 * i + 1];
        const std::size_t m = a > b ? a : b;
        if (g.tree[i] == m) break;
        g.tree[i] = m;
    }
}

// Renumbers the regions 0.. in list order, growing the slot table when it
// is more than half full. False when the table cannot grow (nothing changed
// then, except that holes are gone).
bool renumber_slots(std::size_t needed) {
    std::size_t capacity = g.slot_capacity == 0 ? 64 : g.slot_capacity;
    while (capacity < 2 * needed) capacity *= 2;
    Region **slots = g.slots;
    std::size_t *tree = g.tree;
    if (capacity != g.slot_capacity) {
        slots = static_cast<Region **>(os::host_alloc(capacity * sizeof(Region *)));
        tree = static_cast<std::size_t *>(os::host_alloc(2 * capacity * sizeof(std::size_t)));
        if (slots == nullptr || tree == nullptr) {
            if (slots != nullptr) os::host_free(slots);
            if (tree != nullptr) os::host_free(tree);
            return false;
        }
        if (g.slots != nullptr) os::host_free(g.slots);
        if (g.tree != nullptr) os::host_free(g.tree);
    }
    g.slots = slots;
    g.tree = tree;
    g.slot_capacity = capacity;
    std::memset(g.tree, 0, 2 * capacity * sizeof(std::size_t));
    std::size_t n = 0;
    for (Region *r = g.first; r != nullptr; r = r->next, ++n) {
        g.slots[n] = r;
        r->free->slot = n;
        g.tree[capacity + n] = r->largest_free;
    }
    for (std::size_t i = capacity; i < 2 * capacity; ++i) {
        if (i - capacity >= n) g.slots[i - capacity] = nullptr;
    }
    for (std::size_t i = capacity - 1; i != 0; --i) {
        const std::size_t a = g.tree[2 * i], b = g.tree[2 * i + 1];
        g.tree[i] = a > b ? a : b;
    }
    g.slots_used = n;
    return true;
}

std::size_t address_position(const char *arena_start) {
    std::size_t lo = 0, hi = g.regions;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (g.by_address[mid].arena_start < arena_start)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// The number of regions whose arena starts at or below p. Without a branch
// on the data: the outcome of each step is a coin toss that the processor
// would mispredict half the time.
std::size_t regions_at_or_below(const char *p) {
    const AddressEntry *base = g.by_address;
    std::size_t n = g.regions;
    if (n == 0) return 0;
    while (n > 1) {
        const std::size_t half = n / 2;
        base = base[half].arena_start <= p ? base + half : base;
        n -= half;
    }
    return static_cast<std::size_t>(base - g.by_address) + (base->arena_start <= p ? 1 : 0);
}

FreeIndex *new_index(std::size_t capacity) {
    auto *index = static_cast<FreeIndex *>(os::host_alloc(sizeof(FreeIndex) + capacity * sizeof(FreeEntry)));
    if (index == nullptr) return nullptr;
    std::memset(index, 0, sizeof(FreeIndex));
    index->capacity = capacity;
    return index;
}

}  // namespace

Region *create_region(std::size_t r) {
    // Room in the tables first, so that a region never exists half-listed.
    if (g.slots_used == g.slot_capacity && !renumber_slots(g.regions + 1)) return nullptr;
    if (g.regions == g.by_address_capacity) {
        const std::size_t capacity = g.by_address_capacity == 0 ? 64 : 2 * g.by_address_capacity;
        auto *table = static_cast<AddressEntry *>(os::host_alloc(capacity * sizeof(AddressEntry)));
        if (table == nullptr) return nullptr;
        if (g.regions != 0) std::memcpy(table, g.by_address, g.regions * sizeof(AddressEntry));
        if (g.by_address != nullptr) os::host_free(g.by_address);
        g.by_address = table;
        g.by_address_capacity = capacity;
    }
    const std::size_t minimum = r + kRegionOverhead;
    void *host = nullptr;
    std::size_t host_size = 0;
    if (TryToMallocFromHost(minimum > kRegionHostSize ? minimum : kRegionHostSize, minimum, kHostSizeStep, 0, &host,
                            &host_size) == 0)
        return nullptr;
    FreeIndex *index = new_index(8);
    if (index == nullptr) {
        FreeToHost(host);
        return nullptr;
    }
    char *base = static_cast<char *>(host);
    auto *region = reinterpret_cast<Region *>(base);
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(base) + sizeof(Region) + kGranule - 1) &
                                 ~static_cast<std::uintptr_t>(kGranule - 1);
    const std::uintptr_t end =
        (reinterpret_cast<std::uintptr_t>(base) + host_size) & ~static_cast<std::uintptr_t>(kGranule - 1);
    region->arena_start = reinterpret_cast<char *>(start);
    region->arena_end = reinterpret_cast<char *>(end);
    region->free = index;
    region->top = region->arena_start;
    region->largest_free = end - start - kBlockHeader;
    region->next = nullptr;
    index->host_size = host_size;

    auto *header = reinterpret_cast<BlockHeader *>(region->arena_start);
    header->size = region->largest_free;
    header->check = free_check(header);
    index->entries()[0] = {region->arena_start, region->largest_free};
    index->count = 1;

    index->prev = g.last;
    if (g.last != nullptr)
        g.last->next = region;
    else
        g.first = region;
    g.last = region;
    index->slot = g.slots_used++;
    g.slots[index->slot] = region;
    tree_set(index->slot, region->largest_free);
    const std::size_t pos = address_position(region->arena_start);
    std::memmove(g.by_address + pos + 1, g.by_address + pos, (g.regions - pos) * sizeof(AddressEntry));
    g.by_address[pos] = {region->arena_start, region};
    ++g.regions;
    g.host_bytes += host_size;
    if (g.host_bytes > g.host_bytes_peak) g.host_bytes_peak = g.host_bytes;
    return region;
}

void release_region(Region *region) {
    FreeIndex *index = region->free;
    if (index->prev != nullptr)
        index->prev->next = region->next;
    else
        g.first = region->next;
    if (region->next != nullptr)
        region->next->free->prev = index->prev;
    else
        g.last = index->prev;
    tree_set(index->slot, 0);
    g.slots[index->slot] = nullptr;
    const std::size_t pos = address_position(region->arena_start);
    std::memmove(g.by_address + pos, g.by_address + pos + 1, (g.regions - pos - 1) * sizeof(AddressEntry));
    --g.regions;
    g.host_bytes -= index->host_size;
    os::host_free(index);
    FreeToHost(region);
}

namespace {

// Moves everything that points into a region that the host moved: its own
// pointers, the free entries, the check words of its blocks (they depend on
// the address: the free ones and the one in use) and the tables.
Region *rebase_region(Region *old_region, Region *region, BlockHeader **in_use) {
    const std::uintptr_t delta =
        reinterpret_cast<std::uintptr_t>(region) - reinterpret_cast<std::uintptr_t>(old_region);
    auto moved = [delta](char *p) { return reinterpret_cast<char *>(reinterpret_cast<std::uintptr_t>(p) + delta); };
    const char *old_start = region->arena_start;
    region->arena_start = moved(region->arena_start);
    region->arena_end = moved(region->arena_end);
    region->top = moved(region->top);
    FreeIndex *index = region->free;
    FreeEntry *e = index->entries();
    for (std::size_t i = 0; i < index->count; ++i) {
        e[i].block = moved(e[i].block);
        auto *h = reinterpret_cast<BlockHeader *>(e[i].block);
        h->check = free_check(h);
    }
    *in_use = reinterpret_cast<BlockHeader *>(moved(reinterpret_cast<char *>(*in_use)));
    (*in_use)->check = allocated_check(*in_use);
    if (index->prev != nullptr)
        index->prev->next = region;
    else
        g.first = region;
    if (region->next != nullptr)
        region->next->free->prev = region;
    else
        g.last = region;
    g.slots[index->slot] = region;
    std::size_t pos = address_position(old_start);
    std::memmove(g.by_address + pos, g.by_address + pos + 1, (g.regions - pos - 1) * sizeof(AddressEntry));
    --g.regions;
    pos = address_position(region->arena_start);
    std::memmove(g.by_address + pos + 1, g.by_address + pos, (g.regions - pos) * sizeof(AddressEntry));
    g.by_address[pos] = {region->arena_start, region};
    ++g.regions;
    return region;
}

}  // namespace

Region *grow_region(Region *region, std::size_t grow, BlockHeader **in_use) {
    FreeIndex *index = region->free;
    if (grow > SIZE_MAX - index->host_size) return nullptr;
    auto *grown = static_cast<Region *>(ReallocFromHost(region, index->host_size + grow));
    if (grown == nullptr) return nullptr;
    if (grown != region) region = rebase_region(region, grown, in_use);
    char *old_end = region->arena_end;
    region->arena_end += grow;
    index->host_size += grow;
    g.host_bytes += grow;
    if (g.host_bytes > g.host_bytes_peak) g.host_bytes_peak = g.host_bytes;
    FreeEntry *e = index->entries();
    FreeEntry *top;
    if (region->top != old_end) {
        top = &e[index->count - 1];  // the free top is the last free block
        top->size += grow;
    } else {
        // The last block is in use, so every free block has one in use after
        // it: fewer free entries than blocks in use, and there is room.
        insert_entry(region, index->count, old_end, grow - kBlockHeader);
        top = &e[index->count - 1];
        region->top = old_end;
    }
    auto *header = reinterpret_cast<BlockHeader *>(top->block);
    header->size = top->size;
    header->check = free_check(header);
    if (top->size > region->largest_free) {
        region->largest_free = top->size;
        region_largest_changed(region);
    }
    return region;
}

void release_all_regions() {
    while (g.first != nullptr) release_region(g.first);
    if (g.slots != nullptr) os::host_free(g.slots);
    if (g.tree != nullptr) os::host_free(g.tree);
    if (g.by_address != nullptr) os::host_free(g.by_address);
    g = Tables{};
}

Region *region_of(const void *p) {
    const char *c = static_cast<const char *>(p);
    const std::size_t n = regions_at_or_below(c);  // the last of them may hold p
    if (n == 0) return nullptr;
    Region *region = g.by_address[n - 1].region;
    return c >= region->arena_start + kBlockHeader && c < region->top ? region : nullptr;
}

Region *first_region_fitting(std::size_t r) {
    if (g.slot_capacity == 0 || g.tree[1] < r) return nullptr;
    std::size_t i = 1;
    while (i < g.slot_capacity) i = 2 * i + (g.tree[2 * i] < r ? 1 : 0);
    return g.slots[i - g.slot_capacity];
}

void region_largest_changed(Region *region) { tree_set(region->free->slot, region->largest_free); }

bool reserve_entry(Region *region) {
    FreeIndex *index = region->free;
    // A region with n blocks in use has at most n + 1 free blocks (free
    // neighbours always merge), so with capacity > allocated a free never
    // needs room it does not have.
    if (index->capacity > index->allocated + 1) return true;
    const std::size_t capacity = index->capacity + index->capacity / 2 + 8;
    FreeIndex *bigger = new_index(capacity);
    if (bigger == nullptr) return false;
    std::memcpy(bigger, index, sizeof(FreeIndex) + index->count * sizeof(FreeEntry));
    bigger->capacity = capacity;
    os::host_free(index);
    region->free = bigger;
    return true;
}

std::size_t entry_after(Region *region, const char *block) {
    const FreeEntry *first = region->free->entries();
    std::size_t n = region->free->count;
    if (n == 0) return 0;
    const FreeEntry *base = first;  // without a branch on the data, as regions_at_or_below
    while (n > 1) {
        const std::size_t half = n / 2;
        base = base[half].block <= block ? base + half : base;
        n -= half;
    }
    return static_cast<std::size_t>(base - first) + (base->block <= block ? 1 : 0);
}

void insert_entry(Region *region, std::size_t pos, char *block, std::size_t size) {
    FreeIndex *index = region->free;
    FreeEntry *e = index->entries();
    std::memmove(e + pos + 1, e + pos, (index->count - pos) * sizeof(FreeEntry));
    e[pos] = {block, size};
    ++index->count;
}

void erase_entry(Region *region, std::size_t pos) {
    FreeIndex *index = region->free;
    FreeEntry *e = index->entries();
    std::memmove(e + pos, e + pos + 1, (index->count - pos - 1) * sizeof(FreeEntry));
    --index->count;
}

void recompute_largest(Region *region) {
    const FreeEntry *e = region->free->entries();
    std::size_t largest = 0;
    for (std::size_t i = 0, n = region->free->count; i < n; ++i)
        if (e[i].size > largest) largest = e[i].size;
    region->largest_free = largest;
}

Region *first_region() { return g.first; }

// Read under the section: other threads may be allocating.
HeapStats heap_stats() {
    if (!user_mem_ready()) return {g.regions, g.host_bytes, g.host_bytes_peak, 0};
    const int token = BeginUserMemCriticalSection();
    const HeapStats stats = {g.regions, g.host_bytes, g.host_bytes_peak, host_requests()};
    EndUserMemCriticalSection(token);
    return stats;
}

// Test access to the tables for the consistency walk.
std::size_t slot_tree_value(std::size_t slot) { return g.slot_capacity == 0 ? 0 : g.tree[g.slot_capacity + slot]; }
bool slot_tree_consistent() {
    for (std::size_t i = 1; i < g.slot_capacity; ++i) {
        const std::size_t a = g.tree[2 * i], b = g.tree[2 * i + 1];
        if (g.tree[i] != (a > b ? a : b)) return false;
    }
    return true;
}
Region *slot_region(std::size_t slot) { return slot < g.slot_capacity ? g.slots[slot] : nullptr; }
std::size_t region_count_by_address() { return g.regions; }
Region *region_by_address(std::size_t i) { return g.by_address[i].region; }

}  // namespace kez::core
