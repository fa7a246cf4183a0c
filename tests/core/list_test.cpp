// The list container, its default handle memory and the quicksort under
// LQuickSort: positions and searches against a vector model, growth and its
// failures, the front marker, ordered insert, sizes past what a list can
// address, threads, and sorting against std::sort with its stack bound.
#include "core/list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/handle_memory.h"
#include "core/quick_sort.h"
#include "os/fault.h"
#include "support/log_tap.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"
#include "log/log.h"

namespace {

using namespace kez::core;
using namespace kez::test;
using Ints = std::vector<int>;
using Texts = std::vector<std::string>;
using Lines = std::vector<std::pair<unsigned, std::string>>;  // level, text

// A tap of this program alone, in a temporary directory removed at exit.
const std::string &list_tap() {
    struct Tap {
        TempDir dir;
        std::string path = dir.file("kez_list_tests.log");
        Tap() { kez::log::open_test_tap_at(path.c_str()); }
        ~Tap() { kez::log::close_test_tap(); }
    };
    static const Tap tap;
    return tap.path;
}

Lines logged(const TapReader &tap) {
    Lines lines;
    for (const auto &l : tap.since_mark()) lines.emplace_back(l.level, l.text);
    return lines;
}

Texts assertions_since(const TapReader &tap) {
    Texts texts;
    for (const auto &[level, text] : logged(tap))
        if (level == kez::log::kFatal) texts.push_back(text);
    return texts;
}

std::string assertion(const char *condition) { return std::string("Assertion failed: ") + condition; }

// The default table with counters and switchable failures (one thread at a time).
struct TableState {
    int disposed = 0, locks = 0, unlocks = 0, set_size_calls = 0, set_size_error = 0;  // error: instead of resizing
    std::size_t last_size = 0, refuse_above = SIZE_MAX;  // larger sizes are refused before the heap sees them
} g_table;
const MemFuncs kCountingFuncs = {
    [](std::size_t size) { return (g_table.last_size = size) > g_table.refuse_above ? nullptr : handle_new(size); },
    [](MemHandle h) { ++g_table.disposed, handle_dispose(h); },
    [](MemHandle h, std::size_t size) {
        ++g_table.set_size_calls;
        return g_table.set_size_error != 0                         ? g_table.set_size_error
               : (g_table.last_size = size) > g_table.refuse_above ? int{kMgFullErr}
                                                                   : handle_set_size(h, size);
    },
    ptr_new_clear,
    ptr_dispose,
    [](MemHandle) { ++g_table.locks; },
    [](MemHandle) { ++g_table.unlocks; },
    handle_size};

using ListPtr = std::unique_ptr<HandleRecord, decltype([](HandleRecord *list) { LDiscard(list); })>;

ListPtr make_list(int item_size, int capacity = 0, const MemFuncs *funcs = nullptr) {
    return ListPtr(LCreateWithOptions(item_size, 0, capacity, funcs != nullptr ? funcs : list_memory_functions()));
}

// A list of ints, through the counting table unless told otherwise.
ListPtr ints(const Ints &items, const MemFuncs *funcs = &kCountingFuncs) {
    auto list = make_list(sizeof(int), 0, funcs);
    for (const int &item : items) EXPECT_EQ(LInsertItem(list.get(), &item, kEndOfList), 0);
    return list;
}

template <typename T>
std::vector<T> contents(ListHandle list) {
    std::vector<T> items(static_cast<std::size_t>(list_header(list)->numItems));
    if (!items.empty()) std::memcpy(items.data(), list_items(list), items.size() * sizeof(T));
    return items;
}

int compare_ints(const void *a, const void *b) {
    const int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}

class List : public testing::Test {
  protected:
    void SetUp() override {
        g_table = {};
        tap.mark();
    }
    TapReader tap{list_tap()};
};

struct Item {
    int a, b, c;
    bool operator==(const Item &) const = default;
};

int compare_items_ab(const void *key, const void *item) {
    const auto *x = static_cast<const Item *>(key);
    const auto *y = static_cast<const Item *>(item);
    return x->a != y->a ? (x->a < y->a ? -1 : 1) : (x->b > y->b) - (x->b < y->b);
}

// The 0-based index a position names in a list of n items (-1: invalid).
int read_index(int position, int n) {
    if (n == 0 || position < kFrontOfList || position > n) return -1;
    return position == kFrontOfList ? 0 : position == kEndOfList ? n - 1 : position - 1;
}
int insert_index(int position, int n) {
    if (position < kFrontOfList || position > n + 1) return -1;
    return position == kEndOfList || position == n + 1 ? n : position == kFrontOfList ? 0 : position - 1;
}

// What LFindItemInRange gives; *bad when it reports a bad argument.
int model_find(const std::vector<Item> &items, const Item &key, int start, int end, bool with_compare, bool *bad) {
    const int n = static_cast<int>(items.size());
    *bad = false;
    if (n == 0) return 0;
    auto resolve = [n](int p) { return p == kFrontOfList ? 1 : p == kEndOfList ? n : p; };
    start = resolve(start);
    end = resolve(end);
    if (start < 1 || start > n || end < 1 || end > n) return *bad = true, 0;
    for (int p = start, step = start <= end ? 1 : -1;; p += step) {
        const Item &item = items[static_cast<std::size_t>(p - 1)];
        if (with_compare ? compare_items_ab(&key, &item) == 0 : key == item) return p;
        if (p == end) return 0;
    }
}

TEST_F(List, RandomOperationsAtEveryPositionMatchAVector) {
    std::mt19937 rng(20240601);
    auto list = make_list(sizeof(Item));
    ASSERT_NE(list, nullptr);
    std::vector<Item> model;
    std::size_t expected_assertions = 0;
    const Item sentinel{-7, -7, -7};
    for (int step = 0; step < 12000; ++step) {
        const int n = static_cast<int>(model.size());
        const int position = std::uniform_int_distribution<int>(-2, n + 2)(rng);
        const int capacity_before = list_header(list.get())->capacity;
        bool valid = true;
        SCOPED_TRACE(testing::Message() << "step " << step << ", position " << position << " of " << n);
        switch (rng() % 4) {
            case 0: {
                const Item item{step, static_cast<int>(rng() % 5), -step};
                const int index = insert_index(position, n);
                valid = index >= 0;
                ASSERT_EQ(LInsertItem(list.get(), &item, position), valid ? 0 : 1);
                if (valid) model.insert(model.begin() + index, item);
                break;
            }
            case 1: {
                Item out = sentinel;
                const bool with_destination = rng() % 2 == 0;
                const int index = read_index(position, n);
                LRemoveItem(list.get(), with_destination ? &out : nullptr, position);
                valid = index >= 0;
                ASSERT_EQ(out, valid && with_destination ? model[static_cast<std::size_t>(index)] : sentinel);
                if (valid) model.erase(model.begin() + index);
                break;
            }
            case 2: {
                Item out = sentinel;
                const int index = read_index(position, n);
                LGetItem(list.get(), &out, position);
                void *ptr = LGetPtrToItem(list.get(), position);
                valid = index >= 0;
                ASSERT_EQ(out, valid ? model[static_cast<std::size_t>(index)] : sentinel);
                ASSERT_EQ(ptr,
                          valid ? list_items(list.get()) + static_cast<std::size_t>(index) * sizeof(Item) : nullptr);
                if (!valid) ++expected_assertions;  // one for each of the two calls
                break;
            }
            default: {
                Item key{static_cast<int>(rng() % (step + 1)), static_cast<int>(rng() % 5), 0};
                if (n > 0 && rng() % 2 == 0) key = model[rng() % static_cast<unsigned>(n)];
                const bool to_end = rng() % 4 == 0;  // LFindItem searches to the end of the list
                const int end = to_end ? kEndOfList : std::uniform_int_distribution<int>(-2, n + 2)(rng);
                const ListCompareFn compare = rng() % 2 == 0 ? compare_items_ab : nullptr;
                bool bad = false;
                const int expected = model_find(model, key, position, end, compare != nullptr, &bad);
                ASSERT_EQ(to_end ? LFindItem(list.get(), &key, position, compare)
                                 : LFindItemInRange(list.get(), &key, position, end, compare),
                          expected)
                    << "to " << end;
                valid = !bad;
                break;
            }
        }
        if (!valid) {
            ++expected_assertions;
            ASSERT_EQ(list_header(list.get())->capacity, capacity_before);
        }
        ASSERT_GE(list_header(list.get())->capacity, capacity_before);  // never shrinks
        ASSERT_EQ(LNumItems(list.get()), static_cast<int>(model.size()));
        ASSERT_EQ(contents<Item>(list.get()), model);
    }
    EXPECT_EQ(assertions_since(tap).size(), expected_assertions);
}

TEST_F(List, BadArgumentsAreAssertedWithTheirConditions) {
    auto list = make_list(sizeof(int));
    int value = 5;
    LGetItem(list.get(), &value, 1);
    LRemoveItem(list.get(), &value, kEndOfList);
    EXPECT_EQ(value, 5);
    ASSERT_EQ(LInsertItem(list.get(), &value, kEndOfList), 0);
    LRemoveItem(list.get(), nullptr, 2);
    EXPECT_EQ(
        (Ints{LInsertItem(list.get(), nullptr, kEndOfList), LInsertItem(list.get(), &value, 3),
              LFindItemInRange(list.get(), &value, 2, 1, nullptr), LFindItemInRange(list.get(), &value, 1, -2, nullptr),
              LFindItemInRange(list.get(), nullptr, 1, 1, nullptr), LBinSearch(list.get(), &value, nullptr),
              LInsertItemInOrder(list.get(), &value, nullptr, 0),
              LInsertItemInOrder(list.get(), nullptr, compare_ints, 0)}),
        (Ints{1, 1, 0, 0, 0, 0, 1, 1}));
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[2].function, "LRemoveItem");
    EXPECT_EQ(lines[4].function, "LInsertItem");
    EXPECT_EQ(
        assertions_since(tap),  // every line FATAL
        (Texts{assertion("(*theList)->numItems > 0"), assertion("(*theList)->numItems > 0"),
               assertion("itemPosition >= kEndOfList && itemPosition <= (*theList)->numItems"),
               assertion("theItem != NULL"),
               assertion("itemPosition >= kFrontOfList && itemPosition <= (*theList)->numItems + 1"),
               assertion("StartingPosition >=1 && StartingPosition <= (*theList)->numItems"),
               assertion("EndingPosition >=1 && EndingPosition <= (*theList)->numItems"), assertion("key != NULL"),
               assertion("compareFunc != NULL"), assertion("compareFunc != NULL"), assertion("theItem != NULL")}));
    EXPECT_EQ(contents<int>(list.get()), Ints{5});
    tap.mark();  // a null destination is a warning, not an assertion
    LGetItem(list.get(), nullptr, 1);
    EXPECT_EQ(logged(tap), (Lines{{16, "Trying to get list item into NULL buffer."}}));
    // No list at all.
    tap.mark();
    int found = 9;
    LDiscard(nullptr);
    LDisposePtrList(nullptr, nullptr);
    LClear(nullptr);
    LGetItem(nullptr, &value, 1);
    LRemoveItem(nullptr, &value, 1);
    LQuickSort(nullptr, compare_ints);
    EXPECT_EQ(LGetPtrToItem(nullptr, 1), nullptr);
    EXPECT_FALSE(CheckSanity(nullptr));
    EXPECT_EQ(
        (Ints{LNumItems(nullptr), LInsertItem(nullptr, &value, 0), LFindItem(nullptr, &value, 1, nullptr),
              LBinSearch(nullptr, &value, compare_ints), LInsertItemInOrderEx(nullptr, &value, compare_ints, 1, &found),
              found, LIsSorted(nullptr, compare_ints), LPreAllocateItems(nullptr, 1), ExpandListSpace(nullptr, 0)}),
        (Ints{0, 1, 0, 0, 1, 0, 0, 1, 1}));
    EXPECT_EQ(assertions_since(tap), Texts(15, assertion("theList != NULL")));
}

