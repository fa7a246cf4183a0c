// The timer engine over the real-time timing engine component: one thread
// per timer, sleeping on the component's clock to deadlines at
// start + k x period.
//
// A thread sleeps in slices of at most 10 ms and looks between them whether
// its timer was re-armed or discarded, so neither waits out a long period.
// It keeps the grid: a deadline it wakes too late for is run once, the
// deadlines missed meanwhile are skipped, and a callback that overran
// whole periods is called again at once for each of them.
#include <atomic>
#include <cstdint>

#include "core/thread_naming.h"
#include "os/multimedia_timer.h"
#include "util/timer_engine.h"

namespace kez::util {
namespace {

constexpr std::uint64_t kSliceUs = 10000;
constexpr std::uint64_t kMaxPeriodUs = std::uint64_t{1} << 31;
// THREAD_PRIORITY_HIGHEST on the engine's scale.
constexpr int kTimerThreadPriority = 2;

class DVUSTE final : public TimerEngine {
public:
    bool Load() override;
    void LocalTime(KezUSTETime *time) override { *time = time_of_ns(engine()->clock_ns()); }
    int Resolution(KezUSTETime *time) override;
    TimerRecord *NewTimer(KezUSTECallback callback, void *data) override;
    void DiscardTimer(TimerRecord *t) override;
    int SetTimer(TimerRecord *t, const KezUSTETime *period) override;
    void SetPriority(TimerRecord *t, int priority) override { os::thread_priority_set_of(t->thread, priority); }
    int GetPriority(TimerRecord *t) override {
        int priority = 0;
        return os::thread_priority_get_of(t->thread, &priority) ? priority : 0;
    }
    const KezTimeEngine *TimeEngine() override { return engine(); }
    bool Unload(bool may_wait) override;

private:
    static void timer_thread(void *record);
    static void run_grid(TimerRecord *t, std::uint32_t generation, std::uint64_t period_us);
    static bool call(TimerRecord *t, std::uint32_t generation);
    static bool changed(TimerRecord *t, std::uint32_t generation);
    const KezTimeEngine *engine() const { return engine_.load(std::memory_order_acquire); }
    static std::uint64_t now_us(const KezTimeEngine *engine) {
        std::uint64_t raw = 0;
        engine->read_clock(&raw);
        return engine->raw_to_us(raw);
    }

