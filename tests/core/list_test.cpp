// The list container: positions and searches against a vector model, growth
// and its failures, the front marker, ordered insert, and sizes past what a
// list can address.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "core/list_test_support.h"
#include "os/fault.h"
#include "support/watchdog.h"

namespace {

using namespace kez::core;
using namespace kez::test;
using Ints = std::vector<int>;
using Texts = std::vector<std::string>;

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

TEST(ListModel, RandomOperationsAtEveryPositionMatchAVector) {
    TapReader tap(list_tap());
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
                // LFindItem searches from the start to the end of the list.
                const bool to_end = rng() % 4 == 0;
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

TEST(ListArguments, BadArgumentsAreAssertedWithTheirConditions) {
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
    EXPECT_EQ(LBinSearch(list.get(), &value, nullptr), 0);
    EXPECT_EQ(LInsertItemInOrder(list.get(), &value, nullptr, 0), 1);
    EXPECT_EQ(LInsertItemInOrder(list.get(), nullptr, compare_ints, 0), 1);
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

    // A null destination is a warning, not an assertion.
    tap.mark();
    LGetItem(list.get(), nullptr, 1);
    const auto warning = tap.since_mark();
    ASSERT_EQ(warning.size(), 1u);
    EXPECT_EQ(std::tie(warning[0].level, warning[0].text),
              std::make_tuple(16u, std::string("Trying to get list item into NULL buffer.")));
}

TEST(ListArguments, EveryOperationRefusesANullList) {
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
    EXPECT_EQ(assertions_since(tap), Texts(15, assertion("theList != NULL")));
}

TEST(ListArguments, AnItemOfTheListItselfCanBeInsertedWhileTheBlockMoves) {
    for (int size : {8, 200}) {  // large items take the other copy path
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

TEST(ListCreate, HeaderBlockAndRefusals) {
    ASSERT_EQ(list_memory_functions(), &kHandleMemoryFuncs);  // installed at start-up
    ListPtr list(LCreateWithOptions(12, 0x55, 7, &kHandleMemoryFuncs));
    ASSERT_NE(list, nullptr);
    const ListHeader h = *list_header(list.get());
    EXPECT_EQ(std::make_tuple(h.options, h.marker, h.growth, h.capacity, h.itemSize, h.numItems, h.memFuncs),
              std::make_tuple(0x55, 0xB00BDEEDu, 0x006E0004u, 7, 12, 0, &kHandleMemoryFuncs));
    EXPECT_EQ(handle_size(list.get()), 32u + 7 * 12);
    ListPtr short_form(LCreate(3, 0));
    ASSERT_NE(short_form, nullptr);
    EXPECT_EQ(list_header(short_form.get())->capacity, 0);

    TapReader tap(list_tap());
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
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(std::tie(lines[0].level, lines[0].text),
              std::make_tuple(16u, std::string("Failed to allocate list handle.")));
}

TEST(ListGrowth, TheGrowthRulePreAllocationAndClear) {
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
    // Pre-allocation adds only the missing slots.
    append_all(other.get(), Ints{1, 2, 3, 4, 5});
    const struct { int count, capacity; } pre[] = {{6, 11}, {0, 11}, {-3, 11}, {10, 15}};
    for (const auto &p : pre) {
        EXPECT_EQ(LPreAllocateItems(other.get(), p.count), 0) << p.count;
        EXPECT_EQ(list_header(other.get())->capacity, p.capacity) << p.count;
    }
    const void *block = other.get()->block;  // the slots are there: ten inserts do not move the block
    for (int i = 0; i < 10; ++i) ASSERT_EQ(LInsertItem(other.get(), &i, kFrontOfList), 0);
    EXPECT_EQ(other.get()->block, block);
    EXPECT_EQ(list_header(other.get())->capacity, 15);
    LClear(other.get());
    EXPECT_EQ(LNumItems(other.get()), 0);
    EXPECT_EQ(list_header(other.get())->capacity, 15);

    // A rule that adds nothing still adds one slot.
    auto flat = make_list(sizeof(int));
    list_header(flat.get())->growth = 0;
    TapReader tap(list_tap());
    EXPECT_EQ(LInsertItem(flat.get(), &seen[0], kEndOfList), 0);
    EXPECT_EQ(list_header(flat.get())->capacity, 1);
    EXPECT_EQ(assertions_since(tap), Texts{assertion("Expected list to expand with more items.")});
}

TEST(ListGrowth, FailedGrowthKeepsItemsAndCapacityAndIsLogged) {
    TestTable::reset();
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    append_all(list.get(), Ints{1, 3, 5, 7});
    ASSERT_EQ(list_header(list.get())->capacity, 4);
    const void *block = list.get()->block;
    TapReader tap(list_tap());
    TestTable::set_size_error = 2;
    const int four = 4, five = 5;
    int found = -1;
    EXPECT_EQ(LInsertItem(list.get(), &four, kFrontOfList), 2);
    EXPECT_EQ(LInsertItemInOrderEx(list.get(), &four, compare_ints, 1, &found), 2);
    EXPECT_EQ(found, 0);
    // A duplicate that is not wanted needs no memory: 0, found.
    EXPECT_EQ(LInsertItemInOrderEx(list.get(), &five, compare_ints, 0, &found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(LPreAllocateItems(list.get(), 1), 2);
    EXPECT_EQ(ExpandListSpace(list.get(), 0), 2);
    TestTable::set_size_error = 18;  // any code of the table goes back unchanged
    EXPECT_EQ(LInsertItem(list.get(), &five, kEndOfList), 18);
    EXPECT_EQ(list.get()->block, block);
    EXPECT_EQ(list_header(list.get())->capacity, 4);
    EXPECT_EQ(contents<int>(list.get()), (Ints{1, 3, 5, 7}));
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
    auto plain = make_list(sizeof(int));
    append_all(plain.get(), Ints{1, 2, 3, 4});
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
    EXPECT_EQ(TestTable::disposed, 1);
}

// ---- the front marker ---------------------------------------------------------

TEST(ListMarker, AnOverwrittenMarkerIsLoggedAndEveryOperationRefuses) {
    TestTable::reset();
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    append_all(list.get(), Ints{1, 2, 3});
    ListHeader *h = list_header(list.get());
    h->marker = 0x12345678;
    const int set_size_calls = TestTable::set_size_calls;
    TapReader tap(list_tap());
    EXPECT_EQ(LNumItems(list.get()), 0);
    auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(std::tie(lines[0].level, lines[0].text),
              std::make_tuple(8u, std::string("Error, front of list overwritten, expect 0xb00bdeed, but found "
                                              "0x12345678")));
    EXPECT_EQ(std::tie(lines[1].level, lines[1].function, lines[1].text),
              std::make_tuple(64u, std::string("LNumItems"), assertion("CheckSanity(theList)")));

    const int value = 9;
    int out = -1, found = -1;
    EXPECT_EQ(LInsertItem(list.get(), &value, kEndOfList), 45);
    EXPECT_EQ(LInsertItemInOrderEx(list.get(), &value, compare_ints, 1, &found), 45);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(LPreAllocateItems(list.get(), 100), 45);
    EXPECT_EQ(ExpandListSpace(list.get(), 0), 45);
    LGetItem(list.get(), &out, 1);
    EXPECT_EQ(LGetPtrToItem(list.get(), 1), nullptr);
    LRemoveItem(list.get(), &out, 1);
    LClear(list.get());
    EXPECT_EQ(LFindItem(list.get(), &value, 1, nullptr), 0);
    EXPECT_EQ(LBinSearch(list.get(), &value, compare_ints), 0);
    EXPECT_EQ(LIsSorted(list.get(), compare_ints), 0);
    LQuickSort(list.get(), compare_ints);
    LDiscard(list.get());  // refused: this is no list any more
    EXPECT_EQ(out, -1);
    EXPECT_EQ(std::make_tuple(TestTable::disposed, TestTable::locks, TestTable::set_size_calls),
              std::make_tuple(0, 0, set_size_calls));
    const auto asserted = assertions_since(tap);
    EXPECT_EQ(asserted.size(), 14u);
    EXPECT_EQ(asserted.back(), assertion("CheckEitherByteOrderSanity(theList)"));

    h->marker = kListMarker;  // repaired, the list is as it was
    EXPECT_EQ(h->capacity, 4);
    EXPECT_EQ(contents<int>(list.get()), (Ints{1, 2, 3}));
    list.reset();
    EXPECT_EQ(TestTable::disposed, 1);

    // A byte-swapped marker is refused too, but the list can still be disposed.
    ListHandle swapped = LCreateWithOptions(4, 0, 2, TestTable::funcs());
    ASSERT_NE(swapped, nullptr);
    list_header(swapped)->marker = 0xEDDE0BB0;
    tap.mark();
    EXPECT_EQ(LNumItems(swapped), 0);
    EXPECT_TRUE(tap.contains_since_mark("Error, front of list overwritten, expect 0xb00bdeed, but found 0xedde0bb0"));
    tap.mark();
    LDiscard(swapped);
    EXPECT_EQ(TestTable::disposed, 2);
    EXPECT_TRUE(tap.since_mark().empty());
}

TEST(ListMarker, DamageDuringAnOperationAndAHeaderThatDisagreesWithItsBlock) {
    auto list = make_list(sizeof(int));
    append_all(list.get(), Ints{1, 2, 3});
    static ListHandle victim;
    victim = list.get();
    TapReader tap(list_tap());
    const int key = 2;
    // A compare function that writes over the front of the block.
    EXPECT_EQ(LFindItem(list.get(), &key, 1,
                        [](const void *k, const void *item) {
                            list_header(victim)->marker = 0;
                            return compare_ints(k, item);
                        }),
              0);
    ListHeader *h = list_header(list.get());
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
    h->memFuncs = &kHandleMemoryFuncs;
    EXPECT_EQ(contents<int>(list.get()), (Ints{1, 2, 3}));
}

// ---- binary search and ordered insert ------------------------------------------

TEST(ListSearch, BinarySearchFindsEveryItemAndLocksTheHandle) {
    TestTable::reset();
    auto list = make_list(sizeof(int), 0, TestTable::funcs());
    const int missing = 4;
    EXPECT_EQ(LBinSearch(list.get(), &missing, compare_ints), 0);
    Ints values;
    for (int i = 0; i < 101; ++i) values.push_back(i * 3);
    append_all(list.get(), values);
    for (int i = 0; i < 101; ++i)
        EXPECT_EQ(LBinSearch(list.get(), &values[static_cast<std::size_t>(i)], compare_ints), i + 1);
    for (int v : {-1, 1, 151, 302, 400}) EXPECT_EQ(LBinSearch(list.get(), &v, compare_ints), 0) << v;
    EXPECT_EQ(TestTable::locks, 1 + 101 + 5);
    EXPECT_EQ(TestTable::unlocks, TestTable::locks);
}

struct Keyed {
    int key, tag;
};
int compare_keys(const void *a, const void *b) {
    return compare_ints(&static_cast<const Keyed *>(a)->key, &static_cast<const Keyed *>(b)->key);
}

TEST(ListOrderedInsert, EachKeyOnceWithTheFoundFlagOrDuplicatesBeforeTheEqualItem) {
    auto list = make_list(sizeof(Keyed));
    std::mt19937 rng(7);
    Ints model;
    for (int i = 0; i < 600; ++i) {
        const Keyed item{static_cast<int>(rng() % 300), i};
        int found = -1;
        ASSERT_EQ(LInsertItemInOrderEx(list.get(), &item, compare_keys, 0, &found), 0);
        const auto at = std::lower_bound(model.begin(), model.end(), item.key);
        const bool present = at != model.end() && *at == item.key;
        ASSERT_EQ(found, present ? 1 : 0) << i;
        if (!present) model.insert(at, item.key);
    }
    Ints keys;
    for (const Keyed &k : contents<Keyed>(list.get())) keys.push_back(k.key);
    EXPECT_EQ(keys, model);
    EXPECT_EQ(LIsSorted(list.get(), compare_keys), 1);

    auto dups = make_list(sizeof(Keyed));
    for (const Keyed item :
         {Keyed{10, 0}, Keyed{20, 0}, Keyed{30, 0}, Keyed{20, 1}, Keyed{5, 2}, Keyed{40, 2}, Keyed{25, 2}})
        ASSERT_EQ(LInsertItemInOrder(dups.get(), &item, compare_keys, 1), 0);
    std::vector<std::pair<int, int>> items;
    for (const Keyed &k : contents<Keyed>(dups.get())) items.emplace_back(k.key, k.tag);
    EXPECT_EQ(items, (std::vector<std::pair<int, int>>{{5, 2}, {10, 0}, {20, 1}, {20, 0}, {25, 2}, {30, 0}, {40, 2}}));
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

// Blocks past 4 GB are asked for in full; a capacity past 31 bits fails
// without asking for memory.
TEST(ListSizes, BlocksPastFourGigabytesAndCapacitiesPastThirtyOneBits) {
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

    auto ints = make_list(sizeof(int), 0, TestTable::funcs());
    append_all(ints.get(), Ints{1, 2, 3});  // capacity 4
    const int calls = TestTable::set_size_calls;
    tap.mark();
    EXPECT_EQ(ExpandListSpace(ints.get(), INT_MAX), 2);
    EXPECT_EQ(LPreAllocateItems(ints.get(), INT_MAX), 2);
    EXPECT_EQ(LPreAllocateItems(ints.get(), INT_MAX - 2), 2);  // one slot past
    EXPECT_EQ(TestTable::set_size_calls, calls);
    EXPECT_EQ(LPreAllocateItems(ints.get(), INT_MAX - 3), 2);  // the largest capacity is asked for
    EXPECT_EQ(TestTable::set_size_calls, calls + 1);
    EXPECT_EQ(TestTable::last_size, 32u + 4ull * INT_MAX);
    EXPECT_EQ(list_header(ints.get())->capacity, 4);
    EXPECT_EQ(contents<int>(ints.get()), (Ints{1, 2, 3}));
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 4u);
    for (const auto &line : lines) EXPECT_EQ(line.text, "MgErr = 2");
}

// ---- lists of several threads ---------------------------------------------------

TEST(ListThreads, ListsOfDifferentThreadsAndOneGuardedSharedList) {
    kez::test::Watchdog watchdog(std::chrono::seconds(120), "list threads");
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

}  // namespace