TEST_F(List, CreateFillsTheHeaderAndRefusesBadArgumentsAndNoMemory) {
    ASSERT_EQ(list_memory_functions(), &kHandleMemoryFuncs);  // installed at start-up
    ListPtr list(LCreateWithOptions(12, 0x55, 7, &kHandleMemoryFuncs));
    ASSERT_NE(list, nullptr);
    const ListHeader h = *list_header(list.get());
    EXPECT_EQ(std::make_tuple(h.options, h.marker, h.growth, h.capacity, h.itemSize, h.numItems, h.memFuncs),
              std::make_tuple(0x55, 0xB00BDEEDu, 0x006E0004u, 7, 12, 0, &kHandleMemoryFuncs));
    EXPECT_EQ(handle_size(list.get()), 32u + 7 * 12);
    EXPECT_EQ(list_header(ListPtr(LCreate(3, 0)).get())->capacity, 0);

    EXPECT_EQ(LCreateWithOptions(4, 0, 0, nullptr), nullptr);
    EXPECT_EQ(LCreateWithOptions(0, 0, 0, &kHandleMemoryFuncs), nullptr);
    EXPECT_EQ(LCreateWithOptions(4, 0, -1, &kHandleMemoryFuncs), nullptr);
    const MemFuncs *installed = set_list_memory_functions(nullptr);
    EXPECT_EQ(LCreate(4, 0), nullptr);
    set_list_memory_functions(installed);
    EXPECT_EQ(assertions_since(tap),
              (Texts{assertion("memFuncsPtr is a required parameter"), assertion("itemSize > 0"),
                     assertion("initialCapacity >= 0"), assertion("memFuncsPtr is a required parameter")}));
    tap.mark();
    kez::fault::arm("handle_memory.block", 1);
    EXPECT_EQ(LCreate(4, 0), nullptr);
    EXPECT_EQ(logged(tap), (Lines{{16, "Failed to allocate list handle."}}));
}

