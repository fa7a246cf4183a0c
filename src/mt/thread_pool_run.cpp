// Thread pools: what a pool thread does.
//
// An idle thread waits on its own wake event, without a time-out, so an
// idle pool costs nothing; scheduling wakes one waiting thread, and a
// thread that finishes a function takes the next queued one before it
// waits again.
#include <cstdlib>

#include "core/frame.h"
#include "mt/thread_pool.h"
#include "mt/thread_util.h"

namespace kez::mt {
namespace {

bool process_detaching() { return core::engine().process_detaching.load(); }

// The first installed pool callback for an event; its callback and data are
// copied so that they can be used without the lock.
PoolCallback pool_callback_for(ThreadPool *pool, unsigned int event) {
    for (PoolCallback *c = pool->callbacks; c != nullptr; c = c->next)
        if ((c->event_mask & event) != 0) return *c;
    return PoolCallback{};
}

void call_pool_callback(ThreadPool *pool, const PoolCallback &c, unsigned int event, int value) {
    if (c.callback != nullptr) c.callback(pool, event, value, c.callback_data);
}

void run_function_event(void *record) {
    auto *r = static_cast<FunctionEventRecord *>(record);
    r->callback(r->pool, r->function_id, r->event, r->value, r->callback_data);
    std::free(r);
}

// CallThreadFnCallback: each event at most once, on the callback thread
// through a deferred call, or here.
void CallThreadFnCallback(ThreadPool *pool, WorkItem *item, unsigned int event, int value) {
    if (process_detaching() || item->callback == nullptr || (item->event_mask & event) == 0) return;
    FunctionEventRecord *r = item->events[event - 1];
    if (r == nullptr) return;
    item->events[event - 1] = nullptr;
    *r = FunctionEventRecord{item->callback, pool, item->function_id, event, value, item->callback_data};
    if (item->callback_thread != 0) {
        if (!core::post_deferred_call(run_function_event, r, item->callback_thread, std::free)) std::free(r);
    } else {
        run_function_event(r);
    }
}

// Runs the user function with an exit point for KmtExitThreadPoolThread.
// Kept apart so that nothing of the caller's frame lives across the jump.
__attribute__((noinline)) int call_with_exit_point(PoolThread *t, WorkItem *item) {
    UtilityThreadBlock *block = utility_block();
    volatile int result = 0;
    if (__builtin_setjmp(t->exit_target.buffer) == 0) {
        if (block != nullptr) block->pool_exit_point = t;
        os::thread_allow_cancel(true);
        result = item->function(item->function_data);
    } else {
        result = t->exit_value;
    }
    os::thread_allow_cancel(false);
    // Cleared as soon as the function is over: a later call on this thread
    // (from a callback) has no frame to return to.
    if (block != nullptr) block->pool_exit_point = nullptr;
    return result;
}

// HandleExecuteFnEvent. Called and returns with the pool lock held.
void HandleExecuteFnEvent(ThreadPool *pool, PoolThread *t) {
    WorkItem *item = pool->queue_head;
    pool->queue_head = item->next;
    if (pool->queue_head == nullptr) pool->queue_tail = nullptr;
    --pool->queued;
    --pool->idle_threads;
    if (pool->queue_head != nullptr) wake_one_waiter(pool);
    const PoolCallback on_begin = pool_callback_for(pool, EVENT_TP_POOL_FUNCTION_BEGIN);
    const PoolCallback on_end = pool_callback_for(pool, EVENT_TP_POOL_FUNCTION_END);
    FunctionRecord *record = find_function(pool, item->function_id);
    t->current_function = item->function_id;
    t->current_item = item;
    record->thread_id = t->id;
    record->thread_handle = os::thread_native_handle(t->thread);
    record->state.store(KMT_FUNCTION_TAKEN);
    const int id = item->function_id;
    os::cs_leave(pool->lock);

    call_pool_callback(pool, on_begin, EVENT_TP_POOL_FUNCTION_BEGIN, id);
    CallThreadFnCallback(pool, item, EVENT_TP_THREAD_FUNCTION_BEGIN, 0);
    const bool own_priority = item->priority != kPoolPriority;
    if (own_priority) os::thread_priority_set(item->priority);
    record->state.store(KMT_FUNCTION_EXECUTING);
    const int result = call_with_exit_point(t, item);

    os::cs_enter(pool->lock);
    t->current_item = nullptr;
    if (t->terminated) {
        // Terminated while the function ran: the function's record is no
        // longer this thread's to touch.
        free_work_item(item);
        return;
    }
    t->current_function = -1;
    record->state.store(KMT_FUNCTION_RETURNED);
    if (own_priority) os::thread_priority_set(pool->thread_priority);
    record->return_value = result;
    os::cs_leave(pool->lock);

    CallThreadFnCallback(pool, item, EVENT_TP_THREAD_FUNCTION_END, result);
    call_pool_callback(pool, on_end, EVENT_TP_POOL_FUNCTION_END, id);

    os::cs_enter(pool->lock);
    // Completion and the pool's freeing of its own IDs happen under the
    // lock, so a release racing them frees the record exactly once.
    record->state.store(KMT_FUNCTION_COMPLETED);
    signal_completed(record);
    if (pool->id_table[id - 1] == kIdPool) remove_function(pool, record);
    ++pool->idle_threads;
    free_work_item(item);
}

}  // namespace

void ThreadPoolThreadFunction(void *thread) {
    auto *t = static_cast<PoolThread *>(thread);
    ThreadPool *pool = t->pool;
    os::cs_enter(pool->lock);
    if (pool->thread_priority != 0) os::thread_priority_set(pool->thread_priority);
    if (!process_detaching()) call_pool_callback(pool, pool_callback_for(pool, EVENT_TP_POOL_THREAD_BEGIN),
                                                 EVENT_TP_POOL_THREAD_BEGIN, static_cast<int>(t->id));
    while (!t->exit_requested) {
        if (pool->queue_head != nullptr) {
            HandleExecuteFnEvent(pool, t);
            continue;
        }
        t->waiting = true;
        t->next_waiter = pool->waiters;
        pool->waiters = t;
        os::cs_leave(pool->lock);
        os::event_wait(t->wake, os::kInfinite);
        os::cs_enter(pool->lock);
        if (t->waiting) {  // woken for the end, not by a scheduler
            for (PoolThread **w = &pool->waiters; *w != nullptr; w = &(*w)->next_waiter) {
                if (*w == t) {
                    *w = t->next_waiter;
                    break;
                }
            }
            t->waiting = false;
        }
    }
    if (!process_detaching() && !t->terminated)
        call_pool_callback(pool, pool_callback_for(pool, EVENT_TP_POOL_THREAD_END), EVENT_TP_POOL_THREAD_END,
                           static_cast<int>(t->id));
    os::cs_leave(pool->lock);
    os::event_set(t->finished);
}

}  // namespace kez::mt

using namespace kez::mt;

extern "C" int KmtExitThreadPoolThread(int returnValue) {
    UtilityThreadBlock *block = utility_block_if_any();
    if (block == nullptr || block->pool_exit_point == nullptr) return KMT_RESULT(-14926);
    auto *t = static_cast<PoolThread *>(block->pool_exit_point);
    t->exit_value = returnValue;
    __builtin_longjmp(t->exit_target.buffer, 1);
}
