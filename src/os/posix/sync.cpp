// Recursive mutex, events and futex waits on POSIX, all waits on the
// monotonic clock.
//
// The recursive mutex is built from a plain mutex and a condition variable
// because glibc's only monotonic timed lock (pthread_mutex_clocklock) is not
// understood by the thread sanitizer.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "os/fault.h"
#include "os/os.h"
#include "os/posix/deadline.h"

namespace kez::os {
namespace {

void init_monotonic_cond(pthread_cond_t *cv) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cv, &attr);
    pthread_condattr_destroy(&attr);
}

// The engine's waits are never cancellation points: a thread cancelled
// inside one would end holding the object's internal mutex.
class NoCancel {
public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~NoCancel() { pthread_setcancelstate(old_, nullptr); }
    NoCancel(const NoCancel &) = delete;
    NoCancel &operator=(const NoCancel &) = delete;

private:
    int old_ = 0;
};

}  // namespace

struct CriticalSection {
    pthread_mutex_t m;
    CriticalSection *next_kept;
};

namespace {
std::atomic<CriticalSection *> g_kept_sections{nullptr};
}  // namespace

void cs_let_go_held(CriticalSection *cs) {
    if (cs == nullptr) return;
    cs->next_kept = g_kept_sections.load();
    while (!g_kept_sections.compare_exchange_weak(cs->next_kept, cs)) {
    }
}

CriticalSection *cs_create() {
    if (fault::hit("os.cs_create")) return nullptr;
    auto *cs = new (std::nothrow) CriticalSection;
    if (cs == nullptr) return nullptr;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->m, &attr);
    pthread_mutexattr_destroy(&attr);
    return cs;
}

void cs_destroy(CriticalSection *cs) {
    if (cs == nullptr) return;
    pthread_mutex_destroy(&cs->m);
    delete cs;
}

void cs_enter(CriticalSection *cs) { pthread_mutex_lock(&cs->m); }
bool cs_try_enter(CriticalSection *cs) { return pthread_mutex_trylock(&cs->m) == 0; }
void cs_leave(CriticalSection *cs) { pthread_mutex_unlock(&cs->m); }

struct Mutex {
    pthread_mutex_t m;
    pthread_cond_t cv;
    ThreadId owner = 0;
    unsigned count = 0;
    unsigned waiters = 0;
};

Mutex *mutex_create() {
    if (fault::hit("os.mutex_create")) return nullptr;
    auto *mx = new (std::nothrow) Mutex;
    if (mx == nullptr) return nullptr;
    pthread_mutex_init(&mx->m, nullptr);
    init_monotonic_cond(&mx->cv);
    return mx;
}

void mutex_destroy(Mutex *mx) {
    if (mx == nullptr) return;
    pthread_cond_destroy(&mx->cv);
    pthread_mutex_destroy(&mx->m);
    delete mx;
}

bool mutex_timed_lock(Mutex *mx, std::uint32_t timeout_ms) {
    const ThreadId self = current_thread_id();
    pthread_mutex_lock(&mx->m);
    if (mx->owner == self) {
        ++mx->count;
        pthread_mutex_unlock(&mx->m);
        return true;
    }
    if (mx->owner != 0) {
        if (timeout_ms == 0) {
            pthread_mutex_unlock(&mx->m);
            return false;
        }
        const timespec deadline = deadline_after(timeout_ms == kInfinite ? 0 : timeout_ms);
        const NoCancel no_cancel;
        ++mx->waiters;
        while (mx->owner != 0) {
            if (timeout_ms == kInfinite) {
                pthread_cond_wait(&mx->cv, &mx->m);
            } else if (pthread_cond_timedwait(&mx->cv, &mx->m, &deadline) == ETIMEDOUT && mx->owner != 0) {
                --mx->waiters;
                pthread_mutex_unlock(&mx->m);
                return false;
            }
        }
        --mx->waiters;
    }
    mx->owner = self;
    mx->count = 1;
    pthread_mutex_unlock(&mx->m);
    return true;
}