TEST_F(List, TheGrowthRulePreAllocationClearAndInsertingAnItemOfTheListItself) {
    // An item of the list itself can be inserted while the block moves;
    // large items take the other copy path.
    for (int size : {8, 200}) {
        auto list = make_list(size);
        std::vector<unsigned char> item(static_cast<std::size_t>(size));
        for (int i = 0; i < 4; ++i) {
            std::fill(item.begin(), item.end(), static_cast<unsigned char>('a' + i));
            ASSERT_EQ(LInsertItem(list.get(), item.data(), kEndOfList), 0);
        }
        ASSERT_EQ(list_header(list.get())->capacity, 4);  // the next insert grows and moves the block
        ASSERT_EQ(LInsertItem(list.get(), LGetPtrToItem(list.get(), 2), kFrontOfList), 0);
        ASSERT_EQ(LInsertItem(list.get(), LGetPtrToItem(list.get(), 4), 3), 0);  // shifted by its own insert
        std::string firsts;
        for (int p = 1; p <= LNumItems(list.get()); ++p) {
            const auto *bytes = static_cast<const unsigned char *>(LGetPtrToItem(list.get(), p));
            for (int i = 1; i < size; ++i) ASSERT_EQ(bytes[i], bytes[0]);
            firsts += static_cast<char>(bytes[0]);
        }
        EXPECT_EQ(firsts, "bacbcd") << size;
    }

    auto list = make_list(sizeof(int));
    Ints seen;
    for (int i = 0; i < 1303; ++i) {
        ASSERT_EQ(LInsertItem(list.get(), &i, kEndOfList), 0);
        if (seen.empty() || seen.back() != list_header(list.get())->capacity)
            seen.push_back(list_header(list.get())->capacity);
    }
    EXPECT_EQ(seen, (Ints{4, 12, 29, 64, 138, 293, 619, 1303}));
    EXPECT_EQ(handle_size(list.get()), 32u + 1303 * 4);

    auto other = make_list(sizeof(int));
    const struct { int count, rc, capacity; } expands[] = {{0, 0, 4}, {7, 0, 11}, {-1, 1, 11}};
    for (const auto &e : expands) {
        EXPECT_EQ(ExpandListSpace(other.get(), e.count), e.rc) << e.count;
        EXPECT_EQ(list_header(other.get())->capacity, e.capacity) << e.count;
    }
    for (int i = 0; i < 5; ++i) ASSERT_EQ(LInsertItem(other.get(), &i, kEndOfList), 0);
    const struct { int count, capacity; } pre[] = {{6, 11}, {0, 11}, {-3, 11}, {10, 15}};  // only the missing slots
    for (const auto &p : pre) {
        EXPECT_EQ(LPreAllocateItems(other.get(), p.count), 0) << p.count;
        EXPECT_EQ(list_header(other.get())->capacity, p.capacity) << p.count;
    }
    const void *block = other.get()->block;  // the slots are there: ten inserts do not move the block
    for (int i = 0; i < 10; ++i) ASSERT_EQ(LInsertItem(other.get(), &i, kFrontOfList), 0);
    EXPECT_EQ(other.get()->block, block);
    LClear(other.get());
    EXPECT_EQ(std::make_pair(LNumItems(other.get()), list_header(other.get())->capacity), std::make_pair(0, 15));
    // A rule that adds nothing still adds one slot.
    auto flat = make_list(sizeof(int));
    list_header(flat.get())->growth = 0;
    EXPECT_EQ(LInsertItem(flat.get(), &seen[0], kEndOfList), 0);
    EXPECT_EQ(list_header(flat.get())->capacity, 1);
    EXPECT_EQ(assertions_since(tap),
              (Texts{assertion("numItemsToAdd >= 0"), assertion("Expected list to expand with more items.")}));
}

