// The list container: creation, disposal, growth, and reading, inserting and
// removing by position.
#include "core/list.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/list_internal.h"
#include "log/log.h"

namespace kez::core {

using log::kTemp;
using log::kWarning;
using namespace list_detail;

namespace {

constexpr std::int64_t kMaxCapacity = std::numeric_limits<std::int32_t>::max();

// Bytes of a block for `capacity` items. Computed in 64 bits: capacity and
// item size are each below 2^31, so the product cannot wrap into a short
// block. False when the block could not be addressed at all.
bool block_bytes(std::int64_t capacity, std::int32_t item_size, std::size_t *bytes) {
    const std::uint64_t total =
        sizeof(ListHeader) + static_cast<std::uint64_t>(capacity) * static_cast<std::uint64_t>(item_size);
    if (total > std::numeric_limits<std::size_t>::max()) return false;
    *bytes = static_cast<std::size_t>(total);
    return true;
}

// The header agrees with itself and with the block it sits in, so no
// operation can reach past the block even when a wild write spared the
// marker.
bool header_consistent(ListHandle list) {
    const ListHeader *h = list_header(list);
    if (h->itemSize <= 0 || h->capacity < 0 || h->numItems < 0 || h->numItems > h->capacity) return false;
    std::size_t bytes = 0;
    return block_bytes(h->capacity, h->itemSize, &bytes) && list->size >= bytes;
}

bool marker_is(ListHandle list, bool either_byte_order) {
    if (list->block == nullptr || list->size < sizeof(ListHeader)) return false;
    const std::uint32_t found = list_header(list)->marker;
    if (found == kListMarker || (either_byte_order && found == kListMarkerSwapped)) return true;
    KEZ_LOG_AS(kTemp, "CheckSanity", "Error, front of list overwritten, expect 0x%lx, but found 0x%lx",
               static_cast<unsigned long>(kListMarker), static_cast<unsigned long>(found));
    return false;
}

bool CheckEitherByteOrderSanity(ListHandle list) { return marker_is(list, true); }

// Adds `count` slots, or as many as the growth rule gives for 0. *target is
// the capacity aimed at. On failure the list is as it was.
int grow(ListHandle list, int count, std::int64_t *target) {
    const ListHeader *h = list_header(list);
    std::int64_t add = count;
    if (count == 0) {
        const std::int64_t percent = h->growth >> 16;
        const std::int64_t extra = h->growth & 0xFFFF;
        add = h->capacity * percent / 100 + extra;
        if (add == 0) {
            assertion_failed("Expected list to expand with more items.", "ExpandListSpace", __LINE__);
            add = 1;
        }
    }
    const std::int64_t capacity = h->capacity + add;
    *target = capacity;
    std::size_t bytes = 0;
    // Capacity and counts are 32-bit signed fields: a list cannot address
    // more, which is as much as saying memory ran out.
    int err = kMgFullErr;
    if (capacity <= kMaxCapacity && block_bytes(capacity, h->itemSize, &bytes)) err = Call_ListSetHSzFunc(list, bytes);
    if (err != kMgNoErr) {
        KEZ_LOG_AS(kWarning, "ExpandListSpace", "MgErr = %d", err);
        return err;
    }
    list_header(list)->capacity = static_cast<std::int32_t>(capacity);  // the block has moved
    return kMgNoErr;
}

// The source may lie inside the list's own block (an item copied to another
// position): growing frees that block and shifting overwrites it, so such a
// source is copied aside first.
class SourceCopy {
  public:
    SourceCopy(ListHandle list, const void *source, std::size_t size) : data_(source) {
        const auto begin = reinterpret_cast<std::uintptr_t>(list->block);
        const auto end = begin + list->size;
        const auto from = reinterpret_cast<std::uintptr_t>(source);
        if (from + size <= begin || from >= end) return;
        void *copy = size <= sizeof small_ ? small_ : (heap_ = std::malloc(size));
        if (copy != nullptr) std::memcpy(copy, source, size);
        data_ = copy;
    }
    ~SourceCopy() { std::free(heap_); }
    SourceCopy(const SourceCopy &) = delete;
    SourceCopy &operator=(const SourceCopy &) = delete;
    const void *data() const { return data_; }

