// The list container: positions against a vector model, growth and its
// failures, the front marker, searches and ordered insert, and sizes past
// what a list can address.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <tuple>
#include <thread>
#include <vector>

#include "core/list_test_support.h"
#include "os/fault.h"
#include "support/watchdog.h"

namespace {

using namespace kez::core;
using kez::test::append_all;
using kez::test::assertion;
using kez::test::assertions_since;
using kez::test::compare_ints;
using kez::test::contents;
using kez::test::list_tap;
using kez::test::make_list;
using kez::test::TapReader;
using kez::test::TestTable;

struct Item {
    int a;
    int b;
    int c;
    bool operator==(const Item &) const = default;
};
static_assert(sizeof(Item) == 12);

int compare_items_ab(const void *key, const void *item) {
    const auto *x = static_cast<const Item *>(key);
    const auto *y = static_cast<const Item *>(item);
    if (x->a != y->a) return x->a < y->a ? -1 : 1;
    return (x->b > y->b) - (x->b < y->b);
}

// ---- against a vector -----------------------------------------------------

struct Model {
    std::vector<Item> items;
    int n() const { return static_cast<int>(items.size()); }
    // The 0-based index a reading position names, or -1 when it is invalid.
    int read_index(int position) const {
        if (items.empty() || position < kFrontOfList || position > n()) return -1;
        if (position == kFrontOfList) return 0;
        if (position == kEndOfList) return n() - 1;
        return position - 1;
    }
    int insert_index(int position) const {
        if (position < kFrontOfList || position > n() + 1) return -1;
        if (position == kEndOfList || position == n() + 1) return n();
        return position == kFrontOfList ? 0 : position - 1;
    }
    // What LFindItemInRange gives, and whether it reports a bad argument.
    int find(const Item &key, int start, int end, bool with_compare, bool *bad) const {
        *bad = false;
        if (items.empty()) return 0;
        auto resolve_position = [&](int p) { return p == kFrontOfList ? 1 : p == kEndOfList ? n() : p; };
        start = resolve_position(start);
        end = resolve_position(end);
        if (start < 1 || start > n() || end < 1 || end > n()) {
            *bad = true;
            return 0;
        }
        const int step = start <= end ? 1 : -1;
        for (int p = start;; p += step) {
            const Item &item = items[static_cast<std::size_t>(p - 1)];
            if (with_compare ? compare_items_ab(&key, &item) == 0 : key == item) return p;
            if (p == end) return 0;
        }
    }
};

TEST(ListModel, RandomOperationsAtEveryPositionMatchAVector) {
    TapReader tap(list_tap());
    std::mt19937 rng(20240601);
    auto list = make_list(sizeof(Item));
    ASSERT_NE(list, nullptr);
    Model model;
    std::size_t expected_assertions = 0;
    const Item sentinel{-7, -7, -7};
    for (int step = 0; step < 12000; ++step) {
        const int n = model.n();
        const int position = std::uniform_int_distribution<int>(-2, n + 2)(rng);
        const int capacity_before = list_header(list.get())->capacity;
        bool valid = true;
        switch (rng() % 4) {
            case 0: {
                const Item item{step, static_cast<int>(rng() % 5), -step};
                const int index = model.insert_index(position);
                const int rc = LInsertItem(list.get(), &item, position);
                valid = index >= 0;
                if (valid) {
                    ASSERT_EQ(rc, 0) << "insert at " << position << " of " << n;
                    model.items.insert(model.items.begin() + index, item);
                } else {
                    ASSERT_EQ(rc, 1) << "insert at " << position << " of " << n;
                }
                break;
            }
            case 1: {
                Item out = sentinel;
                const bool with_destination = rng() % 2 == 0;
                const int index = model.read_index(position);
                LRemoveItem(list.get(), with_destination ? &out : nullptr, position);
                valid = index >= 0;
                if (valid) {
                    if (with_destination) {
                        ASSERT_EQ(out, model.items[static_cast<std::size_t>(index)]);
                    }
                    model.items.erase(model.items.begin() + index);
                } else {
                    ASSERT_EQ(out, sentinel);
                }
                break;
            }
            case 2: {
                Item out = sentinel;
                const int index = model.read_index(position);
                LGetItem(list.get(), &out, position);
                void *ptr = LGetPtrToItem(list.get(), position);
                valid = index >= 0;
                if (valid) {
                    ASSERT_EQ(out, model.items[static_cast<std::size_t>(index)]);
                    ASSERT_EQ(ptr, list_items(list.get()) + static_cast<std::size_t>(index) * sizeof(Item));
                } else {
                    ASSERT_EQ(out, sentinel);
                    ASSERT_EQ(ptr, nullptr);
                    ++expected_assertions;  // one for each of the two calls
                }
                break;
            }
            default: {
                Item key{static_cast<int>(rng() % (step + 1)), static_cast<int>(rng() % 5), 0};
                if (n > 0 && rng() % 2 == 0) key = model.items[rng() % static_cast<unsigned>(n)];
                const int end = std::uniform_int_distribution<int>(-2, n + 2)(rng);
                const bool with_compare = rng() % 2 == 0;
                bool bad = false;
                const int expected = model.find(key, position, end, with_compare, &bad);
                ASSERT_EQ(LFindItemInRange(list.get(), &key, position, end, with_compare ? compare_items_ab : nullptr),
                          expected)
                    << position << " to " << end << " of " << n;
                valid = !bad;
                break;
            }
        }
        if (!valid) {
            ++expected_assertions;
            ASSERT_EQ(list_header(list.get())->capacity, capacity_before);
        }
        ASSERT_GE(list_header(list.get())->capacity, capacity_before);  // never shrinks
        ASSERT_EQ(LNumItems(list.get()), model.n());
        ASSERT_EQ(contents<Item>(list.get()), model.items) << "after step " << step;
    }
    EXPECT_EQ(assertions_since(tap).size(), expected_assertions);
}

TEST(ListPositions, BadArgumentsAreAssertedWithTheirConditions) {
    auto list = make_list(sizeof(int));
    int value = 5;
    TapReader tap(list_tap());
    LGetItem(list.get(), &value, 1);
    LRemoveItem(list.get(), &value, kEndOfList);
    EXPECT_EQ(value, 5);
    ASSERT_EQ(LInsertItem(list.get(), &value, kEndOfList), 0);
    LRemoveItem(list.get(), nullptr, 2);
    EXPECT_EQ(LInsertItem(list.get(), nullptr, kEndOfList), 1);
    EXPECT_EQ(LInsertItem(list.get(), &value, 3), 1);
    EXPECT_EQ(LFindItemInRange(list.get(), &value, 2, 1, nullptr), 0);
    EXPECT_EQ(LFindItemInRange(list.get(), &value, 1, -2, nullptr), 0);
    EXPECT_EQ(LFindItemInRange(list.get(), nullptr, 1, 1, nullptr), 0);
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[2].function, "LRemoveItem");
    EXPECT_EQ(lines[4].function, "LInsertItem");
    EXPECT_EQ(assertions_since(tap),
              (std::vector<std::string>{
                  assertion("(*theList)->numItems > 0"), assertion("(*theList)->numItems > 0"),
                  assertion("itemPosition >= kEndOfList && itemPosition <= (*theList)->numItems"),
                  assertion("theItem != NULL"),
                  assertion("itemPosition >= kFrontOfList && itemPosition <= (*theList)->numItems + 1"),
                  assertion("StartingPosition >=1 && StartingPosition <= (*theList)->numItems"),
                  assertion("EndingPosition >=1 && EndingPosition <= (*theList)->numItems"),
                  assertion("key != NULL")}));  // every line FATAL
    EXPECT_EQ((contents<int>(list.get())), (std::vector<int>{5}));

