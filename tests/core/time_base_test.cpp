// The engine's time bases.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "support/watchdog.h"

namespace {

TEST(TimeBase, TickConversionDoesNotOverflow) {
    const unsigned long long cases[][2] = {
        {0, 10000000},
        {9999999, 10000000},
        {1ull << 63, 10000000},           // counter * 10^6 would wrap
        {0xFFFFFFFFFFFFFFFFull, 3579545},  // an odd frequency
        {123456789012345ull, 1000000000},
    };
    for (const auto &c : cases) {
        const unsigned __int128 exact = static_cast<unsigned __int128>(c[0]) * 1000000u / c[1];
        EXPECT_EQ(KezTest_TicksToUnits(c[0], c[1], 1000000), static_cast<unsigned long long>(exact)) << c[0];
        const unsigned __int128 exact_ms = static_cast<unsigned __int128>(c[0]) * 1000u / c[1];
        EXPECT_EQ(KezTest_TicksToUnits(c[0], c[1], 1000), static_cast<unsigned long long>(exact_ms)) << c[0];
    }
}

TEST(TimeBase, HighResolutionCounterIsInUseAndAgreesWithMilliseconds) {
    EXPECT_DOUBLE_EQ(KezTest_TimerResolution(), 0.001);
    const long long drift = static_cast<long long>(KezTest_MicroSecs() / 1000) - KezTest_MilliSecs();
    EXPECT_TRUE(drift >= -1 && drift <= 1) << drift;
}

TEST(TimeBase, MicroSecsNeverGoBackwardsAcrossThreads) {
    kez::test::Watchdog watchdog(std::chrono::seconds(120));
    std::atomic<unsigned long long> latest{0};
    std::atomic<int> backwards{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200000; ++i) {
                // A value another thread published before this read began.
                const unsigned long long seen = latest.load(std::memory_order_acquire);
                const unsigned long long now = KezTest_MicroSecs();
                if (now < seen) backwards.fetch_add(1);
                unsigned long long cur = latest.load(std::memory_order_relaxed);
                while (cur < now && !latest.compare_exchange_weak(cur, now, std::memory_order_release)) {
                }
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(backwards.load(), 0);
}

TEST(TimeBase, WithoutTheCounterMicrosecondsFollowTheTickCount) {
    KezTest_UseHighResolutionCounter(0);
    EXPECT_DOUBLE_EQ(KezTest_TimerResolution(), 0.055);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(KezTest_MicroSecs() % 1000, 0u);
    const unsigned long long a = KezTest_MicroSecs();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GE(KezTest_MicroSecs() - a, 20000u);
    KezTest_UseHighResolutionCounter(1);
    EXPECT_DOUBLE_EQ(KezTest_TimerResolution(), 0.001);
}

}  // namespace
