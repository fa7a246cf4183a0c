// Timers and delays through the exports, on the multimedia back-end (the
// first of the engine list, so the one every process without faults gets):
// the seconds clock and the waits on a hand-driven clock, the back-end on a
// hand-driven table of the seven system calls, and the system's (or the
// platform layer's) multimedia timer under load. The test order matters:
// the first test runs before the engine is chosen.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/utility.h"
#include "os/multimedia_timer.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/watchdog.h"

namespace {

using kez::test::eventually;
using kez::test::Watchdog;
using namespace std::chrono_literals;

void count_call(void *data) { static_cast<std::atomic<int> *>(data)->fetch_add(1); }

int arm(KezUSTETimer timer, unsigned seconds, unsigned nanoseconds) {
    const KezUSTETime period{seconds, nanoseconds};
    return KezUSTEsettimer(timer, &period);
}

TEST(KezUSTE, CallsBeforeInitializeFailWithoutTouchingAnything) {
    KezUSTETime time{7, 7};
    KezUSTElocaltime(&time);
    EXPECT_EQ(time.seconds, 0u);
    EXPECT_EQ(time.nanoseconds, 0u);
    time = {7, 7};
    EXPECT_NE(KezUSTEresolution(&time), 0);
    EXPECT_EQ(time.seconds + time.nanoseconds, 0u);
    std::atomic<int> calls{0};
    EXPECT_EQ(KezUSTEnewtimer(count_call, &calls), nullptr);
    int wild = 0;
    const KezUSTETime period{0, 1000000};
    EXPECT_EQ(KezUSTEsettimer(reinterpret_cast<KezUSTETimer>(&wild), &period), 0);
    KezUSTEdiscardtimer(reinterpret_cast<KezUSTETimer>(&wild));
    EXPECT_EQ(KezUSTEgetpriority(reinterpret_cast<KezUSTETimer>(&wild)), 0);
    EXPECT_EQ(KezTest_TimerEngineLoads(), 0);
}

TEST(KezUSTE, RacingInitializersLoadTheMultimediaBackEndOnce) {
    Watchdog dog(60s);
    std::vector<std::thread> threads;
    std::atomic<int> ones{0};
    for (int i = 0; i < 16; ++i) threads.emplace_back([&] { ones += KezUSTEinitialize(); });
    for (auto &t : threads) t.join();
    EXPECT_EQ(ones.load(), 16);
    EXPECT_EQ(KezTest_TimerEngineLoads(), 1);
    // No timing engine behind the multimedia timer.
    EXPECT_EQ(GetTimeUS(), 0u);
    EXPECT_EQ(SleepUS(100000), 0u);
    EXPECT_EQ(SleepUntilUS(1), 0u);
    EXPECT_EQ(SleepUntilNextMultipleUS(1000), 0u);
    KezUSTETime resolution{};
    EXPECT_EQ(KezUSTEresolution(&resolution), 0);
    EXPECT_EQ(resolution.seconds, 0u);
    EXPECT_EQ(resolution.nanoseconds, 1000000u);
    EXPECT_EQ(KezUSTEresolution(nullptr), -1);
}

// ---- the seconds clock on a hand-driven clock --------------------------------

std::uint64_t g_now_us;
std::vector<unsigned> g_sleeps;
int g_reads;
unsigned long long fake_now() {
    ++g_reads;
    return g_now_us++;  // every read takes a microsecond
}
void fake_sleep(unsigned ms) {
    g_sleeps.push_back(ms);
    g_now_us += std::uint64_t{ms} * 1000;
}

class SecondsClock : public testing::Test {
protected:
    void SetUp() override {
        g_now_us = 1000000000;
        g_reads = 0;
        g_sleeps.clear();
        KezTest_SetTimerClock(fake_now, fake_sleep);
        Timer();  // anchors the clock on the fake
        g_sleeps.clear();
        g_reads = 0;
    }
    void TearDown() override { KezTest_SetTimerClock(nullptr, nullptr); }
};

TEST_F(SecondsClock, DelaySleepsHalvesThenSpinsTheLastTenthOfASecond) {
    const double start = Timer();
    Delay(1.0);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{500, 250, 125, 62}));
    const double end = Timer();
    EXPECT_GE(end - start, 1.001);
    EXPECT_LT(end - start, 1.0011);
    g_sleeps.clear();
    Delay(0.05);
    EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(SecondsClock, HugeDelaysSleepInCappedSlicesAndBadArgumentsReturnAtOnce) {
    for (double bad : {0.0, -1.0, std::nan("")}) Delay(bad);
    SyncWait(Timer(), 0.0);
    SyncWait(Timer(), -5.0);
    SyncWait(std::nan(""), 1.0);
    EXPECT_EQ(g_reads, 3);  // the three Timer() calls above; SyncWait(NaN) reads once and returns
    g_reads = 0;
    SyncWait(Timer() - 1000.0, 1.0);  // long past
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(g_reads, 2);
    Delay(1e10);
    ASSERT_GT(g_sleeps.size(), 100000u);
    EXPECT_EQ(g_sleeps.front(), 86400000u);
    for (unsigned ms : g_sleeps) ASSERT_LE(ms, 86400000u);
    EXPECT_GT(g_sleeps.back(), 50u);  // the last sleep leaves 0.1 s or less
    EXPECT_LE(g_sleeps.back(), 100u);
}

