// Shared by the list container's tests: the program's own log tap, a
// memory-function table whose entries can be made to fail or be counted,
// and readers of a list's contents.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/handle_memory.h"
#include "core/list.h"
#include "support/log_tap.h"
#include "support/temp_dir.h"
#include "util/log.h"

namespace kez::test {

// A tap of this program alone, in a temporary directory removed at exit.
inline const std::string &list_tap() {
    struct Tap {
        TempDir dir;
        std::string path = dir.file("kez_list_tests.log");
        Tap() { kez::log::open_test_tap_at(path.c_str()); }
        ~Tap() { kez::log::close_test_tap(); }
    };
    static const Tap tap;
    return tap.path;
}

// Texts of the assertion failures (FATAL lines) written since the mark.
inline std::vector<std::string> assertions_since(const TapReader &tap) {
    std::vector<std::string> texts;
    for (const auto &line : tap.since_mark())
        if (line.level == kez::log::kFatal) texts.push_back(line.text);
    return texts;
}

inline std::string assertion(const char *condition) { return std::string("Assertion failed: ") + condition; }

// The default table with counters and switchable failures (one thread at a
// time).
struct TestTable {
    static inline int disposed, locks, unlocks, set_size_calls;
    static inline std::size_t last_size;
    static inline int set_size_error;                          // returned instead of resizing when not 0
    static inline std::size_t refuse_above = ~std::size_t{0};  // larger sizes are refused before the heap sees them

    static void reset() {
        disposed = locks = unlocks = set_size_calls = set_size_error = 0;
        last_size = 0;
        refuse_above = ~std::size_t{0};
    }
    static core::MemHandle new_handle(std::size_t size) {
        last_size = size;
        return size > refuse_above ? nullptr : core::handle_new(size);
    }
    static int set_handle_size(core::MemHandle h, std::size_t size) {
        ++set_size_calls;
        last_size = size;
        if (set_size_error != 0) return set_size_error;
        return size > refuse_above ? core::kMgFullErr : core::handle_set_size(h, size);
    }
    static void dispose_handle(core::MemHandle h) { ++disposed, core::handle_dispose(h); }
    static void lock(core::MemHandle) { ++locks; }
    static void unlock(core::MemHandle) { ++unlocks; }
    static const core::MemFuncs *funcs() {
        static const core::MemFuncs table = {new_handle,        dispose_handle, set_handle_size, core::ptr_new_clear,
                                             core::ptr_dispose, lock,           unlock,          core::handle_size};
        return &table;
    }
};

struct ListDeleter {
    void operator()(core::HandleRecord *list) const { core::LDiscard(list); }
};
using ListPtr = std::unique_ptr<core::HandleRecord, ListDeleter>;

inline ListPtr make_list(int item_size, int capacity = 0, const core::MemFuncs *funcs = nullptr) {
    return ListPtr(
        core::LCreateWithOptions(item_size, 0, capacity, funcs != nullptr ? funcs : core::list_memory_functions()));
}

template <typename T>
std::vector<T> contents(core::ListHandle list) {
    std::vector<T> items(static_cast<std::size_t>(core::list_header(list)->numItems));
    if (!items.empty()) std::memcpy(items.data(), core::list_items(list), items.size() * sizeof(T));
    return items;
}

template <typename T>
void append_all(core::ListHandle list, const std::vector<T> &items) {
    for (const T &item : items) ASSERT_EQ(core::LInsertItem(list, &item, core::kEndOfList), 0);
}

inline int compare_ints(const void *a, const void *b) {
    const int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}

}  // namespace kez::test
