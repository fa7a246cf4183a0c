// The multimedia timer on POSIX, provided natively with the Windows
// meanings: one callback thread serves every timer, sleeping to the
// earliest deadline on the monotonic clock.
//
// The timer list, the id counter and the thread's handle live under one
// lock that is never held across a callback, so a callback may arm and kill
// timers, its own included. A periodic timer keeps its grid (start + k x
// period); a thread that wakes late fires once and goes on with the next
// grid point after now. A one-shot leaves the list before its callback
// runs. Each start of the thread belongs to one generation: an unload ends
// the generation, and a thread left running in a callback sees that when it
// returns and ends without touching the state of a later load.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "os/fault.h"
#include "os/multimedia_timer.h"
#include "os/os.h"

namespace kez::os {
namespace {

constexpr MultimediaTimerCaps kCaps{1, 1000000};
constexpr std::uint64_t kNsPerMs = 1000000;
constexpr std::uint32_t kJoinBoundMs = 2000;

struct Timer {
    Timer *next;
    std::uint64_t deadline_ns;
    std::uint64_t period_ns;  // 0: one-shot
    MultimediaTimerCallback callback;
    std::uintptr_t user;
    std::uint32_t id;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t g_cond_once = PTHREAD_ONCE_INIT;
pthread_cond_t g_cond;  // on CLOCK_MONOTONIC, set up once
Timer *g_timers = nullptr;
std::uint32_t g_last_id = 0;
bool g_loaded = false;
Thread *g_thread = nullptr;
ThreadId g_thread_id = 0;
std::uintptr_t g_generation = 1;

void init_cond() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_cond, &attr);
    pthread_condattr_destroy(&attr);
}

std::uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

timespec to_timespec(std::uint64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
    ts.tv_nsec = static_cast<long>(ns % 1000000000u);
    return ts;
}

bool id_in_use(std::uint32_t id) {
    for (Timer *t = g_timers; t != nullptr; t = t->next)
        if (t->id == id) return true;
    return false;
}

// Unlinks the timer with that id; null when none is armed.
Timer *unlink_timer(std::uint32_t id) {
    for (Timer **link = &g_timers; *link != nullptr; link = &(*link)->next) {
        if ((*link)->id != id) continue;
        Timer *t = *link;
        *link = t->next;
        return t;
    }
    return nullptr;
}

void timer_thread_main(void *arg) {
    const auto generation = reinterpret_cast<std::uintptr_t>(arg);
    // A little above normal, as the system's timer thread runs on Windows;
    // refused without the privilege to raise a priority, which is fine.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -2);
    pthread_mutex_lock(&g_lock);
    while (g_generation == generation) {
        Timer *due = nullptr;
        for (Timer *t = g_timers; t != nullptr; t = t->next)
            if (due == nullptr || t->deadline_ns < due->deadline_ns) due = t;
        if (due == nullptr) {
            pthread_cond_wait(&g_cond, &g_lock);
            continue;
        }
        const std::uint64_t now = now_ns();
        if (due->deadline_ns > now) {
            const timespec until = to_timespec(due->deadline_ns);
            pthread_cond_timedwait(&g_cond, &g_lock, &until);
            continue;  // the list may have changed meanwhile
        }
        const MultimediaTimerCallback callback = due->callback;
        const std::uintptr_t user = due->user;
        const std::uint32_t id = due->id;
        if (due->period_ns != 0) {
            // The next grid point after now: missed ones are skipped.
            due->deadline_ns += ((now - due->deadline_ns) / due->period_ns + 1) * due->period_ns;
        } else {
            delete unlink_timer(id);
        }
        pthread_mutex_unlock(&g_lock);
        if (callback != nullptr) callback(id, 0, user, 0, 0);
        pthread_mutex_lock(&g_lock);
    }
    pthread_mutex_unlock(&g_lock);
}

// Under g_lock: starts the callback thread unless it runs.
bool ensure_thread() {
    if (g_thread != nullptr) return true;
    ThreadId id = 0;
    Thread *t = thread_create_suspended(timer_thread_main, reinterpret_cast<void *>(g_generation), 0, &id);
    if (t == nullptr) return false;
    g_thread = t;
    g_thread_id = id;
    thread_resume(t);
    return true;
}

std::uint32_t mm_get_time() { return static_cast<std::uint32_t>(now_ns() / kNsPerMs); }

// The 12-byte time record: type 1 (milliseconds), the time, 4 bytes unused.
std::uint32_t mm_get_system_time(void *mmtime, std::uint32_t size) {
    if (mmtime == nullptr || size < 12) return kTimerNoCando;
    const std::uint32_t record[3] = {1, mm_get_time(), 0};
    std::memcpy(mmtime, record, sizeof record);
    return 0;
}

std::uint32_t mm_set_event(std::uint32_t delay_ms, std::uint32_t, MultimediaTimerCallback callback,
                           std::uintptr_t user, std::uint32_t flags) {
    if (fault::hit("os.multimedia_timer_arm")) return 0;
    if (delay_ms < kCaps.period_min || delay_ms > kCaps.period_max) return 0;
    auto *timer = new (std::nothrow) Timer{};
    if (timer == nullptr) return 0;
    const std::uint64_t start = now_ns();
    timer->deadline_ns = start + delay_ms * kNsPerMs;
    timer->period_ns = (flags & kTimePeriodic) != 0 ? delay_ms * kNsPerMs : 0;
    timer->callback = callback;
    timer->user = user;
    pthread_mutex_lock(&g_lock);
    if (!g_loaded || !ensure_thread()) {
        pthread_mutex_unlock(&g_lock);
        delete timer;
        return 0;
    }
    do {
        ++g_last_id;
    } while (g_last_id == 0 || id_in_use(g_last_id));
    const std::uint32_t id = g_last_id;
    timer->id = id;
    timer->next = g_timers;
    g_timers = timer;
    pthread_cond_signal(&g_cond);  // it may now be the earliest
    pthread_mutex_unlock(&g_lock);
    return id;  // the timer itself may be gone already (a one-shot that fired)
}

std::uint32_t mm_kill_event(std::uint32_t id) {
    if (fault::hit("os.multimedia_timer_kill")) return kMmInvalidParameter;
    pthread_mutex_lock(&g_lock);
    Timer *t = unlink_timer(id);
    pthread_mutex_unlock(&g_lock);
    // The thread may be asleep until this timer's deadline; it wakes then,
    // finds nothing due and sleeps on, which costs less than a wake-up here.
    delete t;
    return t != nullptr ? 0 : kMmInvalidParameter;
}

std::uint32_t mm_get_dev_caps(MultimediaTimerCaps *caps, std::uint32_t size) {
    if (caps == nullptr || size != sizeof(MultimediaTimerCaps)) return kTimerNoCando;
    *caps = kCaps;
    return 0;
}

std::uint32_t mm_period(std::uint32_t period_ms) {
    return period_ms < kCaps.period_min || period_ms > kCaps.period_max ? kTimerNoCando : 0;
}

constexpr MultimediaTimerApi kApi{mm_get_system_time, mm_get_time, mm_set_event, mm_kill_event,
                                  mm_get_dev_caps,    mm_period,   mm_period};

}  // namespace

const MultimediaTimerApi *multimedia_timer_load() {
    if (fault::hit("os.multimedia_timer_load")) return nullptr;
    pthread_once(&g_cond_once, init_cond);
    pthread_mutex_lock(&g_lock);
    g_loaded = true;
    pthread_mutex_unlock(&g_lock);
    return &kApi;
}

void multimedia_timer_unload(bool process_ending) {
    pthread_once(&g_cond_once, init_cond);
    pthread_mutex_lock(&g_lock);
    g_loaded = false;
    while (g_timers != nullptr) delete unlink_timer(g_timers->id);
    ++g_generation;
    Thread *thread = g_thread;
    const ThreadId thread_id = g_thread_id;
    g_thread = nullptr;
    g_thread_id = 0;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
    if (thread == nullptr) return;
    // From a callback the thread cannot be waited for; at process end it
    // need not be. Otherwise a callback that is still running gets 2 s.
    if (!process_ending && thread_id != current_thread_id()) thread_join(thread, kJoinBoundMs);
    thread_close(thread);
}

}  // namespace kez::os