    // A null destination is a warning, not an assertion.
    tap.mark();
    LGetItem(list.get(), nullptr, 1);
    const auto warning = tap.since_mark();
    ASSERT_EQ(warning.size(), 1u);
    EXPECT_EQ(warning[0].level, 16u);
    EXPECT_EQ(warning[0].text, "Trying to get list item into NULL buffer.");
}

TEST(ListPositions, EveryOperationRefusesANullList) {
    TapReader tap(list_tap());
    int value = 0, found = 9;
    LDiscard(nullptr);
    LDisposePtrList(nullptr, nullptr);
    LClear(nullptr);
    EXPECT_EQ(LNumItems(nullptr), 0);
    LGetItem(nullptr, &value, 1);
    EXPECT_EQ(LGetPtrToItem(nullptr, 1), nullptr);
    EXPECT_EQ(LInsertItem(nullptr, &value, 0), 1);
    LRemoveItem(nullptr, &value, 1);
    EXPECT_EQ(LFindItem(nullptr, &value, 1, nullptr), 0);
    EXPECT_EQ(LBinSearch(nullptr, &value, compare_ints), 0);
    EXPECT_EQ(LInsertItemInOrderEx(nullptr, &value, compare_ints, 1, &found), 1);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(LIsSorted(nullptr, compare_ints), 0);
    LQuickSort(nullptr, compare_ints);
    EXPECT_EQ(LPreAllocateItems(nullptr, 1), 1);
    EXPECT_EQ(ExpandListSpace(nullptr, 0), 1);
    EXPECT_FALSE(CheckSanity(nullptr));
    EXPECT_EQ(assertions_since(tap), std::vector<std::string>(15, assertion("theList != NULL")));
}

