// Helpers shared by the list container's source files.
#pragma once

#include <cstddef>

#include "core/list.h"
#include "log/log.h"

namespace kez::core::list_detail {

// Reports an assertion failure of the list container; always false, so a
// check reads `if (!LIST_CHECK(cond, "text")) return failure;`.
inline bool assertion_failed(const char *condition, const char *func, unsigned line) {
    log::assert_failed(condition, __FILE__, func, line, nullptr);
    return false;
}

inline std::size_t item_size(const ListHeader *h) { return static_cast<std::size_t>(h->itemSize); }

inline char *slot(ListHandle list, int position) {
    return list_items(list) + static_cast<std::size_t>(position - 1) * item_size(list_header(list));
}

// A reading position: -1 names item 1 and 0 (kEndOfList) the last item.
inline int resolve(const ListHeader *h, int position) {
    if (position == kFrontOfList) return 1;
    if (position == kEndOfList) return h->numItems;
    return position;
}

// Entries of the list's memory-function table.
int Call_ListSetHSzFunc(ListHandle list, std::size_t size);
void Call_ListDisposeHandFunc(ListHandle list);
void Call_ListHLockFunc(ListHandle list);
void Call_ListHUnlockFunc(ListHandle list);

}  // namespace kez::core::list_detail

#define LIST_CHECK(cond, text) ((cond) || ::kez::core::list_detail::assertion_failed((text), __func__, __LINE__))

// The check after an operation: whatever ran meanwhile (a compare function, a
// per-item function, a write through a stale pointer) left the marker intact.
#define LIST_SOUND_AFTER(list) LIST_CHECK(::kez::core::CheckSanity(list), "CheckSanity(theList)")
