// Thread pools: creation, the default pool, threads, scheduling, discard.
#include "mt/thread_pool.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/frame.h"
#include "core/handle_pool.h"
#include "core/thread_naming.h"
#include "debug/resource_tracking.h"
#include "mt/thread_util.h"

namespace kez::mt {
namespace {

constinit core::HandlePool g_pools(sizeof(ThreadPool));
os::CriticalSection *g_default_lock = nullptr;
ThreadPool *g_default_pool = nullptr;

bool is_default_handle(KmtThreadPoolHandle handle) { return handle == DEFAULT_THREAD_POOL_HANDLE; }

int default_max_threads() { return 2 * os::processor_count() + 2; }

void free_thread_record(PoolThread *t) {
    os::thread_close(t->thread);
    os::event_destroy(t->wake);
    os::event_destroy(t->finished);
    std::free(t);
}

void free_function_record(FunctionRecord *f) {
    if (f->completed != nullptr) os::event_destroy(f->completed);
    std::free(f);
}

// Frees what the pool holds. Its threads have ended.
void destroy_pool(ThreadPool *pool) {
    while (pool->thread_list != nullptr) {
        PoolThread *t = pool->thread_list;
        pool->thread_list = t->next;
        free_thread_record(t);
    }
    for (int i = 0; i < pool->id_table_length; ++i) {
        FunctionRecord *f = pool->function_records[i];
        if (f == nullptr) continue;
        if (pool->id_table[i] == kIdCaller) untrack_resource(f);
        free_function_record(f);
    }
    std::free(pool->function_records);
    pool->function_records = nullptr;
    while (pool->queue_head != nullptr) {
        WorkItem *item = pool->queue_head;
        pool->queue_head = item->next;
        free_work_item(item);
    }
    while (pool->callbacks != nullptr) {
        PoolCallback *c = pool->callbacks;
        pool->callbacks = c->next;
        std::free(c);
    }
    std::free(pool->id_table);
    pool->id_table = nullptr;
    os::cs_destroy(pool->lock);
    pool->lock = nullptr;
}

void drop(ThreadPool *pool) {
    if (!g_pools.unpin(pool)) return;
    destroy_pool(pool);
    g_pools.recycle(pool);
}

int create_pool(int max_threads, bool track, ThreadPool **out) {
    auto *pool = static_cast<ThreadPool *>(g_pools.allocate());
    if (pool == nullptr) return -14905;
    pool->lock = os::cs_create();
    pool->max_threads = max_threads;
    pool->flag_attribute_3 = 1;
    pool->id_table_length = max_threads == UNLIMITED_THREAD_POOL_THREADS ? default_max_threads() : max_threads;
    pool->id_table = static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(pool->id_table_length), 1));
    pool->function_records = static_cast<FunctionRecord **>(
        std::calloc(static_cast<std::size_t>(pool->id_table_length), sizeof(FunctionRecord *)));
    if (pool->lock == nullptr || pool->id_table == nullptr || pool->function_records == nullptr) {
        os::cs_destroy(pool->lock);
        std::free(pool->id_table);
        std::free(pool->function_records);
        g_pools.free_unpublished(pool);
        return -14905;
    }
    pool->marker.store(kPoolMarker, std::memory_order_release);
    g_pools.publish(pool);
    if (track) track_resource(pool, "Thread pool 0x%016llX", resource_address(pool));
    *out = pool;
    return 0;
}

