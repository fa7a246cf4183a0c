// The timer engine over the system's multimedia timer.
//
// Periods up to the one-shot limit run as one periodic system timer; longer
// ones (up to 2^32 - 1 ms) as a chain of one-shots of at most that limit,
// each re-armed by its own callback, with one user callback per period
// counted on a 64-bit extension of the 32-bit millisecond clock.
//
// A record's system timer id, period and start change only under the
// record's lock, and every callback checks that the id it fired for is
// still the record's: a timer replaced by SetTimer, killed by
// DiscardTimer or re-armed by its chain is never mistaken for the current
// one, and a callback of a discarded timer finds its handle retired.
// System calls are made outside the record's lock, since the system may
// hold its own lock while it runs a callback that waits for ours.
#include <cstdint>

#include "core/test_hooks.h"
#include "log/log.h"
#include "os/multimedia_timer.h"
#include "util/timer_engine.h"

namespace kez::util {
namespace {

// The system's multimedia timers take periods below 429,497 ms.
constexpr std::uint64_t kOneShotLimit = 429496;

const os::MultimediaTimerApi *g_test_api = nullptr;

class MMSystem final : public TimerEngine {
public:
    bool Load() override;
    void LocalTime(KezUSTETime *time) override { *time = time_of_ms(api_->get_time()); }
    int Resolution(KezUSTETime *time) override;
    TimerRecord *NewTimer(KezUSTECallback callback, void *data) override;
    void DiscardTimer(TimerRecord *t) override;
    int SetTimer(TimerRecord *t, const KezUSTETime *period) override;
    void SetPriority(TimerRecord *, int) override {}
    int GetPriority(TimerRecord *) override { return 0; }
    const KezTimeEngine *TimeEngine() override { return nullptr; }
    bool Unload(bool may_wait) override;

    // Tests drive the back-end through a table of their own.
    void use_api(const os::MultimediaTimerApi *api);

private:
    static void periodic_callback(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t);
    static void long_period_callback(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                     std::uintptr_t);
    static TimerRecord *enter_callback(std::uint32_t id, std::uintptr_t user);
    static void leave_callback(TimerRecord *t);

    // The one-shot length and the longest periodic timer: the system's
    // maximum period bounds both.
    std::uint64_t limit() const { return caps_.period_max < kOneShotLimit ? caps_.period_max : kOneShotLimit; }
    std::uint64_t now_ms();
    std::uint32_t arm(TimerRecord *t, std::uint64_t delay_ms, bool periodic);