    os::Module module_ = nullptr;
    std::atomic<const KezTimeEngine *> engine_{nullptr};
    // Timer threads that have not yet left the engine's code.
    std::atomic<int> threads_{0};
};

DVUSTE g_dvuste;

bool DVUSTE::Load() {
    if (engine() != nullptr) return true;
    os::Module module = os::module_load("dvuste.dll");
    if (module == nullptr) return false;
    auto get = reinterpret_cast<KezGetTimeEngine>(os::module_symbol(module, "GetEngine__BRENNICK"));
    if (get == nullptr) {
        os::module_unload(module);
        return false;
    }
    if (module_ != nullptr) os::module_unload(module_);
    module_ = module;
    const KezTimeEngine *engine = get();
    // A component built against a smaller table lacks entry points.
    if (engine == nullptr || engine->size < sizeof(KezTimeEngine)) return false;
    engine_.store(engine, std::memory_order_release);
    return true;
}

// One tick of the clock, at least 1 us. A clock rate of 0 has no
// resolution to tell: the call fails.
int DVUSTE::Resolution(KezUSTETime *time) {
    const std::uint64_t rate = engine()->clock_rate();
    if (rate == 0) return -1;
    const std::uint64_t ns = rate >= 1000000 ? 1000 : 1000000000 / rate;
    *time = time_of_ns(ns);
    return 0;
}

// Without memory, an event or a thread the call gives null, and nothing it
// made is left.
TimerRecord *DVUSTE::NewTimer(KezUSTECallback callback, void *data) {
    TimerRecord *t = new_timer_record(callback, data);
    if (t == nullptr) return nullptr;
    t->start_event = os::event_create(false, false);
    os::ThreadId id = 0;
    if (t->start_event != nullptr) t->thread = os::thread_create_suspended(timer_thread, t, 0, &id);
    if (t->thread == nullptr) {
        if (t->start_event != nullptr) os::event_destroy(t->start_event);
        t->start_event = nullptr;
        timer_pool().free_unpublished(t);
        return nullptr;
    }
    t->thread_id = id;
    os::thread_priority_set_of(t->thread, kTimerThreadPriority);  // may be refused (Linux without privilege)
    core::name_engine_thread(id, "Pellix/Kez Timer %u");
    publish_timer(t);
    timer_pool().pin(t);  // the thread's own pin, dropped as it ends
    threads_.fetch_add(1);
    os::thread_resume(t->thread);
    return t;
}

int DVUSTE::SetTimer(TimerRecord *t, const KezUSTETime *period) {
    std::uint64_t us = (std::uint64_t{period->seconds} * 1000000000 + period->nanoseconds) / 1000;
    if (us == 0) us = 1;
    if (us >= kMaxPeriodUs) return 0;
    t->lock.lock();
    const bool discarded = t->discarded;
    if (!discarded) {
        t->period_us = us;
        t->armed = true;
        ++t->generation;
    }
    t->lock.unlock();
    if (discarded) return 0;
    os::event_set(t->start_event);
    return 1;
}

// From another thread: waits for the timer's thread to end (at most the
// callback running now plus one slice). From the timer's own callback: the
// thread cleans up as it ends.
void DVUSTE::DiscardTimer(TimerRecord *t) {
    const bool self = t->thread_id == os::current_thread_id();
    t->lock.lock();
    const bool already = t->discarded;
    t->discarded = true;
    ++t->generation;
    t->thread_ends_alone = self;
    t->lock.unlock();
    if (already) return;
    os::event_set(t->start_event);
    retire_timer(t);
    if (self) return;
    os::thread_join(t->thread, os::kInfinite);
    os::thread_close(t->thread);
    t->thread = nullptr;
}

bool DVUSTE::changed(TimerRecord *t, std::uint32_t generation) {
    t->lock.lock();
    const bool result = t->discarded || t->generation != generation;
    t->lock.unlock();
    return result;
}

bool DVUSTE::call(TimerRecord *t, std::uint32_t generation) {
    t->lock.lock();
    const bool current = !t->discarded && t->generation == generation;
    const KezUSTECallback callback = t->callback;
    void *data = t->data;
    t->lock.unlock();
    if (current) callback(data);
    return current;
}

// Runs one arming of the timer until it is re-armed or discarded.
void DVUSTE::run_grid(TimerRecord *t, std::uint32_t generation, std::uint64_t period) {
    const KezTimeEngine *engine = g_dvuste.engine();
    std::uint64_t next = now_us(engine);
    for (;;) {
        std::uint64_t now = now_us(engine);
        next += period;
        if (next <= now) next += ((now - next) / period + 1) * period;  // missed deadlines are skipped
        while (now < next) {
            if (changed(t, generation)) return;
            const std::uint64_t left = next - now;
            engine->sleep_us(static_cast<std::uint32_t>(left < kSliceUs ? left : kSliceUs));
            now = now_us(engine);
        }
        const std::uint64_t first = engine->clock_ns();
        if (!call(t, generation)) return;
        const std::uint64_t period_ns = period * 1000;
        if (engine->clock_ns() - first > period_ns) {
            // One call for each further whole period the run has lasted,
            // counted again after each call.
            std::uint64_t done = 0;
            while ((engine->clock_ns() - first) / period_ns > done) {
                if (!call(t, generation)) return;
                ++done;
            }
            next += done * period;
        }
    }
}

void DVUSTE::timer_thread(void *record) {
    auto *t = static_cast<TimerRecord *>(record);
    for (;;) {
        t->lock.lock();
        while (!t->discarded && !t->armed) {
            t->lock.unlock();
            os::event_wait(t->start_event, os::kInfinite);
            t->lock.lock();
        }
        const bool discarded = t->discarded;
        const std::uint32_t generation = t->generation;
        const std::uint64_t period = t->period_us;
        t->lock.unlock();
        if (discarded) break;
        run_grid(t, generation, period);
    }
    // Discarded by its own callback, or stopped at unload: nobody joins the
    // thread, so it lets go of its own handle.
    t->lock.lock();
    const bool own_handle = t->thread_ends_alone;
    t->lock.unlock();
    if (own_handle) {
        os::thread_close(t->thread);
        t->thread = nullptr;
    }
    unpin_timer(t);
    g_dvuste.threads_.fetch_sub(1);
}

// Every timer is stopped. Where threads may be waited for, each is joined
// (a callback still running gets 2 s); elsewhere each lets go of its own
// handle, and the threads get a moment to leave the engine's code. The
// component stays loaded, and the records stay, while a thread may run.
bool DVUSTE::Unload(bool may_wait) {
    if (engine() == nullptr) return true;
    for_each_live_timer(
        [](TimerRecord *t, void *wait) {
            t->lock.lock();
            t->discarded = true;
            ++t->generation;
            if (wait == nullptr) t->thread_ends_alone = true;
            t->lock.unlock();
            os::event_set(t->start_event);
        },
        may_wait ? this : nullptr);
    if (may_wait)
        for_each_live_timer(
            [](TimerRecord *t, void *) {
                if (t->thread != nullptr && os::thread_join(t->thread, 2000)) {
                    os::thread_close(t->thread);
                    t->thread = nullptr;
                }
            },
            nullptr);
    for (int waited = 0; threads_.load() != 0 && waited < (may_wait ? 2000 : 200); ++waited) os::sleep_ms(1);
    const bool stopped = threads_.load() == 0;
    if (stopped) engine_.store(nullptr);
    if (stopped && may_wait && module_ != nullptr) {
        os::module_unload(module_);
        module_ = nullptr;
    }
    return stopped && may_wait;
}

}  // namespace

TimerEngine &dvuste_engine() { return g_dvuste; }

}  // namespace kez::util