// Stops and frees a pool's threads. With `unlimited`, waits for each as
// long as it takes after the first 2000 ms; otherwise gives the whole stop
// 2000 ms and keeps the records of threads that did not end (they may still
// use them). True when every thread ended.
bool stop_threads(ThreadPool *pool, bool unlimited, bool under_loader_lock) {
    const std::uint64_t deadline = os::tick_count_ms() + 2000;
    bool all_ended = true;
    for (PoolThread *t = pool->thread_list; t != nullptr; t = t->next) {
        t->exit_requested = true;
        os::event_set(t->wake);
    }
    PoolThread **link = &pool->thread_list;
    while (*link != nullptr) {
        PoolThread *t = *link;
        os::cs_leave(pool->lock);
        const std::uint64_t now = os::tick_count_ms();
        const auto left = static_cast<std::uint32_t>(now < deadline ? deadline - now : 0);
        // Under the system's loader lock a thread cannot end (ending needs
        // that lock), so there only its leaving the engine's code is awaited.
        bool ended = under_loader_lock ? os::event_wait(t->finished, left) : os::thread_join(t->thread, left);
        if (!ended && unlimited) ended = os::thread_join(t->thread, os::kInfinite);
        os::cs_enter(pool->lock);
        if (!ended) {
            all_ended = false;
            link = &t->next;
            continue;
        }
        *link = t->next;
        if (!t->terminated) {
            --pool->threads;
            --pool->idle_threads;
        }
        free_thread_record(t);
    }
    return all_ended;
}

}  // namespace

int lock_pool(KmtThreadPoolHandle handle, bool default_allowed, ThreadPool **out) {
    if (handle == nullptr) return -14901;
    ThreadPool *pool = nullptr;
    if (is_default_handle(handle)) {
        if (!default_allowed) return -14927;
        os::cs_enter(g_default_lock);
        if (g_default_pool == nullptr) {
            const int result = create_pool(default_max_threads(), false, &g_default_pool);
            if (result != 0) {
                os::cs_leave(g_default_lock);
                return result;
            }
            g_default_pool->is_default = true;
        }
        pool = static_cast<ThreadPool *>(g_pools.pin(g_default_pool));
        os::cs_leave(g_default_lock);
    } else {
        pool = static_cast<ThreadPool *>(g_pools.pin(handle));
    }
    if (pool == nullptr) return -14901;
    os::cs_enter(pool->lock);
    if (pool->marker.load(std::memory_order_acquire) != kPoolMarker) {
        os::cs_leave(pool->lock);
        drop(pool);
        return -14901;
    }
    *out = pool;
    return 0;
}

void unlock_pool(ThreadPool *pool) {
    os::cs_leave(pool->lock);
    drop(pool);
}

void wake_one_waiter(ThreadPool *pool) {
    PoolThread *t = pool->waiters;
    if (t == nullptr) return;
    pool->waiters = t->next_waiter;
    t->waiting = false;
    os::event_set(t->wake);
}

bool AddThreadToPool(ThreadPool *pool, int *error) {
    *error = 0;
    if (pool->discarding) return false;
    if (pool->max_threads != UNLIMITED_THREAD_POOL_THREADS && pool->threads >= pool->max_threads) return false;
    auto *t = static_cast<PoolThread *>(std::calloc(1, sizeof(PoolThread)));
    if (t == nullptr) {
        *error = -14905;
        return false;
    }
    t->pool = pool;
    t->current_function = -1;
    t->wake = os::event_create(false, false);
    t->finished = os::event_create(true, false);
    if (t->wake == nullptr || t->finished == nullptr) {
        *error = system_error_result();
        free_thread_record(t);
        return false;
    }
    t->thread = os::thread_create_suspended(ThreadPoolThreadFunction, t, pool->stack_size, &t->id);
    if (t->thread == nullptr) {
        *error = system_error_result();
        free_thread_record(t);
        return false;
    }
    core::name_engine_thread(t->id, "Pellix/Kez Thread Pool Thread %d");
    PoolThread **link = &pool->thread_list;
    while (*link != nullptr && (*link)->id < t->id) link = &(*link)->next;
    t->next = *link;
    *link = t;
    ++pool->threads;
    ++pool->idle_threads;
    os::thread_resume(t->thread);
    return true;
}

FunctionRecord *find_function(ThreadPool *pool, int id) {
    return id >= 1 && id <= pool->id_table_length ? pool->function_records[id - 1] : nullptr;
}

void signal_completed(FunctionRecord *record) {
    if (record->completed != nullptr) os::event_set(record->completed);
}

