// The list container: linear and binary search, ordered insert, and sorting.
#include <cstdint>
#include <cstring>

#include "core/list.h"
#include "core/list_internal.h"
#include "log/log.h"

namespace kez::core {

using log::kWarning;
using namespace list_detail;

namespace {

// Binary search over the items, assumed sorted ascending: the 0-based index
// of a match, or -(insertion index) - 1.
std::int64_t bin_search(ListHandle list, const void *key, ListCompareFn compare) {
    const ListHeader *h = list_header(list);
    if (h->numItems == 0) return -1;
    const std::size_t size = item_size(h);
    const char *items = list_items(list);
    std::int64_t lo = 0;
    std::int64_t hi = h->numItems - 1;
    std::int64_t mid = 0;
    int c = 0;
    while (lo <= hi) {
        mid = (lo + hi) / 2;
        c = compare(key, items + static_cast<std::size_t>(mid) * size);
        if (c == 0) return mid;
        if (c < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return -(c < 0 ? mid : mid + 1) - 1;
}

bool is_sorted(ListHandle list, ListCompareFn compare) {
    const ListHeader *h = list_header(list);
    const std::size_t size = item_size(h);
    const char *item = list_items(list);
    for (int i = 1; i < h->numItems; ++i, item += size)
        if (compare(item, item + size) > 0) return false;
    return true;
}

}  // namespace

int LFindItemInRange(ListHandle theList, const void *key, int startPosition, int endPosition, ListCompareFn compare) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return 0;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return 0;
    const ListHeader *h = list_header(theList);
    const int count = h->numItems;
    if (count == 0) return 0;
    const int start = resolve(h, startPosition);
    const int end = resolve(h, endPosition);
    if (!LIST_CHECK(start >= 1 && start <= count, "StartingPosition >=1 && StartingPosition <= (*theList)->numItems"))
        return 0;
    if (!LIST_CHECK(end >= 1 && end <= count, "EndingPosition >=1 && EndingPosition <= (*theList)->numItems")) return 0;
    // Without a compare function items are compared byte for byte, which
    // needs a key to read.
    if (!LIST_CHECK(key != nullptr || compare != nullptr, "key != NULL")) return 0;

    const std::size_t size = item_size(h);
    const int step = start <= end ? 1 : -1;
    int found = 0;
    for (int position = start;; position += step) {
        const char *item = slot(theList, position);
        if (compare != nullptr ? compare(key, item) == 0 : std::memcmp(key, item, size) == 0) {
            found = position;
            break;
        }
        if (position == end) break;
    }
    return LIST_SOUND_AFTER(theList) ? found : 0;
}

int LFindItem(ListHandle theList, const void *key, int startPosition, ListCompareFn compare) {
    return LFindItemInRange(theList, key, startPosition, kEndOfList, compare);
}

int LBinSearch(ListHandle theList, const void *key, ListCompareFn compare) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return 0;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return 0;
    if (!LIST_CHECK(compare != nullptr, "compareFunc != NULL")) return 0;
    Call_ListHLockFunc(theList);
    const std::int64_t index = bin_search(theList, key, compare);
    Call_ListHUnlockFunc(theList);
    if (!LIST_SOUND_AFTER(theList)) return 0;
    return index >= 0 ? static_cast<int>(index + 1) : 0;
}

int LInsertItemInOrderEx(ListHandle theList, const void *source, ListCompareFn compare, int allowDuplicates,
                         int *found) {
    if (found != nullptr) *found = 0;
    if (!LIST_CHECK(compare != nullptr, "compareFunc != NULL")) return kMgArgErr;
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return kMgArgErr;
    if (!LIST_CHECK(source != nullptr, "theItem != NULL")) return kMgArgErr;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return kMgListDamagedErr;

    int position = kFrontOfList;
    if (list_header(theList)->numItems > 0) {
        const std::int64_t index = bin_search(theList, source, compare);
        if (!LIST_SOUND_AFTER(theList)) return kMgListDamagedErr;
        if (index >= 0) {
            if (found != nullptr) *found = 1;
            if (allowDuplicates == 0) return kMgNoErr;  // deliberately not inserted
            position = static_cast<int>(index + 1);     // before the equal item
        } else {
            const std::int64_t insertion_index = -index - 1;  // 0-based
            const std::int64_t at = insertion_index + 1;
            position = at > list_header(theList)->numItems ? kEndOfList : static_cast<int>(at);
        }
    }
    // The insertion's own code goes back to the caller: an item that could
    // not be stored for lack of memory must not look stored.
    const int err = LInsertItem(theList, source, position);
    if (err != kMgNoErr) KEZ_LOG(kWarning, "MgErr = %d", err);
    return err;
}

int LInsertItemInOrder(ListHandle theList, const void *source, ListCompareFn compare, int allowDuplicates) {
    return LInsertItemInOrderEx(theList, source, compare, allowDuplicates, nullptr);
}

int LIsSorted(ListHandle theList, ListCompareFn compare) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return 0;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return 0;
    if (!LIST_CHECK(compare != nullptr, "compareFunc != NULL")) return 0;
    const bool sorted = is_sorted(theList, compare);
    return LIST_SOUND_AFTER(theList) && sorted ? 1 : 0;
}

void LQuickSort(ListHandle theList, ListCompareFn compare) {
    if (!LIST_CHECK(theList != nullptr, "theList != NULL")) return;
    if (!LIST_CHECK(CheckSanity(theList), "CheckSanity(theList)")) return;
    if (!LIST_CHECK(compare != nullptr, "compareFunc != NULL")) return;
    const ListHeader *h = list_header(theList);
    if (h->numItems == 0 || is_sorted(theList, compare)) return;
    quick_sort(list_items(theList), static_cast<std::size_t>(h->numItems), item_size(h), compare);
    LIST_SOUND_AFTER(theList);
}

}  // namespace kez::core
