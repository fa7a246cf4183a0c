// Threads the engine owns on Windows: created suspended, joined through
// their handle, terminated by the system.
#include <windows.h>

#include <new>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

const bool kThreadTerminateIsImmediate = true;
const bool kDetachHoldsLoaderLock = true;

struct Thread {
    HANDLE handle;
};

namespace {

struct StartRecord {
    void (*fn)(void *);
    void *arg;
};

DWORD WINAPI owned_thread_main(void *p) {
    const StartRecord start = *static_cast<StartRecord *>(p);
    delete static_cast<StartRecord *>(p);
    start.fn(start.arg);
    return 0;
}

}  // namespace

Thread *thread_create_suspended(void (*fn)(void *), void *arg, std::size_t stack_size, ThreadId *id) {
    if (fault::hit("os.thread_create")) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *start = new (std::nothrow) StartRecord{fn, arg};
    auto *t = new (std::nothrow) Thread{};
    if (start == nullptr || t == nullptr) {
        delete start;
        delete t;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD thread_id = 0;
    t->handle = CreateThread(nullptr, stack_size, owned_thread_main, start,
                             CREATE_SUSPENDED | (stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0), &thread_id);
    if (t->handle == nullptr) {
        delete start;
        delete t;
        return nullptr;
    }
    *id = thread_id;
    return t;
}

void thread_resume(Thread *t) { ResumeThread(t->handle); }

bool thread_join(Thread *t, std::uint32_t timeout_ms) {
    return WaitForSingleObject(t->handle, timeout_ms == kInfinite ? INFINITE : timeout_ms) == WAIT_OBJECT_0;
}

bool thread_terminate(Thread *t, std::uint32_t exit_code) {
    if (fault::hit("os.thread_terminate")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return TerminateThread(t->handle, exit_code) != 0;
}

void thread_allow_cancel(bool) {}

void thread_close(Thread *t) {
    if (t == nullptr) return;
    CloseHandle(t->handle);
    delete t;
}

void *thread_native_handle(Thread *t) { return t->handle; }

// The engine's scale is the system's own (see thread_priority_get).
bool thread_priority_get_of(Thread *t, int *priority) {
    if (fault::hit("os.thread_priority_get")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    const int p = GetThreadPriority(t->handle);
    if (p == THREAD_PRIORITY_ERROR_RETURN) return false;
    *priority = p;
    return true;
}

bool thread_priority_set_of(Thread *t, int priority) {
    if (fault::hit("os.thread_priority_set")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return SetThreadPriority(t->handle, priority) != 0;
}

}  // namespace kez::os
