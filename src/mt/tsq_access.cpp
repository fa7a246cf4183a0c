// Thread-safe queues: read and write pointers, flushing, attributes and
// threshold callbacks.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/deferred_calls.h"
#include "core/frame.h"
#include "mt/thread_util.h"
#include "mt/tsq.h"
#include "log/log.h"

namespace kez::mt {
namespace {

bool process_detaching() { return core::engine().process_detaching.load(); }

int event_index(unsigned int event) {
    switch (event) {
    case EVENT_TSQ_ITEMS_IN_QUEUE: return 0;
    case EVENT_TSQ_QUEUE_SPACE_FREE: return 1;
    case EVENT_TSQ_QUEUE_SIZE: return 2;
    default: return -1;
    }
}

int event_value(const ThreadSafeQueue *q, unsigned int event) {
    switch (event) {
    case EVENT_TSQ_ITEMS_IN_QUEUE: return items_in_queue(q);
    case EVENT_TSQ_QUEUE_SPACE_FREE: return free_items(q);
    default: return capacity_items(q);
    }
}

// DeferredCallback: on the callback thread. The callback runs when it is
// still installed and the value still reaches its threshold.
void DeferredCallback(void *copy_record) {
    auto *copy = static_cast<TsqCallback *>(copy_record);
    ThreadSafeQueue *q = nullptr;
    if (open_queue(copy->queue, kAccessNone, -1, &q) != 0) {
        std::free(copy);
        return;
    }
    const int index = event_index(copy->event);
    TsqCallback *installed = index >= 0 ? q->callbacks[index] : nullptr;
    const bool still_installed = installed != nullptr && installed == copy->id && installed->serial == copy->serial;
    const int value = event_value(q, copy->event);
    if (still_installed) installed->pending = false;
    close_queue(q);
    if (still_installed && !process_detaching() && value >= copy->threshold)
        copy->callback(copy->queue, copy->event, value, copy->callback_data);
    std::free(copy);
}

// Takes the pointer side's lock for a pointer: the count first, then the
// lock with the main lock let go.
int get_pointer(KmtTSQHandle handle, void *out_pointer, int *out_items, bool read) {
    if (out_pointer == nullptr || out_items == nullptr) return -14902;
    ThreadSafeQueue *q = nullptr;
    int result = open_queue(handle, read ? kAccessRead : kAccessWrite, -1, &q);
    if (result != 0) return result;
    int &count = read ? q->readers : q->writers;
    if (count != 0) {
        close_queue(q);
        return read ? -14911 : -14912;
    }
    count = 1;
    os::CriticalSection *side = read ? q->reader_lock : q->writer_lock;
    os::cs_leave(q->main_lock);
    os::cs_enter(side);
    os::cs_enter(q->main_lock);
    const int index = read ? q->read_index : q->write_index;
    const int contiguous = q->size_bytes - index;
    const int available = read ? q->bytes_in_queue : q->size_bytes - q->bytes_in_queue;
    const int items = (available < contiguous ? available : contiguous) / q->item_size;
    if (!is_live(q) || items == 0) {
        result = !is_live(q) ? -14901 : (read ? -14914 : -14913);
        count = 0;
        os::cs_leave(q->main_lock);
        os::cs_leave(side);
        unpin_queue(q);
        return result;
    }
    void *pointer = q->buffer + index;
    if (read) q->reading_ring = q->buffer;
    std::memcpy(out_pointer, &pointer, sizeof pointer);
    *out_items = items;
    const std::uint32_t self = os::current_thread_id();
    if (read) {
        q->read_holder = self;
        q->read_handed = items;
        track_resource(&q->read_holder, "Thread-safe queue read pointer 0x%016llX for queue 0x%016llX", resource_address(pointer),
                       resource_address(q));
    } else {
        q->write_holder = self;
        q->write_handed = items;
        track_resource(&q->write_holder, "Thread-safe queue write pointer 0x%016llX for queue 0x%016llX",
                       resource_address(pointer), resource_address(q));
    }
    // The side lock and this call's pin stay with the holder until release.
    os::cs_leave(q->main_lock);
    return 0;
}

// Ends a pointer hold. More items than were handed out still end the hold,
// with the handed-out count consumed and -14915 / -14916.
int release_pointer(KmtTSQHandle handle, int items, bool read) {
    if (items < 0) return -14902;
    ThreadSafeQueue *q = find_queue(handle);
    if (q == nullptr || handle == nullptr) return -14901;
    const std::uint32_t self = os::current_thread_id();
    os::CriticalSection *side = read ? q->reader_lock : q->writer_lock;
    std::uint32_t &holder = read ? q->read_holder : q->write_holder;
    // The holder's pin keeps the record; without a hold of this thread the
    // handle is checked the usual way.
    ThreadSafeQueue *pinned = nullptr;
    const int open = open_queue(handle, kAccessNone, -1, &pinned);
    if (open != 0) {
        if (open == -14901 && holder == self) {
            // Discarded while held: the hold ends here.
            holder = 0;
            os::cs_leave(side);
            unpin_queue(q);
        }
        return open;
    }
    if (holder != self) {
        close_queue(q);
        return -14920;
    }
    int result = 0;
    int handed = read ? q->read_handed : q->write_handed;
    if (items > handed) {
        items = handed;
        result = read ? -14915 : -14916;
    }
    const int bytes = items * q->item_size;
    if (read) {
        q->bytes_in_queue -= bytes;
        q->read_index = (q->read_index + bytes) % q->size_bytes;
        q->readers = 0;
        q->read_handed = 0;
        free_retired(q);
        space_freed(q);
        CheckEvent(q, EVENT_TSQ_QUEUE_SPACE_FREE);
    } else {
        q->bytes_in_queue += bytes;
        q->write_index = (q->write_index + bytes) % q->size_bytes;
        q->writers = 0;
        q->write_handed = 0;
        data_added(q);
        CheckEvent(q, EVENT_TSQ_ITEMS_IN_QUEUE);
    }
    holder = 0;
    untrack_resource(&holder);
    os::cs_leave(q->main_lock);
    os::cs_leave(side);
    unpin_queue(q);  // the hold's pin
    unpin_queue(q);  // this call's
    return result;
}

int flush(KmtTSQHandle handle, int items, std::size_t *flushed) {
    ThreadSafeQueue *q = nullptr;
    int result = open_queue(handle, kAccessFlush, -1, &q);
    if (result != 0) return result;
    if (flushed != nullptr) *flushed = 0;
    if (items < -1 || items > capacity_items(q)) {
        close_queue(q);
        return -14902;
    }
    os::cs_leave(q->main_lock);
    os::cs_enter(q->writer_lock);
    os::cs_enter(q->reader_lock);
    os::cs_enter(q->main_lock);
    if (!is_live(q)) {
        result = -14901;
    } else if ((q->refusal.load() & kAccessFlush) != 0) {
        result = -14918;
    } else {
        const int n = FlushDataFromQueue(q, items);
        if (flushed != nullptr) *flushed = static_cast<std::size_t>(n);
        CheckEvent(q, EVENT_TSQ_QUEUE_SPACE_FREE);
    }
    os::cs_leave(q->main_lock);
    os::cs_leave(q->reader_lock);
    os::cs_leave(q->writer_lock);
    unpin_queue(q);
    return result;
}

int get_attribute(KmtTSQHandle handle, int attribute, void *value, int timeout_ms) {
    ThreadSafeQueue *q = nullptr;
    int result = open_queue(handle, kAccessNone, timeout_ms, &q);
    if (result != 0) return result;
    if (value == nullptr) {
        close_queue(q);
        return -14902;
    }
    std::size_t size_value = 0;
    int int_value = 0;
    unsigned int flags = 0;
    enum { kInt, kSize, kFlags } kind = kSize;
    switch (attribute) {
    case ATTR_TSQ_READERS: int_value = q->readers; kind = kInt; break;
    case ATTR_TSQ_WRITERS: int_value = q->writers; kind = kInt; break;
    case ATTR_TSQ_QUEUE_SIZE: size_value = static_cast<std::size_t>(capacity_items(q)); break;
    case ATTR_TSQ_ITEM_SIZE: size_value = static_cast<std::size_t>(q->item_size); break;
    case ATTR_TSQ_ITEMS_IN_QUEUE: size_value = static_cast<std::size_t>(items_in_queue(q)); break;
    case ATTR_TSQ_SPACE_FREE: size_value = static_cast<std::size_t>(free_items(q)); break;
    case ATTR_TSQ_QUEUE_OPTIONS: flags = q->options; kind = kFlags; break;
    case ATTR_TSQ_GROW_INCREMENT: size_value = static_cast<std::size_t>(q->grow_items); break;
    case ATTR_TSQ_ACCESS_REFUSAL: flags = q->refusal.load(); kind = kFlags; break;
    default: result = -14903;
    }
    if (result == 0) {
        if (kind == kInt)
            std::memcpy(value, &int_value, sizeof int_value);
        else if (kind == kFlags)
            std::memcpy(value, &flags, sizeof flags);
        else
            std::memcpy(value, &size_value, sizeof size_value);
    }
    close_queue(q);
    return result;
}

// SetQueueSize: as a writer, with the writer lock.
int set_queue_size(ThreadSafeQueue *q, std::size_t items) {
    if (items == 0 || items > static_cast<std::size_t>(kMaxQueueBytes)) return -14902;
    if (q->write_holder == os::current_thread_id()) return -14919;
    os::cs_leave(q->main_lock);
    os::cs_enter(q->writer_lock);
    os::cs_enter(q->main_lock);
    int result = !is_live(q) ? -14901 : resize_locked(q, static_cast<std::int64_t>(items));
    // A size the queue cannot address is a bad value, not a lack of memory.
    if (result == -14905 && static_cast<std::int64_t>(items) * q->item_size > kMaxQueueBytes) result = -14902;
    os::cs_leave(q->writer_lock);
    return result;
}

int set_attribute(KmtTSQHandle handle, int attribute, va_list args) {
    ThreadSafeQueue *q = nullptr;
    int result = open_queue(handle, kAccessNone, -1, &q);
    if (result != 0) return result;
    switch (attribute) {
    case ATTR_TSQ_QUEUE_SIZE:
        result = set_queue_size(q, va_arg(args, std::size_t));
        break;
    case ATTR_TSQ_GROW_INCREMENT: {
        const std::size_t increment = va_arg(args, std::size_t);
        if ((q->options & TSQ_OPT_GROW) == 0)
            result = -14903;
        else if (increment < 1 || increment > static_cast<std::size_t>(kMaxQueueBytes))
            result = -14902;
        else
            q->grow_items = static_cast<int>(increment);
        break;
    }
    case ATTR_TSQ_ACCESS_REFUSAL:
        q->refusal.store(va_arg(args, unsigned int));
        // Waiting readers and writers look at the flags again at once.
        os::event_set(q->data_event);
        os::event_set(q->space_event);
        break;
    default:
        result = -14903;
    }
    close_queue(q);
    return result;
}

int install_callback(KmtTSQHandle handle, unsigned int event, int threshold, KmtTSQCallbackPtr callback, void *data,
                     unsigned int thread, KmtTSQCallbackID *out) {
    if (callback == nullptr || threshold < 0) return -14902;
    const int index = event_index(event);
    if (index < 0) return -14904;
    ThreadSafeQueue *q = nullptr;
    int result = open_queue(handle, kAccessNone, -1, &q);
    if (result != 0) return result;
    if (q->callbacks[index] != nullptr) {
        close_queue(q);
        return -14907;
    }
    auto *record = static_cast<TsqCallback *>(std::malloc(sizeof(TsqCallback)));
    if (record == nullptr) {
        close_queue(q);
        return -14905;
    }
    static std::atomic<std::uint64_t> installations{0};
    *record = TsqCallback{handle, event, threshold, thread, callback, data, record, ++installations, false};
    q->callbacks[index] = record;
    if (out != nullptr) *out = record;
    close_queue(q);
    return 0;
}

int uninstall_callback(KmtTSQHandle handle, KmtTSQCallbackID id) {
    ThreadSafeQueue *q = nullptr;
    int result = open_queue(handle, kAccessNone, -1, &q);
    if (result != 0) return result;
    result = -14908;
    for (TsqCallback *&c : q->callbacks) {
        if (c == nullptr || c != id) continue;
        std::free(c);
        c = nullptr;
        result = 0;
        break;
    }
    close_queue(q);
    return result;
}

}  // namespace

void CheckEvent(ThreadSafeQueue *q, unsigned int event) {
    const int index = event_index(event);
    if (process_detaching() || index < 0) return;
    TsqCallback *c = q->callbacks[index];
    if (c == nullptr || c->pending || c->threshold > event_value(q, event)) return;
    auto *copy = static_cast<TsqCallback *>(std::malloc(sizeof(TsqCallback)));
    if (copy == nullptr) {
        KEZ_LOG_ERR(-102);
        return;
    }
    *copy = *c;
    c->pending = true;
    if (!core::post_deferred_call(DeferredCallback, copy, c->callback_thread, std::free)) {
        c->pending = false;
        std::free(copy);
    }
}

}  // namespace kez::mt

