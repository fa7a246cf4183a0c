// User locks: recursive locks that know their owner.
//
// A lock is a critical section when it needs nothing more, and a system
// mutex when it is named or asks for time-outs or event processing. Lock
// records live in the library's handle pool, which is the lock table: it
// refuses wild and discarded handles, lists the live locks for unload, and
// keeps a record alive while a call still uses it.
//
// Critical-section locks are the common, fast kind. Their critical section
// belongs to the pool slot and stays with it from one lock to the next
// until unload, so get and release reach it without pinning the record: a
// call that finds its lock discarded once it holds the critical section
// leaves it and reports -14901. Mutex locks close their system object at
// discard (a named one must disappear), so calls pin them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/handle_pool.h"
#include "kez/multithreading.h"
#include "mt/thread_util.h"
#include "os/os.h"
#include "util/log.h"

namespace kez::mt {
namespace {

constexpr std::uint32_t kLockMarker = 0x0BADF010;
constexpr unsigned kProcessEvents = OPT_TL_PROCESS_EVENTS_WHILE_WAITING;
constexpr unsigned kSupportTimeout = OPT_TL_SUPPORT_TIMEOUT;
constexpr std::size_t kMaxNameLength = 260;

enum LockKind : std::uint32_t { kCriticalSection = 0, kMutex = 1 };

// The lock record; a handle is its address. Owner and count are written only
// by the thread that holds the lock; every field is an atomic because calls
// with stale handles may read a slot while it changes hands.
struct UserLock {
    std::atomic<std::uint32_t> marker;
    std::atomic<void *> object;  // the slot's critical section, or an os::UserMutex
    std::atomic<std::uint32_t> owner;
    std::atomic<std::int32_t> count;
    std::atomic<std::uint32_t> options;
    std::atomic<std::uint32_t> kind;
    // The slot's own, kept across its locks: created by the first
    // critical-section lock in the slot, destroyed at unload.
    std::atomic<os::CriticalSection *> slot_cs;
};

constinit core::HandlePool g_locks(sizeof(UserLock), offsetof(UserLock, slot_cs));

std::uint32_t kind_of(const UserLock *lock) { return lock->kind.load(std::memory_order_relaxed); }
bool is_live(const UserLock *lock) { return lock->marker.load(std::memory_order_acquire) == kLockMarker; }
os::UserMutex *user_mutex(const UserLock *lock) {
    return static_cast<os::UserMutex *>(lock->object.load(std::memory_order_relaxed));
}

bool close_mutex(UserLock *lock) {
    if (kind_of(lock) != kMutex) return true;
    return os::user_mutex_close(static_cast<os::UserMutex *>(lock->object.exchange(nullptr)));
}

// A lock still held is let go without being destroyed. A mutex: on POSIX its
// holder's robust list points into it, and the C library writes through that
// list at the holder's next robust lock and at its end (which is also how
// another process learns that the holder died).
void destroy_at_unload(void *record, bool allocated) {
    auto *lock = static_cast<UserLock *>(record);
    const bool held = allocated && lock->count.load(std::memory_order_relaxed) > 0;
    if (held && kind_of(lock) == kMutex)
        os::user_mutex_let_go_held(static_cast<os::UserMutex *>(lock->object.exchange(nullptr)));
    else if (allocated)
        close_mutex(lock);
    if (held && kind_of(lock) == kCriticalSection)
        os::cs_let_go_held(lock->slot_cs.exchange(nullptr));
    else
        os::cs_destroy(lock->slot_cs.exchange(nullptr));
}

// Ends a pinned call's use of the record. The call that ends the last use of
// a discarded lock closes its mutex and frees the slot; false when closing
// the system object failed.
bool drop(UserLock *lock) {
    if (!g_locks.unpin(lock)) return true;
    const bool ok = close_mutex(lock);
    g_locks.recycle(lock);
    return ok;
}

// The record at a handle that reads as a live lock, not pinned (the check
// the get functions of critical-section locks need); null for anything else.
UserLock *ValidateUserLockPtr(KmtLockHandle handle) {
    auto *lock = static_cast<UserLock *>(g_locks.find(handle));
    return lock != nullptr && is_live(lock) ? lock : nullptr;
}

// The live lock at `handle`, pinned until drop().
UserLock *pin_lock(KmtLockHandle handle) {
    auto *lock = static_cast<UserLock *>(g_locks.pin(handle));
    if (lock == nullptr) return nullptr;
    if (!is_live(lock)) {
        drop(lock);
        return nullptr;
    }
    return lock;
}

// Whether the critical section just entered still belongs to a live
// critical-section lock at this address.
bool still_critical_section_lock(UserLock *lock, os::CriticalSection *cs) {
    return is_live(lock) && kind_of(lock) == kCriticalSection && lock->object.load(std::memory_order_relaxed) == cs;
}

// Gives the object back once; -14910 when the system refuses.
int release_object(UserLock *lock) {
    if (kind_of(lock) == kCriticalSection) {
        os::cs_leave(static_cast<os::CriticalSection *>(lock->object.load(std::memory_order_relaxed)));
        return 0;
    }
    return os::user_mutex_release(user_mutex(lock)) ? 0 : system_error_result();
}

// Waits on a pinned mutex lock. A lock discarded while this call waited
// gives -14901 and is not held.
int acquire_mutex(UserLock *lock, std::uint32_t timeout_ms) {
    switch (os::user_mutex_wait(user_mutex(lock), timeout_ms)) {
    case os::LockWait::failed:
        return system_error_result();
    case os::LockWait::timed_out:
        return -14906;
    case os::LockWait::abandoned:
        // The holder's thread ended while holding it: its holds died with
        // it, and this call's hold is the only one.
        lock->count.store(0, std::memory_order_relaxed);
        lock->owner.store(0, std::memory_order_relaxed);
        break;
    case os::LockWait::acquired:
        break;
    }
    if (!is_live(lock)) {
        release_object(lock);
        return -14901;
    }
    return 0;
}

void count_hold(UserLock *lock) {
    lock->owner.store(os::current_thread_id(), std::memory_order_relaxed);
    lock->count.store(lock->count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// AcquireUserLock: takes the lock at `handle` and counts the hold.
// timeout_ms 0 only tries. *held tells whether it was taken; a time-out is
// -14906.
int AcquireUserLock(KmtLockHandle handle, int process_events, std::uint32_t timeout_ms, bool *held) {
    *held = false;
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    if (process_events == 1 && (lock->options.load(std::memory_order_relaxed) & kProcessEvents) == 0) return -14933;
    if (kind_of(lock) == kCriticalSection) {
        os::CriticalSection *cs = lock->slot_cs.load(std::memory_order_acquire);
        if (cs == nullptr) return -14901;
        if (timeout_ms == 0) {
            if (!os::cs_try_enter(cs)) return -14906;
        } else {
            os::cs_enter(cs);
        }
        if (!still_critical_section_lock(lock, cs)) {
            os::cs_leave(cs);
            return -14901;
        }
        count_hold(lock);
        *held = true;
        return 0;
    }
    lock = pin_lock(handle);
    if (lock == nullptr) return -14901;
    int result = kind_of(lock) == kMutex ? acquire_mutex(lock, timeout_ms) : -14901;
    if (result == 0) {
        count_hold(lock);
        *held = true;
    }
    drop(lock);
    return result;
}

std::uint32_t wait_time(int timeout_ms) { return timeout_ms < 0 ? os::kInfinite : static_cast<std::uint32_t>(timeout_ms); }

int create_lock(const char *name, unsigned options, KmtLockHandle *out) {
    if (out == nullptr || options >= 4) return -14902;
    const bool named = name != nullptr && name[0] != '\0';
    if (named && std::strlen(name) > kMaxNameLength) return -14902;
    auto *lock = static_cast<UserLock *>(g_locks.allocate());
    if (lock == nullptr) return -14905;
    if (options == 0 && !named) {
        os::CriticalSection *cs = lock->slot_cs.load(std::memory_order_relaxed);
        if (cs == nullptr) {
            cs = os::cs_create();
            if (cs == nullptr) {
                g_locks.free_unpublished(lock);
                return -14905;
            }
            lock->slot_cs.store(cs, std::memory_order_release);
        }
        lock->kind.store(kCriticalSection, std::memory_order_relaxed);
        lock->object.store(cs, std::memory_order_relaxed);
    } else {
        os::UserMutex *mutex = os::user_mutex_open(named ? name : nullptr);
        if (mutex == nullptr) {
            const int result = system_error_result();
            g_locks.free_unpublished(lock);
            return result;
        }
        lock->kind.store(kMutex, std::memory_order_relaxed);
        lock->object.store(mutex, std::memory_order_relaxed);
    }
    lock->options.store(options, std::memory_order_relaxed);
    lock->marker.store(kLockMarker, std::memory_order_release);
    g_locks.publish(lock);
    *out = lock;
    if (named)
        track_resource(lock, "Thread lock 0x%016llX \"%s\"", resource_address(lock), name);
    else
        track_resource(lock, "Thread lock 0x%016llX", resource_address(lock));
    return 0;
}

// Gives back one hold of the calling thread: the count, then the object.
int give_back_hold(UserLock *lock) {
    const std::int32_t left = lock->count.load(std::memory_order_relaxed) - 1;
    lock->count.store(left, std::memory_order_relaxed);
    if (left == 0) lock->owner.store(0, std::memory_order_relaxed);
    return release_object(lock);
}

int discard_lock(KmtLockHandle handle) {
    if (handle == nullptr) return 0;
    bool held = false;
    int result = AcquireUserLock(handle, 0, os::kInfinite, &held);
    if (result != 0) return result;
    // Held: no other call can discard the lock now, so the slot stays this
    // lock's.
    auto *lock = static_cast<UserLock *>(g_locks.find(handle));
    if (lock->count.load(std::memory_order_relaxed) > 1) {
        give_back_hold(lock);  // this thread holds it through a get function too
        return -14931;
    }
    if (pin_lock(handle) == nullptr) {
        give_back_hold(lock);
        return -14901;
    }
    lock->marker.store(0, std::memory_order_release);
    g_locks.retire(lock);
    result = give_back_hold(lock);
    untrack_resource(lock);
    // Calls still waiting for the lock wake, see it discarded and leave; the
    // last pinned one closes a mutex lock's object.
    if (!drop(lock) && result == 0) result = system_error_result();
    return result;
}

int get_lock_ex(KmtLockHandle handle, int process_events, int timeout_ms, int *obtained) {
    if (obtained == nullptr) return -14902;
    *obtained = 0;
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    const std::uint32_t options = lock->options.load(std::memory_order_relaxed);
    if ((process_events != 0 && (options & kProcessEvents) == 0) ||
        (timeout_ms != -1 && (options & kSupportTimeout) == 0))
        return -14933;
    bool held = false;
    const int result = AcquireUserLock(handle, process_events, wait_time(timeout_ms), &held);
    *obtained = held ? 1 : 0;
    return result == -14906 ? 0 : result;
}

int try_to_get_lock(KmtLockHandle handle, int *obtained) {
    if (obtained == nullptr) return -14902;
    *obtained = 0;
    bool held = false;
    const int result = AcquireUserLock(handle, 0, 0, &held);
    *obtained = held ? 1 : 0;
    return result == -14906 ? 0 : result;
}

// A release needs no pin: a lock the caller holds cannot be discarded.
int release_lock(KmtLockHandle handle) {
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    if (lock->count.load(std::memory_order_relaxed) <= 0) return -14932;
    if (lock->owner.load(std::memory_order_relaxed) != os::current_thread_id()) return -14930;
    return give_back_hold(lock);
}

int get_lock_attribute(KmtLockHandle handle, int attribute, void *value) {
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    if (attribute != ATTR_TL_OWNER_THREAD_ID) return -14903;
    if (value == nullptr) return -14902;
    const auto owner = static_cast<int>(lock->owner.load(std::memory_order_relaxed));
    std::memcpy(value, &owner, sizeof owner);
    return 0;
}

}  // namespace

int UserLockManagerInit() { return 0; }

void UserLockManagerUninit() { g_locks.destroy_all(destroy_at_unload); }

}  // namespace kez::mt

using namespace kez::mt;

extern "C" int KmtNewLock(const char *name, unsigned int options, KmtLockHandle *lockHandle) {
    return KMT_RESULT(create_lock(name, options, lockHandle));
}

extern "C" int KmtDiscardLock(KmtLockHandle lockHandle) { return KMT_RESULT(discard_lock(lockHandle)); }

extern "C" int KmtGetLock(KmtLockHandle lockHandle) {
    bool held = false;
    return KMT_RESULT(AcquireUserLock(lockHandle, 0, kez::os::kInfinite, &held));
}

extern "C" int KmtGetLockEx(KmtLockHandle lockHandle, int processEventsWhileWaiting, int timeoutMs, int *obtained) {
    return KMT_RESULT(get_lock_ex(lockHandle, processEventsWhileWaiting, timeoutMs, obtained));
}

extern "C" int KmtTryToGetLock(KmtLockHandle lockHandle, int *obtained) {
    return KMT_RESULT(try_to_get_lock(lockHandle, obtained));
}

extern "C" int KmtReleaseLock(KmtLockHandle lockHandle) { return KMT_RESULT(release_lock(lockHandle)); }

extern "C" int KmtGetLockAttribute(KmtLockHandle lockHandle, int attribute, void *value) {
    return KMT_RESULT(get_lock_attribute(lockHandle, attribute, value));
}