  private:
    const void *data_;
    void *heap_ = nullptr;
    alignas(std::max_align_t) unsigned char small_[128];
};

}  // namespace

namespace list_detail {

int Call_ListSetHSzFunc(ListHandle list, std::size_t size) {
    const MemFuncs *funcs = list_header(list)->memFuncs;
    if (!LIST_CHECK(funcs != nullptr, "(*list)->memFuncs")) return kMgArgErr;
    return funcs->set_handle_size(list, size);
}

void Call_ListDisposeHandFunc(ListHandle list) {
    const MemFuncs *funcs = list_header(list)->memFuncs;
    if (!LIST_CHECK(funcs != nullptr, "(*list)->memFuncs")) return;
    funcs->dispose_handle(list);
}

void Call_ListHLockFunc(ListHandle list) {
    const MemFuncs *funcs = list_header(list)->memFuncs;
    if (!LIST_CHECK(funcs != nullptr, "(*list)->memFuncs")) return;
    funcs->lock_handle(list);
}

void Call_ListHUnlockFunc(ListHandle list) {
    const MemFuncs *funcs = list_header(list)->memFuncs;
    if (!LIST_CHECK(funcs != nullptr, "(*list)->memFuncs")) return;
    funcs->unlock_handle(list);
}

}  // namespace list_detail

bool CheckSanity(ListHandle theList) {
    return theList != nullptr && marker_is(theList, false) && header_consistent(theList);
}

ListHandle LCreateWithOptions(int itemSize, int options, int initialCapacity, const MemFuncs *memFuncs) {
    if (!LIST_CHECK(memFuncs != nullptr, "memFuncsPtr is a required parameter")) return nullptr;
    if (!LIST_CHECK(itemSize > 0, "itemSize > 0")) return nullptr;
    if (!LIST_CHECK(initialCapacity >= 0, "initialCapacity >= 0")) return nullptr;
    std::size_t bytes = 0;
    ListHandle list = block_bytes(initialCapacity, itemSize, &bytes) ? memFuncs->new_handle(bytes) : nullptr;
    if (list != nullptr && list->block == nullptr) {
        memFuncs->dispose_handle(list);
        list = nullptr;
    }
    if (list == nullptr) {
        KEZ_LOG(kWarning, "Failed to allocate list handle.");
        return nullptr;
    }
    ListHeader *h = list_header(list);
    h->options = options;
    h->marker = kListMarker;
    h->growth = kListGrowth;
    h->capacity = initialCapacity;
    h->itemSize = itemSize;
    h->numItems = 0;
    h->memFuncs = memFuncs;
    return list;
}

ListHandle LCreate(int itemSize, int options) {
    return LCreateWithOptions(itemSize, options, 0, list_memory_functions());
}

void LDiscard(ListHandle theList) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return;
    // A list written on a machine of the other byte order can still go.
    if (!LIST_CHECK(CheckEitherByteOrderSanity(theList), "CheckEitherByteOrderSanity(theList)")) return;
    Call_ListDisposeHandFunc(theList);
}

void LDisposePtrList(ListHandle theList, void (*perItem)(void *item)) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return;
    if (perItem != nullptr && LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) {
        // Block and count are read through the handle each time, so a function
        // that does change the list does not send the loop into a freed block.
        for (int i = 1; i <= list_header(theList)->numItems; ++i) perItem(slot(theList, i));
        LIST_SOUND_AFTER(theList);
    }
    LDiscard(theList);
}

void LClear(ListHandle theList) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return;
    list_header(theList)->numItems = 0;
    LIST_SOUND_AFTER(theList);
}

int LNumItems(ListHandle theList) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return 0;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return 0;
    return list_header(theList)->numItems;
}

void *LGetPtrToItem(ListHandle theList, int itemPosition) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return nullptr;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return nullptr;
    const ListHeader *h = list_header(theList);
    if (!LIST_CHECK(h->numItems > 0, "(*theList)->numItems > 0")) return nullptr;
    if (!LIST_CHECK(itemPosition >= kFrontOfList && itemPosition <= h->numItems,
                    "itemPosition >= kEndOfList && itemPosition <= (*theList)->numItems"))
        return nullptr;
    char *item = slot(theList, resolve(h, itemPosition));
    return LIST_SOUND_AFTER(theList) ? item : nullptr;
}