TEST_F(List, FailedGrowthKeepsItemsAndCapacityAndIsLogged) {
    auto list = ints({1, 3, 5, 7});
    ASSERT_EQ(list_header(list.get())->capacity, 4);
    const void *block = list.get()->block;
    g_table.set_size_error = 2;
    const int four = 4, five = 5;
    int found = -1;
    // A duplicate that is not wanted needs no memory: 0, found.
    EXPECT_EQ((Ints{LInsertItem(list.get(), &four, kFrontOfList),
                    LInsertItemInOrderEx(list.get(), &four, compare_ints, 1, &found), found,
                    LInsertItemInOrderEx(list.get(), &five, compare_ints, 0, &found), found,
                    LPreAllocateItems(list.get(), 1), ExpandListSpace(list.get(), 0)}),
              (Ints{2, 2, 0, 0, 1, 2, 2}));
    g_table.set_size_error = 18;  // any code of the table goes back unchanged
    EXPECT_EQ(LInsertItem(list.get(), &five, kEndOfList), 18);
    EXPECT_EQ(list.get()->block, block);
    EXPECT_EQ(list_header(list.get())->capacity, 4);
    EXPECT_EQ(contents<int>(list.get()), (Ints{1, 3, 5, 7}));
    const std::pair<unsigned, std::string> err2{16, "MgErr = 2"}, failed{16, "Failed to expand list to 12 items."};
    EXPECT_EQ(logged(tap), (Lines{err2, failed, err2, failed, err2, err2, err2, {16, "MgErr = 18"}, failed}));
    // The real heap refusing: the same, through the default table.
    auto plain = ints({1, 2, 3, 4}, &kHandleMemoryFuncs);
    kez::fault::arm("handle_memory.block", 1);
    EXPECT_EQ(LInsertItem(plain.get(), &five, 2), 2);
    EXPECT_EQ(contents<int>(plain.get()), (Ints{1, 2, 3, 4}));
    EXPECT_EQ(LInsertItem(plain.get(), &five, 2), 0);
    EXPECT_EQ(contents<int>(plain.get()), (Ints{1, 5, 2, 3, 4}));
    // Disposing visits every item, then gives the handle back.
    static Ints visited;
    visited.clear();
    LDisposePtrList(list.release(), [](void *item) { visited.push_back(*static_cast<int *>(item)); });
    EXPECT_EQ(visited, (Ints{1, 3, 5, 7}));
    EXPECT_EQ(g_table.disposed, 1);
}