void remove_function(ThreadPool *pool, FunctionRecord *record) {
    const int index = record->id - 1;
    pool->function_records[index] = nullptr;
    if (pool->id_table[index] == kIdCaller) untrack_resource(record);
    pool->id_table[index] = kIdFree;
    if (index < pool->first_free_id_hint) pool->first_free_id_hint = index;
    if (record->waiters > 0)
        record->orphaned = true;
    else
        free_function_record(record);
}

void track_function_id(ThreadPool *pool, FunctionRecord *record) {
    track_resource(record, "Thread function %u in thread pool 0x%016llX", static_cast<unsigned>(record->id),
                   resource_address(pool));
}

void free_work_item(WorkItem *item) {
    std::free(item->events[0]);
    std::free(item->events[1]);
    std::free(item);
}

namespace {

// GetFirstAvailableFnID: the lowest free ID, doubling the table when full.
// The scan starts at a hint below which no ID is free, so a long queue of
// outstanding functions does not make every schedule scan all of them.
int GetFirstAvailableFnID(ThreadPool *pool, IdOwner owner) {
    for (int i = pool->first_free_id_hint; i < pool->id_table_length; ++i) {
        if (pool->id_table[i] == kIdFree) {
            pool->id_table[i] = owner;
            pool->first_free_id_hint = i + 1;
            return i + 1;
        }
    }
    if (pool->id_table_length <= 0 || pool->id_table_length > (1 << 29)) return -14905;
    const auto old_length = static_cast<std::size_t>(pool->id_table_length);
    auto *records = static_cast<FunctionRecord **>(std::calloc(old_length * 2, sizeof(FunctionRecord *)));
    auto *table = records != nullptr ? static_cast<unsigned char *>(std::realloc(pool->id_table, old_length * 2))
                                     : nullptr;
    if (table == nullptr) {
        std::free(records);
        return -14905;
    }
    std::memset(table + old_length, 0, old_length);
    std::memcpy(records, pool->function_records, old_length * sizeof(FunctionRecord *));
    std::free(pool->function_records);
    pool->function_records = records;
    pool->id_table = table;
    pool->id_table_length = static_cast<int>(old_length * 2);
    pool->id_table[old_length] = owner;
    pool->first_free_id_hint = static_cast<int>(old_length) + 1;
    return static_cast<int>(old_length) + 1;
}

void insert_function(ThreadPool *pool, FunctionRecord *record) { pool->function_records[record->id - 1] = record; }

int schedule(KmtThreadPoolHandle handle, KmtThreadFunctionPtr function, void *data, int priority,
             KmtThreadFunctionCallbackPtr callback, unsigned int mask, void *callback_data, unsigned int callback_thread,
             int *out_id) {
    if (priority != kPoolPriority && (priority < -15 || priority > 15)) return -14922;
    if (callback != nullptr && (mask & ~3u) != 0) return -14902;
    if (function == nullptr) return -14902;
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, true, &pool);
    if (result != 0) return result;
    if (pool->discarding) {
        unlock_pool(pool);
        return -14901;
    }
    auto *record = static_cast<FunctionRecord *>(std::calloc(1, sizeof(FunctionRecord)));
    auto *item = static_cast<WorkItem *>(std::calloc(1, sizeof(WorkItem)));
    int failure = record != nullptr && item != nullptr ? 0 : -14905;
    // Only the caller can wait for a function, so only its IDs get an event.
    if (failure == 0 && out_id != nullptr) {
        record->completed = os::event_create(true, false);
        if (record->completed == nullptr) failure = system_error_result();
    }
    for (unsigned e = 0; failure == 0 && callback != nullptr && e < 2; ++e) {
        if ((mask & (1u << e)) == 0) continue;
        item->events[e] = static_cast<FunctionEventRecord *>(std::calloc(1, sizeof(FunctionEventRecord)));
        if (item->events[e] == nullptr) failure = -14905;
    }
    int id = failure == 0 ? GetFirstAvailableFnID(pool, out_id != nullptr ? kIdCaller : kIdPool) : failure;
    if (id < 0) {
        if (record != nullptr) free_function_record(record);
        if (item != nullptr) free_work_item(item);
        unlock_pool(pool);
        return id;
    }
    if (pool->idle_threads < pool->queued + 1) {
        int error = 0;
        if (!AddThreadToPool(pool, &error) && error != 0 && pool->threads == 0) {
            // Without any thread the function could never run.
            pool->id_table[id - 1] = kIdFree;
            if (id - 1 < pool->first_free_id_hint) pool->first_free_id_hint = id - 1;
            free_function_record(record);
            free_work_item(item);
            unlock_pool(pool);
            return error;
        }
    }
    record->id = id;
    insert_function(pool, record);
    *item = WorkItem{function, data, callback, callback != nullptr ? mask : 0u, callback_data, callback_thread,
                     id, priority, {item->events[0], item->events[1]}, nullptr};
    if (pool->queue_tail != nullptr)
        pool->queue_tail->next = item;
    else
        pool->queue_head = item;
    pool->queue_tail = item;
    ++pool->queued;
    wake_one_waiter(pool);
    if (out_id != nullptr) {
        *out_id = id;
        track_function_id(pool, record);
    }
    unlock_pool(pool);
    return 0;
}

