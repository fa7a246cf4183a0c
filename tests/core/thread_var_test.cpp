// Thread-variable slots, per-thread blocks and the error-string buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
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

// One slot for this process's tests, whose values are freed with free().
int test_slot() {
    static const int slot = [] {
        int s = 0;
        return KezTest_AllocThreadVarSlot(&s, 1) ? s : 0;
    }();
    return slot;
}

TEST(ThreadVar, FirstGetOnAThreadGivesNullAndLeavesAZeroBlock) {
    const int slot = test_slot();
    ASSERT_GE(slot, 3);  // the engine holds the cross-library and execution slots
    const int live = KezTest_LiveThreadBlocks();
    std::thread([slot, live] {
        EXPECT_EQ(KezTest_HasThreadBlock(), 0);
        EXPECT_EQ(GetKezThreadVarValue(slot), nullptr);
        EXPECT_EQ(KezTest_HasThreadBlock(), 1);
        EXPECT_EQ(KezTest_LiveThreadBlocks(), live + 1);
        for (int s = 1; s <= 8; ++s) EXPECT_EQ(GetKezThreadVarValue(s), nullptr) << s;
        // The error buffer starts empty and stays the thread's own.
        char *buffer = GetThreadLocalErrorStringBuffer();
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_EQ(GetThreadLocalErrorStringBuffer(), buffer);
    }).join();
    EXPECT_EQ(KezTest_LiveThreadBlocks(), live);
}

TEST(ThreadVar, BogusSlotsAreLoggedAndIgnored) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    int dummy = 0;
    EXPECT_EQ(GetKezThreadVarValue(0), nullptr);
    EXPECT_EQ(GetKezThreadVarValue(9), nullptr);
    SetKezThreadVarValue(0, &dummy);
    SetKezThreadVarValue(9, &dummy);
    UninitializeKezThreadVar(0);
    UninitializeKezThreadVar(9);
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 6u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[i].level, 32u);
        EXPECT_EQ(lines[i].text, "Bogus thread local storage slot passed to GetKezThreadVar");
    }
    for (int i = 4; i < 6; ++i)
        EXPECT_EQ(lines[i].text, "Bogus thread local storage slot passed to UninitializeKezThreadVar");
    // Slots 1 to 8 kept their values.
    for (int s = 1; s <= 8; ++s) EXPECT_NE(GetKezThreadVarValue(s), &dummy) << s;
}

TEST(ThreadVar, SixtyFourThreadsKeepTheirOwnValuesAndFreeThemAtThreadEnd) {
    kez::test::Watchdog watchdog(std::chrono::seconds(120));
    const int slot = test_slot();
    ASSERT_NE(slot, 0);
    const int live = KezTest_LiveThreadBlocks();
    constexpr int kThreads = 64;
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::vector<char *> buffers(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int round = 0; round < 2000; ++round) {
                // Values are malloc'd: the slot frees them when the thread ends,
                // so a missed free shows up as a leak under ASan.
                auto *mine = static_cast<int *>(std::malloc(sizeof(int)));
                *mine = t * 100000 + round;
                void *old = GetKezThreadVarValue(slot);
                SetKezThreadVarValue(slot, mine);
                std::free(old);
                if (*static_cast<int *>(GetKezThreadVarValue(slot)) != t * 100000 + round) failures.fetch_add(1);
            }
            buffers[t] = GetThreadLocalErrorStringBuffer();
            std::snprintf(buffers[t], 512, "thread %d", t);
            if (GetThreadLocalErrorStringBuffer() != buffers[t]) failures.fetch_add(1);
            ready.fetch_add(1);
            while (ready.load() < 2 * kThreads) std::this_thread::yield();
            char expected[32];
            std::snprintf(expected, sizeof expected, "thread %d", t);
            if (std::strcmp(GetThreadLocalErrorStringBuffer(), expected) != 0) failures.fetch_add(1);
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
            int last = 0;
            for (; KezTest_AllocThreadVarSlot(&slot, 0) == 1 && taken < 20; ++taken) last = slot;
            bool ok = held >= 2 && taken == 8 - held && last == 8 && KezTest_ThreadVarSlotsInUse() == 8;
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