TEST_F(List, AnOverwrittenMarkerIsLoggedAndEveryOperationRefuses) {
    auto list = ints({1, 2, 3});
    ListHeader *h = list_header(list.get());
    h->marker = 0x12345678;
    const int set_size_calls = g_table.set_size_calls;
    tap.mark();
    EXPECT_EQ(LNumItems(list.get()), 0);
    EXPECT_EQ(logged(tap), (Lines{{8, "Error, front of list overwritten, expect 0xb00bdeed, but found 0x12345678"},
                                  {64, assertion("CheckSanity(theList)")}}));
    EXPECT_EQ(tap.since_mark().at(1).function, "LNumItems");

    const int value = 9;
    int out = -1, found = -1;
    EXPECT_EQ((Ints{LInsertItem(list.get(), &value, kEndOfList),
                    LInsertItemInOrderEx(list.get(), &value, compare_ints, 1, &found), found,
                    LPreAllocateItems(list.get(), 100), ExpandListSpace(list.get(), 0),
                    LFindItem(list.get(), &value, 1, nullptr), LBinSearch(list.get(), &value, compare_ints),
                    LIsSorted(list.get(), compare_ints)}),
              (Ints{45, 45, 0, 45, 45, 0, 0, 0}));
    LGetItem(list.get(), &out, 1);
    EXPECT_EQ(LGetPtrToItem(list.get(), 1), nullptr);
    LRemoveItem(list.get(), &out, 1);
    LClear(list.get());
    LQuickSort(list.get(), compare_ints);
    LDiscard(list.get());  // refused: this is no list any more
    EXPECT_EQ(out, -1);
    EXPECT_EQ(std::make_tuple(g_table.disposed, g_table.locks, g_table.set_size_calls),
              std::make_tuple(0, 0, set_size_calls));
    const auto asserted = assertions_since(tap);
    EXPECT_EQ(asserted.size(), 14u);
    EXPECT_EQ(asserted.back(), assertion("CheckEitherByteOrderSanity(theList)"));

    h->marker = kListMarker;  // repaired, the list is as it was
    EXPECT_EQ(h->capacity, 4);
    EXPECT_EQ(contents<int>(list.get()), (Ints{1, 2, 3}));
    list.reset();
    EXPECT_EQ(g_table.disposed, 1);
    // A byte-swapped marker is refused too, but the list can still be disposed.
    list = ints({});
    list_header(list.get())->marker = 0xEDDE0BB0;
    tap.mark();
    EXPECT_EQ(LNumItems(list.get()), 0);
    EXPECT_TRUE(tap.contains_since_mark("Error, front of list overwritten, expect 0xb00bdeed, but found 0xedde0bb0"));
    tap.mark();
    list.reset();
    EXPECT_EQ(g_table.disposed, 2);
    EXPECT_TRUE(tap.since_mark().empty());
    // Damage during an operation, and a header that disagrees with its block.
    list = ints({1, 2, 3});
    h = list_header(list.get());
    static ListHandle victim;
    victim = list.get();
    tap.mark();
    const int key = 2;
    EXPECT_EQ(LFindItem(list.get(), &key, 1,
                        [](const void *k, const void *item) {
                            list_header(victim)->marker = 0;  // the compare function writes over the block's front
                            return compare_ints(k, item);
                        }),
              0);
    h->marker = kListMarker;
    h->numItems = 5;  // more than the capacity of 4
    EXPECT_FALSE(CheckSanity(list.get()));
    h->numItems = 3;
    h->capacity = 1000;  // more than the block holds
    EXPECT_EQ(LInsertItem(list.get(), &key, kEndOfList), 45);
    h->capacity = 4;
    h->memFuncs = nullptr;  // no table to grow with
    EXPECT_EQ(LPreAllocateItems(list.get(), 2), 1);
    EXPECT_EQ(assertions_since(tap), (Texts{assertion("CheckSanity(theList)"), assertion("CheckSanity(theList)"),
                                            assertion("(*list)->memFuncs")}));
    h->memFuncs = &kCountingFuncs;
    EXPECT_EQ(contents<int>(list.get()), (Ints{1, 2, 3}));
}

