// User-lock mutexes on Windows: kernel mutexes, named or not. Names go to
// the system as given; the system refuses what it cannot take.
#include <windows.h>

#include <new>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

struct UserMutex {
    HANDLE h;
};

UserMutex *user_mutex_open(const char *name) {
    if (fault::hit("os.user_mutex_open")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (h == nullptr) return nullptr;
    auto *m = new (std::nothrow) UserMutex{h};
    if (m == nullptr) {
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return m;
}

LockWait user_mutex_wait(UserMutex *m, std::uint32_t timeout_ms) {
    if (fault::hit("os.user_mutex_wait")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return LockWait::failed;
    }
    switch (WaitForSingleObject(m->h, timeout_ms == kInfinite ? INFINITE : timeout_ms)) {
    case WAIT_OBJECT_0:
        return LockWait::acquired;
    case WAIT_ABANDONED:
        return LockWait::abandoned;
    case WAIT_TIMEOUT:
        return LockWait::timed_out;
    default:
        return LockWait::failed;
    }
}

bool user_mutex_release(UserMutex *m) {
    if (fault::hit("os.user_mutex_release")) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }
    return ReleaseMutex(m->h) != 0;
}

bool user_mutex_close(UserMutex *m) {
    if (m == nullptr) return true;
    const bool injected = fault::hit("os.user_mutex_close");
    const bool closed = CloseHandle(m->h) != 0;
    delete m;
    if (injected) SetLastError(ERROR_INVALID_HANDLE);
    return closed && !injected;
}

}  // namespace kez::os

namespace kez::os {

// The system marks a mutex abandoned when its holder ends, handle or not.
void user_mutex_let_go_held(UserMutex *m) { user_mutex_close(m); }

}  // namespace kez::os