TEST(ListPositions, AnItemOfTheListItselfCanBeInsertedWhileTheBlockMoves) {
    // Large items take the other copy path.
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
}

// ---- creation, growth and its failure ---------------------------------------

TEST(ListCreate, HeaderAndBlockAsCreated) {
    ASSERT_EQ(list_memory_functions(), &kHandleMemoryFuncs);  // installed at start-up
    auto list = kez::test::ListPtr(LCreateWithOptions(12, 0x55, 7, &kHandleMemoryFuncs));
    ASSERT_NE(list, nullptr);
    const ListHeader h = *list_header(list.get());
    EXPECT_EQ(std::make_tuple(h.options, h.marker, h.growth, h.capacity, h.itemSize, h.numItems, h.memFuncs),
              std::make_tuple(0x55, 0xB00BDEEDu, 0x006E0004u, 7, 12, 0, &kHandleMemoryFuncs));
    EXPECT_EQ(handle_size(list.get()), 32u + 7 * 12);
    auto short_form = kez::test::ListPtr(LCreate(3, 0));
    ASSERT_NE(short_form, nullptr);
    EXPECT_EQ(list_header(short_form.get())->capacity, 0);
    EXPECT_EQ(list_header(short_form.get())->memFuncs, &kHandleMemoryFuncs);
}

TEST(ListCreate, RefusesMissingTableBadSizesAndFailedAllocation) {
    TapReader tap(list_tap());
    EXPECT_EQ(LCreateWithOptions(4, 0, 0, nullptr), nullptr);
    EXPECT_EQ(LCreateWithOptions(0, 0, 0, &kHandleMemoryFuncs), nullptr);
    EXPECT_EQ(LCreateWithOptions(4, 0, -1, &kHandleMemoryFuncs), nullptr);
    const MemFuncs *installed = set_list_memory_functions(nullptr);
    EXPECT_EQ(LCreate(4, 0), nullptr);
    set_list_memory_functions(installed);
    EXPECT_EQ(assertions_since(tap),
              (std::vector<std::string>{assertion("memFuncsPtr is a required parameter"), assertion("itemSize > 0"),
                                        assertion("initialCapacity >= 0"),
                                        assertion("memFuncsPtr is a required parameter")}));
    tap.mark();
    kez::fault::arm("handle_memory.block", 1);
    EXPECT_EQ(LCreate(4, 0), nullptr);
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 16u);
    EXPECT_EQ(lines[0].text, "Failed to allocate list handle.");
}

std::vector<int> capacities_while_appending(ListHandle list, int items) {
    std::vector<int> seen;
    for (int i = 0; i < items; ++i) {
        EXPECT_EQ(LInsertItem(list, &i, kEndOfList), 0);
        const int capacity = list_header(list)->capacity;
        if (seen.empty() || seen.back() != capacity) seen.push_back(capacity);
    }
    return seen;
}

TEST(ListGrowth, AnEmptyListGrowsByTheRule) {
    auto list = make_list(sizeof(int));
    EXPECT_EQ(capacities_while_appending(list.get(), 1303), (std::vector<int>{4, 12, 29, 64, 138, 293, 619, 1303}));
    std::vector<int> expected(1303);
    for (int i = 0; i < 1303; ++i) expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(contents<int>(list.get()), expected);
    EXPECT_EQ(handle_size(list.get()), 32u + 1303 * 4);

    auto other = make_list(sizeof(int));
    EXPECT_EQ(ExpandListSpace(other.get(), 0), 0);
    EXPECT_EQ(list_header(other.get())->capacity, 4);
    EXPECT_EQ(ExpandListSpace(other.get(), 7), 0);
    EXPECT_EQ(list_header(other.get())->capacity, 11);
    EXPECT_EQ(ExpandListSpace(other.get(), -1), 1);
    EXPECT_EQ(list_header(other.get())->capacity, 11);
}

