// Choosing the timer engine, the KezUSTE exports that forward to it, the
// timing engine's clock and sleeps, and the timer records both back-ends
// share.
#include "util/timer_engine.h"

#include <cstdio>

#include "core/frame.h"
#include "core/test_hooks.h"
#include "os/os.h"

namespace kez::util {
namespace {

constinit core::HandlePool g_timers(sizeof(TimerRecord));
core::WordLock g_live_lock;
TimerRecord *g_live = nullptr;

// The engine list, in the order the engines are tried.
TimerEngine *engine_list(int index) {
    switch (index) {
        case 0: return &mmsystem_engine();
        case 1: return &dvuste_engine();
        default: return nullptr;
    }
}

std::atomic<TimerEngine *> g_current{nullptr};
std::atomic<int> g_loads{0};  // Load() calls, for tests
// The time engine of GetTimeUS and the sleeps: fetched once.
std::atomic<bool> g_time_engine_known{false};
std::atomic<const KezTimeEngine *> g_time_engine{nullptr};

TimerEngine *current() { return g_current.load(std::memory_order_acquire); }

// Fetched once an engine is current; until then every call tries to
// choose one.
const KezTimeEngine *time_engine() {
    if (!g_time_engine_known.load(std::memory_order_acquire)) {
        if (current() == nullptr) KezUSTEinitialize();
        TimerEngine *engine = current();
        if (engine == nullptr) return nullptr;
        g_time_engine.store(engine->TimeEngine(), std::memory_order_relaxed);
        g_time_engine_known.store(true, std::memory_order_release);
    }
    return g_time_engine.load(std::memory_order_relaxed);
}

// The timer a handle names, pinned; null for anything else or without an
// engine.
TimerRecord *pin_timer(KezUSTETimer handle) {
    if (handle == nullptr || current() == nullptr) return nullptr;
    return static_cast<TimerRecord *>(g_timers.pin(handle));
}

}  // namespace

core::HandlePool &timer_pool() { return g_timers; }

TimerRecord *new_timer_record(KezUSTECallback callback, void *data) {
    auto *t = static_cast<TimerRecord *>(g_timers.allocate());
    if (t == nullptr) return nullptr;
    t->callback = callback;
    t->data = data;
    return t;
}

void publish_timer(TimerRecord *t) {
    g_live_lock.lock();
    t->next_live = g_live;
    if (g_live != nullptr) g_live->prev_live = t;
    g_live = t;
    g_live_lock.unlock();
    g_timers.publish(t);
}

bool retire_timer(TimerRecord *t) {
    if (!g_timers.retire(t)) return false;
    g_live_lock.lock();
    if (t->prev_live != nullptr) t->prev_live->next_live = t->next_live;
    else g_live = t->next_live;
    if (t->next_live != nullptr) t->next_live->prev_live = t->prev_live;
    t->prev_live = t->next_live = nullptr;
    g_live_lock.unlock();
    return true;
}

void unpin_timer(TimerRecord *t) {
    if (!g_timers.unpin(t)) return;
    if (t->start_event != nullptr) os::event_destroy(t->start_event);
    t->start_event = nullptr;
    g_timers.recycle(t);
}

void for_each_live_timer(void (*fn)(TimerRecord *, void *), void *context) {
    g_live_lock.lock();
    for (TimerRecord *t = g_live; t != nullptr; t = t->next_live) fn(t, context);
    g_live_lock.unlock();
}

KezUSTETime time_of_ms(std::uint64_t ms) {
    return {static_cast<unsigned>(ms / 1000), static_cast<unsigned>(ms % 1000 * 1000000)};
}

KezUSTETime time_of_ns(std::uint64_t ns) {
    return {static_cast<unsigned>(ns / 1000000000), static_cast<unsigned>(ns % 1000000000)};
}

// Unload: every timer is stopped. Threads are waited for only where that
// cannot deadlock: on Windows the system holds its loader lock while the
// engine unloads (a thread cannot end then), and at process end the other
// threads are gone or about to be.
void KezUSTEUnload() {
    TimerEngine *engine = g_current.exchange(nullptr);
    g_time_engine.store(nullptr);
    g_time_engine_known.store(false);
    if (engine == nullptr) return;
    const bool may_wait = !os::kDetachHoldsLoaderLock && !core::engine().process_ending.load();
    // Records stay where a thread of the back-end may still read them.
    if (engine->Unload(may_wait))
        g_timers.destroy_all([](void *record, bool allocated) {
            auto *t = static_cast<TimerRecord *>(record);
            if (allocated && t->start_event != nullptr) os::event_destroy(t->start_event);
        });
    g_live = nullptr;
}

}  // namespace kez::util

