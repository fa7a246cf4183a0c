// LQuickSort and the quicksort under it, against std::sort: every swap unit,
// the input shapes that hurt quicksorts, and the bound on pending ranges.
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

const char *const kPatterns[] = {"random", "sorted", "reversed", "all-equal", "organ-pipe"};

std::vector<std::uint32_t> make_values(int pattern, std::size_t n, std::mt19937 &rng) {
    std::vector<std::uint32_t> v(n);
    const auto m = static_cast<std::uint32_t>(n);
    for (std::uint32_t i = 0; i < m; ++i) {
        const std::uint32_t shapes[] = {static_cast<std::uint32_t>(rng()), i, m - i, 42u, i < m / 2 ? i : m - i};
        v[i] = shapes[pattern];
    }
    return v;
}

// Sorts through a list and through the plain function (on items at an odd
// address, between guard bytes); both must give std::sort's sequence, and
// the pending ranges must stay within log2(n).
void check_sort(const std::vector<std::uint32_t> &values, std::size_t size, const std::string &what) {
    SCOPED_TRACE(what);
    g_item_size = size;
    const std::vector<unsigned char> expected = reference(values, size);
    const std::vector<unsigned char> input = encode(values, size);
    const std::size_t n = values.size();

    auto list = make_list(static_cast<int>(size));
    ASSERT_EQ(LPreAllocateItems(list.get(), static_cast<int>(n)), 0);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(LInsertItem(list.get(), input.data() + i * size, kEndOfList), 0);
    LQuickSort(list.get(), compare_bytes);
    ASSERT_EQ(LNumItems(list.get()), static_cast<int>(n));
    ASSERT_TRUE(n == 0 || std::memcmp(list_items(list.get()), expected.data(), expected.size()) == 0);

    std::vector<unsigned char> buffer(input.size() + 3, 0xEE);
    std::copy(input.begin(), input.end(), buffer.begin() + 1);
    QuickSortStats stats;
    quick_sort(buffer.data() + 1, n, size, compare_bytes, &stats);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin() + 1));
    EXPECT_EQ(buffer.front(), 0xEE);
    EXPECT_EQ(buffer[buffer.size() - 2], 0xEE);
    const int bound = n < 2 ? 0 : static_cast<int>(std::floor(std::log2(static_cast<double>(n))));
    EXPECT_LE(stats.max_pending, bound) << n << " items";
}

const std::size_t kSizes[] = {1, 2, 3, 4, 8, 12, 24};

TEST(ListSort, EveryItemSizeAndInputShapeGivesStdSortsSequence) {
    std::mt19937 rng(99);
    for (std::size_t size : kSizes)
        for (int p = 0; p < 5; ++p)
            for (std::size_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 17, 31, 100, 1000, 3000})
                check_sort(make_values(p, n, rng), size,
                           std::string(kPatterns[p]) + ", size " + std::to_string(size) + ", " + std::to_string(n));
    // Many items, few distinct values: the partitions that degrade first.
    std::vector<std::uint32_t> few(100000);
    for (auto &v : few) v = static_cast<std::uint32_t>(rng() % 3);
    check_sort(few, 8, "three values");
    check_sort(make_values(4, 100000, rng), 24, "organ pipe 100000");
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
