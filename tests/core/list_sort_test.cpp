// LQuickSort and the quicksort under it, against std::sort: every swap unit,
// the inputs that hurt quicksorts, and the bound on pending ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/list_test_support.h"
#include "core/quick_sort.h"

namespace {

using namespace kez::core;
using kez::test::assertion;
using kez::test::assertions_since;
using kez::test::list_tap;
using kez::test::make_list;
using kez::test::TapReader;

std::size_t g_item_size = 4;
long g_compares = 0;

int compare_bytes(const void *a, const void *b) {
    ++g_compares;
    return std::memcmp(a, b, g_item_size);
}

// Items of `size` bytes whose byte order is the order of their value: the
// value big-endian in the first bytes (truncated for sizes below 4), then
// filler that depends on the value alone, so equal values give equal items.
std::uint32_t truncate(std::uint32_t v, std::size_t size) {
    return size >= 4 ? v : v & ((std::uint32_t{1} << (8 * size)) - 1);
}

std::vector<unsigned char> encode(const std::vector<std::uint32_t> &values, std::size_t size) {
    std::vector<unsigned char> bytes(values.size() * size);
    const std::size_t key = std::min<std::size_t>(size, 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t v = truncate(values[i], size);
        unsigned char *item = bytes.data() + i * size;
        for (std::size_t j = 0; j < key; ++j) item[j] = static_cast<unsigned char>(v >> (8 * (key - 1 - j)));
        for (std::size_t j = key; j < size; ++j) item[j] = static_cast<unsigned char>((v * 2654435761u) >> (j % 4 * 8));
    }
    return bytes;
}

std::vector<unsigned char> reference(std::vector<std::uint32_t> values, std::size_t size) {
    for (auto &v : values) v = truncate(v, size);
    std::sort(values.begin(), values.end());
    return encode(values, size);
}

// McIlroy's adversary: values are decided only as comparisons need them, so
// that every partition comes out as lopsided as the sort allows. The values
// it settles on are an input that drives this quicksort to its worst case.
struct Adversary {
    std::vector<int> value;
    int gas = 0;
    int solid = 0;
    int candidate = 0;
};
Adversary *g_adversary = nullptr;

int adversary_compare(const void *a, const void *b) {
    Adversary &adv = *g_adversary;
    int x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    auto &vx = adv.value[static_cast<std::size_t>(x)];
    auto &vy = adv.value[static_cast<std::size_t>(y)];
    if (vx == adv.gas && vy == adv.gas) {
        if (x == adv.candidate)
            vx = adv.solid++;
        else
            vy = adv.solid++;
    }
    if (vx == adv.gas)
        adv.candidate = x;
    else if (vy == adv.gas)
        adv.candidate = y;
    return vx - vy;
}

std::vector<std::uint32_t> killer_input(std::size_t n) {
    Adversary adv;
    adv.gas = static_cast<int>(n);
    adv.value.assign(n, adv.gas);
    std::vector<int> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<int>(i);
    g_adversary = &adv;
    quick_sort(order.data(), n, sizeof(int), adversary_compare);
    g_adversary = nullptr;
    return std::vector<std::uint32_t>(adv.value.begin(), adv.value.end());
}

enum class Pattern { random, sorted, reversed, all_equal, organ_pipe, killer };
const char *name(Pattern p) {
    static const char *const names[] = {"random", "sorted", "reversed", "all-equal", "organ-pipe", "killer"};
    return names[static_cast<int>(p)];
}

std::vector<std::uint32_t> make_values(Pattern p, std::size_t n, std::mt19937 &rng) {
    if (p == Pattern::killer) return killer_input(n);
    std::vector<std::uint32_t> v(n);
    const auto m = static_cast<std::uint32_t>(n);
    for (std::uint32_t i = 0; i < m; ++i)
        v[i] = p == Pattern::random     ? static_cast<std::uint32_t>(rng())
               : p == Pattern::sorted   ? i
               : p == Pattern::reversed ? m - i
               : p == Pattern::all_equal ? 42u
                                         : (i < m / 2 ? i : m - i);  // organ pipe
    return v;
}

// Sorts through a list and through the plain function; both must give
// std::sort's sequence, and the pending ranges must stay within log2(n).
void check_sort(const std::vector<std::uint32_t> &values, std::size_t size, const std::string &what) {
    SCOPED_TRACE(what);
    g_item_size = size;
    const std::vector<unsigned char> expected = reference(values, size);
    std::vector<unsigned char> input = encode(values, size);
    const std::size_t n = values.size();

    auto list = make_list(static_cast<int>(size));
    ASSERT_EQ(LPreAllocateItems(list.get(), static_cast<int>(n)), 0);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(LInsertItem(list.get(), input.data() + i * size, kEndOfList), 0);
    LQuickSort(list.get(), compare_bytes);
    ASSERT_EQ(LNumItems(list.get()), static_cast<int>(n));
    ASSERT_TRUE(n == 0 || std::memcmp(list_items(list.get()), expected.data(), expected.size()) == 0);

    QuickSortStats stats;
    quick_sort(input.data(), n, size, compare_bytes, &stats);
    ASSERT_EQ(input, expected);
    const int bound = n < 2 ? 0 : static_cast<int>(std::floor(std::log2(static_cast<double>(n))));
    EXPECT_LE(stats.max_pending, bound) << n << " items";
}

const std::size_t kSizes[] = {1, 2, 3, 4, 8, 12, 24};
const Pattern kPatterns[] = {Pattern::random,    Pattern::sorted,     Pattern::reversed,
                             Pattern::all_equal, Pattern::organ_pipe, Pattern::killer};

TEST(ListSort, EveryItemSizeAndInputShapeGivesStdSortsSequence) {
    std::mt19937 rng(99);
    for (std::size_t size : kSizes)
        for (Pattern p : kPatterns)
            for (std::size_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 17, 31, 100, 1000, 3000})
                check_sort(make_values(p, n, rng), size,
                           std::string(name(p)) + ", size " + std::to_string(size) + ", " + std::to_string(n));
}