TEST_F(SecondsClock, ABackwardStepOfTheBaseNeitherRunsBackNorLeaps) {
    const double before = Timer();
    g_now_us = 1000;  // the base stepped back (counter switched)
    const double after = Timer();
    EXPECT_EQ(after, before);
    g_now_us += 2000000;
    const double later = Timer();
    EXPECT_GE(later - after, 2.0);
    EXPECT_LT(later - after, 2.00001);
}

TEST(SecondsClockThreads, ReadsNeverDecrease) {
    Watchdog dog(120s);
    std::atomic<int> backwards{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            double previous = Timer();
            for (int n = 0; n < 100000; ++n) {
                const double now = Timer();
                if (now < previous) ++backwards;
                previous = now;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(backwards.load(), 0);
    const double start = Timer();
    Delay(0.002);
    EXPECT_GE(Timer() - start, 0.003);
}

// ---- the back-end on a hand-driven multimedia timer -------------------------

struct FakeTimer {
    std::uint32_t id, delay;
    bool periodic;
    kez::os::MultimediaTimerCallback callback;
    std::uintptr_t user;
    bool live;
};
struct FakeSystem {
    std::uint32_t now = 0;
    std::uint32_t next_id = 100;
    int fail_arms = 0;
    int fail_kills = 0;
    std::vector<FakeTimer> timers;
    FakeTimer *find(std::uint32_t id) {
        for (auto &t : timers)
            if (t.id == id) return &t;
        return nullptr;
    }
    int live_count() const {
        int n = 0;
        for (const auto &t : timers) n += t.live;
        return n;
    }
    // Runs a timer's callback as the system would; a one-shot ends first.
    void fire(std::uint32_t id) {
        FakeTimer t = *find(id);
        if (!t.periodic) find(id)->live = false;
        t.callback(t.id, 0, t.user, 0, 0);
    }
} g_mm;

const kez::os::MultimediaTimerApi kFakeTable = {
    [](void *, std::uint32_t) -> std::uint32_t { return 0; },
    []() -> std::uint32_t { return g_mm.now; },
    [](std::uint32_t delay, std::uint32_t, kez::os::MultimediaTimerCallback cb, std::uintptr_t user,
       std::uint32_t flags) -> std::uint32_t {
        if (g_mm.fail_arms > 0 && g_mm.fail_arms-- > 0) return 0;
        g_mm.timers.push_back({g_mm.next_id, delay, (flags & kez::os::kTimePeriodic) != 0, cb, user, true});
        return g_mm.next_id++;
    },
    [](std::uint32_t id) -> std::uint32_t {
        if (g_mm.fail_kills > 0 && g_mm.fail_kills-- > 0) return kez::os::kMmInvalidParameter;
        FakeTimer *t = g_mm.find(id);
        if (t == nullptr || !t->live) return kez::os::kMmInvalidParameter;
        t->live = false;
        return 0;
    },
    [](kez::os::MultimediaTimerCaps *caps, std::uint32_t) -> std::uint32_t {
        *caps = {1, 1000000};
        return 0;
    },
    [](std::uint32_t) -> std::uint32_t { return 0; },
    [](std::uint32_t) -> std::uint32_t { return 0; },
};

class FakeMultimedia : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(KezUSTEinitialize(), 1);
        g_mm = FakeSystem{};
        KezTest_UseMultimediaTimerTable(&kFakeTable);
        timer_ = KezUSTEnewtimer(count_call, &calls_);
        ASSERT_NE(timer_, nullptr);
    }
    void TearDown() override {
        KezUSTEdiscardtimer(timer_);
        EXPECT_EQ(g_mm.live_count(), 0);
        KezTest_UseMultimediaTimerTable(nullptr);
    }
    const FakeTimer &last() const { return g_mm.timers.back(); }
    // Fires the last armed one-shot at `at` and expects the next one's delay.
    void fire_last_at(std::uint32_t at, int calls, std::uint32_t next_delay) {
        g_mm.now = at;
        const std::uint32_t id = last().id;
        g_mm.fire(id);
        EXPECT_EQ(calls_.load(), calls) << "at " << at;
        EXPECT_NE(last().id, id);
        EXPECT_EQ(last().delay, next_delay) << "at " << at;
        EXPECT_FALSE(last().periodic);
        EXPECT_EQ(g_mm.live_count(), 1);
    }
    std::atomic<int> calls_{0};
    KezUSTETimer timer_ = nullptr;
};