TEST_F(List, BinarySearchLocksTheHandleAndOrderedInsertPutsDuplicatesFirst) {
    const int missing = 4;
    EXPECT_EQ(LBinSearch(ints({}).get(), &missing, compare_ints), 0);
    Ints values(101);
    for (int i = 0; i < 101; ++i) values[static_cast<std::size_t>(i)] = i * 3;
    auto list = ints(values);
    for (int i = 0; i < 101; ++i)
        EXPECT_EQ(LBinSearch(list.get(), &values[static_cast<std::size_t>(i)], compare_ints), i + 1);
    for (int v : {-1, 1, 151, 302, 400}) EXPECT_EQ(LBinSearch(list.get(), &v, compare_ints), 0) << v;
    EXPECT_EQ(std::make_pair(g_table.locks, g_table.unlocks), std::make_pair(1 + 101 + 5, 1 + 101 + 5));
    // Ordered insert (rows: item, duplicates allowed, found) puts duplicates before the equal item.
    using Keyed = std::array<int, 2>;  // key, tag
    auto keyed = make_list(sizeof(Keyed));
    const std::tuple<Keyed, int, int> steps[] = {{{10, 0}, 0, 0}, {{20, 0}, 0, 0}, {{30, 0}, 1, 0}, {{20, 1}, 1, 1},
                                                 {{5, 2}, 0, 0},  {{40, 2}, 1, 0}, {{25, 2}, 0, 0}, {{20, 3}, 0, 1},
                                                 {{40, 3}, 0, 1}, {{5, 3}, 1, 1},  {{45, 4}, 0, 0}};
    for (const auto &[item, duplicates, expected] : steps) {
        int found = -1;
        ASSERT_EQ(LInsertItemInOrderEx(keyed.get(), &item, compare_ints, duplicates, &found), 0);
        EXPECT_EQ(found, expected) << item[0] << "/" << item[1];
    }
    EXPECT_EQ(contents<Keyed>(keyed.get()),
              (std::vector<Keyed>{{5, 3}, {5, 2}, {10, 0}, {20, 1}, {20, 0}, {25, 2}, {30, 0}, {40, 2}, {45, 4}}));
    EXPECT_EQ(LIsSorted(keyed.get(), compare_ints), 1);
}

TEST_F(List, SizesPastThirtyTwoBitsAreComputedWithoutWrapping) {
    // 20,000,000 x 110 overflows 32 bits; the list must still grow to
    // 20,000,000 + 22,000,000 + 4 slots, in a block that really holds them.
    auto list = make_list(1, 20'000'000, &kCountingFuncs);
    ASSERT_NE(list, nullptr);
    list_header(list.get())->numItems = 20'000'000;  // the block is zero-filled
    const unsigned char item = 0x5A;
    ASSERT_EQ(LInsertItem(list.get(), &item, kEndOfList), 0);
    EXPECT_EQ(list_header(list.get())->capacity, 42'000'004);
    EXPECT_EQ(g_table.last_size, 32u + 42'000'004u);
    EXPECT_EQ(handle_size(list.get()), 32u + 42'000'004u);
    EXPECT_EQ(*static_cast<unsigned char *>(LGetPtrToItem(list.get(), kEndOfList)), 0x5A);
    EXPECT_EQ(*static_cast<unsigned char *>(LGetPtrToItem(list.get(), 20'000'000)), 0);
    list.reset();
    // Blocks past 4 GB are asked for in full; a capacity past 31 bits fails
    // without asking for memory.
    g_table.refuse_above = std::size_t{1} << 30;
    tap.mark();
    EXPECT_EQ(LCreateWithOptions(65536, 0, 65536, &kCountingFuncs), nullptr);  // wraps to 0 in 32 bits
    EXPECT_EQ(g_table.last_size, 32u + (std::uint64_t{1} << 32));
    EXPECT_TRUE(tap.contains_since_mark("Failed to allocate list handle."));
    auto wide = make_list(1 << 20, 0, &kCountingFuncs);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(ExpandListSpace(wide.get(), 4096), 2);
    EXPECT_EQ(g_table.last_size, 32u + (std::uint64_t{4096} << 20));
    EXPECT_EQ(list_header(wide.get())->capacity, 0);
    auto widest = make_list(INT_MAX, 0, &kCountingFuncs);
    ASSERT_NE(widest, nullptr);
    const std::vector<char> bytes(16, 'x');  // only the growth is reached
    EXPECT_EQ(LInsertItem(widest.get(), bytes.data(), kEndOfList), 2);
    EXPECT_EQ(g_table.last_size, 32u + 4ull * INT_MAX);
    EXPECT_EQ(list_header(widest.get())->capacity, 0);

    auto small = ints({1, 2, 3});  // capacity 4
    const int calls = g_table.set_size_calls;
    tap.mark();
    EXPECT_EQ(ExpandListSpace(small.get(), INT_MAX), 2);
    EXPECT_EQ(LPreAllocateItems(small.get(), INT_MAX), 2);
    EXPECT_EQ(LPreAllocateItems(small.get(), INT_MAX - 2), 2);  // one slot past
    EXPECT_EQ(g_table.set_size_calls, calls);
    EXPECT_EQ(LPreAllocateItems(small.get(), INT_MAX - 3), 2);  // the largest capacity is asked for
    EXPECT_EQ(g_table.set_size_calls, calls + 1);
    EXPECT_EQ(g_table.last_size, 32u + 4ull * INT_MAX);
    EXPECT_EQ(list_header(small.get())->capacity, 4);
    EXPECT_EQ(contents<int>(small.get()), (Ints{1, 2, 3}));
    EXPECT_EQ(logged(tap), Lines(4, {16, "MgErr = 2"}));
}

