// The multimedia timer table (Linux: the platform layer's own; Windows: winmm)
// and the priority of another thread. Limits are read from the capabilities:
// the two systems report different maximum periods.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "os/fault.h"
#include "os/multimedia_timer.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/latch.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
namespace os = kez::os;
using kez::test::eventually;

// What one timer's callbacks saw.
struct Probe {
    static constexpr int kTimes = 32;
    std::atomic<int> count{0};
    std::atomic<bool> busy{false};
    std::atomic<std::uint32_t> id{0};
    std::atomic<std::uintptr_t> bad_call{0};  // a call with an unexpected argument
    std::uint32_t times[kTimes] = {};         // get_time() at each call
    const os::MultimediaTimerApi *api = nullptr;
    kez::test::Latch *entered = nullptr;  // when set: counted down on entry, then `release` awaited
    kez::test::Latch *release = nullptr;
};

void probe_callback(std::uint32_t id, std::uint32_t message, std::uintptr_t user, std::uintptr_t r1,
                    std::uintptr_t r2) {
    auto *p = reinterpret_cast<Probe *>(user);
    p->busy = true;
    if (message != 0 || r1 != 0 || r2 != 0 || (p->id != 0 && p->id != id)) p->bad_call = 1;
    const int n = p->count.load();
    if (n < Probe::kTimes) p->times[n] = p->api->get_time();
    p->count = n + 1;  // callbacks of one table never overlap
    if (p->entered != nullptr) {
        p->entered->count_down();
        p->release->wait();
    }
    p->busy = false;
}

class MultimediaTimer : public testing::Test {
protected:
    void SetUp() override {
        api = os::multimedia_timer_load();
        ASSERT_NE(api, nullptr);
        ASSERT_EQ(api->get_dev_caps(&caps, sizeof caps), 0u);
    }
    std::uint32_t arm(Probe &p, std::uint32_t delay, std::uint32_t flags) {
        p.api = api;
        const std::uint32_t id = api->set_event(delay, 1, probe_callback, reinterpret_cast<std::uintptr_t>(&p), flags);
        p.id = id;
        return id;
    }
    // After a kill: whatever ran finishes, and then nothing more arrives.
    void expect_stopped(Probe &p) {
        ASSERT_TRUE(eventually([&] { return !p.busy.load(); }));
        os::sleep_ms(50);
        const int settled = p.count.load();
        os::sleep_ms(150);
        EXPECT_EQ(p.count.load(), settled);
    }
    const os::MultimediaTimerApi *api = nullptr;
    os::MultimediaTimerCaps caps{};
    kez::test::Watchdog watchdog{120s, "multimedia timer test"};
};

TEST_F(MultimediaTimer, CapsPeriodsClockAndRefusedDelays) {
    EXPECT_GE(caps.period_min, 1u);
    EXPECT_GE(caps.period_max, caps.period_min);
    os::MultimediaTimerCaps other{};
    EXPECT_EQ(api->get_dev_caps(&other, sizeof other - 1), os::kTimerNoCando);
    EXPECT_EQ(api->begin_period(0), os::kTimerNoCando);
    EXPECT_EQ(api->begin_period(caps.period_min), 0u);
    EXPECT_EQ(api->end_period(caps.period_min), 0u);
    EXPECT_EQ(api->begin_period(caps.period_max + 1), os::kTimerNoCando);
    Probe p;
    EXPECT_EQ(arm(p, 0, os::kTimeOneShot), 0u);
    EXPECT_EQ(arm(p, caps.period_max + 1, os::kTimePeriodic), 0u);

    std::uint32_t record[4] = {0, 0, 0, 0xAAAAAAAAu};
    const std::uint32_t before = api->get_time();
    ASSERT_EQ(api->get_system_time(record, 12), 0u);
    EXPECT_EQ(record[0], 1u);  // milliseconds
    EXPECT_LE(record[1] - before, 1000u);  // not before `before` either: unsigned
    EXPECT_EQ(record[3], 0xAAAAAAAAu);  // 12 bytes, no more
#if !defined(_WIN32)  // winmm does not look at the size
    EXPECT_EQ(api->get_system_time(record, 11), os::kTimerNoCando);
#endif
    os::sleep_ms(30);
    EXPECT_GE(api->get_time() - before, 25u);
    os::sleep_ms(500);
    EXPECT_EQ(p.count.load(), 0);  // the refused ones never fire
}