TEST(ListGrowth, PreAllocateAddsOnlyTheMissingSlots) {
    auto list = make_list(sizeof(int));
    append_all(list.get(), std::vector<int>{1, 2, 3, 4, 5});  // capacity 12
    ASSERT_EQ(list_header(list.get())->capacity, 12);
    EXPECT_EQ(LPreAllocateItems(list.get(), 7), 0);
    EXPECT_EQ(LPreAllocateItems(list.get(), 0), 0);
    EXPECT_EQ(LPreAllocateItems(list.get(), -3), 0);
    EXPECT_EQ(list_header(list.get())->capacity, 12);
    EXPECT_EQ(LPreAllocateItems(list.get(), 10), 0);
    EXPECT_EQ(list_header(list.get())->capacity, 15);
    EXPECT_EQ((contents<int>(list.get())), (std::vector<int>{1, 2, 3, 4, 5}));
    // The slots are there: ten more inserts do not move the block.
    const void *block = list.get()->block;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(LInsertItem(list.get(), &i, kFrontOfList), 0);
    EXPECT_EQ(list.get()->block, block);
    EXPECT_EQ(list_header(list.get())->capacity, 15);
}

TEST(ListGrowth, ARuleThatAddsNothingStillAddsOneSlot) {
    auto list = make_list(sizeof(int));
    list_header(list.get())->growth = 0;
    TapReader tap(list_tap());
    const int value = 3;
    EXPECT_EQ(LInsertItem(list.get(), &value, kEndOfList), 0);
    EXPECT_EQ(list_header(list.get())->capacity, 1);
    EXPECT_EQ(assertions_since(tap), std::vector<std::string>{assertion("Expected list to expand with more items.")});
}