TEST(ListThreads, ListsOfDifferentThreadsAndOneGuardedSharedList) {
    Watchdog watchdog(std::chrono::seconds(120), "list threads");
    auto shared = make_list(sizeof(int));
    std::mutex shared_lock;
    constexpr int kThreads = 4, kRounds = 4000;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            ListHandle own = LCreate(sizeof(int), 0);
            Ints model;
            int &failed = failures[static_cast<std::size_t>(t)];
            for (int round = 0; round < kRounds; ++round) {
                const int value = t * kRounds + round;
                if (rng() % 3 != 0 || model.empty()) {
                    failed += LInsertItemInOrder(own, &value, compare_ints, 1) != 0;
                    model.insert(std::lower_bound(model.begin(), model.end(), value), value);
                } else {
                    LRemoveItem(own, nullptr, kFrontOfList);
                    model.erase(model.begin());
                }
                std::lock_guard<std::mutex> guard(shared_lock);
                failed += LInsertItemInOrder(shared.get(), &value, compare_ints, 0) != 0;
            }
            failed += contents<int>(own) != model;
            LDiscard(own);
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures, Ints(kThreads, 0));
    const auto all = contents<int>(shared.get());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kRounds));
    for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], static_cast<int>(i));
}

// ---- sorting ----------------------------------------------------------------

std::size_t g_item_size = 4;
long g_compares = 0;

int compare_bytes(const void *a, const void *b) { return ++g_compares, std::memcmp(a, b, g_item_size); }
int compare_ints_counted(const void *a, const void *b) { return ++g_compares, compare_ints(a, b); }

// Items of `size` bytes whose byte order is the order of their value: the
// value big-endian in the first bytes (truncated for sizes below 4), then
// filler that depends on the value alone, so equal values give equal items.
std::vector<unsigned char> encode(const std::vector<std::uint32_t> &values, std::size_t size, bool sorted = false) {
    const std::uint32_t mask = size >= 4 ? ~0u : (1u << (8 * size)) - 1;
    std::vector<std::uint32_t> keys(values.size());
    std::transform(values.begin(), values.end(), keys.begin(), [mask](std::uint32_t v) { return v & mask; });
    if (sorted) std::sort(keys.begin(), keys.end());
    std::vector<unsigned char> bytes(values.size() * size);
    const std::size_t key = std::min<std::size_t>(size, 4);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        unsigned char *item = bytes.data() + i * size;
        for (std::size_t j = 0; j < key; ++j) item[j] = static_cast<unsigned char>(keys[i] >> (8 * (key - 1 - j)));
        for (std::size_t j = key; j < size; ++j)
            item[j] = static_cast<unsigned char>((keys[i] * 2654435761u) >> (j % 4 * 8));
    }
    return bytes;
}

// Sorts through a list and through the plain function (on items at an odd
// address, between guard bytes); both must give std::sort's sequence, and
// the pending ranges must stay within log2(n) or the smaller stack given.
void check_sort(const std::vector<std::uint32_t> &values, std::size_t size, const std::string &what,
                int max_pending = 0) {
    SCOPED_TRACE(what);
    g_item_size = size;
    const std::vector<unsigned char> expected = encode(values, size, true), input = encode(values, size);
    const std::size_t n = values.size();

    auto list = make_list(static_cast<int>(size));
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(LInsertItem(list.get(), input.data() + i * size, kEndOfList), 0);
    LQuickSort(list.get(), compare_bytes);
    ASSERT_EQ(LNumItems(list.get()), static_cast<int>(n));
    ASSERT_TRUE(n == 0 || std::memcmp(list_items(list.get()), expected.data(), expected.size()) == 0);

    std::vector<unsigned char> buffer(input.size() + 3, 0xEE);
    std::copy(input.begin(), input.end(), buffer.begin() + 1);
    QuickSortStats stats;
    if (max_pending > 0)
        quick_sort_limited(buffer.data() + 1, n, size, compare_bytes, max_pending, &stats);
    else
        quick_sort(buffer.data() + 1, n, size, compare_bytes, &stats);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin() + 1));
    EXPECT_EQ(buffer.front(), 0xEE);
    EXPECT_EQ(buffer[buffer.size() - 2], 0xEE);
    const int bound = n < 2 ? 0 : static_cast<int>(std::floor(std::log2(static_cast<double>(n))));
    EXPECT_LE(stats.max_pending, max_pending > 0 ? max_pending : bound) << n << " items";
}

