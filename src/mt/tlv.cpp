// Thread-local variables: one block per thread and variable, made at the
// thread's first access from the variable's initial value and handed to the
// variable's callback before it is freed, when its thread ends (event 1) or
// the variable is discarded (event 2).
//
// One lock (the TLV lock) guards the variables, the index table and the
// list of threads with values. It is released around every user callback;
// a value is taken out of its thread's array under the lock before its
// callback runs, so discard and thread end never both see it. A thread reads
// its own array without the lock when its value already exists; entries are
// atomics because discard clears them from other threads.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/frame.h"
#include "kez/multithreading.h"
#include "mt/thread_util.h"
#include "os/os.h"

namespace kez::mt {

// A thread's values, one per variable index.
struct TlvThreadValues {
    std::uint32_t thread_id;
    std::uint32_t length;
    std::atomic<void *> *values;
    TlvThreadValues *next;  // the thread list, ascending thread ids
};

namespace {

constexpr std::uint32_t kIndexGrowth = 64;

struct TlvVariable {
    std::uint32_t index;
    std::uint32_t size;
    void *initial;  // copy of the initial value, or null
    KmtTLVDiscardCallback callback;
    void *callback_data;
    bool discarding;  // a discard is handing out the values
};

struct TlvState {
    os::CriticalSection *lock = nullptr;
    TlvVariable **variables = nullptr;  // by index; null = index free
    std::uint32_t capacity = 0;
    TlvThreadValues *threads = nullptr;
};

TlvState g_tlv;

std::uint32_t rounded_length(std::uint32_t handle) { return (handle + kIndexGrowth - 1) / kIndexGrowth * kIndexGrowth; }

bool process_detaching() { return core::engine().process_detaching.load(); }

TlvVariable *variable_of(int handle) {
    if (handle < 1 || static_cast<std::uint32_t>(handle) > g_tlv.capacity) return nullptr;
    return g_tlv.variables[handle - 1];
}

// The lowest free index, growing the table by 64 entries when all are used.
bool GetFirstAvailableTlvIndex(std::uint32_t *index) {
    for (std::uint32_t i = 0; i < g_tlv.capacity; ++i) {
        if (g_tlv.variables[i] == nullptr) {
            *index = i;
            return true;
        }
    }
    const std::uint32_t grown = g_tlv.capacity + kIndexGrowth;
    auto *table = static_cast<TlvVariable **>(std::realloc(g_tlv.variables, grown * sizeof(TlvVariable *)));
    if (table == nullptr) return false;
    std::memset(table + g_tlv.capacity, 0, kIndexGrowth * sizeof(TlvVariable *));
    *index = g_tlv.capacity;
    g_tlv.variables = table;
    g_tlv.capacity = grown;
    return true;
}

std::atomic<void *> *new_value_array(std::uint32_t length) {
    auto *values = static_cast<std::atomic<void *> *>(std::malloc(length * sizeof(std::atomic<void *>)));
    if (values == nullptr) return nullptr;
    for (std::uint32_t i = 0; i < length; ++i) new (&values[i]) std::atomic<void *>(nullptr);
    return values;
}

void link_thread(TlvThreadValues *t) {
    TlvThreadValues **link = &g_tlv.threads;
    while (*link != nullptr && (*link)->thread_id < t->thread_id) link = &(*link)->next;
    t->next = *link;
    *link = t;
}

void unlink_thread(TlvThreadValues *t) {
    for (TlvThreadValues **link = &g_tlv.threads; *link != nullptr; link = &(*link)->next) {
        if (*link == t) {
            *link = t->next;
            return;
        }
    }
}

TlvThreadValues *CreateTlvTls(UtilityThreadBlock *block, std::uint32_t handle) {
    auto *t = static_cast<TlvThreadValues *>(std::malloc(sizeof(TlvThreadValues)));
    if (t == nullptr) return nullptr;
    t->length = rounded_length(handle);
    t->values = new_value_array(t->length);
    if (t->values == nullptr) {
        std::free(t);
        return nullptr;
    }
    t->thread_id = os::current_thread_id();
    link_thread(t);
    block->tlv_values = t;
    return t;
}

bool ResizeTlvTls(TlvThreadValues *t, std::uint32_t handle) {
    const std::uint32_t length = rounded_length(handle);
    std::atomic<void *> *values = new_value_array(length);
    if (values == nullptr) return false;
    for (std::uint32_t i = 0; i < t->length; ++i) values[i].store(t->values[i].load(std::memory_order_relaxed));
    std::free(t->values);
    t->values = values;
    t->length = length;
    return true;
}

// Takes a value out of its entry (under the TLV lock).
void *take_value(TlvThreadValues *t, std::uint32_t index) {
    if (index >= t->length) return nullptr;
    return t->values[index].exchange(nullptr, std::memory_order_acq_rel);
}

int new_variable(int size, const void *initial, KmtTLVDiscardCallback callback, void *data, KmtTLVHandle *out) {
    if (size < 1 || out == nullptr) return -14902;
    auto *var = static_cast<TlvVariable *>(std::calloc(1, sizeof(TlvVariable)));
    if (var == nullptr) return -14905;
    if (initial != nullptr) {
        var->initial = std::malloc(static_cast<std::size_t>(size));
        if (var->initial == nullptr) {
            std::free(var);
            return -14905;
        }
        std::memcpy(var->initial, initial, static_cast<std::size_t>(size));
    }
    var->size = static_cast<std::uint32_t>(size);
    var->callback = callback;
    var->callback_data = data;
    if (g_tlv.lock == nullptr) {  // the library is not started
        std::free(var->initial);
        std::free(var);
        return -14905;
    }
    os::cs_enter(g_tlv.lock);
    std::uint32_t index = 0;
    if (!GetFirstAvailableTlvIndex(&index)) {
        os::cs_leave(g_tlv.lock);
        std::free(var->initial);
        std::free(var);
        return -14905;
    }
    var->index = index;
    g_tlv.variables[index] = var;
    os::cs_leave(g_tlv.lock);
    *out = static_cast<int>(index + 1);
    track_resource(var, "Thread-local variable %u", index + 1);
    return 0;
}

int get_value_locked(int handle, void **value) {
    TlvVariable *var = variable_of(handle);
    if (var == nullptr || var->discarding) return -14901;
    UtilityThreadBlock *block = utility_block();
    if (block == nullptr) return -14905;
    const auto wanted = static_cast<std::uint32_t>(handle);
    TlvThreadValues *t = block->tlv_values;
    if (t == nullptr) {
        t = CreateTlvTls(block, wanted);
        if (t == nullptr) return -14905;
    } else if (t->length < wanted && !ResizeTlvTls(t, wanted)) {
        return -14905;
    }
    std::atomic<void *> &entry = t->values[handle - 1];
    void *v = entry.load(std::memory_order_relaxed);
    if (v == nullptr) {
        v = var->initial != nullptr ? std::malloc(var->size) : std::calloc(1, var->size);
        if (v == nullptr) return -14905;
        if (var->initial != nullptr) std::memcpy(v, var->initial, var->size);
        entry.store(v, std::memory_order_release);
    }
    *value = v;
    return 0;
}

int get_value(int handle, void *out) {
    if (out == nullptr) return -14902;
    void *v = nullptr;
    // An existing value needs no lock: only this thread grows its array,
    // and a discard only clears entries.
    if (UtilityThreadBlock *block = utility_block_if_any(); block != nullptr && handle >= 1) {
        TlvThreadValues *t = block->tlv_values;
        if (t != nullptr && static_cast<std::uint32_t>(handle) <= t->length)
            v = t->values[handle - 1].load(std::memory_order_acquire);
    }
    if (v == nullptr) {
        if (g_tlv.lock == nullptr) return -14901;
        os::cs_enter(g_tlv.lock);
        const int result = get_value_locked(handle, &v);
        os::cs_leave(g_tlv.lock);
        if (result != 0) return result;
    }
    std::memcpy(out, &v, sizeof v);
    return 0;
}

int discard_variable(int handle) {
    if (handle == 0) return 0;
    if (g_tlv.lock == nullptr) return -14901;
    os::cs_enter(g_tlv.lock);
    TlvVariable *var = variable_of(handle);
    if (var == nullptr || var->discarding) {
        os::cs_leave(g_tlv.lock);
        return -14901;
    }
    var->discarding = true;
    const std::uint32_t index = var->index;
    const bool call = var->callback != nullptr && !process_detaching();
    for (TlvThreadValues *t = g_tlv.threads; t != nullptr;) {
        void *v = take_value(t, index);
        if (v == nullptr) {
            t = t->next;
            continue;
        }
        if (call) {
            const std::uint32_t thread_id = t->thread_id;
            os::cs_leave(g_tlv.lock);
            var->callback(v, EVENT_TLV_DISCARD_VAR_DISCARDED, var->callback_data, thread_id);
            os::cs_enter(g_tlv.lock);
            std::free(v);
            t = g_tlv.threads;  // the list may have changed meanwhile
            continue;
        }
        std::free(v);
        t = t->next;
    }
    untrack_resource(var);
    g_tlv.variables[index] = nullptr;
    os::cs_leave(g_tlv.lock);
    std::free(var->initial);
    std::free(var);
    return 0;
}

void free_thread_values(TlvThreadValues *t) {
    for (std::uint32_t i = 0; i < t->length; ++i) std::free(t->values[i].load(std::memory_order_relaxed));
    std::free(t->values);
    std::free(t);
}

}  // namespace

// Thread end: the values of the ending thread, callbacks in variable order.
void ReleaseThreadLocalVars() {
    if (g_tlv.lock == nullptr) return;
    UtilityThreadBlock *block = utility_block_if_any();
    if (block == nullptr || block->tlv_values == nullptr) return;
    os::cs_enter(g_tlv.lock);
    TlvThreadValues *t = block->tlv_values;
    const bool call = !process_detaching();
    for (std::uint32_t i = 0; i < t->length && call;) {
        TlvVariable *var = i < g_tlv.capacity ? g_tlv.variables[i] : nullptr;
        if (var == nullptr || var->callback == nullptr || t->values[i].load(std::memory_order_relaxed) == nullptr) {
            ++i;
            continue;
        }
        void *v = take_value(t, i);
        const KmtTLVDiscardCallback callback = var->callback;
        void *data = var->callback_data;
        os::cs_leave(g_tlv.lock);
        callback(v, EVENT_TLV_DISCARD_THREAD_ENDING, data, t->thread_id);
        os::cs_enter(g_tlv.lock);
        std::free(v);
        i = 0;  // variables may have come and gone meanwhile
    }
    unlink_thread(t);
    block->tlv_values = nullptr;
    os::cs_leave(g_tlv.lock);
    free_thread_values(t);
}

int TlvInit() {
    g_tlv = TlvState{};
    g_tlv.lock = os::cs_create();
    return g_tlv.lock != nullptr ? 0 : -103;
}

// Unload: everything freed, no callbacks.
void TlvUninit() {
    if (g_tlv.lock == nullptr) return;
    while (g_tlv.threads != nullptr) {
        TlvThreadValues *t = g_tlv.threads;
        g_tlv.threads = t->next;
        free_thread_values(t);
    }
    if (UtilityThreadBlock *block = utility_block_if_any(); block != nullptr) block->tlv_values = nullptr;
    for (std::uint32_t i = 0; i < g_tlv.capacity; ++i) {
        if (g_tlv.variables[i] == nullptr) continue;
        std::free(g_tlv.variables[i]->initial);
        std::free(g_tlv.variables[i]);
    }
    std::free(g_tlv.variables);
    os::cs_destroy(g_tlv.lock);
    g_tlv = TlvState{};
}

}  // namespace kez::mt

using namespace kez::mt;

extern "C" int KmtNewThreadLocalVar(int sizeOfVar, const void *initialValue, KmtTLVDiscardCallback discardCallback,
                                    void *callbackData, KmtTLVHandle *tlvHandle) {
    return KMT_RESULT(new_variable(sizeOfVar, initialValue, discardCallback, callbackData, tlvHandle));
}

extern "C" int KmtGetThreadLocalVar(KmtTLVHandle tlvHandle, void *ptrToVarPtr) {
    return KMT_RESULT(get_value(tlvHandle, ptrToVarPtr));
}

extern "C" int KmtDiscardThreadLocalVar(KmtTLVHandle tlvHandle) { return KMT_RESULT(discard_variable(tlvHandle)); }
