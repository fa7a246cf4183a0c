// The handle pool: the registry every library checks user handles against.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "core/handle_pool.h"
#include "support/watchdog.h"

namespace {

using kez::core::HandlePool;

struct Record {
    std::uint64_t a;
    std::uint64_t b;
    std::uint64_t kept;  // beyond the zero-filled prefix
};

void discard(HandlePool &pool, void *r) {
    ASSERT_EQ(pool.pin(r), r);
    EXPECT_TRUE(pool.retire(r));
    ASSERT_TRUE(pool.unpin(r));
    pool.recycle(r);
}

TEST(HandlePool, OnlyALivePublishedRecordIsPinnedAndItsLastPinIsReportedOnce) {
    HandlePool pool(sizeof(Record));
    int on_stack = 0;
    EXPECT_EQ(pool.pin(nullptr), nullptr);
    EXPECT_EQ(pool.pin(&on_stack), nullptr);  // no chunk yet
    auto *r = static_cast<Record *>(pool.allocate());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(pool.pin(r), nullptr) << "not published yet";
    pool.publish(r);
    for (const void *wild : {static_cast<const void *>(&on_stack), reinterpret_cast<const void *>(std::uintptr_t{1}),
                             static_cast<const void *>(reinterpret_cast<char *>(r) + 8),
                             static_cast<const void *>(reinterpret_cast<char *>(r) - 16)}) {
        EXPECT_EQ(pool.pin(wild), nullptr) << wild;
        EXPECT_EQ(pool.find(wild), nullptr) << wild;
    }
    EXPECT_EQ(pool.live_count(), 1u);
    ASSERT_EQ(pool.pin(r), r);  // the discarding call
    ASSERT_EQ(pool.pin(r), r);  // a waiter
    EXPECT_TRUE(pool.retire(r));
    EXPECT_FALSE(pool.retire(r)) << "a second discard must lose";
    EXPECT_EQ(pool.pin(r), nullptr) << "retired records take no new pins";
    EXPECT_FALSE(pool.unpin(r));
    EXPECT_TRUE(pool.unpin(r));
    pool.recycle(r);
    EXPECT_EQ(pool.pin(r), nullptr);
    EXPECT_EQ(pool.live_count(), 0u);
    void *other = pool.allocate();
    pool.publish(other);
    pool.destroy_all(nullptr);
    EXPECT_EQ(pool.pin(other), nullptr) << "the memory is gone";
    EXPECT_EQ(pool.live_count(), 0u);
}

std::set<void *> g_visited[2];  // free, allocated

// Freed slots are reused oldest first with their tail kept; unload visits
// every slot handed out, across chunks.
TEST(HandlePool, GrowsAcrossChunksReusesFreedSlotsAndUnloadVisitsThemAll) {
    HandlePool pool(sizeof(Record), offsetof(Record, kept));
    std::vector<Record *> records;
    for (int i = 0; i < 64 + 128 + 5; ++i) {
        auto *r = static_cast<Record *>(pool.allocate());
        ASSERT_NE(r, nullptr);
        r->a = 7;
        r->kept = 100 + static_cast<std::uint64_t>(i);
        pool.publish(r);
        records.push_back(r);
    }
    for (void *r : records) {
        ASSERT_EQ(pool.pin(r), r);
        pool.unpin(r);
    }
    for (int i : {1, 0}) discard(pool, records[i]);
    auto *first = static_cast<Record *>(pool.allocate());
    EXPECT_EQ(pool.allocate(), records[0]);
    EXPECT_EQ(first, records[1]);
    EXPECT_EQ(first->a, 0u) << "the prefix is zero-filled";
    EXPECT_EQ(first->kept, 101u) << "the slot's own part survives";
    pool.publish(first);
    pool.publish(records[0]);
    discard(pool, records.back());
    for (auto &visited : g_visited) visited.clear();
    pool.destroy_all([](void *record, bool allocated) { g_visited[allocated].insert(record); });
    EXPECT_EQ(g_visited[1].size(), records.size() - 1);
    EXPECT_EQ(g_visited[0], std::set<void *>{records.back()});
    // Usable again after unload (the engine may be loaded again).
    void *again = pool.allocate();
    ASSERT_NE(again, nullptr);
    pool.publish(again);
    EXPECT_EQ(pool.pin(again), again);
    pool.unpin(again);
    pool.destroy_all(nullptr);
}

// Many threads pin and unpin while one retires: exactly one caller sees
// the last pin, and nobody pins after retirement.
TEST(HandlePool, RetireRacingPinsHasExactlyOneLastUser) {
    kez::test::Watchdog watchdog(std::chrono::seconds(120), "pin race");
    HandlePool pool(sizeof(Record));
    for (int round = 0; round < 200; ++round) {
        void *r = pool.allocate();
        pool.publish(r);
        ASSERT_EQ(pool.pin(r), r);
        std::atomic<int> last_users{0}, pins_after_retire{0};
        std::atomic<bool> retired{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    const bool was_retired = retired.load();
                    if (pool.pin(r) == nullptr) continue;
                    if (was_retired) ++pins_after_retire;
                    if (pool.unpin(r)) ++last_users;
                }
            });
        }
        std::this_thread::yield();
        EXPECT_TRUE(pool.retire(r));
        retired.store(true);
        if (pool.unpin(r)) ++last_users;
        for (auto &t : threads) t.join();
        EXPECT_EQ(last_users.load(), 1) << "round " << round;
        EXPECT_EQ(pins_after_retire.load(), 0) << "round " << round;
        pool.recycle(r);
    }
    pool.destroy_all(nullptr);
}

}  // namespace
