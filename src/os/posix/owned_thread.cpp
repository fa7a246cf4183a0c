// Threads the engine owns on POSIX: a start gate, a join with time-out, and
// termination by deferred cancellation.
//
// The record is shared by the creator's handle and the thread itself and
// freed by whichever lets go last, so closing the handle of a thread that is
// still running is safe. The thread runs with cancellation disabled except
// where it allows it; a cancelled thread still marks itself done.
#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>

#include <atomic>
#include <new>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

const bool kThreadTerminateIsImmediate = false;
const bool kDetachHoldsLoaderLock = false;

struct Thread {
    pthread_t handle;
    void (*fn)(void *);
    void *arg;
    Event *id_known;
    Event *gate;
    Event *done;
    ThreadId id;
    std::atomic<int> refs;
    bool joined;
};

namespace {

void release(Thread *t) {
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    event_destroy(t->id_known);
    event_destroy(t->gate);
    event_destroy(t->done);
    delete t;
}

void finished(void *p) {
    auto *t = static_cast<Thread *>(p);
    event_set(t->done);
    release(t);
}

void *owned_thread_main(void *p) {
    auto *t = static_cast<Thread *>(p);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    t->id = current_thread_id();
    event_set(t->id_known);
    event_wait(t->gate, kInfinite);
    pthread_cleanup_push(finished, t);
    t->fn(t->arg);
    pthread_cleanup_pop(1);
    return nullptr;
}

}  // namespace

Thread *thread_create_suspended(void (*fn)(void *), void *arg, std::size_t stack_size, ThreadId *id) {
    if (fault::hit("os.thread_create")) {
        errno = EAGAIN;
        return nullptr;
    }
    auto *t = new (std::nothrow) Thread{};
    if (t == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    t->fn = fn;
    t->arg = arg;
    t->refs.store(2);
    t->id_known = event_create(true, false);
    t->gate = event_create(true, false);
    t->done = event_create(true, false);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int rc = EAGAIN;
    if (t->id_known != nullptr && t->gate != nullptr && t->done != nullptr) {
        rc = stack_size != 0 ? pthread_attr_setstacksize(&attr, stack_size) : 0;
        if (rc == 0) rc = pthread_create(&t->handle, &attr, owned_thread_main, t);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        t->refs.store(1);
        release(t);
        errno = rc;
        return nullptr;
    }
    event_wait(t->id_known, kInfinite);
    *id = t->id;
    return t;
}

void thread_resume(Thread *t) { event_set(t->gate); }

bool thread_join(Thread *t, std::uint32_t timeout_ms) {
    if (t->joined) return true;
    if (!event_wait(t->done, timeout_ms)) return false;
    pthread_join(t->handle, nullptr);
    t->joined = true;
    return true;
}

bool thread_terminate(Thread *t, std::uint32_t) {
    if (fault::hit("os.thread_terminate")) {
        errno = EPERM;
        return false;
    }
    if (t->joined) return true;
    const int rc = pthread_cancel(t->handle);
    if (rc == 0 || rc == ESRCH) return true;
    errno = rc;
    return false;
}

void thread_allow_cancel(bool allow) {
    pthread_setcancelstate(allow ? PTHREAD_CANCEL_ENABLE : PTHREAD_CANCEL_DISABLE, nullptr);
}

void thread_close(Thread *t) {
    if (t == nullptr) return;
    if (!t->joined) pthread_detach(t->handle);
    release(t);
}

void *thread_native_handle(Thread *t) { return reinterpret_cast<void *>(t->handle); }

// Linux keeps a nice value per thread, addressed by its kernel id; the id
// was recorded before the thread was handed out.
bool thread_priority_get_of(Thread *t, int *priority) {
    if (fault::hit("os.thread_priority_get")) {
        errno = EACCES;
        return false;
    }
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(t->id));
    if (nice == -1 && errno != 0) return false;
    *priority = -nice;
    return true;
}

bool thread_priority_set_of(Thread *t, int priority) {
    if (fault::hit("os.thread_priority_set")) {
        errno = EACCES;
        return false;
    }
    return setpriority(PRIO_PROCESS, static_cast<id_t>(t->id), -priority) == 0;
}

}  // namespace kez::os