TEST(ListGrowth, FailedGrowthKeepsItemsAndCapacityAndIsLogged) {
    TestTable::reset();
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    append_all(list.get(), std::vector<int>{1, 2, 3, 4});
    ASSERT_EQ(list_header(list.get())->capacity, 4);
    const void *block = list.get()->block;
    TapReader tap(list_tap());
    TestTable::set_size_error = 2;
    const int five = 5;
    EXPECT_EQ(LInsertItem(list.get(), &five, kFrontOfList), 2);
    EXPECT_EQ(LInsertItemInOrder(list.get(), &five, compare_ints, 1), 2);
    EXPECT_EQ(LPreAllocateItems(list.get(), 1), 2);
    EXPECT_EQ(ExpandListSpace(list.get(), 0), 2);
    TestTable::set_size_error = 18;  // any code of the table goes back unchanged
    EXPECT_EQ(LInsertItem(list.get(), &five, kEndOfList), 18);
    EXPECT_EQ(list.get()->block, block);
    EXPECT_EQ(list_header(list.get())->capacity, 4);
    EXPECT_EQ((contents<int>(list.get())), (std::vector<int>{1, 2, 3, 4}));

    std::vector<std::pair<unsigned, std::string>> lines;
    for (const auto &l : tap.since_mark()) lines.emplace_back(l.level, l.text);
    const std::vector<std::pair<unsigned, std::string>> expected = {
        {16, "MgErr = 2"},  {16, "Failed to expand list to 12 items."},                     // insert
        {16, "MgErr = 2"},  {16, "Failed to expand list to 12 items."}, {16, "MgErr = 2"},  // ordered insert
        {16, "MgErr = 2"},                                                                  // pre-allocate
        {16, "MgErr = 2"},                                                                  // expand
        {16, "MgErr = 18"}, {16, "Failed to expand list to 12 items."},
    };
    EXPECT_EQ(lines, expected);

    // The real heap refusing: the same, through the default table.
    TestTable::set_size_error = 0;
    auto plain = make_list(sizeof(int));
    append_all(plain.get(), std::vector<int>{1, 2, 3, 4});
    kez::fault::arm("handle_memory.block", 1);
    EXPECT_EQ(LInsertItem(plain.get(), &five, 2), 2);
    EXPECT_EQ((contents<int>(plain.get())), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(LInsertItem(plain.get(), &five, 2), 0);
    EXPECT_EQ((contents<int>(plain.get())), (std::vector<int>{1, 5, 2, 3, 4}));
}

TEST(ListGrowth, ClearKeepsCapacityAndDisposePtrListVisitsEveryItem) {
    TestTable::reset();
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    append_all(list.get(), std::vector<int>{4, 5, 6, 7, 8});
    LClear(list.get());
    EXPECT_EQ(LNumItems(list.get()), 0);
    EXPECT_EQ(list_header(list.get())->capacity, 12);
    append_all(list.get(), std::vector<int>{10, 20, 30});
    static std::vector<int> visited;
    visited.clear();
    LDisposePtrList(list.release(), [](void *item) { visited.push_back(*static_cast<int *>(item)); });
    EXPECT_EQ(visited, (std::vector<int>{10, 20, 30}));
    EXPECT_EQ(TestTable::disposed, 1);
}

// ---- the front marker ---------------------------------------------------------

TEST(ListMarker, AnOverwrittenMarkerIsLoggedAndEveryOperationRefuses) {
    TestTable::reset();
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    append_all(list.get(), std::vector<int>{1, 2, 3});
    ListHeader *h = list_header(list.get());
    h->marker = 0x12345678;
    const int set_size_calls = TestTable::set_size_calls;
    TapReader tap(list_tap());
    EXPECT_EQ(LNumItems(list.get()), 0);
    auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 8u);
    EXPECT_EQ(lines[0].text, "Error, front of list overwritten, expect 0xb00bdeed, but found 0x12345678");
    EXPECT_EQ(lines[1].level, 64u);
    EXPECT_EQ(lines[1].function, "LNumItems");
    EXPECT_EQ(lines[1].text, assertion("CheckSanity(theList)"));

    const int value = 9;
    int out = -1, found = -1;
    EXPECT_EQ(LInsertItem(list.get(), &value, kEndOfList), 45);
    EXPECT_EQ(LInsertItemInOrderEx(list.get(), &value, compare_ints, 1, &found), 45);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(LPreAllocateItems(list.get(), 100), 45);
    EXPECT_EQ(ExpandListSpace(list.get(), 0), 45);
    LGetItem(list.get(), &out, 1);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(LGetPtrToItem(list.get(), 1), nullptr);
    LRemoveItem(list.get(), &out, 1);
    LClear(list.get());
    EXPECT_EQ(LFindItem(list.get(), &value, 1, nullptr), 0);
    EXPECT_EQ(LBinSearch(list.get(), &value, compare_ints), 0);
    EXPECT_EQ(LIsSorted(list.get(), compare_ints), 0);
    LQuickSort(list.get(), compare_ints);
    LDiscard(list.get());  // refused: this is no list any more
    EXPECT_EQ(TestTable::disposed, 0);
    EXPECT_EQ(TestTable::locks, 0);
    EXPECT_EQ(TestTable::set_size_calls, set_size_calls);
    const auto asserted = assertions_since(tap);
    EXPECT_EQ(asserted.size(), 14u);
    EXPECT_EQ(asserted.back(), assertion("CheckEitherByteOrderSanity(theList)"));
    EXPECT_EQ(out, -1);

    h->marker = kListMarker;  // repaired, the list is as it was
    EXPECT_EQ(h->capacity, 4);
    EXPECT_EQ((contents<int>(list.get())), (std::vector<int>{1, 2, 3}));
    list.reset();
    EXPECT_EQ(TestTable::disposed, 1);
}

TEST(ListMarker, AByteSwappedMarkerIsRefusedButStillDisposed) {
    TestTable::reset();
    ListHandle list = LCreateWithOptions(4, 0, 2, TestTable::funcs());
    ASSERT_NE(list, nullptr);
    list_header(list)->marker = 0xEDDE0BB0;
    TapReader tap(list_tap());
    EXPECT_EQ(LNumItems(list), 0);
    EXPECT_TRUE(tap.contains_since_mark("Error, front of list overwritten, expect 0xb00bdeed, but found 0xedde0bb0"));
    tap.mark();
    LDiscard(list);
    EXPECT_EQ(TestTable::disposed, 1);
    EXPECT_TRUE(tap.since_mark().empty());
}

