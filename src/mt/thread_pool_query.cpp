// Thread pools: waiting for functions, function and pool attributes, IDs
// and pool callbacks.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mt/thread_pool.h"
#include "mt/thread_util.h"

namespace kez::mt {
namespace {

// The caller's function record for an ID: -14923 for an ID out of range,
// free or without record, -14924 for one the pool owns.
int caller_function(ThreadPool *pool, int id, FunctionRecord **out) {
    if (id < 1 || id > pool->id_table_length || pool->id_table[id - 1] == kIdFree) return -14923;
    if (pool->id_table[id - 1] == kIdPool) return -14924;
    *out = find_function(pool, id);
    return *out != nullptr ? 0 : -14923;
}

int wait_for_function(KmtThreadPoolHandle handle, int id, unsigned int options, int timeout_ms) {
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, true, &pool);
    if (result != 0) return result;
    FunctionRecord *record = nullptr;
    result = caller_function(pool, id, &record);
    if (result == 0 && options >= 2) result = -14902;
    const int state = result == 0 ? record->state.load() : 0;
    if (result != 0 || state == KMT_FUNCTION_COMPLETED || state == KMT_FUNCTION_TERMINATED) {
        unlock_pool(pool);
        return result;
    }
    // Waiting while processing events waits the same way.
    ++record->waiters;
    os::cs_leave(pool->lock);
    const bool signalled =
        os::event_wait(record->completed, timeout_ms < 0 ? os::kInfinite : static_cast<std::uint32_t>(timeout_ms));
    os::cs_enter(pool->lock);
    if (--record->waiters == 0 && record->orphaned) {
        os::event_destroy(record->completed);
        std::free(record);
    }
    result = signalled ? 0 : -14906;
    if (pool->marker.load() != kPoolMarker) result = -14901;  // discarded meanwhile
    unlock_pool(pool);
    return result;
}

int function_attribute(KmtThreadPoolHandle handle, int id, int attribute, void *value) {
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, true, &pool);
    if (result != 0) return result;
    FunctionRecord *record = nullptr;
    result = caller_function(pool, id, &record);
    if (result == 0 && value == nullptr) result = -14902;
    if (result == 0) {
        const int state = record->state.load();
        switch (attribute) {
        case ATTR_TP_FUNCTION_RETURN_VALUE:
            if (state < KMT_FUNCTION_RETURNED)
                result = -14925;
            else
                std::memcpy(value, &record->return_value, sizeof(int));
            break;
        case ATTR_TP_FUNCTION_THREAD_ID:
            if (state < KMT_FUNCTION_TAKEN)
                result = -14925;
            else
                std::memcpy(value, &record->thread_id, sizeof(std::uint32_t));
            break;
        case ATTR_TP_FUNCTION_THREAD_HANDLE:
            if (state < KMT_FUNCTION_TAKEN)
                result = -14925;
            else
                std::memcpy(value, &record->thread_handle, sizeof(void *));
            break;
        case ATTR_TP_FUNCTION_EXECUTION_STATUS:
            std::memcpy(value, &state, sizeof(int));
            break;
        default:
            result = -14903;
        }
    }
    unlock_pool(pool);
    return result;
}

int release_function_id(KmtThreadPoolHandle handle, int id) {
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, true, &pool);
    if (result != 0) return result;
    FunctionRecord *record = nullptr;
    result = caller_function(pool, id, &record);
    if (result == 0) {
        const int state = record->state.load();
        if (state == KMT_FUNCTION_COMPLETED || state == KMT_FUNCTION_TERMINATED) {
            remove_function(pool, record);
        } else {
            // The pool frees it when the function completes.
            untrack_resource(record);
            pool->id_table[id - 1] = kIdPool;
        }
    }
    unlock_pool(pool);
    return result;
}

