// Threads, thread-local storage and the thread-exit hook on POSIX.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

__thread ThreadId t_current_thread_id __attribute__((tls_model("initial-exec"))) = 0;

ThreadId current_thread_id_slow() {
    t_current_thread_id = static_cast<ThreadId>(syscall(SYS_gettid));
    return t_current_thread_id;
}

namespace {

struct StartRecord {
    void (*fn)(void *);
    void *arg;
};

void *thread_trampoline(void *p) {
    StartRecord rec = *static_cast<StartRecord *>(p);
    delete static_cast<StartRecord *>(p);
    rec.fn(rec.arg);
    return nullptr;
}

std::atomic<int> g_main_exit_code{-1};

// Runs when the process exits because its last thread ended after the main
// thread left through thread_exit_current(): gives the process the code the
// main thread asked for instead of POSIX's 0.
void exit_with_main_thread_code() {
    const int code = g_main_exit_code.load();
    if (code < 0) return;
    fflush(nullptr);
    _exit(code);
}

}  // namespace

bool thread_start_detached(void (*fn)(void *), void *arg) {
    if (fault::hit("os.thread_create")) return false;
    auto *rec = new (std::nothrow) StartRecord{fn, arg};
    if (rec == nullptr) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    const int rc = pthread_create(&t, &attr, thread_trampoline, rec);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete rec;
        return false;
    }
    return true;
}

void thread_exit_current(std::uint32_t code) {
    if (current_thread_id() == current_process_id()) {
        static std::atomic<bool> registered{false};
        g_main_exit_code.store(static_cast<int>(code & 0xFF));
        if (!registered.exchange(true)) atexit(exit_with_main_thread_code);
    }
    pthread_exit(reinterpret_cast<void *>(static_cast<std::uintptr_t>(code)));
}

// ---- thread-local storage ----------------------------------------------------

bool tls_alloc(TlsKey *key) {
    if (fault::hit("os.tls_alloc")) return false;
    pthread_key_t k;
    if (pthread_key_create(&k, nullptr) != 0) return false;
    key->value = static_cast<std::uintptr_t>(k);
    return true;
}

void tls_free(TlsKey key) { pthread_key_delete(static_cast<pthread_key_t>(key.value)); }

void *tls_get(TlsKey key) { return pthread_getspecific(static_cast<pthread_key_t>(key.value)); }

bool tls_set(TlsKey key, void *value) {
    return pthread_setspecific(static_cast<pthread_key_t>(key.value), value) == 0;
}

// ---- thread-exit hook ----------------------------------------------------------
//
// A key whose destructor calls the engine's hook. The key's value only marks
// the thread as one that has engine state; the destructor runs once the
// thread ends, and again (up to PTHREAD_DESTRUCTOR_ITERATIONS) if the hook
// re-armed the key because clean-up created state anew.

namespace {
pthread_key_t g_exit_key;
std::atomic<bool> g_exit_key_valid{false};
void (*g_exit_fn)() = nullptr;

void exit_key_destructor(void *) {
    if (g_exit_fn != nullptr) g_exit_fn();
}
}  // namespace

bool thread_exit_hook_install(void (*fn)()) {
    if (fault::hit("os.thread_exit_hook")) return false;
    g_exit_fn = fn;
    if (pthread_key_create(&g_exit_key, exit_key_destructor) != 0) return false;
    g_exit_key_valid.store(true, std::memory_order_release);
    return true;
}

void thread_exit_hook_remove() {
    // After deletion no destructor runs any more, so a thread that ends after
    // the engine was unloaded never jumps into unmapped code.
    if (g_exit_key_valid.exchange(false)) pthread_key_delete(g_exit_key);
}

void thread_exit_hook_arm() {
    if (!g_exit_key_valid.load(std::memory_order_acquire)) return;
    static thread_local bool armed_marker;
    pthread_setspecific(g_exit_key, &armed_marker);
}

}  // namespace kez::os