TEST_F(FakeMultimedia, LongPeriodsRunAsChainedOneShotsOneCallPerPeriod) {
    g_mm.now = 1000;
    ASSERT_EQ(arm(timer_, 500, 0), 1);
    EXPECT_EQ(last().delay, 429496u);
    fire_last_at(1000 + 429496, 0, 70504);
    fire_last_at(1000 + 500000, 1, 429496);
    // Fired late, at 3.2 periods past the last boundary: three calls, and
    // the next one-shot aims at the next boundary of the grid.
    fire_last_at(1000 + 500000 + 1600000, 4, 400000);
}

TEST_F(FakeMultimedia, ChainsCountAcrossTheClocksWrapAround) {
    const std::uint32_t start = 0xFFFFFFFFu - 600000;
    g_mm.now = start;
    ASSERT_EQ(arm(timer_, 500, 0), 1);
    fire_last_at(start + 429496, 0, 70504);
    fire_last_at(start + 500000, 1, 429496);
    fire_last_at(start + 929496, 1, 70504);  // past the wrap
    fire_last_at(start + 1000000, 2, 429496);
}

TEST_F(FakeMultimedia, RefusedArmsAndKillsKeepTheRunningTimer) {
    ASSERT_EQ(arm(timer_, 0, 10000000), 1);
    const FakeTimer first = last();
    EXPECT_TRUE(first.periodic);
    EXPECT_EQ(first.delay, 10u);
    EXPECT_EQ(arm(timer_, 0, 500000), 0);  // 0.5 ms
    g_mm.fail_arms = 1;
    EXPECT_EQ(arm(timer_, 0, 20000000), 0);
    g_mm.fail_kills = 1;
    EXPECT_EQ(arm(timer_, 0, 20000000), 0);
    EXPECT_EQ(g_mm.live_count(), 1);  // the new one was killed again
    g_mm.fire(first.id);
    EXPECT_EQ(calls_.load(), 1);
    // Re-armed for real: the old timer's late callback is not the timer's.
    ASSERT_EQ(arm(timer_, 0, 20000000), 1);
    EXPECT_FALSE(g_mm.find(first.id)->live);
    g_mm.timers[0].callback(first.id, 0, first.user, 0, 0);
    EXPECT_EQ(calls_.load(), 1);
    g_mm.fire(last().id);
    EXPECT_EQ(calls_.load(), 2);
    // Periods up to 2^32 - 1 ms are taken, longer ones refused.
    EXPECT_EQ(arm(timer_, 4294967, 295000000), 1);
    EXPECT_EQ(arm(timer_, 4294967, 296000000), 0);
    EXPECT_EQ(arm(timer_, 0, 1000000000), 0);
}

TEST_F(FakeMultimedia, ADiscardedTimersLateCallbackFindsNothing) {
    ASSERT_EQ(arm(timer_, 0, 5000000), 1);
    const FakeTimer armed = last();
    KezUSTEdiscardtimer(timer_);
    EXPECT_FALSE(g_mm.find(armed.id)->live);
    armed.callback(armed.id, 0, armed.user, 0, 0);
    EXPECT_EQ(calls_.load(), 0);
    EXPECT_EQ(arm(timer_, 0, 5000000), 0);
}