using namespace kez;
using util::TimerRecord;

extern "C" int KezUSTEinitialize(void) {
    if (util::current() != nullptr) return 1;
    char name[64];
    std::snprintf(name, sizeof name, "Brennick Pellix/Kez KezUSTE Library %u", os::current_process_id());
    os::NamedMutex *mutex = os::named_mutex_open(name);
    if (mutex == nullptr) return 0;
    os::named_mutex_lock(mutex);
    for (int i = 0; util::current() == nullptr && util::engine_list(i) != nullptr; ++i) {
        util::TimerEngine *engine = util::engine_list(i);
        util::g_loads.fetch_add(1, std::memory_order_relaxed);
        if (engine->Load()) util::g_current.store(engine, std::memory_order_release);
    }
    os::named_mutex_unlock(mutex);
    os::named_mutex_close(mutex);
    return util::current() != nullptr ? 1 : 0;
}

extern "C" void KezUSTElocaltime(KezUSTETime *time) {
    if (time == nullptr) return;
    *time = KezUSTETime{0, 0};
    if (util::TimerEngine *engine = util::current()) engine->LocalTime(time);
}

extern "C" int KezUSTEresolution(KezUSTETime *time) {
    if (time == nullptr) return -1;
    *time = KezUSTETime{0, 0};
    util::TimerEngine *engine = util::current();
    return engine != nullptr ? engine->Resolution(time) : -1;
}

extern "C" KezUSTETimer KezUSTEnewtimer(KezUSTECallback callback, void *data) {
    util::TimerEngine *engine = util::current();
    if (engine == nullptr || callback == nullptr) return nullptr;
    return reinterpret_cast<KezUSTETimer>(engine->NewTimer(callback, data));
}

extern "C" void KezUSTEdiscardtimer(KezUSTETimer timer) {
    TimerRecord *t = util::pin_timer(timer);
    if (t == nullptr) return;
    util::current()->DiscardTimer(t);
    util::unpin_timer(t);
}

extern "C" int KezUSTEsettimer(KezUSTETimer timer, const KezUSTETime *period) {
    if (period == nullptr || period->nanoseconds > 999999999u) return 0;
    TimerRecord *t = util::pin_timer(timer);
    if (t == nullptr) return 0;
    const int result = util::current()->SetTimer(t, period);
    util::unpin_timer(t);
    return result;
}

extern "C" void KezUSTEsetpriority(KezUSTETimer timer, int priority) {
    TimerRecord *t = util::pin_timer(timer);
    if (t == nullptr) return;
    util::current()->SetPriority(t, priority);
    util::unpin_timer(t);
}

extern "C" int KezUSTEgetpriority(KezUSTETimer timer) {
    TimerRecord *t = util::pin_timer(timer);
    if (t == nullptr) return 0;
    const int priority = util::current()->GetPriority(t);
    util::unpin_timer(t);
    return priority;
}

extern "C" unsigned long long GetTimeUS(void) {
    const KezTimeEngine *engine = util::time_engine();
    if (engine == nullptr) return 0;
    std::uint64_t raw = 0;
    engine->read_clock(&raw);
    return engine->raw_to_us(raw);
}

extern "C" unsigned int SleepUS(unsigned int microseconds) {
    const KezTimeEngine *engine = util::time_engine();
    return engine != nullptr ? engine->sleep_us(microseconds) : 0;
}

extern "C" unsigned int SleepUntilUS(unsigned int microseconds) {
    const KezTimeEngine *engine = util::time_engine();
    return engine != nullptr ? engine->sleep_until_us(microseconds) : 0;
}

extern "C" unsigned int SleepUntilNextMultipleUS(unsigned int microseconds) {
    const KezTimeEngine *engine = util::time_engine();
    return engine != nullptr ? engine->sleep_until_next_multiple_us(microseconds) : 0;
}

#if defined(KEZ_TEST_HOOKS)
// How many back-end loads KezUSTEinitialize tried, and the live timers.
extern "C" int KezTest_TimerEngineLoads(void) { return util::g_loads.load(); }
extern "C" int KezTest_LiveTimers(void) { return static_cast<int>(util::g_timers.live_count()); }
#endif
