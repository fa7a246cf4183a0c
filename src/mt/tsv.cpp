// Thread-safe variables: a zero-filled block guarded by its own recursive
// lock, reached through get/release pairs or a locked copy-in. Records live
// in the library's handle pool, like locks, so wild and discarded handles
// are refused and a call waiting for the lock outlives a discard safely.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/handle_pool.h"
#include "kez/multithreading.h"
#include "mt/thread_util.h"
#include "os/os.h"

namespace kez::mt {
namespace {

constexpr std::uint32_t kTsvMarker = 0x0BADF00F;

struct ThreadSafeVar {
    std::atomic<std::uint32_t> marker;
    void *data;
    void *pointer_records[2];  // the block's records for the _UP_ twins
    std::size_t size;
    os::CriticalSection *lock;
    std::atomic<std::uint32_t> owner;  // written under the lock, read by refused releases
    std::atomic<std::int32_t> count;
};

constinit core::HandlePool g_tsvs(sizeof(ThreadSafeVar));

void destroy(ThreadSafeVar *tsv) {
    os::cs_destroy(tsv->lock);
    tsv->lock = nullptr;
    std::free(tsv->data);
    tsv->data = nullptr;
}

// A variable still held keeps its lock (a locked mutex must not be
// destroyed); its block goes.
void destroy_at_unload(void *record, bool allocated) {
    auto *tsv = static_cast<ThreadSafeVar *>(record);
    if (!allocated) return;
    if (tsv->count.load(std::memory_order_relaxed) > 0) {
        os::cs_let_go_held(tsv->lock);
        tsv->lock = nullptr;
    }
    destroy(tsv);
}

void drop(ThreadSafeVar *tsv) {
    if (!g_tsvs.unpin(tsv)) return;
    destroy(tsv);
    g_tsvs.recycle(tsv);
}

ThreadSafeVar *GetTsvPtrFromUserHandle(KmtTSVHandle handle) {
    auto *tsv = static_cast<ThreadSafeVar *>(g_tsvs.pin(handle));
    if (tsv == nullptr) return nullptr;
    if (tsv->marker.load(std::memory_order_acquire) != kTsvMarker) {
        drop(tsv);
        return nullptr;
    }
    return tsv;
}

// Enters the variable's lock; false (and not held) when the variable was
// discarded while this call waited.
bool enter(ThreadSafeVar *tsv) {
    os::cs_enter(tsv->lock);
    if (tsv->marker.load(std::memory_order_acquire) == kTsvMarker) return true;
    os::cs_leave(tsv->lock);
    return false;
}

// The pointer resource stands for the variable's block while a thread holds
// it; it is registered at the first hold and released at the last.
const void *pointer_resource(ThreadSafeVar *tsv) { return static_cast<const char *>(static_cast<void *>(tsv)) + 1; }

int new_tsv(int size, KmtTSVHandle *out) {
    if (size < 1 || out == nullptr) return -14902;
    auto *tsv = static_cast<ThreadSafeVar *>(g_tsvs.allocate());
    if (tsv == nullptr) return -14905;
    tsv->data = std::calloc(1, static_cast<std::size_t>(size));
    tsv->lock = tsv->data != nullptr ? os::cs_create() : nullptr;
    if (tsv->lock == nullptr) {
        std::free(tsv->data);
        g_tsvs.free_unpublished(tsv);
        return -14905;
    }
    tsv->size = static_cast<std::size_t>(size);
    tsv->marker.store(kTsvMarker, std::memory_order_relaxed);
    g_tsvs.publish(tsv);
    *out = tsv;
    track_resource(tsv, "Thread-safe variable 0x%016llX", resource_address(tsv));
    return 0;
}

int get_tsv_ptr(KmtTSVHandle handle, void *out) {
    if (out == nullptr) return -14902;
    ThreadSafeVar *tsv = GetTsvPtrFromUserHandle(handle);
    if (tsv == nullptr) return -14901;
    int result = 0;
    if (!enter(tsv)) {
        result = -14901;
    } else {
        tsv->owner.store(os::current_thread_id(), std::memory_order_relaxed);
        if (tsv->count.fetch_add(1, std::memory_order_relaxed) == 0)
            track_resource(pointer_resource(tsv), "Thread-safe variable pointer 0x%016llX for variable 0x%016llX",
                           resource_address(tsv->data), resource_address(tsv));
        void *data = tsv->data;
        std::memcpy(out, &data, sizeof data);
    }
    drop(tsv);
    return result;
}

int release_tsv_ptr(KmtTSVHandle handle) {
    ThreadSafeVar *tsv = GetTsvPtrFromUserHandle(handle);
    if (tsv == nullptr) return -14901;
    int result = 0;
    // Only a hold taken through KmtGetTSVPtr by the calling thread can be
    // given back; KmtSetTSV leaves its caller as owner without a hold.
    if (tsv->owner.load(std::memory_order_relaxed) != os::current_thread_id() ||
        tsv->count.load(std::memory_order_relaxed) < 1) {
        result = -14929;
    } else {
        if (tsv->count.fetch_sub(1, std::memory_order_relaxed) == 1) {
            tsv->owner.store(0, std::memory_order_relaxed);
            untrack_resource(pointer_resource(tsv));
        }
        os::cs_leave(tsv->lock);
    }
    drop(tsv);
    return result;
}

int set_tsv(KmtTSVHandle handle, const void *source) {
    ThreadSafeVar *tsv = GetTsvPtrFromUserHandle(handle);
    if (tsv == nullptr) return -14901;
    int result = 0;
    if (source == nullptr) {
        result = -14902;
    } else if (!enter(tsv)) {
        result = -14901;
    } else {
        tsv->owner.store(os::current_thread_id(), std::memory_order_relaxed);
        std::memcpy(tsv->data, source, tsv->size);
        os::cs_leave(tsv->lock);
    }
    drop(tsv);
    return result;
}

int discard_tsv(KmtTSVHandle handle) {
    if (handle == nullptr) return 0;
    ThreadSafeVar *tsv = GetTsvPtrFromUserHandle(handle);
    if (tsv == nullptr) return -14901;
    if (!enter(tsv)) {
        drop(tsv);
        return -14901;
    }
    const std::uint32_t self = os::current_thread_id();
    // Holds this thread still has through KmtGetTSVPtr end with the variable.
    int holds = 1;
    if (tsv->owner.load(std::memory_order_relaxed) == self) holds += tsv->count.load(std::memory_order_relaxed);
    if (holds > 1) untrack_resource(pointer_resource(tsv));
    tsv->marker.store(0, std::memory_order_release);
    tsv->owner.store(self, std::memory_order_relaxed);
    tsv->count.store(0, std::memory_order_relaxed);
    g_tsvs.retire(tsv);
    untrack_resource(tsv);
    for (int i = 0; i < holds; ++i) os::cs_leave(tsv->lock);
    // Calls waiting for the lock wake, see the variable discarded and leave;
    // the last of them frees it.
    drop(tsv);
    return 0;
}

}  // namespace

int TsvInit() { return 0; }

void TsvUninit() { g_tsvs.destroy_all(destroy_at_unload); }

}  // namespace kez::mt

using namespace kez::mt;

extern "C" int KmtNewTSV(int sizeOfVar, KmtTSVHandle *tsvHandle) { return KMT_RESULT(new_tsv(sizeOfVar, tsvHandle)); }
extern "C" int KmtDiscardTSV(KmtTSVHandle tsvHandle) { return KMT_RESULT(discard_tsv(tsvHandle)); }
extern "C" int KmtGetTSVPtr(KmtTSVHandle tsvHandle, void *ptrToVarPtr) {
    return KMT_RESULT(get_tsv_ptr(tsvHandle, ptrToVarPtr));
}
extern "C" int KmtReleaseTSVPtr(KmtTSVHandle tsvHandle) { return KMT_RESULT(release_tsv_ptr(tsvHandle)); }
extern "C" int KmtSetTSV(KmtTSVHandle tsvHandle, const void *source) { return KMT_RESULT(set_tsv(tsvHandle, source)); }
