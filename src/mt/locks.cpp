// User locks: recursive locks that know their owner.
//
// A lock is a critical section when it needs nothing more, and a system
// mutex when it is named or asks for time-outs or event processing. The
// lock's records live in the library's handle pool, which is the lock
// table: it refuses wild and discarded handles, lists the live locks for
// unload, and keeps a record alive while any call is still using it, also a
// call that is waiting for the lock when another thread discards it.
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
// by the thread that holds the object; other threads read them to refuse a
// release, so they are atomics.
struct UserLock {
    std::atomic<std::uint32_t> marker;
    void *object;  // os::CriticalSection or os::UserMutex
    std::atomic<std::uint32_t> owner;
    std::atomic<std::int32_t> count;
    std::uint32_t options;
    std::uint32_t kind;
};

constinit core::HandlePool g_locks(sizeof(UserLock));

os::CriticalSection *critical_section(const UserLock *lock) { return static_cast<os::CriticalSection *>(lock->object); }
os::UserMutex *user_mutex(const UserLock *lock) { return static_cast<os::UserMutex *>(lock->object); }

bool destroy_object(UserLock *lock) {
    if (lock->object == nullptr) return true;
    bool ok = true;
    if (lock->kind == kCriticalSection)
        os::cs_destroy(critical_section(lock));
    else
        ok = os::user_mutex_close(user_mutex(lock));
    lock->object = nullptr;
    return ok;
}

void destroy_at_unload(void *record) { destroy_object(static_cast<UserLock *>(record)); }

// Ends a call's use of the record. The call that ends the last use of a
// discarded lock destroys it; false when closing the system object failed.
bool drop(UserLock *lock) {
    if (!g_locks.unpin(lock)) return true;
    const bool ok = destroy_object(lock);
    g_locks.recycle(lock);
    return ok;
}

// The live lock at `handle`, held in use until drop(); null for a handle
// that is not one.
UserLock *ValidateUserLockPtr(KmtLockHandle handle) {
    auto *lock = static_cast<UserLock *>(g_locks.pin(handle));
    if (lock == nullptr) return nullptr;
    if (lock->marker.load(std::memory_order_acquire) != kLockMarker) {
        drop(lock);
        return nullptr;
    }
    return lock;
}

bool is_discarded(const UserLock *lock) { return lock->marker.load(std::memory_order_acquire) != kLockMarker; }

// Gives the object back once; -14910 when the system refuses.
int release_object(UserLock *lock) {
    if (lock->kind == kCriticalSection) {
        os::cs_leave(critical_section(lock));
        return 0;
    }
    return os::user_mutex_release(user_mutex(lock)) ? 0 : system_error_result();
}

// Takes the lock's object. A lock discarded while this call waited gives
// -14901 and is not held.
int AcquireUserLock(UserLock *lock, int process_events, std::uint32_t timeout_ms) {
    if (process_events == 1 && (lock->options & kProcessEvents) == 0) return -14933;
    if (lock->kind == kCriticalSection) {
        KEZ_ASSERT_MSG((lock->options & (kProcessEvents | kSupportTimeout)) == 0,
                       "a critical-section lock has no options");
        if (is_discarded(lock)) return -14901;
        os::cs_enter(critical_section(lock));
    } else {
        if (is_discarded(lock)) return -14901;
        switch (os::user_mutex_wait(user_mutex(lock), timeout_ms)) {
        case os::LockWait::failed:
            return system_error_result();
        case os::LockWait::timed_out:
            return -14906;
        case os::LockWait::abandoned:
            // The holder's thread ended while holding it: its holds died
            // with it, and this call's hold is the only one.
            lock->count.store(0, std::memory_order_relaxed);
            lock->owner.store(0, std::memory_order_relaxed);
            break;
        case os::LockWait::acquired:
            break;
        }
    }
    if (is_discarded(lock)) {
        release_object(lock);
        return -14901;
    }
    return 0;
}

void count_hold(UserLock *lock) {
    lock->owner.store(os::current_thread_id(), std::memory_order_relaxed);
    lock->count.fetch_add(1, std::memory_order_relaxed);
}

std::uint32_t wait_time(int timeout_ms) { return timeout_ms < 0 ? os::kInfinite : static_cast<std::uint32_t>(timeout_ms); }

int create_lock(const char *name, unsigned options, KmtLockHandle *out) {
    if (out == nullptr || options >= 4) return -14902;
    auto *lock = static_cast<UserLock *>(g_locks.allocate());
    if (lock == nullptr) return -14905;
    const bool named = name != nullptr && name[0] != '\0';
    if (named && std::strlen(name) > kMaxNameLength) {
        g_locks.free_unpublished(lock);
        return -14902;
    }
    if (options == 0 && !named) {
        lock->kind = kCriticalSection;
        lock->object = os::cs_create();
        if (lock->object == nullptr) {
            g_locks.free_unpublished(lock);
            return -14905;
        }
    } else {
        lock->kind = kMutex;
        lock->object = os::user_mutex_open(named ? name : nullptr);
        if (lock->object == nullptr) {
            const int result = system_error_result();
            g_locks.free_unpublished(lock);
            return result;
        }
    }
    lock->options = options;
    lock->marker.store(kLockMarker, std::memory_order_relaxed);
    g_locks.publish(lock);
    *out = lock;
    if (named)
        track_resource(lock, "Thread lock 0x%016llX \"%s\"", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(lock)), name);
    else
        track_resource(lock, "Thread lock 0x%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(lock)));
    return 0;
}

