// User locks: recursive locks that know their owner.
//
// A lock is a critical section when it needs nothing more, and a system
// mutex when it is named or asks for time-outs or event processing. Lock
// records live in the library's handle pool, which is the lock table: it
// refuses wild and discarded handles, lists the live locks for unload, and
// keeps a record alive while a call still uses it.
//
// Critical-section locks are the common, fast kind, and the engine's own: a
// lock word that the first hold takes with one compare-and-swap and the
// last release frees with one exchange; the owner's further holds only
// count. A thread sleeps on the word (os::wait_on_address) only while
// another thread has it. The word belongs to the pool slot and stays with
// it from one lock to the next until unload, so get and release reach it
// without pinning the record: a call that finds its lock discarded once it
// has the word gives it back and reports -14901. A thread that ends holding
// such a lock leaves it held for good, as a system critical section would;
// only mutex locks report an abandoned owner. Mutex locks close their system
// object at discard (a named one must disappear), so calls pin them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/handle_pool.h"
#include "core/word_lock.h"
#include "kez/multithreading.h"
#include "mt/thread_util.h"
#include "os/os.h"
#include "log/log.h"

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
    std::atomic<void *> object;  // the slot's lock word, or an os::UserMutex
    std::atomic<std::uint32_t> owner;
    std::atomic<std::int32_t> count;
    std::atomic<std::uint32_t> options;
    std::atomic<std::uint32_t> kind;
    // The slot's own, kept across its locks (a call with a stale handle may
    // still hold or wait for it when the slot gets its next lock): the
    // critical section's word.
    core::WordLock word;
};

constinit core::HandlePool g_locks(sizeof(UserLock), offsetof(UserLock, word));

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
// another process learns that the holder died). A critical section owns no
// system object, but threads may sleep on its word until the process ends:
// the pool's memory is kept. Its holder's later release finds no lock.
void destroy_at_unload(void *record, bool allocated) {
    auto *lock = static_cast<UserLock *>(record);
    if (lock->word.held()) g_locks.keep_memory();
    if (!allocated) return;
    if (lock->count.load(std::memory_order_relaxed) > 0 && kind_of(lock) == kMutex)
        os::user_mutex_let_go_held(static_cast<os::UserMutex *>(lock->object.exchange(nullptr)));
    else
        close_mutex(lock);
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

// ---- the critical section: the slot's lock word ----
//
// core::WordLock: one compare-and-swap to take a free word, one exchange to
// free it, a sleep on the word only while another thread has it. Its
// values never name the owner: a sleeper is not woken by every change of
// hands.

inline bool take_word(UserLock *lock) { return lock->word.try_lock(); }
// Waits, without limit, until the word is free and takes it.
inline void wait_for_word(UserLock *lock) { lock->word.lock(); }
inline void free_word(UserLock *lock) { lock->word.unlock(); }

// Gives the system object back once; -14910 when the system refuses.
[[gnu::noinline]] int release_mutex(UserLock *lock) {
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
        release_mutex(lock);
        return -14901;
    }
    return 0;
}

void count_hold(UserLock *lock, std::uint32_t self) {
    lock->owner.store(self, std::memory_order_relaxed);
    lock->count.store(lock->count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// The mutex-lock part of AcquireUserLock.
[[gnu::noinline]] int acquire_mutex_lock(KmtLockHandle handle, std::uint32_t timeout_ms, bool *held) {
    UserLock *lock = pin_lock(handle);
    if (lock == nullptr) return -14901;
    int result = kind_of(lock) == kMutex ? acquire_mutex(lock, timeout_ms) : -14901;
    if (result == 0) {
        count_hold(lock, os::current_thread_id());
        *held = true;
    }
    drop(lock);
    return result;
}

// AcquireUserLock: takes the lock at `handle` and counts the hold.
// timeout_ms 0 only tries (a critical-section lock is asked for nothing but
// 0 and kInfinite). *held tells whether it was taken; a time-out is -14906.
// Inlined into the get functions: a free or already held critical-section
// lock costs no call.
[[gnu::always_inline]] inline int AcquireUserLock(KmtLockHandle handle, int process_events, std::uint32_t timeout_ms,
                                                  bool *held) {
    *held = false;
    UserLock *lock = ValidateUserLockPtr(handle);
    if (lock == nullptr) return -14901;
    if (process_events == 1 && (lock->options.load(std::memory_order_relaxed) & kProcessEvents) == 0) return -14933;
    if (kind_of(lock) != kCriticalSection) return acquire_mutex_lock(handle, timeout_ms, held);
    const std::uint32_t self = os::current_thread_id();
    // Only a holder writes its id into the owner field, and clears it before
    // it frees the word; a held lock cannot be discarded. So an owner field
    // with this thread's id is a further hold.
    if (lock->owner.load(std::memory_order_relaxed) != self) {
        if (!take_word(lock)) {
            if (timeout_ms == 0) return -14906;
            wait_for_word(lock);
        }
        if (!is_live(lock) || kind_of(lock) != kCriticalSection) {
            free_word(lock);
            return -14901;
        }
    }
    count_hold(lock, self);
    *held = true;
    return 0;
}

std::uint32_t wait_time(int timeout_ms) { return timeout_ms < 0 ? os::kInfinite : static_cast<std::uint32_t>(timeout_ms); }

int create_lock(const char *name, unsigned options, KmtLockHandle *out) {
    if (out == nullptr || options >= 4) return -14902;
    const bool named = name != nullptr && name[0] != '\0';
    if (named && std::strlen(name) > kMaxNameLength) return -14902;
    auto *lock = static_cast<UserLock *>(g_locks.allocate());
    if (lock == nullptr) return -14905;
    if (options == 0 && !named) {
        lock->kind.store(kCriticalSection, std::memory_order_relaxed);
        lock->object.store(&lock->word, std::memory_order_relaxed);
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

// Gives back one hold of the calling thread: the count, then the object (a
// critical section's word with the last hold).
inline int give_back_hold(UserLock *lock) {
    const std::int32_t left = lock->count.load(std::memory_order_relaxed) - 1;
    lock->count.store(left, std::memory_order_relaxed);
    if (left == 0) lock->owner.store(0, std::memory_order_relaxed);
    if (kind_of(lock) != kCriticalSection) return release_mutex(lock);
    if (left == 0) free_word(lock);
    return 0;
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
inline int release_lock(KmtLockHandle handle) {
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