TEST(ListMarker, DamageDoneDuringAnOperationIsCaughtAfterIt) {
    auto list = make_list(sizeof(int));
    append_all(list.get(), std::vector<int>{1, 2, 3});
    static ListHandle victim;
    victim = list.get();
    TapReader tap(list_tap());
    const int key = 2;
    // A compare function that writes over the front of the block.
    const int found = LFindItem(list.get(), &key, 1, [](const void *k, const void *item) {
        list_header(victim)->marker = 0;
        return compare_ints(k, item);
    });
    EXPECT_EQ(found, 0);
    EXPECT_EQ(assertions_since(tap), std::vector<std::string>{assertion("CheckSanity(theList)")});
    list_header(list.get())->marker = kListMarker;
}

TEST(ListMarker, AHeaderThatDisagreesWithItsBlockIsRefused) {
    auto list = make_list(sizeof(int));
    append_all(list.get(), std::vector<int>{1, 2, 3});
    ListHeader *h = list_header(list.get());
    TapReader tap(list_tap());
    h->numItems = 5;  // more than the capacity of 4
    EXPECT_FALSE(CheckSanity(list.get()));
    h->numItems = 3;
    h->capacity = 1000;  // more than the block holds
    const int value = 1;
    EXPECT_EQ(LInsertItem(list.get(), &value, kEndOfList), 45);
    h->capacity = 4;
    h->memFuncs = nullptr;  // no table to grow with
    EXPECT_EQ(LPreAllocateItems(list.get(), 2), 1);
    EXPECT_EQ(assertions_since(tap),
              (std::vector<std::string>{assertion("CheckSanity(theList)"), assertion("(*list)->memFuncs")}));
    h->memFuncs = &kHandleMemoryFuncs;
    EXPECT_EQ((contents<int>(list.get())), (std::vector<int>{1, 2, 3}));
}

// ---- searches and ordered insert ---------------------------------------------

// Results of every range are checked against the model above; here the order
// of the visits.
TEST(ListSearch, RangeSearchRunsBackwardsWhenStartIsAfterEnd) {
    auto list = make_list(sizeof(int));
    append_all(list.get(), std::vector<int>{10, 20, 30, 20, 50, 20, 70});
    static std::vector<int> visits;
    static ListHandle searched;
    searched = list.get();
    auto recording = [](const void *key, const void *item) {
        visits.push_back(static_cast<int>((static_cast<const char *>(item) - list_items(searched)) / 4) + 1);
        return compare_ints(key, item);
    };
    const int missing = 99, twenty = 20, ten = 10;
    visits.clear();
    EXPECT_EQ(LFindItemInRange(list.get(), &missing, 5, 2, recording), 0);
    EXPECT_EQ(visits, (std::vector<int>{5, 4, 3, 2}));
    visits.clear();
    EXPECT_EQ(LFindItemInRange(list.get(), &twenty, 5, 2, recording), 4);
    EXPECT_EQ(visits, (std::vector<int>{5, 4}));
    EXPECT_EQ(LFindItem(list.get(), &twenty, 5, nullptr), 6);
    EXPECT_EQ(LFindItem(list.get(), &missing, kFrontOfList, nullptr), 0);
    auto empty = make_list(sizeof(int));
    TapReader tap(list_tap());
    EXPECT_EQ(LFindItemInRange(empty.get(), &ten, 5, 2, nullptr), 0);
    EXPECT_TRUE(assertions_since(tap).empty());  // an empty list is no bad argument
}

TEST(ListSearch, BinarySearchFindsEveryItemAndLocksTheHandle) {
    TestTable::reset();
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    const int missing = 4;
    EXPECT_EQ(LBinSearch(list.get(), &missing, compare_ints), 0);
    std::vector<int> values;
    for (int i = 0; i < 101; ++i) values.push_back(i * 3);
    append_all(list.get(), values);
    for (int i = 0; i < 101; ++i)
        EXPECT_EQ(LBinSearch(list.get(), &values[static_cast<std::size_t>(i)], compare_ints), i + 1);
    for (int v : {-1, 1, 151, 302, 400}) EXPECT_EQ(LBinSearch(list.get(), &v, compare_ints), 0) << v;
    EXPECT_EQ(TestTable::locks, 1 + 101 + 5);
    EXPECT_EQ(TestTable::unlocks, TestTable::locks);
    TapReader tap(list_tap());
    EXPECT_EQ(LBinSearch(list.get(), &missing, nullptr), 0);
    EXPECT_EQ(assertions_since(tap), std::vector<std::string>{assertion("compareFunc != NULL")});
}