int discard_lock(KmtLockHandle handle) {
    if (handle == nullptr) return 0;
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    int result = AcquireUserLock(lock, 0, os::kInfinite);
    if (result != 0) {
        drop(lock);
        return result;
    }
    if (lock->count.load(std::memory_order_relaxed) >= 1) {
        release_object(lock);
        drop(lock);
        return -14931;
    }
    lock->owner.store(os::current_thread_id(), std::memory_order_relaxed);
    lock->marker.store(0, std::memory_order_release);
    if (!g_locks.retire(lock)) {
        // Cannot happen while the marker is checked under the hold; refuse
        // rather than destroy a lock twice.
        release_object(lock);
        drop(lock);
        return -14901;
    }
    lock->owner.store(0, std::memory_order_relaxed);
    result = release_object(lock);
    untrack_resource(lock);
    // Calls still waiting for the lock wake, see it discarded and leave; the
    // last of them destroys it.
    if (!drop(lock) && result == 0) result = system_error_result();
    return result;
}

int get_lock_ex(KmtLockHandle handle, int process_events, int timeout_ms, int *obtained) {
    if (obtained == nullptr) return -14902;
    *obtained = 0;
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    int result = 0;
    if ((process_events != 0 && (lock->options & kProcessEvents) == 0) ||
        (timeout_ms != -1 && (lock->options & kSupportTimeout) == 0)) {
        result = -14933;
    } else {
        result = AcquireUserLock(lock, process_events, wait_time(timeout_ms));
        if (result == 0) {
            count_hold(lock);
            *obtained = 1;
        } else if (result == -14906) {
            result = 0;
        }
    }
    drop(lock);
    return result;
}

int try_to_get_lock(KmtLockHandle handle, int *obtained) {
    if (obtained == nullptr) return -14902;
    *obtained = 0;
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    int result = 0;
    bool held = false;
    if (lock->kind == kCriticalSection) {
        held = os::cs_try_enter(critical_section(lock));
    } else {
        switch (os::user_mutex_wait(user_mutex(lock), 0)) {
        case os::LockWait::failed:
            result = system_error_result();
            break;
        case os::LockWait::timed_out:
            break;
        case os::LockWait::abandoned:
            lock->count.store(0, std::memory_order_relaxed);
            lock->owner.store(0, std::memory_order_relaxed);
            held = true;
            break;
        case os::LockWait::acquired:
            held = true;
            break;
        }
    }
    if (held && is_discarded(lock)) {
        release_object(lock);
        result = -14901;
    } else if (held) {
        count_hold(lock);
        *obtained = 1;
    }
    drop(lock);
    return result;
}

int release_lock(KmtLockHandle handle) {
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    int result = 0;
    if (lock->count.load(std::memory_order_relaxed) <= 0) {
        result = -14932;
    } else if (lock->owner.load(std::memory_order_relaxed) != os::current_thread_id()) {
        result = -14930;
    } else {
        if (lock->count.fetch_sub(1, std::memory_order_relaxed) == 1) lock->owner.store(0, std::memory_order_relaxed);
        result = release_object(lock);
    }
    drop(lock);
    return result;
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
    UserLock *lock = ValidateUserLockPtr(lockHandle);
    if (lock == nullptr) return KMT_RESULT(-14901);
    const int result = AcquireUserLock(lock, 0, kez::os::kInfinite);
    if (result == 0) count_hold(lock);
    drop(lock);
    return KMT_RESULT(result);
}

extern "C" int KmtGetLockEx(KmtLockHandle lockHandle, int processEventsWhileWaiting, int timeoutMs, int *obtained) {
    return KMT_RESULT(get_lock_ex(lockHandle, processEventsWhileWaiting, timeoutMs, obtained));
}

extern "C" int KmtTryToGetLock(KmtLockHandle lockHandle, int *obtained) {
    return KMT_RESULT(try_to_get_lock(lockHandle, obtained));
}

extern "C" int KmtReleaseLock(KmtLockHandle lockHandle) { return KMT_RESULT(release_lock(lockHandle)); }

extern "C" int KmtGetLockAttribute(KmtLockHandle lockHandle, int attribute, void *value) {
    UserLock *lock = ValidateUserLockPtr(lockHandle);
    if (lock == nullptr) return KMT_RESULT(-14901);
    int result = 0;
    if (attribute != ATTR_TL_OWNER_THREAD_ID) {
        result = -14903;
    } else if (value == nullptr) {
        result = -14902;
    } else {
        const auto owner = static_cast<int>(lock->owner.load(std::memory_order_relaxed));
        std::memcpy(value, &owner, sizeof owner);
    }
    drop(lock);
    return KMT_RESULT(result);
}