    const os::MultimediaTimerApi *api_ = nullptr;
    os::MultimediaTimerCaps caps_{};
    // The 64-bit millisecond clock: the high part counts the 32-bit
    // clock's wrap-arounds. Read at least once per one-shot, so no wrap is
    // missed while a long period runs.
    core::WordLock clock_lock_;
    std::uint32_t clock_last_ = 0;
    std::uint64_t clock_high_ = 0;
    // The period begun for Resolution, once per process; 0 none.
    core::WordLock period_lock_;
    std::uint32_t begun_period_ = 0;
};

MMSystem g_mmsystem;

bool MMSystem::Load() {
    if (api_ != nullptr) return true;
    const os::MultimediaTimerApi *api = g_test_api != nullptr ? g_test_api : os::multimedia_timer_load();
    if (api == nullptr) return false;
    os::MultimediaTimerCaps caps{};
    if (api->get_dev_caps(&caps, sizeof caps) != 0) {
        if (api != g_test_api) os::multimedia_timer_unload(false);
        return false;
    }
    caps_ = caps;
    api_ = api;
    return true;
}

void MMSystem::use_api(const os::MultimediaTimerApi *api) {
    g_test_api = api;
    api_ = nullptr;
    clock_last_ = 0;
    clock_high_ = 0;
    Load();
}

std::uint64_t MMSystem::now_ms() {
    clock_lock_.lock();
    const std::uint32_t now = api_->get_time();
    if (now < clock_last_) clock_high_ += std::uint64_t{1} << 32;
    clock_last_ = now;
    const std::uint64_t value = clock_high_ | now;
    clock_lock_.unlock();
    return value;
}

int MMSystem::Resolution(KezUSTETime *time) {
    std::uint32_t period = caps_.period_min;
    if (period < 2) period = caps_.period_max != 0 ? 1 : 0;
    period_lock_.lock();
    if (begun_period_ == 0) {
        const std::uint32_t code = api_->begin_period(period);
        if (code != 0) {
            period_lock_.unlock();
            return static_cast<int>(code);
        }
        begun_period_ = period;
    }
    period_lock_.unlock();
    *time = time_of_ms(period);
    return 0;
}

TimerRecord *MMSystem::NewTimer(KezUSTECallback callback, void *data) {
    TimerRecord *t = new_timer_record(callback, data);
    if (t != nullptr) publish_timer(t);
    return t;
}

std::uint32_t MMSystem::arm(TimerRecord *t, std::uint64_t delay_ms, bool periodic) {
    return api_->set_event(static_cast<std::uint32_t>(delay_ms), caps_.period_min,
                           periodic ? periodic_callback : long_period_callback, reinterpret_cast<std::uintptr_t>(t),
                           periodic ? os::kTimePeriodic : os::kTimeOneShot);
}

int MMSystem::SetTimer(TimerRecord *t, const KezUSTETime *period) {
    const std::uint64_t ms = std::uint64_t{period->seconds} * 1000 + period->nanoseconds / 1000000;
    if (ms < 1 || ms > 0xFFFFFFFFu) return 0;
    const std::uint64_t period_ms = ms > caps_.period_min ? ms : caps_.period_min;
    const bool periodic = period_ms <= limit();

    t->control.lock();
    t->lock.lock();
    const bool discarded = t->discarded;
    const std::uint32_t old_id = t->mm_id;
    const bool old_periodic = !t->one_shots;
    t->lock.unlock();
    if (discarded) {
        t->control.unlock();
        return 0;
    }
    const std::uint64_t start = now_ms();
    const std::uint32_t new_id = arm(t, periodic ? period_ms : (period_ms < limit() ? period_ms : limit()), periodic);
    if (new_id == 0) {
        t->control.unlock();
        return 0;
    }
    // A periodic timer that cannot be killed would run on: keep it and
    // give up the new one. An old one-shot may have fired already; if it
    // fires later it finds its id replaced.
    if (old_id != 0 && api_->kill_event(old_id) != 0 && old_periodic) {
        api_->kill_event(new_id);
        t->control.unlock();
        return 0;
    }
    t->lock.lock();
    // The chain may have re-armed the old one-shot meanwhile.
    const std::uint32_t rearmed = t->mm_id != old_id ? t->mm_id : 0;
    t->mm_id = new_id;
    t->period_ms = period_ms;
    t->start_ms = start;
    t->one_shots = !periodic;
    t->lock.unlock();
    if (rearmed != 0) api_->kill_event(rearmed);
    t->control.unlock();
    return 1;
}

// Retires the handle and kills the system timer; then waits for a callback
// that is running on another thread, never for one that may come later.
// From the timer's own callback it returns at once: the timer ends as the
// callback returns.
void MMSystem::DiscardTimer(TimerRecord *t) {
    t->control.lock();
    t->lock.lock();
    if (t->discarded) {
        t->lock.unlock();
        t->control.unlock();
        return;
    }
    t->discarded = true;
    const bool self = t->running_thread == os::current_thread_id();
    const std::uint32_t id = t->mm_id;
    t->mm_id = 0;
    t->lock.unlock();
    if (id != 0) api_->kill_event(id);
    retire_timer(t);
    t->control.unlock();
    if (self) return;
    for (std::uint32_t active = t->active.load(); active != 0; active = t->active.load())
        os::wait_on_address(&t->active, active, os::kInfinite);
}

// The record of a firing timer, pinned and counted active, when the id is
// still the record's and the timer is not discarded; else null.
TimerRecord *MMSystem::enter_callback(std::uint32_t id, std::uintptr_t user) {
    auto *t = static_cast<TimerRecord *>(timer_pool().pin(reinterpret_cast<void *>(user)));
    if (t == nullptr) return nullptr;
    t->lock.lock();
    if (t->discarded || t->mm_id != id) {
        t->lock.unlock();
        unpin_timer(t);
        return nullptr;
    }
    t->active.fetch_add(1);
    t->running_thread = os::current_thread_id();
    t->lock.unlock();
    return t;
}

void MMSystem::leave_callback(TimerRecord *t) {
    t->lock.lock();
    t->running_thread = 0;
    t->lock.unlock();
    t->active.fetch_sub(1);
    os::wake_all(&t->active);
    unpin_timer(t);
}

void MMSystem::periodic_callback(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                 std::uintptr_t) {
    TimerRecord *t = enter_callback(id, user);
    if (t == nullptr) return;
    t->callback(t->data);
    leave_callback(t);
}

// One call per whole period passed since the last boundary (periods that
// pass during the calls count too), then the next one-shot to the next
// boundary.
void MMSystem::long_period_callback(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                    std::uintptr_t) {
    TimerRecord *t = enter_callback(id, user);
    if (t == nullptr) return;
    MMSystem &mm = g_mmsystem;
    for (;;) {
        const std::uint64_t now = mm.now_ms();
        t->lock.lock();
        const bool due = !t->discarded && t->mm_id == id && now - t->start_ms >= t->period_ms;
        if (due) t->start_ms += t->period_ms;
        t->lock.unlock();
        if (!due) break;
        t->callback(t->data);
    }
    const std::uint64_t now = mm.now_ms();
    t->lock.lock();
    const bool current = !t->discarded && t->mm_id == id;
    std::uint64_t delay = t->start_ms + t->period_ms > now ? t->start_ms + t->period_ms - now : 1;
    t->lock.unlock();
    if (current) {
        if (delay > mm.limit()) delay = mm.limit();
        if (delay < mm.caps_.period_min) delay = mm.caps_.period_min;
        std::uint32_t next = mm.arm(t, delay, false);
        t->lock.lock();
        const bool stored = !t->discarded && t->mm_id == id;
        if (stored) t->mm_id = next;
        t->lock.unlock();
        if (!stored && next != 0) mm.api_->kill_event(next);  // replaced or discarded meanwhile
        if (stored && next == 0) KEZ_LOG(log::kWarning, "KezUSTE: a long-period timer could not be re-armed");
    }
    leave_callback(t);
}

struct StopContext {
    const os::MultimediaTimerApi *api;
};

// The system's callback thread is waited for by the platform layer where
// it may be.
bool MMSystem::Unload(bool may_wait) {
    if (api_ == nullptr) return true;
    StopContext context{api_};
    for_each_live_timer(
        [](TimerRecord *t, void *p) {
            t->lock.lock();
            t->discarded = true;
            const std::uint32_t id = t->mm_id;
            t->mm_id = 0;
            t->lock.unlock();
            if (id != 0) static_cast<StopContext *>(p)->api->kill_event(id);
        },
        &context);
    if (begun_period_ != 0) api_->end_period(begun_period_);
    begun_period_ = 0;
    if (api_ != g_test_api) os::multimedia_timer_unload(!may_wait);
    api_ = nullptr;
    return may_wait;
}

}  // namespace

TimerEngine &mmsystem_engine() { return g_mmsystem; }

}  // namespace kez::util

#if defined(KEZ_TEST_HOOKS)
// Makes the multimedia back-end use a test's table (null: the system's).
extern "C" void KezTest_UseMultimediaTimerTable(const void *table) {
    kez::util::g_mmsystem.use_api(static_cast<const kez::os::MultimediaTimerApi *>(table));
}
#endif
