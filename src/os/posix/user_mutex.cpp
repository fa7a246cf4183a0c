// User-lock mutexes on POSIX: robust recursive pthread mutexes, so that a
// holder whose thread ended is noticed. A named one lives in named shared
// memory and is process-shared; an unnamed one is private to the process.
//
// Timed waits run on the monotonic clock (pthread_mutex_clocklock), except
// under the thread sanitizer, which does not follow that call, nor a timed
// lock that returns EOWNERDEAD: there a timed wait tries the lock every
// millisecond until the deadline.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <new>

#include "os/fault.h"
#include "os/os.h"
#include "os/posix/deadline.h"
#include "os/posix/named_mutex_native.h"

#if defined(__SANITIZE_THREAD__)
#define KEZ_POLLED_TIMED_LOCK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEZ_POLLED_TIMED_LOCK 1
#endif
#endif

namespace kez::os {

struct UserMutex {
    pthread_mutex_t own;      // unnamed objects
    NamedMutex *named;        // named objects
    pthread_mutex_t *native;  // the one in use
    UserMutex *next_kept;
};

namespace {

// Held objects let go at unload: the holders' robust lists point into them.
std::atomic<UserMutex *> g_kept{nullptr};

int timed_lock(pthread_mutex_t *m, std::uint32_t timeout_ms) {
    if (timeout_ms == kInfinite) return pthread_mutex_lock(m);
    if (timeout_ms == 0) return pthread_mutex_trylock(m);
#if defined(KEZ_POLLED_TIMED_LOCK)
    const std::uint64_t deadline = tick_count_ms() + timeout_ms;
    for (;;) {
        const int rc = pthread_mutex_trylock(m);
        if (rc != EBUSY) return rc;
        if (tick_count_ms() >= deadline) return ETIMEDOUT;
        sleep_ms(1);
    }
#else
    const timespec deadline = deadline_after(timeout_ms);
    return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &deadline);
#endif
}

}  // namespace

UserMutex *user_mutex_open(const char *name) {
    if (fault::hit("os.user_mutex_open")) {
        errno = EACCES;
        return nullptr;
    }
    auto *m = new (std::nothrow) UserMutex{};
    if (m == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (name != nullptr) {
        m->named = named_mutex_open(name);
        if (m->named == nullptr) {
            if (errno == 0) errno = ENOMEM;
            delete m;
            return nullptr;
        }
        m->native = named_mutex_native(m->named);
        return m;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    const int rc = pthread_mutex_init(&m->own, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        delete m;
        errno = rc;
        return nullptr;
    }
    m->native = &m->own;
    return m;
}

LockWait user_mutex_wait(UserMutex *m, std::uint32_t timeout_ms) {
    if (fault::hit("os.user_mutex_wait")) {
        errno = EINVAL;
        return LockWait::failed;
    }
    const int rc = timed_lock(m->native, timeout_ms);
    switch (rc) {
    case 0:
        return LockWait::acquired;
    case EOWNERDEAD:
        pthread_mutex_consistent(m->native);
        return LockWait::abandoned;
    case EBUSY:
    case ETIMEDOUT:
        return LockWait::timed_out;
    default:
        errno = rc;
        return LockWait::failed;
    }
}

bool user_mutex_release(UserMutex *m) {
    if (fault::hit("os.user_mutex_release")) {
        errno = EPERM;
        return false;
    }
    const int rc = pthread_mutex_unlock(m->native);
    if (rc == 0) return true;
    errno = rc;
    return false;
}

bool user_mutex_close(UserMutex *m) {
    if (m == nullptr) return true;
    const bool injected = fault::hit("os.user_mutex_close");
    if (m->named != nullptr)
        named_mutex_close(m->named);
    else
        pthread_mutex_destroy(&m->own);
    delete m;
    if (injected) errno = EIO;
    return !injected;
}

}  // namespace kez::os

namespace kez::os {

void user_mutex_let_go_held(UserMutex *m) {
    if (m == nullptr) return;
    m->next_kept = g_kept.load();
    while (!g_kept.compare_exchange_weak(m->next_kept, m)) {
    }
}

}  // namespace kez::os