TEST_F(MultimediaTimer, OneShotFiresOnceAndIsThenUnknown) {
    Probe p;
    const std::uint32_t start = api->get_time();
    const std::uint32_t id = arm(p, 20, os::kTimeOneShot);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(eventually([&] { return p.count.load() == 1; }));
    EXPECT_GE(p.times[0] - start, 19u);
    os::sleep_ms(200);
    EXPECT_EQ(p.count.load(), 1);
    EXPECT_EQ(api->kill_event(id), os::kMmInvalidParameter);
    EXPECT_EQ(p.bad_call.load(), 0u);
}

// The k-th call comes no earlier than start + k x period (a millisecond of
// rounding allowed), and a kill ends the calls.
TEST_F(MultimediaTimer, PeriodicKeepsItsGridUntilKilled) {
    constexpr std::uint32_t kPeriod = 10;
    Probe p;
    const std::uint32_t start = api->get_time();
    const std::uint32_t id = arm(p, kPeriod, os::kTimePeriodic);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(eventually([&] { return p.count.load() >= Probe::kTimes; }, 30s));
    EXPECT_EQ(api->kill_event(id), 0u);
    expect_stopped(p);
    for (int k = 1; k <= Probe::kTimes; ++k)
        EXPECT_GE(static_cast<std::int32_t>(p.times[k - 1] - start), static_cast<std::int32_t>(k * kPeriod) - 1)
            << "call " << k;
    EXPECT_EQ(api->kill_event(id), os::kMmInvalidParameter);
    EXPECT_EQ(p.bad_call.load(), 0u);
}

// The callback blocks until the killing thread lets it go, which it does
// only after kill_event returned: a kill that waited would hang here.
TEST_F(MultimediaTimer, KillDoesNotWaitForTheRunningCallback) {
    kez::test::Latch entered(1), release(1);
    Probe p;
    p.entered = &entered;
    p.release = &release;
    const std::uint32_t id = arm(p, 5, os::kTimePeriodic);
    ASSERT_NE(id, 0u);
    entered.wait();
    EXPECT_EQ(api->kill_event(id), 0u);
    release.count_down();
    expect_stopped(p);
    EXPECT_EQ(p.count.load(), 1);
}

// A periodic parent, on its first call, kills a sibling, arms a one-shot
// child and kills itself.
struct Family {
    const os::MultimediaTimerApi *api;
    std::atomic<int> parent_calls{0};
    std::atomic<std::uint32_t> sibling{0}, child{0};
    std::atomic<std::uint32_t> kill_sibling = 99, kill_self = 99;
    Probe child_probe;
};

void parent_callback(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
    auto *f = reinterpret_cast<Family *>(user);
    if (f->parent_calls++ != 0) return;
    f->kill_sibling = f->api->kill_event(f->sibling);
    f->child_probe.api = f->api;
    f->child = f->api->set_event(5, 1, probe_callback, reinterpret_cast<std::uintptr_t>(&f->child_probe), 0);
    f->kill_self = f->api->kill_event(id);
}

TEST_F(MultimediaTimer, CallbacksArmAndKillTimersIncludingTheirOwn) {
    Family f{api};
    Probe sibling;
    f.sibling = arm(sibling, caps.period_max, os::kTimePeriodic);
    ASSERT_NE(f.sibling.load(), 0u);
    const std::uint32_t parent = api->set_event(5, 1, parent_callback, reinterpret_cast<std::uintptr_t>(&f), 1);
    ASSERT_NE(parent, 0u);
    ASSERT_TRUE(eventually([&] { return f.child_probe.count.load() == 1; }));
    os::sleep_ms(100);
    EXPECT_EQ(f.parent_calls.load(), 1);
    EXPECT_EQ(f.kill_sibling.load(), 0u);
    EXPECT_EQ(f.kill_self.load(), 0u);
    EXPECT_NE(f.child.load(), 0u);
    EXPECT_EQ(f.child_probe.count.load(), 1);
    EXPECT_EQ(api->kill_event(parent), os::kMmInvalidParameter);
    EXPECT_EQ(api->kill_event(f.sibling), os::kMmInvalidParameter);
    EXPECT_EQ(sibling.count.load(), 0);
}