struct Keyed {
    int key;
    int tag;
};

int compare_keys(const void *a, const void *b) {
    return compare_ints(&static_cast<const Keyed *>(a)->key, &static_cast<const Keyed *>(b)->key);
}

TEST(ListOrderedInsert, WithoutDuplicatesEachKeyOnceWithTheFoundFlag) {
    auto list = make_list(sizeof(Keyed));
    std::mt19937 rng(7);
    std::vector<int> model;
    for (int i = 0; i < 600; ++i) {
        const Keyed item{static_cast<int>(rng() % 300), i};
        int found = -1;
        ASSERT_EQ(LInsertItemInOrderEx(list.get(), &item, compare_keys, 0, &found), 0);
        const bool present = std::find(model.begin(), model.end(), item.key) != model.end();
        ASSERT_EQ(found, present ? 1 : 0);
        if (!present) model.insert(std::lower_bound(model.begin(), model.end(), item.key), item.key);
    }
    std::vector<int> keys;
    for (const Keyed &k : contents<Keyed>(list.get())) keys.push_back(k.key);
    EXPECT_EQ(keys, model);
    EXPECT_EQ(LIsSorted(list.get(), compare_keys), 1);
}

TEST(ListOrderedInsert, DuplicatesGoBeforeTheEqualItem) {
    auto list = make_list(sizeof(Keyed));
    int found = 0;
    for (const Keyed item : {Keyed{10, 0}, Keyed{20, 0}, Keyed{30, 0}, Keyed{20, 1}, Keyed{5, 2}, Keyed{40, 2},
                             Keyed{25, 2}})
        ASSERT_EQ(LInsertItemInOrderEx(list.get(), &item, compare_keys, 1, &found), 0);
    std::vector<std::pair<int, int>> items;
    for (const Keyed &k : contents<Keyed>(list.get())) items.emplace_back(k.key, k.tag);
    EXPECT_EQ(items, (std::vector<std::pair<int, int>>{{5, 2}, {10, 0}, {20, 1}, {20, 0}, {25, 2}, {30, 0}, {40, 2}}));
}