int new_pool(int max_threads, KmtThreadPoolHandle *out) {
    if (out == nullptr || (max_threads != UNLIMITED_THREAD_POOL_THREADS && max_threads < 1)) return -14902;
    ThreadPool *pool = nullptr;
    const int result = create_pool(max_threads, true, &pool);
    if (result == 0) *out = pool;
    return result;
}

// Marks the pool gone, wakes calls waiting on its functions, and lets the
// last call that uses it free it. Called with the lock held; releases it.
void retire_pool(ThreadPool *pool) {
    pool->marker.store(0, std::memory_order_release);
    g_pools.retire(pool);
    for (int i = 0; i < pool->id_table_length; ++i)
        if (pool->function_records[i] != nullptr) signal_completed(pool->function_records[i]);
    untrack_resource(pool);
    unlock_pool(pool);
}

int discard_pool(KmtThreadPoolHandle handle) {
    if (handle == nullptr) return 0;
    ThreadPool *pool = nullptr;
    const int result = lock_pool(handle, false, &pool);
    if (result != 0) return result;
    if (pool->discarding) {
        unlock_pool(pool);
        return -14901;
    }
    pool->discarding = true;
    stop_threads(pool, true, false);
    retire_pool(pool);
    return 0;
}

int pre_alloc(KmtThreadPoolHandle handle, int count, int *created) {
    if (count < 0) return -14902;
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, false, &pool);
    if (result != 0) return result;
    int added = 0;
    while (added < count) {
        int error = 0;
        if (!AddThreadToPool(pool, &error)) {
            result = error;
            break;
        }
        ++added;
    }
    unlock_pool(pool);
    if (created != nullptr) *created = added;
    return result;
}

int terminate_thread(KmtThreadPoolHandle handle, unsigned int thread_id, unsigned int exit_code) {
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, true, &pool);
    if (result != 0) return result;
    PoolThread **link = &pool->thread_list;
    while (*link != nullptr && ((*link)->id != thread_id || (*link)->terminated)) link = &(*link)->next;
    PoolThread *t = *link;
    if (t == nullptr) {
        unlock_pool(pool);
        return -14902;
    }
    if (!os::thread_terminate(t->thread, exit_code)) {
        result = system_error_result();
        unlock_pool(pool);
        return result;
    }
    const bool was_running = t->current_function != -1;
    if (was_running) {
        if (FunctionRecord *f = find_function(pool, t->current_function); f != nullptr) {
            if (pool->id_table[f->id - 1] == kIdCaller) {
                f->return_value = static_cast<int>(exit_code);
                f->state.store(KMT_FUNCTION_TERMINATED);
                // A terminated function counts as completed for its waiters.
                signal_completed(f);
            } else {
                remove_function(pool, f);
            }
        }
    }
    // The counts follow the removed thread, so the pool can replace it.
    --pool->threads;
    if (!was_running) --pool->idle_threads;
    if (t->waiting) {
        for (PoolThread **w = &pool->waiters; *w != nullptr; w = &(*w)->next_waiter) {
            if (*w == t) {
                *w = t->next_waiter;
                break;
            }
        }
        t->waiting = false;
    }
    t->terminated = true;
    t->exit_requested = true;
    if (os::kThreadTerminateIsImmediate) {
        *link = t->next;
        if (t->current_item != nullptr) free_work_item(t->current_item);
        free_thread_record(t);
    } else {
        // The cancelled thread ends at its next cancellation point or when
        // its function returns, and leaves without touching the function;
        // its record stays listed until the pool is discarded.
        os::event_set(t->wake);
    }
    if (pool->queued > 0) {
        int error = 0;
        AddThreadToPool(pool, &error);
        wake_one_waiter(pool);
    }
    unlock_pool(pool);
    return 0;
}

}  // namespace