void LGetItem(ListHandle theList, void *destination, int itemPosition) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return;
    const ListHeader *h = list_header(theList);
    if (!LIST_CHECK(h->numItems > 0, "(*theList)->numItems > 0")) return;
    if (!LIST_CHECK(itemPosition >= kFrontOfList && itemPosition <= h->numItems,
                    "itemPosition >= kEndOfList && itemPosition <= (*theList)->numItems"))
        return;
    if (destination == nullptr) {
        KEZ_LOG(kWarning, "Trying to get list item into NULL buffer.");
        return;
    }
    std::memmove(destination, slot(theList, resolve(h, itemPosition)), item_size(h));
    LIST_SOUND_AFTER(theList);
}

int LInsertItem(ListHandle theList, const void *source, int itemPosition) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return kMgArgErr;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return kMgListDamagedErr;
    if (!LIST_CHECK(source != nullptr, "theItem != NULL")) return kMgArgErr;
    ListHeader *h = list_header(theList);
    if (itemPosition == static_cast<std::int64_t>(h->numItems) + 1) itemPosition = kEndOfList;
    if (!LIST_CHECK(itemPosition >= kFrontOfList && itemPosition <= h->numItems,
                    "itemPosition >= kFrontOfList && itemPosition <= (*theList)->numItems + 1"))
        return kMgArgErr;

    const std::size_t size = item_size(h);
    SourceCopy item(theList, source, size);
    if (item.data() == nullptr) return kMgFullErr;
    if (h->numItems >= h->capacity) {
        std::int64_t target = 0;
        const int err = grow(theList, 0, &target);
        if (err != kMgNoErr) {
            KEZ_LOG(kWarning, "Failed to expand list to %lld items.", static_cast<long long>(target));
            return err;
        }
        h = list_header(theList);
    }
    const int count = h->numItems;
    int position = count + 1;  // the end, and the front of an empty list
    if (itemPosition != kEndOfList && count > 0) position = itemPosition == kFrontOfList ? 1 : itemPosition;
    char *at = slot(theList, position);
    if (position <= count) std::memmove(at + size, at, static_cast<std::size_t>(count - position + 1) * size);
    std::memcpy(at, item.data(), size);
    h->numItems = count + 1;
    return LIST_SOUND_AFTER(theList) ? kMgNoErr : kMgListDamagedErr;
}

void LRemoveItem(ListHandle theList, void *destination, int itemPosition) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return;
    ListHeader *h = list_header(theList);
    if (!LIST_CHECK(h->numItems > 0, "(*theList)->numItems > 0")) return;
    if (!LIST_CHECK(itemPosition >= kFrontOfList && itemPosition <= h->numItems,
                    "itemPosition >= kEndOfList && itemPosition <= (*theList)->numItems"))
        return;
    const int position = resolve(h, itemPosition);
    const std::size_t size = item_size(h);
    char *at = slot(theList, position);
    if (destination != nullptr) std::memmove(destination, at, size);
    std::memmove(at, at + size, static_cast<std::size_t>(h->numItems - position) * size);
    --h->numItems;
    LIST_SOUND_AFTER(theList);
}

int ExpandListSpace(ListHandle theList, int count) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return kMgArgErr;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return kMgListDamagedErr;
    if (!LIST_CHECK(count >= 0, "numItemsToAdd >= 0")) return kMgArgErr;
    std::int64_t target = 0;
    const int err = grow(theList, count, &target);
    return LIST_SOUND_AFTER(theList) ? err : kMgListDamagedErr;
}

int LPreAllocateItems(ListHandle theList, int count) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return kMgArgErr;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return kMgListDamagedErr;
    const ListHeader *h = list_header(theList);
    const std::int64_t free_slots = h->capacity - h->numItems;
    if (free_slots >= count) return kMgNoErr;
    const std::int64_t missing = count - free_slots;  // 1 to 2^31 - 1
    std::int64_t target = 0;
    const int err = grow(theList, static_cast<int>(missing), &target);
    return LIST_SOUND_AFTER(theList) ? err : kMgListDamagedErr;
}

}  // namespace kez::core
