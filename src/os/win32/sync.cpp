// Recursive mutex, events and waits on an address on Windows.
//
// The recursive mutex is a slim reader/writer lock with a condition variable,
// owner and count: critical sections have no timed lock, and a kernel mutex
// costs a system call on every acquisition.
#include <windows.h>

#include <new>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

struct CriticalSection {
    CRITICAL_SECTION cs;
};

CriticalSection *cs_create() {
    if (fault::hit("os.cs_create")) return nullptr;
    auto *c = new (std::nothrow) CriticalSection;
    if (c != nullptr) InitializeCriticalSection(&c->cs);
    return c;
}

void cs_destroy(CriticalSection *c) {
    if (c == nullptr) return;
    DeleteCriticalSection(&c->cs);
    delete c;
}

void cs_enter(CriticalSection *c) { EnterCriticalSection(&c->cs); }
bool cs_try_enter(CriticalSection *c) { return TryEnterCriticalSection(&c->cs) != 0; }
void cs_leave(CriticalSection *c) { LeaveCriticalSection(&c->cs); }
void cs_let_go_held(CriticalSection *c) { cs_destroy(c); }

struct Mutex {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;
    DWORD owner = 0;
    unsigned count = 0;
    unsigned waiters = 0;
};

Mutex *mutex_create() {
    if (fault::hit("os.mutex_create")) return nullptr;
    return new (std::nothrow) Mutex;
}

void mutex_destroy(Mutex *m) { delete m; }

bool mutex_timed_lock(Mutex *m, std::uint32_t timeout_ms) {
    const DWORD self = GetCurrentThreadId();
    AcquireSRWLockExclusive(&m->lock);
    if (m->owner == self) {
        ++m->count;
        ReleaseSRWLockExclusive(&m->lock);
        return true;
    }
    if (m->owner != 0) {
        const ULONGLONG start = GetTickCount64();
        ++m->waiters;
        while (m->owner != 0) {
            DWORD wait = INFINITE;
            if (timeout_ms != kInfinite) {
                const ULONGLONG spent = GetTickCount64() - start;
                if (spent >= timeout_ms) {
                    --m->waiters;
                    ReleaseSRWLockExclusive(&m->lock);
                    return false;
                }
                wait = static_cast<DWORD>(timeout_ms - spent);
            }
            SleepConditionVariableSRW(&m->cv, &m->lock, wait, 0);
        }
        --m->waiters;
    }
    m->owner = self;
    m->count = 1;
    ReleaseSRWLockExclusive(&m->lock);
    return true;
}

void mutex_lock(Mutex *m) { mutex_timed_lock(m, kInfinite); }
bool mutex_try_lock(Mutex *m) { return mutex_timed_lock(m, 0); }

void mutex_unlock(Mutex *m) {
    AcquireSRWLockExclusive(&m->lock);
    if (m->owner == GetCurrentThreadId() && --m->count == 0) {
        m->owner = 0;
        if (m->waiters != 0) WakeConditionVariable(&m->cv);
    }
    ReleaseSRWLockExclusive(&m->lock);
}

// Waits on an address through a small table of sleeping places, each a
// slim lock with a condition variable, picked by the word's address. A
// waiter compares the word under the place's lock and sleeps atomically
// with releasing it; a waker changed the word before it takes that lock, so
// a wake-up cannot fall between the compare and the sleep. Words that share
// a place wake each other now and then, which callers allow for. Only the
// system calls the engine already uses (no WaitOnAddress, which would add an
// import that older and real-time Windows targets lack).
namespace {

struct SleepPlace {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;
};
SleepPlace g_sleep_places[64];

SleepPlace &sleep_place(const void *word) {
    const auto a = reinterpret_cast<std::uintptr_t>(word);
    return g_sleep_places[(a >> 2 ^ a >> 8) % 64];
}

}  // namespace

bool wait_on_address(const std::atomic<std::uint32_t> *word, std::uint32_t expected, std::uint32_t timeout_ms) {
    SleepPlace &place = sleep_place(word);
    AcquireSRWLockExclusive(&place.lock);
    bool in_time = true;
    if (word->load(std::memory_order_acquire) == expected &&
        !SleepConditionVariableSRW(&place.cv, &place.lock, timeout_ms == kInfinite ? INFINITE : timeout_ms, 0))
        in_time = GetLastError() != ERROR_TIMEOUT;
    ReleaseSRWLockExclusive(&place.lock);
    return in_time;
}

void wake_one(const std::atomic<std::uint32_t> *word) { wake_all(word); }

void wake_all(const std::atomic<std::uint32_t> *word) {
    SleepPlace &place = sleep_place(word);
    AcquireSRWLockExclusive(&place.lock);
    ReleaseSRWLockExclusive(&place.lock);
    WakeAllConditionVariable(&place.cv);
}

struct Event {
    HANDLE h;
};

Event *event_create(bool manual_reset, bool initially_set) {
    if (fault::hit("os.event_create")) return nullptr;
    HANDLE h = CreateEventA(nullptr, manual_reset, initially_set, nullptr);
    if (h == nullptr) return nullptr;
    auto *e = new (std::nothrow) Event{h};
    if (e == nullptr) CloseHandle(h);
    return e;
}

void event_destroy(Event *e) {
    if (e == nullptr) return;
    CloseHandle(e->h);
    delete e;
}

void event_set(Event *e) { SetEvent(e->h); }
void event_reset(Event *e) { ResetEvent(e->h); }

bool event_wait(Event *e, std::uint32_t timeout_ms) {
    return WaitForSingleObject(e->h, timeout_ms == kInfinite ? INFINITE : timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace kez::os