using namespace kez::mt;

extern "C" int KmtGetTSQReadPtr(KmtTSQHandle queueHandle, void *ptrToBuffer, int *numItems) {
    return KMT_RESULT(get_pointer(queueHandle, ptrToBuffer, numItems, true));
}
extern "C" int KmtReleaseTSQReadPtr(KmtTSQHandle queueHandle, int numItems) {
    return KMT_RESULT(release_pointer(queueHandle, numItems, true));
}
extern "C" int KmtGetTSQWritePtr(KmtTSQHandle queueHandle, void *ptrToBuffer, int *numItems) {
    return KMT_RESULT(get_pointer(queueHandle, ptrToBuffer, numItems, false));
}
extern "C" int KmtReleaseTSQWritePtr(KmtTSQHandle queueHandle, int numItems) {
    return KMT_RESULT(release_pointer(queueHandle, numItems, false));
}
extern "C" int KmtFlushTSQ(KmtTSQHandle queueHandle, int numItems, size_t *numItemsFlushed) {
    return KMT_RESULT(flush(queueHandle, numItems, numItemsFlushed));
}
extern "C" int KmtGetTSQAttribute(KmtTSQHandle queueHandle, int attribute, void *attributeValue) {
    return KMT_RESULT(get_attribute(queueHandle, attribute, attributeValue, -1));
}
extern "C" int KmtGetTSQAttributeEx(KmtTSQHandle queueHandle, int attribute, void *attributeValue, int timeout) {
    return KMT_RESULT(get_attribute(queueHandle, attribute, attributeValue, timeout));
}
extern "C" int KmtSetTSQAttribute(KmtTSQHandle queueHandle, int attribute, ...) {
    va_list args;
    va_start(args, attribute);
    const int result = set_attribute(queueHandle, attribute, args);
    va_end(args);
    return KMT_RESULT(result);
}
// Written out: the export table cannot forward variable arguments.
extern "C" int _UP_KmtSetTSQAttribute(KmtTSQHandle queueHandle, int attribute, ...) {
    va_list args;
    va_start(args, attribute);
    const int result = KMT_RESULT(set_attribute(queueHandle, attribute, args));
    va_end(args);
    return kmt_twin_result("KmtSetTSQAttribute", result);
}
extern "C" int KmtInstallTSQCallback(KmtTSQHandle queueHandle, unsigned int event, int threshold,
                                     KmtTSQCallbackPtr callbackFunction, void *callbackData,
                                     unsigned int callbackThreadID, KmtTSQCallbackID *callbackID) {
    return KMT_RESULT(
        install_callback(queueHandle, event, threshold, callbackFunction, callbackData, callbackThreadID, callbackID));
}
extern "C" int KmtUninstallTSQCallback(KmtTSQHandle queueHandle, KmtTSQCallbackID callbackID) {
    return KMT_RESULT(uninstall_callback(queueHandle, callbackID));
}