// ---- the real multimedia timer -----------------------------------------------

struct Probe {
    std::atomic<int> inside{0};
    std::atomic<int> calls{0};
    std::atomic<bool> discarded{false};
    std::atomic<int> *overlaps;
    std::atomic<int> *late;
};

void probe_call(void *data) {
    auto *p = static_cast<Probe *>(data);
    if (p->inside.fetch_add(1) != 0) p->overlaps->fetch_add(1);
    if (p->discarded.load()) p->late->fetch_add(1);
    p->calls.fetch_add(1);
    std::this_thread::yield();
    p->inside.fetch_sub(1);
}

TEST(RealMultimedia, ThreadsArmReArmAndDiscardWithoutLateOrOverlappingCallbacks) {
    ASSERT_EQ(KezUSTEinitialize(), 1);
    Watchdog dog(300s);
    constexpr int kThreads = 8, kRounds = 125;
    std::atomic<int> overlaps{0}, late{0};
    std::vector<Probe> probes(kThreads * kRounds);
    for (auto &p : probes) {
        p.overlaps = &overlaps;
        p.late = &late;
    }
    const int live_before = KezTest_LiveTimers();
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (int r = 0; r < kRounds; ++r) {
                Probe &p = probes[i * kRounds + r];
                KezUSTETimer t = KezUSTEnewtimer(probe_call, &p);
                ASSERT_NE(t, nullptr);
                const unsigned first = 1 + (r % 3), second = 1 + ((r + 1) % 3);
                ASSERT_EQ(arm(t, 0, first * 1000000), 1);
                kez::os::sleep_ms(r % 4);
                ASSERT_EQ(arm(t, 0, second * 1000000), 1);
                kez::os::sleep_ms(r % 3);
                KezUSTEdiscardtimer(t);
                p.discarded.store(true);
            }
        });
    for (auto &t : threads) t.join();
    kez::os::sleep_ms(20);
    int calls = 0;
    for (auto &p : probes) calls += p.calls.load();
    EXPECT_GT(calls, 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(KezTest_LiveTimers(), live_before);
}

struct SelfDiscard {
    KezUSTETimer timer;
    std::atomic<int> calls{0};
};

TEST(RealMultimedia, ACallbackDiscardsItsOwnTimerAndUnarmedOrLongTimersGoAtOnce) {
    ASSERT_EQ(KezUSTEinitialize(), 1);
    Watchdog dog(60s);
    const int live_before = KezTest_LiveTimers();
    SelfDiscard self;
    self.timer = KezUSTEnewtimer(
        [](void *data) {
            auto *s = static_cast<SelfDiscard *>(data);
            if (s->calls.fetch_add(1) == 2) KezUSTEdiscardtimer(s->timer);
        },
        &self);
    ASSERT_EQ(arm(self.timer, 0, 2000000), 1);
    ASSERT_TRUE(eventually([&] { return KezTest_LiveTimers() == live_before; }));
    kez::os::sleep_ms(30);
    EXPECT_EQ(self.calls.load(), 3);

    std::atomic<int> calls{0};
    const auto start = std::chrono::steady_clock::now();
    KezUSTEdiscardtimer(KezUSTEnewtimer(count_call, &calls));  // never armed
    KezUSTETimer slow = KezUSTEnewtimer(count_call, &calls);
    ASSERT_EQ(arm(slow, 10, 0), 1);
    KezUSTEdiscardtimer(slow);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(KezTest_LiveTimers(), live_before);
    KezUSTEdiscardtimer(slow);  // again: a retired handle is refused
}

TEST(RealMultimedia, LocalTimeFollowsTheMillisecondClock) {
    ASSERT_EQ(KezUSTEinitialize(), 1);
    KezUSTETime a{}, b{};
    KezUSTElocaltime(&a);
    kez::os::sleep_ms(30);
    KezUSTElocaltime(&b);
    EXPECT_EQ(a.nanoseconds % 1000000, 0u);
    const double elapsed = (b.seconds - a.seconds) + (static_cast<double>(b.nanoseconds) - a.nanoseconds) / 1e9;
    EXPECT_GE(elapsed, 0.02);
    EXPECT_LT(elapsed, 5.0);
    KezUSTElocaltime(nullptr);
}

}  // namespace