int get_pool_attribute(KmtThreadPoolHandle handle, int attribute, void *value) {
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, true, &pool);
    if (result != 0) return result;
    if (value == nullptr) result = -14902;
    int number = 0;
    if (result == 0) {
        switch (attribute) {
        case ATTR_TP_THREAD_STACK_SIZE: {
            const unsigned long long size = pool->stack_size;
            std::memcpy(value, &size, sizeof size);
            break;
        }
        case ATTR_TP_THREAD_SECURITY:
            std::memcpy(value, &pool->thread_security, sizeof(void *));
            break;
        case ATTR_TP_FLAG_3: number = pool->flag_attribute_3; break;
        case ATTR_TP_THREAD_PRIORITY: number = pool->thread_priority; break;
        case ATTR_TP_MAX_NUM_THREADS: number = pool->max_threads; break;
        case ATTR_TP_NUM_THREADS: number = pool->threads; break;
        case ATTR_TP_NUM_ACTIVE_THREADS: number = pool->threads - pool->idle_threads; break;
        default: result = -14903;
        }
        if (result == 0 && attribute >= ATTR_TP_FLAG_3) std::memcpy(value, &number, sizeof number);
    }
    unlock_pool(pool);
    return result;
}

// SetMaxThreads: raise only, and never on a pool without a limit.
int set_max_threads(ThreadPool *pool, int new_max) {
    if (new_max < 1 && new_max != UNLIMITED_THREAD_POOL_THREADS) return -14902;
    if (pool->max_threads == UNLIMITED_THREAD_POOL_THREADS || pool->max_threads > new_max) return -14928;
    const int old_max = pool->max_threads;
    pool->max_threads = new_max;
    int to_add = new_max == UNLIMITED_THREAD_POOL_THREADS ? pool->queued
                                                          : (pool->queued < new_max - old_max ? pool->queued : new_max - old_max);
    for (; to_add > 0; --to_add) {
        int error = 0;
        if (!AddThreadToPool(pool, &error)) break;
    }
    for (int i = 0; i < pool->queued; ++i) wake_one_waiter(pool);
    return 0;
}

int set_pool_attribute(KmtThreadPoolHandle handle, int attribute, va_list args) {
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, false, &pool);
    if (result != 0) return result;
    const bool has_threads = pool->threads > 0;
    switch (attribute) {
    case ATTR_TP_THREAD_STACK_SIZE: {
        const unsigned int size = va_arg(args, unsigned int);
        if (has_threads)
            result = -14921;
        else
            pool->stack_size = size;
        break;
    }
    case ATTR_TP_THREAD_SECURITY: {
        void *security = va_arg(args, void *);
        if (has_threads)
            result = -14921;
        else
            pool->thread_security = security;
        break;
    }
    case ATTR_TP_FLAG_3: {
        const int flag = va_arg(args, int);
        if (has_threads)
            result = -14921;
        else
            pool->flag_attribute_3 = flag != 0 ? 1 : 0;
        break;
    }
    case ATTR_TP_THREAD_PRIORITY: {
        const int priority = va_arg(args, int);
        if (priority < -15 || priority > 15)
            result = -14922;
        else
            pool->thread_priority = priority;
        break;
    }
    case ATTR_TP_MAX_NUM_THREADS:
        result = set_max_threads(pool, va_arg(args, int));
        break;
    default:
        result = -14903;
    }
    unlock_pool(pool);
    return result;
}

constexpr unsigned int kPoolEvents =
    EVENT_TP_POOL_THREAD_BEGIN | EVENT_TP_POOL_THREAD_END | EVENT_TP_POOL_FUNCTION_BEGIN | EVENT_TP_POOL_FUNCTION_END;

