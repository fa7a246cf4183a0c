// The deferred-call table: thread id -> first-in first-out list of calls,
// under one critical section that is held only to append to a list, swap it
// out or remove it, never while a call runs.
#include "core/deferred_calls.h"

#include <atomic>
#include <cstdlib>

#include "core/frame.h"
#include "core/startup_steps.h"
#include "os/os.h"
#include "log/log.h"

namespace kez::core {
namespace {

struct DeferredCall {
    DeferredCallbackPtr fn;
    void *data;
    void (*drop)(void *data);
    DeferredCall *next;
};

struct ThreadQueue {
    std::uint32_t thread_id;
    DeferredCall *head;
    DeferredCall *tail;
    ThreadQueue *next;  // in its bucket
};

constexpr std::uint32_t kBuckets = 256;

struct Table {
    os::CriticalSection *lock;
    ThreadQueue *buckets[kBuckets];
};

std::atomic<Table *> g_table{nullptr};
std::atomic<std::uint32_t> g_default_thread{0};

// The table, created on first use; concurrent first uses agree on one.
Table *table() {
    Table *t = g_table.load(std::memory_order_acquire);
    if (t != nullptr) return t;
    auto *made = static_cast<Table *>(std::calloc(1, sizeof(Table)));
    if (made == nullptr) return nullptr;
    made->lock = os::cs_create();
    if (made->lock == nullptr) {
        std::free(made);
        return nullptr;
    }
    if (g_table.compare_exchange_strong(t, made, std::memory_order_acq_rel)) return made;
    os::cs_destroy(made->lock);
    std::free(made);
    return t;
}

ThreadQueue **find(Table *t, std::uint32_t thread_id) {
    ThreadQueue **link = &t->buckets[thread_id % kBuckets];
    while (*link != nullptr && (*link)->thread_id != thread_id) link = &(*link)->next;
    return link;
}

// Frees calls that will never run, and the engine's own data of them.
void free_calls(DeferredCall *call) {
    while (call != nullptr) {
        DeferredCall *next = call->next;
        if (call->drop != nullptr) call->drop(call->data);
        std::free(call);
        call = next;
    }
}

}  // namespace

bool post_deferred_call(DeferredCallbackPtr fn, void *data, std::uint32_t thread_id, void (*drop)(void *data)) {
    Table *t = table();
    auto *call = static_cast<DeferredCall *>(std::malloc(sizeof(DeferredCall)));
    ThreadQueue *fresh = nullptr;
    if (t != nullptr && call != nullptr) fresh = static_cast<ThreadQueue *>(std::malloc(sizeof(ThreadQueue)));
    if (t == nullptr || call == nullptr || fresh == nullptr) {
        std::free(call);
        KEZ_LOG(log::kError, "No memory for a deferred call to thread %u; the call is dropped",
                static_cast<unsigned>(thread_id));
        return false;
    }
    *call = DeferredCall{fn, data, drop, nullptr};
    os::cs_enter(t->lock);
    ThreadQueue **link = find(t, thread_id);
    if (*link == nullptr) {
        *fresh = ThreadQueue{thread_id, nullptr, nullptr, nullptr};
        *link = fresh;
        fresh = nullptr;
    }
    ThreadQueue *q = *link;
    if (q->tail != nullptr)
        q->tail->next = call;
    else
        q->head = call;
    q->tail = call;
    os::cs_leave(t->lock);
    std::free(fresh);
    return true;
}

int run_deferred_calls() {
    Table *t = g_table.load(std::memory_order_acquire);
    if (t == nullptr) return 0;
    os::cs_enter(t->lock);
    ThreadQueue *q = *find(t, os::current_thread_id());
    DeferredCall *calls = nullptr;
    if (q != nullptr) {
        calls = q->head;
        q->head = q->tail = nullptr;
    }
    os::cs_leave(t->lock);
    while (calls != nullptr) {
        DeferredCall *next = calls->next;
        calls->fn(calls->data);
        std::free(calls);
        calls = next;
    }
    return 0;
}

void DropDeferredCalls() {
    Table *t = g_table.load(std::memory_order_acquire);
    if (t == nullptr) return;
    os::cs_enter(t->lock);
    ThreadQueue **link = find(t, os::current_thread_id());
    ThreadQueue *q = *link;
    if (q != nullptr) *link = q->next;
    os::cs_leave(t->lock);
    if (q == nullptr) return;
    free_calls(q->head);
    std::free(q);
}

void deferred_calls_shutdown() {
    Table *t = g_table.exchange(nullptr, std::memory_order_acq_rel);
    if (t == nullptr) return;
    for (ThreadQueue *&bucket : t->buckets) {
        while (bucket != nullptr) {
            ThreadQueue *q = bucket;
            bucket = q->next;
            free_calls(q->head);
            std::free(q);
        }
    }
    os::cs_destroy(t->lock);
    std::free(t);
    g_default_thread.store(0);
}

void set_default_deferred_call_thread(std::uint32_t thread_id) { g_default_thread.store(thread_id); }

int deferred_calls_queued(std::uint32_t thread_id) {
    Table *t = g_table.load(std::memory_order_acquire);
    if (t == nullptr) return 0;
    int n = 0;
    os::cs_enter(t->lock);
    if (ThreadQueue *q = *find(t, thread_id); q != nullptr)
        for (DeferredCall *c = q->head; c != nullptr; c = c->next) ++n;
    os::cs_leave(t->lock);
    return n;
}

}  // namespace kez::core

using namespace kez::core;

// Until the debugger link names a thread, calls go to the engine's main
// thread: posted to id 0 they would be lost, since no thread has that id.
extern "C" int PostDeferredCall(DeferredCallbackPtr deferredFunction, void *callbackData) {
    std::uint32_t target = g_default_thread.load();
    if (target == 0) target = engine().main_thread_id;
    post_deferred_call(deferredFunction, callbackData, target);
    return 0;
}

extern "C" int PostDeferredCallToThread(DeferredCallbackPtr deferredFunction, void *callbackData,
                                        unsigned int threadId) {
    post_deferred_call(deferredFunction, callbackData, threadId);
    return 0;
}

extern "C" int ProcessSystemEvents(void) {
    int result = 0;
    for (int i = 0; i < kEventPollerCount; ++i) {
        const EventPoller &poller = kEventPollers[i];
        if (poller.poll == nullptr) continue;
        const int status = poller.poll();
        if (status < 0 && result == 0) result = status;
    }
    return result;
}

extern "C" void EnterAsyncCallback(void) {}
extern "C" void ExitAsyncCallback(void) {}
