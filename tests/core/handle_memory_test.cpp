// Handle memory on the host heap, the list container's default table.
#include "core/handle_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "os/fault.h"

namespace {

using namespace kez::core;

bool all_zero(const void *p, std::size_t n) {
    const auto *bytes = static_cast<const unsigned char *>(p);
    return std::all_of(bytes, bytes + n, [](unsigned char b) { return b == 0; });
}

TEST(HandleMemory, BlocksAreZeroFilledAndEverySizeChangeMovesThemKeepingTheContents) {
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
    const void *before = h->block;
    ASSERT_EQ(handle_set_size(h, 8), 0);  // unchanged size: nothing happens
    EXPECT_EQ(h->block, before);
    ASSERT_EQ(handle_set_size(h, 64), 0);
    EXPECT_NE(h->block, before);
    EXPECT_EQ(std::memcmp(h->block, "abcdefgh", 8), 0);
    EXPECT_TRUE(all_zero(static_cast<char *>(h->block) + 8, 56));
    const void *grown = h->block;
    ASSERT_EQ(handle_set_size(h, 3), 0);  // shrinking moves it too
    EXPECT_NE(h->block, grown);
    EXPECT_EQ(handle_size(h), 3u);
    EXPECT_EQ(std::memcmp(h->block, "abc", 3), 0);
    ASSERT_EQ(handle_set_size(h, 0), 0);
    EXPECT_EQ(h->block, nullptr);
    ASSERT_EQ(handle_set_size(h, 5), 0);
    EXPECT_TRUE(all_zero(h->block, 5));

    // No memory leaves the handle as it was.
    std::memcpy(h->block, "vwxyz", 5);
    const void *kept = h->block;
    kez::fault::arm("handle_memory.block", 1);
    EXPECT_EQ(handle_set_size(h, 4096), kMgFullErr);
    EXPECT_EQ(h->block, kept);
    EXPECT_EQ(h->size, 5u);
    EXPECT_EQ(std::memcmp(h->block, "vwxyz", 5), 0);
    handle_dispose(h);
}

TEST(HandleMemory, PointersAreZeroFilledAndFailuresLeakNothing) {
    EXPECT_EQ(ptr_new_clear(0), nullptr);
    void *p = ptr_new_clear(32);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(all_zero(p, 32));
    EXPECT_EQ(ptr_dispose(p), 0);
    EXPECT_EQ(ptr_dispose(nullptr), 0);
    // The record of a handle whose block cannot be had is freed again (a
    // leak would show under ASan).
    kez::fault::arm("handle_memory.block", 1);
    EXPECT_EQ(handle_new(16), nullptr);
    kez::fault::arm("handle_memory.block", 1);
    EXPECT_EQ(ptr_new_clear(16), nullptr);
}

}  // namespace
