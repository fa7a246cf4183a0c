// The timer engine on the timing engine component (its stand-in), chosen
// because the multimedia timer's load is failed: first with both back-ends
// failing, then on the stand-in's virtual clock, whose sleeps end at once
// at their deadline, so every callback's time is exact; and on its real
// clock for re-arming and discarding in the middle of a long sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "core/test_hooks.h"
#include "kez/utility.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/watchdog.h"

namespace {

using kez::test::eventually;
using kez::test::Watchdog;
using namespace std::chrono_literals;

constexpr std::uint64_t kMs = 1000000;  // ns
constexpr std::uint64_t kSecond = 1000000000;

struct StandIn {
    void (*use_virtual_clock)(std::uint64_t start_ns);
    void (*use_real_clock)();
    void (*advance_ns)(std::uint64_t ns);
    std::uint64_t (*virtual_ns)();
    void (*set_clock_rate)(std::uint64_t rate);
    void (*overshoot_next_sleep_ns)(std::uint64_t ns);
};

template <class F>
void resolve(kez::os::Module m, F *f, const char *name) {
    *f = reinterpret_cast<F>(kez::os::module_symbol(m, name));
    ASSERT_NE(*f, nullptr) << name;
}

StandIn &stand_in() {
    static StandIn s = [] {
        StandIn r{};
        kez::os::Module m = kez::os::module_load("dvuste.dll");
        EXPECT_NE(m, nullptr);
        resolve(m, &r.use_virtual_clock, "dvuste_use_virtual_clock");
        resolve(m, &r.use_real_clock, "dvuste_use_real_clock");
        resolve(m, &r.advance_ns, "dvuste_advance_ns");
        resolve(m, &r.virtual_ns, "dvuste_virtual_ns");
        resolve(m, &r.set_clock_rate, "dvuste_set_clock_rate");
        resolve(m, &r.overshoot_next_sleep_ns, "dvuste_overshoot_next_sleep_ns");
        return r;
    }();
    return s;
}

int arm(KezUSTETimer timer, unsigned seconds, unsigned nanoseconds) {
    const KezUSTETime period{seconds, nanoseconds};
    return KezUSTEsettimer(timer, &period);
}

TEST(TimingEngine, WithoutAnyBackEndEverythingGivesItsFailureValue) {
    KezTest_ArmFault("os.multimedia_timer_load", 1000000);
    KezTest_ArmFault("os.module_load", 1000000);
    EXPECT_EQ(KezUSTEinitialize(), 0);
    EXPECT_EQ(GetTimeUS(), 0u);  // tries again, and fails again
    EXPECT_EQ(SleepUS(1000), 0u);
    EXPECT_EQ(KezTest_TimerEngineLoads(), 6);
    KezUSTETime time{1, 1};
    KezUSTElocaltime(&time);
    EXPECT_EQ(time.seconds + time.nanoseconds, 0u);
    std::atomic<int> calls{0};
    EXPECT_EQ(KezUSTEnewtimer([](void *) {}, &calls), nullptr);
    KezTest_ArmFault("os.module_load", 0);
}

TEST(TimingEngine, ServesTheClockAndTheSleeps) {
    ASSERT_EQ(KezUSTEinitialize(), 1);
    EXPECT_EQ(KezTest_TimerEngineLoads(), 8);
    stand_in().use_virtual_clock(5 * kSecond);
    EXPECT_EQ(GetTimeUS(), 5000000u);
    EXPECT_EQ(SleepUS(250), 5000250u);
    EXPECT_EQ(SleepUntilUS(5001000), 5001000u);
    EXPECT_EQ(SleepUntilNextMultipleUS(1000000), 6000000u);
    KezUSTETime time{};
    KezUSTElocaltime(&time);
    EXPECT_EQ(time.seconds, 6u);
    EXPECT_EQ(time.nanoseconds, 0u);

    struct Case {
        std::uint64_t rate;
        int result;
        unsigned seconds, nanoseconds;
    };
    for (const Case &c : {Case{1000000000, 0, 0, 1000}, Case{1000, 0, 0, 1000000}, Case{4, 0, 0, 250000000},
                          Case{1, 0, 1, 0}, Case{0, -1, 0, 0}}) {
        stand_in().set_clock_rate(c.rate);
        time = {9, 9};
        EXPECT_EQ(KezUSTEresolution(&time), c.result) << c.rate;
        EXPECT_EQ(time.seconds, c.seconds) << c.rate;
        EXPECT_EQ(time.nanoseconds, c.nanoseconds) << c.rate;
    }
    stand_in().set_clock_rate(UINT64_MAX);
}

// Records the virtual time of the first calls; optionally overruns.
struct Recorder {
    std::vector<std::uint64_t> times;
    std::atomic<int> calls{0};
    std::uint64_t overrun_first_ns = 0;
    static constexpr int kKept = 8;
};

void record(void *data) {
    auto *r = static_cast<Recorder *>(data);
    const int n = r->calls.load();
    if (n < Recorder::kKept) r->times.push_back(stand_in().virtual_ns());
    if (n == 0 && r->overrun_first_ns != 0) stand_in().advance_ns(r->overrun_first_ns);
    r->calls.store(n + 1);
}

// Runs a 1 ms timer from `start` on the virtual clock until it has been
// called kKept times, and gives the times of those calls.
std::vector<std::uint64_t> run_virtual(std::uint64_t start, std::uint64_t overrun_first_ns = 0,
                                       std::uint64_t overshoot_first_sleep_ns = 0) {
    Watchdog dog(60s);
    stand_in().use_virtual_clock(start);
    if (overshoot_first_sleep_ns != 0) stand_in().overshoot_next_sleep_ns(overshoot_first_sleep_ns);
    Recorder r;
    r.overrun_first_ns = overrun_first_ns;
    KezUSTETimer t = KezUSTEnewtimer(record, &r);
    EXPECT_NE(t, nullptr);
    EXPECT_EQ(arm(t, 0, 1000000), 1);
    EXPECT_TRUE(eventually([&] { return r.calls.load() >= Recorder::kKept; }));
    KezUSTEdiscardtimer(t);
    return r.times;
}

std::vector<std::uint64_t> grid(std::uint64_t start, std::vector<double> periods) {
    std::vector<std::uint64_t> times;
    for (double k : periods) times.push_back(start + static_cast<std::uint64_t>(k * kMs));
    return times;
}

TEST(TimingEngine, CallbacksKeepTheGridAcrossOverrunsMissedDeadlinesAndTheWrap) {
    ASSERT_EQ(KezUSTEinitialize(), 1);
    const std::uint64_t s = 10 * kSecond;
    EXPECT_EQ(run_virtual(s), grid(s, {1, 2, 3, 4, 5, 6, 7, 8}));
    // A call that takes 3.5 periods is followed by three at once.
    EXPECT_EQ(run_virtual(s, 3500000), grid(s, {1, 4.5, 4.5, 4.5, 5, 6, 7, 8}));
    // A thread that wakes 2.5 periods late runs once and skips the rest.
    EXPECT_EQ(run_virtual(s, 0, 2500000), grid(s, {3.5, 4, 5, 6, 7, 8, 9, 10}));
    // The 32-bit microsecond clock wraps after the second call.
    const std::uint64_t w = ((std::uint64_t{1} << 32) - 2500) * 1000;
    EXPECT_EQ(run_virtual(w), grid(w, {1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(TimingEngine, ReArmsAndDiscardsDoNotWaitOutALongSleep) {
    ASSERT_EQ(KezUSTEinitialize(), 1);
    Watchdog dog(60s);
    stand_in().use_real_clock();
    const int live_before = KezTest_LiveTimers();
    Recorder r;
    KezUSTETimer t = KezUSTEnewtimer([](void *data) { static_cast<Recorder *>(data)->calls.fetch_add(1); }, &r);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(arm(t, 2147, 483647000), 1);  // just below 2^31 us
    EXPECT_EQ(arm(t, 2147, 483648000), 0);  // refused: the long period runs on
    kez::os::sleep_ms(30);
    EXPECT_EQ(r.calls.load(), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(arm(t, 0, 2000000), 1);
    EXPECT_TRUE(eventually([&] { return r.calls.load() >= 3; }));
    ASSERT_EQ(arm(t, 1800, 0), 1);
    kez::os::sleep_ms(20);
    const int calls = r.calls.load();
    KezUSTEdiscardtimer(t);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_LE(r.calls.load(), calls + 1);
    EXPECT_EQ(KezTest_LiveTimers(), live_before);
}

TEST(TimingEngine, SelfDiscardPriorityAndAFailedThread) {
    ASSERT_EQ(KezUSTEinitialize(), 1);
    Watchdog dog(60s);
    stand_in().use_virtual_clock(kSecond);
    const int live_before = KezTest_LiveTimers();
    struct Self {
        KezUSTETimer timer;
        std::atomic<int> calls{0};
    } self;
    self.timer = KezUSTEnewtimer(
        [](void *data) {
            auto *s = static_cast<Self *>(data);
            if (s->calls.fetch_add(1) == 2) KezUSTEdiscardtimer(s->timer);
        },
        &self);
    ASSERT_NE(self.timer, nullptr);
    // Lowering a thread's priority needs no privilege anywhere.
    KezUSTEsetpriority(self.timer, -1);
    EXPECT_EQ(KezUSTEgetpriority(self.timer), -1);
    ASSERT_EQ(arm(self.timer, 0, 1000000), 1);
    ASSERT_TRUE(eventually([&] { return KezTest_LiveTimers() == live_before; }));
    EXPECT_EQ(self.calls.load(), 3);
    EXPECT_EQ(KezUSTEgetpriority(self.timer), 0);  // gone

    KezTest_ArmFault("os.thread_create", 1);
    EXPECT_EQ(KezUSTEnewtimer([](void *) {}, nullptr), nullptr);
    EXPECT_EQ(KezTest_LiveTimers(), live_before);
    stand_in().use_real_clock();
}

}  // namespace
