// Threads and thread-local storage on Windows. The thread-exit hook is driven
// by DLL_THREAD_DETACH (attach.cpp), which Windows sends for every thread.
#include <windows.h>

#include <atomic>
#include <new>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

ThreadId current_thread_id() { return GetCurrentThreadId(); }

namespace {

struct StartRecord {
    void (*fn)(void *);
    void *arg;
};

DWORD WINAPI thread_trampoline(void *p) {
    StartRecord rec = *static_cast<StartRecord *>(p);
    delete static_cast<StartRecord *>(p);
    rec.fn(rec.arg);
    return 0;
}

void (*g_exit_fn)() = nullptr;

}  // namespace

bool thread_start_detached(void (*fn)(void *), void *arg) {
    if (fault::hit("os.thread_create")) return false;
    auto *rec = new (std::nothrow) StartRecord{fn, arg};
    if (rec == nullptr) return false;
    HANDLE h = CreateThread(nullptr, 0, thread_trampoline, rec, 0, nullptr);
    if (h == nullptr) {
        delete rec;
        return false;
    }
    CloseHandle(h);
    return true;
}

void thread_exit_current(std::uint32_t code) { ExitThread(code); }

bool tls_alloc(TlsKey *key) {
    if (fault::hit("os.tls_alloc")) return false;
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return false;
    key->value = index;
    return true;
}

void tls_free(TlsKey key) { TlsFree(static_cast<DWORD>(key.value)); }

void *tls_get(TlsKey key) {
    // TlsGetValue clears the last error on success; keep the caller's.
    const DWORD saved = GetLastError();
    void *v = TlsGetValue(static_cast<DWORD>(key.value));
    SetLastError(saved);
    return v;
}

bool tls_set(TlsKey key, void *value) { return TlsSetValue(static_cast<DWORD>(key.value), value) != 0; }

bool thread_exit_hook_install(void (*fn)()) {
    if (fault::hit("os.thread_exit_hook")) return false;
    g_exit_fn = fn;
    return true;
}

void thread_exit_hook_remove() { g_exit_fn = nullptr; }

void thread_exit_hook_arm() {}

// Called from DllMain's DLL_THREAD_DETACH.
void run_thread_exit_hook() {
    if (g_exit_fn != nullptr) g_exit_fn();
}

}  // namespace kez::os
