// Thread pools: the records shared by the pool's files.
//
// Every field of a pool and of its threads, functions and work items is
// guarded by the pool lock, except a function's state (an atomic, read by
// attribute queries) and what a pool thread keeps to itself while it runs a
// function. Pool records live in a handle pool: calls pin the pool while
// they use it, and the pool's memory is freed by the last call to let go
// after discard.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/deferred_calls.h"
#include "kez/multithreading.h"
#include "os/os.h"

namespace kez::mt {

constexpr std::uint32_t kPoolMarker = 0x0BADF00E;
constexpr int kPoolPriority = THREAD_PRIORITY_POOL_DEFAULT;

// A per-function event on its way to the user, allocated when the function
// is scheduled so that delivering it never allocates.
struct FunctionEventRecord {
    KmtThreadFunctionCallbackPtr callback;
    KmtThreadPoolHandle pool;
    int function_id;
    unsigned int event;
    int value;
    void *callback_data;
};

struct WorkItem {
    KmtThreadFunctionPtr function;
    void *function_data;
    KmtThreadFunctionCallbackPtr callback;
    unsigned int event_mask;
    void *callback_data;
    std::uint32_t callback_thread;
    int function_id;
    int priority;
    FunctionEventRecord *events[2];  // begin, end; null once delivered
    WorkItem *next;
};

struct FunctionRecord {
    int id;
    int return_value;
    std::atomic<int> state;
    std::uint32_t thread_id;
    void *thread_handle;
    os::Event *completed;  // manual-reset; only for IDs the caller asked for
    int waiters;           // calls waiting on `completed`
    bool orphaned;         // out of the list; the last waiter frees it
};

struct ThreadPool;

struct PoolThread {
    ThreadPool *pool;
    std::uint32_t id;
    os::Thread *thread;
    os::Event *wake;      // auto-reset: work or the end
    os::Event *finished;  // set as the thread leaves the pool's code
    int current_function;  // -1 when idle
    WorkItem *current_item;
    bool exit_requested;
    bool terminated;  // ended by KmtTerminateThreadPoolThread; no longer counted
    bool waiting;     // on the pool's waiter list
    core::JumpTarget exit_target;  // where KmtExitThreadPoolThread resumes
    int exit_value;
    PoolThread *next;
    PoolThread *next_waiter;
};

struct PoolCallback {
    KmtThreadPoolCallbackPtr callback;
    void *callback_data;
    unsigned int event_mask;
    PoolCallback *next;
};

struct ThreadPool {
    std::atomic<std::uint32_t> marker;
    os::CriticalSection *lock;
    int threads;
    int idle_threads;
    int max_threads;
    int thread_priority;
    std::uint32_t stack_size;
    void *thread_security;
    int flag_attribute_3;
    int id_table_length;
    unsigned char *id_table;           // per ID: 0 free, 1 the caller's, 2 the pool's
    FunctionRecord **function_records;  // per ID, in ID order
    int first_free_id_hint;            // no free ID lies below it
    unsigned int installed_events;
    PoolCallback *callbacks;
    PoolThread *thread_list;  // ascending thread ids
    PoolThread *waiters;      // idle threads waiting for work
    WorkItem *queue_head;
    WorkItem *queue_tail;
    int queued;
    bool discarding;
    bool is_default;
};

enum IdOwner : unsigned char { kIdFree = 0, kIdCaller = 1, kIdPool = 2 };

// ---- thread_pool.cpp --------------------------------------------------------

// Resolves a handle, pins the pool and takes its lock. -1 means the default
// pool when `default_allowed` (created at first use), -14927 otherwise.
int lock_pool(KmtThreadPoolHandle handle, bool default_allowed, ThreadPool **out);
// Releases the lock and the pin taken by lock_pool.
void unlock_pool(ThreadPool *pool);
// Adds one thread unless the maximum stops it; false when none was added.
// `failed` tells whether the system refused.
bool AddThreadToPool(ThreadPool *pool, int *error);
// Wakes one idle thread waiting for work, if any.
void wake_one_waiter(ThreadPool *pool);
FunctionRecord *find_function(ThreadPool *pool, int id);
void signal_completed(FunctionRecord *record);
// Takes a function record out of the list and frees its ID; frees the
// record unless calls still wait on it.
void remove_function(ThreadPool *pool, FunctionRecord *record);
void track_function_id(ThreadPool *pool, FunctionRecord *record);
void free_work_item(WorkItem *item);

// ---- thread_pool_run.cpp ----------------------------------------------------

// The pool thread's body.
void ThreadPoolThreadFunction(void *thread);

// ---- process state ------------------------------------------------------------

int ThreadPoolInit();
void ThreadPoolUninit();

}  // namespace kez::mt
