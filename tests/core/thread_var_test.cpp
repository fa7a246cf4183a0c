// Thread-variable slots, per-thread blocks and the error-string buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
// The host C library's malloc and free below hand values to a slot that
// frees them with the host's free: this test does not include the engine's
// C library header, which would redirect them to the user heap.
#include "kez/runtime.h"
#include "support/linked_engine_tap.h"
#include "support/watchdog.h"

namespace {

TEST(ThreadVar, BogusSlotsAreLoggedAndIgnored) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    int dummy = 0;
    for (int bad : {0, 9}) {
        EXPECT_EQ(GetKezThreadVarValue(bad), nullptr);
        SetKezThreadVarValue(bad, &dummy);
        UninitializeKezThreadVar(bad);
    }
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(lines[i].level, 32u);
        EXPECT_EQ(lines[i].text, std::string("Bogus thread local storage slot passed to ") +
                                     (i % 3 == 2 ? "UninitializeKezThreadVar" : "GetKezThreadVar"));
    }
    for (int s = 1; s <= 8; ++s) EXPECT_NE(GetKezThreadVarValue(s), &dummy) << s;
}

// A thread's first get gives null and leaves a zero block; each thread keeps
// its own values and error buffer, and its block goes when it ends.
TEST(ThreadVar, SixtyFourThreadsKeepTheirOwnValuesAndFreeThemAtThreadEnd) {
    kez::test::Watchdog watchdog(std::chrono::seconds(120));
    int slot = 0;
    ASSERT_EQ(KezTest_AllocThreadVarSlot(&slot, 1), 1);
    ASSERT_GE(slot, 3);  // the engine holds the cross-library and execution slots
    const int live = KezTest_LiveThreadBlocks();
    constexpr int kThreads = 64;
    std::atomic<int> ready{0}, failures{0};
    std::vector<char *> buffers(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const auto check = [&failures](bool ok) { failures.fetch_add(ok ? 0 : 1); };
            check(KezTest_HasThreadBlock() == 0);
            check(GetKezThreadVarValue(slot) == nullptr && KezTest_HasThreadBlock() == 1);
            for (int s = 1; s <= 8; ++s) check(GetKezThreadVarValue(s) == nullptr);
            buffers[t] = GetThreadLocalErrorStringBuffer();
            check(buffers[t] != nullptr && buffers[t][0] == '\0');
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            check(KezTest_LiveThreadBlocks() == live + kThreads);
            for (int round = 0; round < 2000; ++round) {
                // Values are malloc'd: the slot frees them when the thread ends,
                // so a missed free shows up as a leak under ASan.
                auto *mine = static_cast<int *>(std::malloc(sizeof(int)));
                *mine = t * 100000 + round;
                void *old = GetKezThreadVarValue(slot);
                SetKezThreadVarValue(slot, mine);
                std::free(old);
                check(*static_cast<int *>(GetKezThreadVarValue(slot)) == t * 100000 + round);
            }
            std::snprintf(buffers[t], 512, "thread %d", t);
            ready.fetch_add(1);
            while (ready.load() < 2 * kThreads) std::this_thread::yield();
            check(GetThreadLocalErrorStringBuffer() == buffers[t] &&
                  std::string(buffers[t]) == "thread " + std::to_string(t));
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < kThreads; ++i)
        for (int j = i + 1; j < kThreads; ++j) ASSERT_NE(buffers[i], buffers[j]);
    EXPECT_EQ(KezTest_LiveThreadBlocks(), live);
}

// The slot counters are process-wide: the cases that use them all up run
// in a child process of their own.
TEST(ThreadVarDeathTest, EightSlotsAtMostAndReleasingTooOftenDoesNotWrapTheCount) {
    EXPECT_EXIT(
        {
            // The engine's libraries hold some slots; the rest can be taken,
            // up to slot 8, and the ninth allocation fails.
            const int held = KezTest_ThreadVarSlotsInUse();
            int slot = 0;
            int taken = 0;
            while (taken < 20 && KezTest_AllocThreadVarSlot(&slot, 0) == 1) ++taken;
            bool ok = held >= 2 && taken == 8 - held && slot == 8 && KezTest_ThreadVarSlotsInUse() == 8;
            for (int s = 8; s >= 1; --s) UninitializeKezThreadVar(s);
            ok = ok && KezTest_HasThreadBlock() == 0 && KezTest_LiveThreadBlocks() == 0;
            // Once too often: logged, and the count stays at 0.
            kez::test::TapReader tap(kez::test::linked_engine_tap());
            UninitializeKezThreadVar(1);
            ok = ok && tap.contains_since_mark("UnitializeKezThreadVar called too many times");
            ok = ok && KezTest_ThreadVarSlotsInUse() == 0;
            // A new index after all are released: slot 1 again, every time.
            ok = ok && KezTest_AllocThreadVarSlot(&slot, 0) == 1 && slot == 1;
            ok = ok && GetKezThreadVarValue(1) == nullptr && KezTest_HasThreadBlock() == 1;
            UninitializeKezThreadVar(1);
            ok = ok && KezTest_AllocThreadVarSlot(&slot, 0) == 1 && slot == 1;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