TEST(ListSort, EveryItemSizeAndInputShapeGivesStdSortsSequence) {
    const char *const patterns[] = {"random", "sorted", "reversed", "all-equal", "organ-pipe"};
    std::mt19937 rng(99);
    auto values = [&rng](int pattern, std::uint32_t n) {
        std::vector<std::uint32_t> v(n);
        for (std::uint32_t i = 0; i < n; ++i)
            v[i] = std::array<std::uint32_t, 5>{static_cast<std::uint32_t>(rng()), i, n - i, 42u,
                                                i < n / 2 ? i : n - i}[static_cast<std::size_t>(pattern)];
        return v;
    };
    for (std::size_t size : {1, 2, 3, 4, 8, 12, 24})
        for (int p = 0; p < 5; ++p)
            for (std::uint32_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 17, 31, 100, 1000, 3000})
                check_sort(values(p, n), size,
                           std::string(patterns[p]) + ", size " + std::to_string(size) + ", " + std::to_string(n));
    // Many items, few distinct values: the partitions that degrade first.
    std::vector<std::uint32_t> few(100000);
    for (auto &v : few) v = static_cast<std::uint32_t>(rng() % 3);
    check_sort(few, 8, "three values");
    check_sort(values(4, 100000), 24, "organ pipe 100000");
    TapReader tap(list_tap());  // a full stack finishes a range by insertion
    check_sort(values(0, 3000), 8, "a stack of one range", 1);
    EXPECT_EQ(assertions_since(tap).at(0),
              "Assertion failed: depth < maxPending (Sort stack full, finishing a range by insertion)");
}

TEST(ListSort, ASortedListIsOnlyChecked) {
    auto list = ints({});
    for (int i = 0; i < 500; ++i) ASSERT_EQ(LInsertItem(list.get(), &i, kEndOfList), 0);
    const void *block = list.get()->block;
    g_compares = 0;
    LQuickSort(list.get(), compare_ints_counted);
    EXPECT_EQ(g_compares, 499);
    EXPECT_EQ(list.get()->block, block);
    EXPECT_EQ(LIsSorted(list.get(), compare_ints_counted), 1);
    const int smaller = -1;
    ASSERT_EQ(LInsertItem(list.get(), &smaller, kEndOfList), 0);
    EXPECT_EQ(LIsSorted(list.get(), compare_ints_counted), 0);
    EXPECT_EQ(LIsSorted(ints({}).get(), compare_ints_counted), 1);
    EXPECT_EQ(LIsSorted(ints({-1}).get(), compare_ints_counted), 1);
}

// ---- handle memory, the default table ---------------------------------------

bool all_zero(const void *p, std::size_t n) {
    const auto *bytes = static_cast<const unsigned char *>(p);
    return std::all_of(bytes, bytes + n, [](unsigned char b) { return b == 0; });
}

TEST(HandleMemory, BlocksAreZeroFilledEverySizeChangeMovesThemAndFailuresChangeAndLeakNothing) {
    MemHandle empty = handle_new(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->block, nullptr);
    EXPECT_EQ(handle_size(empty), 0u);
    handle_dispose(empty);
    handle_dispose(nullptr);
    EXPECT_EQ(handle_size(nullptr), 0u);
    EXPECT_EQ(handle_set_size(nullptr, 10), 0);

    MemHandle h = handle_new(8);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(handle_size(h), 8u);
    EXPECT_TRUE(all_zero(h->block, 8));
    std::memcpy(h->block, "abcdefgh", 8);
    // A new size moves the block (an unchanged one does nothing), keeps what fits and zero-fills the rest.
    // Rows: size, what the block then starts with.
    const std::pair<std::size_t, const char *> sizes[] = {
        {8, "abcdefgh"}, {64, "abcdefgh"}, {3, "abc"}, {0, ""}, {5, ""}};
    for (const auto &[size, kept] : sizes) {
        SCOPED_TRACE(size);
        const void *before = h->block;
        const std::size_t n = std::strlen(kept);
        ASSERT_EQ(handle_set_size(h, size), 0);
        EXPECT_EQ(std::make_pair(h->block == before, handle_size(h)), std::make_pair(size == 8, size));
        EXPECT_TRUE(size == 0
                        ? h->block == nullptr
                        : std::memcmp(h->block, kept, n) == 0 && all_zero(static_cast<char *>(h->block) + n, size - n));
    }
    std::memcpy(h->block, "vwxyz", 5);
    void *kept = h->block;
    kez::fault::arm("handle_memory.block", 1);
    EXPECT_EQ(handle_set_size(h, 4096), kMgFullErr);  // no memory leaves the handle as it was
    EXPECT_EQ(std::make_pair(h->block, h->size), std::make_pair(kept, std::size_t{5}));
    EXPECT_EQ(std::memcmp(h->block, "vwxyz", 5), 0);
    handle_dispose(h);

    EXPECT_EQ(ptr_new_clear(0), nullptr);
    void *p = ptr_new_clear(32);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(all_zero(p, 32));
    EXPECT_EQ(ptr_dispose(p), 0);
    EXPECT_EQ(ptr_dispose(nullptr), 0);
    // The record of a handle whose block cannot be had is freed again (ASan sees a leak).
    for (auto make : {+[] { return static_cast<void *>(handle_new(16)); }, +[] { return ptr_new_clear(16); }}) {
        kez::fault::arm("handle_memory.block", 1);
        EXPECT_EQ(make(), nullptr);
    }
}

}  // namespace