// Many items, few distinct values: the partitions that degrade first.
TEST(ListSort, ManyEqualKeysKeepTheStackShallow) {
    std::mt19937 rng(5);
    std::vector<std::uint32_t> few(100000);
    for (auto &v : few) v = static_cast<std::uint32_t>(rng() % 3);
    check_sort(few, 8, "three values");
    check_sort(make_values(Pattern::organ_pipe, 100000, rng), 24, "organ pipe 100000");
}

int compare_ints_counted(const void *a, const void *b) {
    ++g_compares;
    return kez::test::compare_ints(a, b);
}

TEST(ListSort, ASortedListIsOnlyChecked) {
    auto list = make_list(sizeof(int));
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
    auto single = make_list(sizeof(int));
    EXPECT_EQ(LIsSorted(single.get(), compare_ints_counted), 1);
    ASSERT_EQ(LInsertItem(single.get(), &smaller, kEndOfList), 0);
    EXPECT_EQ(LIsSorted(single.get(), compare_ints_counted), 1);
}

TEST(ListSort, UnalignedItemsSortInPlace) {
    std::mt19937 rng(11);
    for (std::size_t size : kSizes) {
        g_item_size = size;
        std::vector<std::uint32_t> values(257);
        for (auto &v : values) v = static_cast<std::uint32_t>(rng());
        const auto items = encode(values, size);
        std::vector<unsigned char> buffer(items.size() + 3, 0xEE);
        std::memcpy(buffer.data() + 1, items.data(), items.size());
        quick_sort(buffer.data() + 1, values.size(), size, compare_bytes);
        EXPECT_EQ(std::vector<unsigned char>(buffer.begin() + 1, buffer.end() - 2), reference(values, size)) << size;
        EXPECT_EQ(buffer.front(), 0xEE);
        EXPECT_EQ(buffer[buffer.size() - 2], 0xEE);
    }
}

TEST(ListSort, AFullStackOfPendingRangesStillSortsEverything) {
    std::mt19937 rng(3);
    g_item_size = 8;
    std::vector<std::uint32_t> values(3000);
    for (auto &v : values) v = static_cast<std::uint32_t>(rng());
    auto items = encode(values, 8);
    TapReader tap(list_tap());
    QuickSortStats stats;
    quick_sort_limited(items.data(), values.size(), 8, compare_bytes, 1, &stats);
    EXPECT_EQ(items, reference(values, 8));
    EXPECT_EQ(stats.max_pending, 1);
    const auto asserted = assertions_since(tap);
    ASSERT_FALSE(asserted.empty());
    EXPECT_EQ(asserted[0], "Assertion failed: depth < maxPending (Sort stack full, finishing a range by insertion)");
}

}  // namespace