// Ids stay distinct among living timers while others come and go. Wine's
// winmm has room for 16 timers at once: at most 15 live here.
TEST_F(MultimediaTimer, IdsAreNeverZeroNorShared) {
    Probe p;
    std::vector<std::uint32_t> living;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 8; ++i) {
            const std::uint32_t id = arm(p, caps.period_max, os::kTimePeriodic);
            ASSERT_NE(id, 0u) << "round " << round << " arm " << i;
            EXPECT_EQ(std::count(living.begin(), living.end(), id), 0) << id;
            living.push_back(id);
        }
        std::vector<std::uint32_t> kept;
        for (std::size_t i = 0; i < living.size(); ++i) {
            if (i % 2 == 1) kept.push_back(living[i]);
            else ASSERT_EQ(api->kill_event(living[i]), 0u);
        }
        living = kept;
    }
    for (std::uint32_t id : living) EXPECT_EQ(api->kill_event(id), 0u);
    for (std::uint32_t id : living) EXPECT_EQ(api->kill_event(id), os::kMmInvalidParameter);
    EXPECT_EQ(p.count.load(), 0);
}

TEST_F(MultimediaTimer, UnloadKillsArmedTimersAndALaterLoadWorksAnew) {
    Probe periodic, later;
    ASSERT_NE(arm(periodic, 5, os::kTimePeriodic), 0u);
    ASSERT_TRUE(eventually([&] { return periodic.count.load() > 0; }));
    os::multimedia_timer_unload(false);
    expect_stopped(periodic);
    api = os::multimedia_timer_load();
    ASSERT_NE(api, nullptr);
    ASSERT_NE(arm(later, 5, os::kTimeOneShot), 0u);
    EXPECT_TRUE(eventually([&] { return later.count.load() == 1; }));
}

#if defined(KEZ_TEST_HOOKS)
TEST_F(MultimediaTimer, FaultPointsRefuseLoadArmAndKill) {
    kez::fault::arm("os.multimedia_timer_load", 1);
    EXPECT_EQ(os::multimedia_timer_load(), nullptr);
    EXPECT_EQ(os::multimedia_timer_load(), api);
    Probe p;
    kez::fault::arm("os.multimedia_timer_arm", 1);
    EXPECT_EQ(arm(p, 5, os::kTimePeriodic), 0u);
    const std::uint32_t id = arm(p, 5, os::kTimePeriodic);
    ASSERT_NE(id, 0u);
    kez::fault::arm("os.multimedia_timer_kill", 1);
    EXPECT_EQ(api->kill_event(id), os::kMmInvalidParameter);
    const int before = p.count.load();
    EXPECT_TRUE(eventually([&] { return p.count.load() > before + 2; }));  // still armed
    EXPECT_EQ(api->kill_event(id), 0u);
    expect_stopped(p);
    kez::fault::disarm_all();
}
#endif

void wait_for_event(void *e) { os::event_wait(static_cast<os::Event *>(e), os::kInfinite); }

// Raising needs a privilege on Linux; lowering (a higher nice value) never
// does. The caller's own priority is left alone.
TEST(OsThreadPriority, OfAnotherThreadIsSetAndReadBack) {
    kez::test::Watchdog watchdog(60s);
    os::Event *stop = os::event_create(true, false);
    os::ThreadId tid = 0;
    os::Thread *t = os::thread_create_suspended(wait_for_event, stop, 0, &tid);
    ASSERT_NE(t, nullptr);
    os::thread_resume(t);
    int mine = 0, theirs = 99;
    ASSERT_TRUE(os::thread_priority_get(&mine));
    const bool raised = os::thread_priority_set_of(t, 2);
    if (!raised) {
        ASSERT_TRUE(os::thread_priority_set_of(t, -1));
    }
    ASSERT_TRUE(os::thread_priority_get_of(t, &theirs));
    EXPECT_EQ(theirs, raised ? 2 : -1);
    int mine_after = 99;
    ASSERT_TRUE(os::thread_priority_get(&mine_after));
    EXPECT_EQ(mine_after, mine);
#if defined(KEZ_TEST_HOOKS)
    kez::fault::arm("os.thread_priority_get", 1);
    kez::fault::arm("os.thread_priority_set", 1);
    EXPECT_FALSE(os::thread_priority_get_of(t, &theirs));
    EXPECT_FALSE(os::thread_priority_set_of(t, -2));
    ASSERT_TRUE(os::thread_priority_get_of(t, &theirs));
    EXPECT_EQ(theirs, raised ? 2 : -1);  // the refused set changed nothing
    kez::fault::disarm_all();
#endif
    os::event_set(stop);
    EXPECT_TRUE(os::thread_join(t, 10000));
    os::thread_close(t);
    os::event_destroy(stop);
}

}  // namespace