int install_callback(KmtThreadPoolHandle handle, unsigned int mask, KmtThreadPoolCallbackPtr callback, void *data,
                     KmtThreadPoolCallbackID *out) {
    if (callback == nullptr || mask == 0 || (mask & ~kPoolEvents) != 0) return -14902;
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, false, &pool);
    if (result != 0) return result;
    if ((pool->installed_events & mask) != 0) {
        unlock_pool(pool);
        return -14907;
    }
    auto *record = static_cast<PoolCallback *>(std::malloc(sizeof(PoolCallback)));
    if (record == nullptr) {
        unlock_pool(pool);
        return -14905;
    }
    *record = PoolCallback{callback, data, mask, nullptr};
    PoolCallback **link = &pool->callbacks;
    while (*link != nullptr) link = &(*link)->next;
    *link = record;
    pool->installed_events |= mask;
    if (out != nullptr) *out = record;
    unlock_pool(pool);
    return 0;
}

int uninstall_callback(KmtThreadPoolHandle handle, KmtThreadPoolCallbackID id) {
    ThreadPool *pool = nullptr;
    int result = lock_pool(handle, false, &pool);
    if (result != 0) return result;
    result = -14908;
    for (PoolCallback **link = &pool->callbacks; *link != nullptr; link = &(*link)->next) {
        if (*link != id) continue;
        PoolCallback *record = *link;
        *link = record->next;
        pool->installed_events &= ~record->event_mask;
        std::free(record);
        result = 0;
        break;
    }
    unlock_pool(pool);
    return result;
}

}  // namespace
}  // namespace kez::mt

using namespace kez::mt;

extern "C" int KmtWaitForThreadPoolFunctionCompletion(KmtThreadPoolHandle poolHandle, int threadFunctionID,
                                                      unsigned int options) {
    return KMT_RESULT(wait_for_function(poolHandle, threadFunctionID, options, -1));
}

extern "C" int KmtWaitForThreadPoolFunctionCompletionEx(KmtThreadPoolHandle poolHandle, int threadFunctionID,
                                                        unsigned int options, int timeout) {
    return KMT_RESULT(wait_for_function(poolHandle, threadFunctionID, options, timeout));
}

extern "C" int KmtGetThreadPoolFunctionAttribute(KmtThreadPoolHandle poolHandle, int threadFunctionID, int attribute,
                                                 void *attributeValue) {
    return KMT_RESULT(function_attribute(poolHandle, threadFunctionID, attribute, attributeValue));
}

extern "C" int KmtReleaseThreadPoolFunctionID(KmtThreadPoolHandle poolHandle, int threadFunctionID) {
    return KMT_RESULT(release_function_id(poolHandle, threadFunctionID));
}

extern "C" int KmtGetThreadPoolAttribute(KmtThreadPoolHandle poolHandle, int attribute, void *attributeValue) {
    return KMT_RESULT(get_pool_attribute(poolHandle, attribute, attributeValue));
}

extern "C" int KmtSetThreadPoolAttribute(KmtThreadPoolHandle poolHandle, int attribute, ...) {
    va_list args;
    va_start(args, attribute);
    const int result = set_pool_attribute(poolHandle, attribute, args);
    va_end(args);
    return KMT_RESULT(result);
}

// The twin of a function with variable arguments is written out: the table
// cannot forward them.
extern "C" int _UP_KmtSetThreadPoolAttribute(KmtThreadPoolHandle poolHandle, int attribute, ...) {
    va_list args;
    va_start(args, attribute);
    const int result = KMT_RESULT(set_pool_attribute(poolHandle, attribute, args));
    va_end(args);
    return kmt_twin_result("KmtSetThreadPoolAttribute", result);
}

extern "C" int KmtInstallThreadPoolCallback(KmtThreadPoolHandle poolHandle, unsigned int eventMask,
                                            KmtThreadPoolCallbackPtr callbackFunction, void *callbackData,
                                            KmtThreadPoolCallbackID *callbackID) {
    return KMT_RESULT(install_callback(poolHandle, eventMask, callbackFunction, callbackData, callbackID));
}

extern "C" int KmtUninstallThreadPoolCallback(KmtThreadPoolHandle poolHandle, KmtThreadPoolCallbackID callbackID) {
    return KMT_RESULT(uninstall_callback(poolHandle, callbackID));
}