int ThreadPoolInit() {
    g_default_lock = os::cs_create();
    g_default_pool = nullptr;
    return g_default_lock != nullptr ? 0 : -103;
}

// Unload: the default pool's threads are stopped, only by the main thread
// and within 2000 ms; pools the program made are left alone. Whatever a
// thread that did not end may still use is not freed.
void ThreadPoolUninit() {
    if (g_default_lock == nullptr) return;
    ThreadPool *pool = g_default_pool;
    g_default_pool = nullptr;
    bool freed_all = true;
    if (pool != nullptr) {
        freed_all = false;
        // On Windows a process that ends has already lost its other threads:
        // there is nothing to wait for.
        const bool threads_gone = os::kThreadTerminateIsImmediate && core::engine().process_ending.load();
        if (threads_gone) {
            freed_all = true;
        } else if (os::current_thread_id() == core::engine().main_thread_id && g_pools.pin(pool) != nullptr) {
            os::cs_enter(pool->lock);
            pool->discarding = true;
            if (stop_threads(pool, false, os::kThreadTerminateIsImmediate)) {
                retire_pool(pool);
                freed_all = true;
            } else {
                os::cs_leave(pool->lock);
            }
        }
    }
    os::cs_destroy(g_default_lock);
    g_default_lock = nullptr;
    // The pools' memory goes only when no pool is left whose threads may
    // still run: the program's own pools are not touched.
    if (freed_all && g_pools.live_count() == 0) g_pools.destroy_all(nullptr);
}

}  // namespace kez::mt

using namespace kez::mt;

extern "C" int KmtNewThreadPool(int maxThreads, KmtThreadPoolHandle *poolHandle) {
    return KMT_RESULT(new_pool(maxThreads, poolHandle));
}

extern "C" int KmtDiscardThreadPool(KmtThreadPoolHandle poolHandle) { return KMT_RESULT(discard_pool(poolHandle)); }

extern "C" int KmtScheduleThreadPoolFunction(KmtThreadPoolHandle poolHandle, KmtThreadFunctionPtr threadFunction,
                                             void *threadFunctionData, int *threadFunctionID) {
    return KMT_RESULT(schedule(poolHandle, threadFunction, threadFunctionData, kPoolPriority, nullptr, 0, nullptr, 0,
                               threadFunctionID));
}

extern "C" int KmtScheduleThreadPoolFunctionAdv(KmtThreadPoolHandle poolHandle, KmtThreadFunctionPtr threadFunction,
                                                void *threadFunctionData, int threadPriority,
                                                KmtThreadFunctionCallbackPtr callbackFunction, unsigned int eventMask,
                                                void *callbackData, unsigned int callbackThreadID,
                                                int *threadFunctionID) {
    return KMT_RESULT(schedule(poolHandle, threadFunction, threadFunctionData, threadPriority, callbackFunction,
                               eventMask, callbackData, callbackThreadID, threadFunctionID));
}

extern "C" int KmtPreAllocThreadPoolThreads(KmtThreadPoolHandle poolHandle, int numThreads, int *numThreadsAllocated) {
    return KMT_RESULT(pre_alloc(poolHandle, numThreads, numThreadsAllocated));
}

extern "C" int KmtTerminateThreadPoolThread(KmtThreadPoolHandle poolHandle, unsigned int threadID,
                                            unsigned int exitCode) {
    return KMT_RESULT(terminate_thread(poolHandle, threadID, exitCode));
}
