// The engine's list container: a growable array of fixed-size items in one
// relocatable block, addressed by 1-based positions. Every library keeps its
// tables in such lists. A list has no lock; its owner guards it.
//
// The block is reached through the handle on every call, so a pointer into
// it (LGetPtrToItem) is valid only until the next call that may grow it.
// Each call checks the front marker before and after touching the block, so
// an overrun by a neighbouring write is caught at the next list call.
//
// Results are memory-manager codes: kMgNoErr, kMgArgErr for a bad argument,
// kMgListDamagedErr for a damaged list, or what the table's set-handle-size
// returned (kMgFullErr when memory ran out). Every bad argument and damaged
// list is also reported as an assertion failure naming the condition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/handle_memory.h"
#include "core/quick_sort.h"

namespace kez::core {

using ListHandle = MemHandle;

// For searches the key comes first and the item second.
using ListCompareFn = SortCompareFn;

constexpr int kEndOfList = 0;     // the last item; for inserting, the slot after it
constexpr int kFrontOfList = -1;  // item 1

constexpr std::uint32_t kListMarker = 0xB00BDEED;
constexpr std::uint32_t kListMarkerSwapped = 0xEDDE0BB0;  // written on a machine of the other byte order
constexpr std::uint32_t kListGrowth = 0x006E0004;         // add 110 % of the capacity, plus 4 items

// The block starts with this header; the item slots follow it.
struct ListHeader {
    std::int32_t options;  // stored, read by no operation
    std::uint32_t marker;
    std::uint32_t growth;  // high 16 bits: percentage of the capacity to add; low 16 bits: items added on top
    std::int32_t capacity;
    std::int32_t itemSize;
    std::int32_t numItems;
    const MemFuncs *memFuncs;
};
static_assert(offsetof(ListHeader, marker) == 4 && offsetof(ListHeader, numItems) == 20 &&
                  offsetof(ListHeader, memFuncs) == 24 && sizeof(ListHeader) == 32,
              "the header's fields and widths are fixed");

inline ListHeader *list_header(ListHandle list) { return static_cast<ListHeader *>(list->block); }
inline char *list_items(ListHandle list) { return static_cast<char *>(list->block) + sizeof(ListHeader); }

ListHandle LCreateWithOptions(int itemSize, int options, int initialCapacity, const MemFuncs *memFuncs);
// Capacity 0 and the installed default table.
ListHandle LCreate(int itemSize, int options);
void LDiscard(ListHandle theList);
// Calls perItem with a pointer to every item, first to last, then discards.
void LDisposePtrList(ListHandle theList, void (*perItem)(void *item));
void LClear(ListHandle theList);  // keeps the capacity
int LNumItems(ListHandle theList);

void LGetItem(ListHandle theList, void *destination, int itemPosition);
void *LGetPtrToItem(ListHandle theList, int itemPosition);
int LInsertItem(ListHandle theList, const void *source, int itemPosition);
// destination may be null.
void LRemoveItem(ListHandle theList, void *destination, int itemPosition);

// First position from start to end inclusive (backwards when start > end)
// whose item equals the key: compare(key, item) == 0, or the same bytes when
// compare is null. 0 when there is none.
int LFindItemInRange(ListHandle theList, const void *key, int startPosition, int endPosition, ListCompareFn compare);
int LFindItem(ListHandle theList, const void *key, int startPosition, ListCompareFn compare);
// Over a list sorted ascending by compare: a matching position, or 0.
int LBinSearch(ListHandle theList, const void *key, ListCompareFn compare);
// Inserts where the sorted order wants the item (before an equal item when
// duplicates are allowed; not at all when they are not). *found, when given,
// tells whether an equal item was there. The result is the insertion's code.
int LInsertItemInOrderEx(ListHandle theList, const void *source, ListCompareFn compare, int allowDuplicates,
                         int *found);
int LInsertItemInOrder(ListHandle theList, const void *source, ListCompareFn compare, int allowDuplicates);
int LIsSorted(ListHandle theList, ListCompareFn compare);
void LQuickSort(ListHandle theList, ListCompareFn compare);

// Makes room for `count` more items without further growth.
int LPreAllocateItems(ListHandle theList, int count);
// Adds `count` slots, or grows by the list's growth rule when count is 0.
int ExpandListSpace(ListHandle theList, int count);

// Whether the front marker is intact (and the header consistent). A damaged
// marker is logged with the expected and the found value.
bool CheckSanity(ListHandle theList);

}  // namespace kez::core