TEST(ListOrderedInsert, AFailedInsertionReturnsItsCode) {
    TestTable::reset();
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    append_all(list.get(), std::vector<int>{1, 3, 5, 7});  // full
    TestTable::set_size_error = 2;
    int found = -1;
    const int four = 4, five = 5;
    EXPECT_EQ(LInsertItemInOrderEx(list.get(), &four, compare_ints, 0, &found), 2);
    EXPECT_EQ(found, 0);
    // A duplicate that is not wanted needs no memory: 0, found.
    EXPECT_EQ(LInsertItemInOrderEx(list.get(), &five, compare_ints, 0, &found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(LInsertItemInOrderEx(list.get(), &five, compare_ints, 1, &found), 2);
    EXPECT_EQ((contents<int>(list.get())), (std::vector<int>{1, 3, 5, 7}));
    TapReader tap(list_tap());
    EXPECT_EQ(LInsertItemInOrder(list.get(), &four, nullptr, 0), 1);
    EXPECT_EQ(LInsertItemInOrder(list.get(), nullptr, compare_ints, 0), 1);
    EXPECT_EQ(assertions_since(tap),
              (std::vector<std::string>{assertion("compareFunc != NULL"), assertion("theItem != NULL")}));
}

// ---- sizes past what a list can address -------------------------------------

TEST(ListSizes, GrowthOfALargeListComputesItsSizeWithoutWrapping) {
    // 20,000,000 x 110 overflows 32 bits; the list must still grow to
    // 20,000,000 + 22,000,000 + 4 slots, in a block that really holds them.
    TestTable::reset();
    auto list = make_list(1, 20'000'000, TestTable::funcs());
    ASSERT_NE(list, nullptr);
    list_header(list.get())->numItems = 20'000'000;  // the block is zero-filled
    const unsigned char item = 0x5A;
    ASSERT_EQ(LInsertItem(list.get(), &item, kEndOfList), 0);
    EXPECT_EQ(list_header(list.get())->capacity, 42'000'004);
    EXPECT_EQ(TestTable::last_size, 32u + 42'000'004u);
    EXPECT_EQ(handle_size(list.get()), 32u + 42'000'004u);
    EXPECT_EQ(*static_cast<unsigned char *>(LGetPtrToItem(list.get(), kEndOfList)), 0x5A);
    EXPECT_EQ(*static_cast<unsigned char *>(LGetPtrToItem(list.get(), 20'000'000)), 0);
}

TEST(ListSizes, BlocksPastFourGigabytesAreAskedForInFull) {
    TestTable::reset();
    TestTable::refuse_above = std::size_t{1} << 30;
    TapReader tap(list_tap());
    // 65536 x 65536 bytes wraps to 0 in 32 bits.
    EXPECT_EQ(LCreateWithOptions(65536, 0, 65536, TestTable::funcs()), nullptr);
    EXPECT_EQ(TestTable::last_size, 32u + (std::uint64_t{1} << 32));
    EXPECT_TRUE(tap.contains_since_mark("Failed to allocate list handle."));

    auto list = make_list(1 << 20, 0, TestTable::funcs());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ExpandListSpace(list.get(), 4096), 2);
    EXPECT_EQ(TestTable::last_size, 32u + (std::uint64_t{4096} << 20));
    EXPECT_EQ(list_header(list.get())->capacity, 0);
    auto widest = make_list(INT_MAX, 0, TestTable::funcs());
    ASSERT_NE(widest, nullptr);
    const std::vector<char> item(16, 'x');  // only the growth is reached
    EXPECT_EQ(LInsertItem(widest.get(), item.data(), kEndOfList), 2);
    EXPECT_EQ(TestTable::last_size, 32u + 4ull * INT_MAX);
    EXPECT_EQ(list_header(widest.get())->capacity, 0);
}

TEST(ListSizes, CapacityPastThirtyOneBitsFailsWithoutAskingForMemory) {
    TestTable::reset();
    TestTable::refuse_above = std::size_t{1} << 30;
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    append_all(list.get(), std::vector<int>{1, 2, 3});  // capacity 4
    const int calls = TestTable::set_size_calls;
    TapReader tap(list_tap());
    EXPECT_EQ(ExpandListSpace(list.get(), INT_MAX), 2);
    EXPECT_EQ(LPreAllocateItems(list.get(), INT_MAX), 2);
    EXPECT_EQ(LPreAllocateItems(list.get(), INT_MAX - 2), 2);  // one slot past
    EXPECT_EQ(TestTable::set_size_calls, calls);
    EXPECT_EQ(LPreAllocateItems(list.get(), INT_MAX - 3), 2);  // the largest capacity is asked for
    EXPECT_EQ(TestTable::set_size_calls, calls + 1);
    EXPECT_EQ(TestTable::last_size, 32u + 4ull * INT_MAX);
    EXPECT_EQ(list_header(list.get())->capacity, 4);
    EXPECT_EQ((contents<int>(list.get())), (std::vector<int>{1, 2, 3}));
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 4u);
    for (const auto &line : lines) EXPECT_EQ(line.text, "MgErr = 2");
}

// ---- lists of several threads ---------------------------------------------------

TEST(ListThreads, ListsOfDifferentThreadsAndOneGuardedSharedList) {
    kez::test::Watchdog watchdog(std::chrono::seconds(120), "list threads");
    auto shared = make_list(sizeof(int));
    std::mutex shared_lock;
    constexpr int kThreads = 4;
    constexpr int kRounds = 4000;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            ListHandle own = LCreate(sizeof(int), 0);
            std::vector<int> model;
            for (int round = 0; round < kRounds; ++round) {
                const int value = t * kRounds + round;
                if (rng() % 3 != 0 || model.empty()) {
                    if (LInsertItemInOrder(own, &value, compare_ints, 1) != 0) ++failures[static_cast<std::size_t>(t)];
                    model.insert(std::lower_bound(model.begin(), model.end(), value), value);
                } else {
                    LRemoveItem(own, nullptr, kFrontOfList);
                    model.erase(model.begin());
                }
                std::lock_guard<std::mutex> guard(shared_lock);
                if (LInsertItemInOrder(shared.get(), &value, compare_ints, 0) != 0)
                    ++failures[static_cast<std::size_t>(t)];
            }
            if (contents<int>(own) != model) ++failures[static_cast<std::size_t>(t)];
            LDiscard(own);
        });
    }
    for (auto &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0) << t;
    const auto all = contents<int>(shared.get());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kRounds));
    for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], static_cast<int>(i));
}

}  // namespace