void mutex_lock(Mutex *mx) { mutex_timed_lock(mx, kInfinite); }
bool mutex_try_lock(Mutex *mx) { return mutex_timed_lock(mx, 0); }

void mutex_unlock(Mutex *mx) {
    pthread_mutex_lock(&mx->m);
    if (mx->owner == current_thread_id() && --mx->count == 0) {
        mx->owner = 0;
        if (mx->waiters != 0) pthread_cond_signal(&mx->cv);
    }
    pthread_mutex_unlock(&mx->m);
}

static_assert(sizeof(std::atomic<std::uint32_t>) == 4 && std::atomic<std::uint32_t>::is_always_lock_free,
              "a futex is a plain 32-bit word");

// The raw system call is no cancellation point, so no NoCancel is needed.
// A timed wait ends at a point on the monotonic clock (FUTEX_WAIT_BITSET).
bool wait_on_address(const std::atomic<std::uint32_t> *word, std::uint32_t expected, std::uint32_t timeout_ms) {
    auto *address = const_cast<std::atomic<std::uint32_t> *>(word);
    if (timeout_ms == kInfinite)
        return syscall(SYS_futex, address, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0) == 0 ||
               errno != ETIMEDOUT;
    const timespec deadline = deadline_after(timeout_ms);
    return syscall(SYS_futex, address, FUTEX_WAIT_BITSET_PRIVATE, expected, &deadline, nullptr,
                   FUTEX_BITSET_MATCH_ANY) == 0 ||
           errno != ETIMEDOUT;
}

void wake_one(const std::atomic<std::uint32_t> *word) {
    syscall(SYS_futex, const_cast<std::atomic<std::uint32_t> *>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void wake_all(const std::atomic<std::uint32_t> *word) {
    syscall(SYS_futex, const_cast<std::atomic<std::uint32_t> *>(word), FUTEX_WAKE_PRIVATE, 0x7FFFFFFF, nullptr, nullptr,
            0);
}

struct Event {
    pthread_mutex_t m;
    pthread_cond_t cv;
    bool manual_reset;
    bool set;
};

Event *event_create(bool manual_reset, bool initially_set) {
    if (fault::hit("os.event_create")) return nullptr;
    auto *e = new (std::nothrow) Event;
    if (e == nullptr) return nullptr;
    pthread_mutex_init(&e->m, nullptr);
    init_monotonic_cond(&e->cv);
    e->manual_reset = manual_reset;
    e->set = initially_set;
    return e;
}

void event_destroy(Event *e) {
    if (e == nullptr) return;
    pthread_cond_destroy(&e->cv);
    pthread_mutex_destroy(&e->m);
    delete e;
}

void event_set(Event *e) {
    pthread_mutex_lock(&e->m);
    e->set = true;
    if (e->manual_reset)
        pthread_cond_broadcast(&e->cv);
    else
        pthread_cond_signal(&e->cv);
    pthread_mutex_unlock(&e->m);
}

void event_reset(Event *e) {
    pthread_mutex_lock(&e->m);
    e->set = false;
    pthread_mutex_unlock(&e->m);
}

bool event_wait(Event *e, std::uint32_t timeout_ms) {
    const NoCancel no_cancel;
    pthread_mutex_lock(&e->m);
    const timespec deadline = deadline_after(timeout_ms == kInfinite ? 0 : timeout_ms);
    while (!e->set) {
        if (timeout_ms == kInfinite) {
            pthread_cond_wait(&e->cv, &e->m);
        } else if (timeout_ms == 0 ||
                   (pthread_cond_timedwait(&e->cv, &e->m, &deadline) == ETIMEDOUT && !e->set)) {
            pthread_mutex_unlock(&e->m);
            return false;
        }
    }
    if (!e->manual_reset) e->set = false;
    pthread_mutex_unlock(&e->m);
    return true;
}

}  // namespace kez::os
