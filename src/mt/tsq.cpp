// Thread-safe queues: creation, discard, reads and writes.
#include "mt/tsq.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/handle_pool.h"
#include "mt/thread_util.h"

namespace kez::mt {
namespace {

constinit core::HandlePool g_queues(sizeof(ThreadSafeQueue));

void destroy_queue(ThreadSafeQueue *q) {
    os::cs_destroy(q->main_lock);
    os::cs_destroy(q->reader_lock);
    os::cs_destroy(q->writer_lock);
    os::event_destroy(q->data_event);
    os::event_destroy(q->space_event);
    std::free(q->buffer);
    std::free(q->retired);
    for (TsqCallback *&c : q->callbacks) {
        std::free(c);
        c = nullptr;
    }
    q->main_lock = q->reader_lock = q->writer_lock = nullptr;
    q->data_event = q->space_event = nullptr;
    q->buffer = q->retired = nullptr;
}

void destroy_at_unload(void *record, bool allocated) {
    if (allocated) destroy_queue(static_cast<ThreadSafeQueue *>(record));
}

// A deadline in milliseconds on the monotonic clock; 0 for none.
std::uint64_t deadline_after(int timeout_ms) {
    return timeout_ms < 0 ? 0 : os::tick_count_ms() + static_cast<std::uint64_t>(timeout_ms);
}

// Milliseconds left before the deadline: kInfinite without one, 0 when it
// has passed.
std::uint32_t time_left(int timeout_ms, std::uint64_t deadline) {
    if (timeout_ms < 0) return os::kInfinite;
    const std::uint64_t now = os::tick_count_ms();
    return now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now);
}

// Copies between the ring and a flat buffer, wrapping at the ring's end.
void copy_out(const char *ring, int ring_size, int index, char *to, std::int64_t bytes) {
    const std::int64_t first = bytes < ring_size - index ? bytes : ring_size - index;
    std::memcpy(to, ring + index, static_cast<std::size_t>(first));
    std::memcpy(to + first, ring, static_cast<std::size_t>(bytes - first));
}

void copy_in(char *ring, int ring_size, int index, const char *from, std::int64_t bytes) {
    const std::int64_t first = bytes < ring_size - index ? bytes : ring_size - index;
    std::memcpy(ring + index, from, static_cast<std::size_t>(first));
    std::memcpy(ring, from + first, static_cast<std::size_t>(bytes - first));
}

// Takes `lock` with the main lock released around the wait.
void take_with_main_released(ThreadSafeQueue *q, os::CriticalSection *lock) {
    os::cs_leave(q->main_lock);
    os::cs_enter(lock);
    os::cs_enter(q->main_lock);
}

int new_queue(int items, int item_size, unsigned options, KmtTSQHandle *out) {
    if (items < 1 || item_size < 1 || out == nullptr) return -14902;
    if (options != 0 && options != TSQ_OPT_GROW && options != TSQ_OPT_FLUSH_ALL_WHEN_FULL &&
        options != TSQ_OPT_FLUSH_EXACT_WHEN_FULL)
        return -14902;
    const std::int64_t bytes = static_cast<std::int64_t>(items) * item_size;
    if (bytes > kMaxQueueBytes) return -14902;
    auto *q = static_cast<ThreadSafeQueue *>(g_queues.allocate());
    if (q == nullptr) return -14905;
    q->buffer = static_cast<char *>(std::malloc(static_cast<std::size_t>(bytes)));
    q->main_lock = os::cs_create();
    q->reader_lock = os::cs_create();
    q->writer_lock = os::cs_create();
    q->data_event = os::event_create(false, false);
    q->space_event = os::event_create(false, false);
    if (q->buffer == nullptr || q->main_lock == nullptr || q->reader_lock == nullptr || q->writer_lock == nullptr ||
        q->data_event == nullptr || q->space_event == nullptr) {
        destroy_queue(q);
        g_queues.free_unpublished(q);
        return -14905;
    }
    q->item_size = item_size;
    q->size_bytes = static_cast<int>(bytes);
    q->options = options;
    q->grow_items = items / 2 > 1 ? items / 2 : 1;
    q->marker.store(kTsqMarker, std::memory_order_release);
    g_queues.publish(q);
    *out = q;
    track_resource(q, "Thread-safe queue 0x%016llX", resource_address(q));
    return 0;
}

int discard_queue(KmtTSQHandle handle) {
    if (handle == nullptr) return 0;
    auto *q = static_cast<ThreadSafeQueue *>(g_queues.pin(handle));
    if (q == nullptr) return -14901;
    if (!g_queues.retire(q)) {
        unpin_queue(q);
        return -14901;
    }
    q->marker.store(0, std::memory_order_release);
    // Waiting readers and writers notice the discard and leave.
    os::event_set(q->data_event);
    os::event_set(q->space_event);
    os::cs_enter(q->writer_lock);
    os::cs_enter(q->reader_lock);
    os::cs_enter(q->main_lock);
    // Pointers this thread still holds end with the queue.
    const std::uint32_t self = os::current_thread_id();
    int holds_to_drop = 0;
    if (q->read_holder == self) {
        q->read_holder = 0;
        os::cs_leave(q->reader_lock);
        ++holds_to_drop;
    }
    if (q->write_holder == self) {
        q->write_holder = 0;
        os::cs_leave(q->writer_lock);
        ++holds_to_drop;
    }
    os::cs_leave(q->main_lock);
    os::cs_leave(q->reader_lock);
    os::cs_leave(q->writer_lock);
    untrack_resource(q);
    for (int i = 0; i < holds_to_drop; ++i) unpin_queue(q);
    unpin_queue(q);
    return 0;
}

// Finishes a read or write: the count, the main lock, the side lock, the pin.
int finish_transfer(ThreadSafeQueue *q, int *side_count, os::CriticalSection *side_lock, int result) {
    *side_count = 0;
    os::cs_leave(q->main_lock);
    os::cs_leave(side_lock);
    unpin_queue(q);
    return result;
}

// The copy loop of a read: moves up to `bytes`, waiting for data until the
// deadline. The bytes read, or an error.
std::int64_t read_loop(ThreadSafeQueue *q, char *to, std::int64_t bytes, int timeout_ms, std::uint64_t deadline,
                       int *error) {
    std::int64_t done = 0;
    while (done < bytes) {
        if (!is_live(q)) {
            *error = -14901;
            break;
        }
        if ((q->refusal.load() & kAccessRead) != 0) {
            *error = -14918;
            break;
        }
        if (q->bytes_in_queue == 0) {
            const std::uint32_t left = time_left(timeout_ms, deadline);
            if (left == 0) {
                *error = -14906;
                break;
            }
            wait_for_data(q, left);
            continue;
        }
        const std::int64_t chunk = bytes - done < q->bytes_in_queue ? bytes - done : q->bytes_in_queue;
        const char *ring = q->buffer;
        const int ring_size = q->size_bytes;
        const int index = q->read_index;
        q->reading_ring = q->buffer;
        os::cs_leave(q->main_lock);
        copy_out(ring, ring_size, index, to + done, chunk);
        os::cs_enter(q->main_lock);
        // A resize during the copy moved the queued bytes, in order, to the
        // start of a new ring: consuming from the read index stays right.
        q->bytes_in_queue -= static_cast<int>(chunk);
        q->read_index = static_cast<int>((q->read_index + chunk) % q->size_bytes);
        free_retired(q);
        done += chunk;
        space_freed(q);
        CheckEvent(q, EVENT_TSQ_QUEUE_SPACE_FREE);
    }
    return done;
}

// PeekDataFromQueue: waits until `items` are there or the deadline passes,
// then copies what is there without removing it.
std::int64_t peek(ThreadSafeQueue *q, char *to, std::int64_t bytes, int timeout_ms, std::uint64_t deadline,
                  int *error) {
    while (q->bytes_in_queue < bytes) {
        if (!is_live(q)) {
            *error = -14901;
            return 0;
        }
        if ((q->refusal.load() & kAccessRead) != 0) {
            *error = -14918;
            return 0;
        }
        const std::uint32_t left = time_left(timeout_ms, deadline);
        if (left == 0) break;
        wait_for_data(q, left);
    }
    const std::int64_t n = bytes < q->bytes_in_queue ? bytes : q->bytes_in_queue;
    // The writer may add bytes meanwhile, never these: the copy is made
    // under the main lock so that a resize cannot move them either.
    copy_out(q->buffer, q->size_bytes, q->read_index, to, n);
    return n;
}

int read_data(KmtTSQHandle handle, void *buffer, std::size_t items, int timeout_ms, unsigned options) {
    // The time-out bounds the wait for data, never the wait for the main
    // lock: a writer holds that only for a few instructions, and a read that
    // gave up on it would report an empty queue while items wait.
    ThreadSafeQueue *q = nullptr;
    int result = open_queue(handle, kAccessRead, -1, &q);
    if (result != 0) return result;
    if (buffer == nullptr || items > 0x7FFFFFFFu || timeout_ms < -1 || options >= 2 ||
        (options == TSQ_READ_OPT_PEEK && items > static_cast<std::size_t>(capacity_items(q)))) {
        close_queue(q);
        return -14902;
    }
    if (q->readers != 0) {
        close_queue(q);
        return -14911;
    }
    q->readers = 1;
    const std::uint64_t deadline = deadline_after(timeout_ms);
    take_with_main_released(q, q->reader_lock);
    const std::int64_t bytes = static_cast<std::int64_t>(items) * q->item_size;
    int error = 0;
    const std::int64_t moved = options == TSQ_READ_OPT_PEEK
                                   ? peek(q, static_cast<char *>(buffer), bytes, timeout_ms, deadline, &error)
                                   : read_loop(q, static_cast<char *>(buffer), bytes, timeout_ms, deadline, &error);
    result = error != 0 && error != -14906 ? error : static_cast<int>(moved / q->item_size);
    return finish_transfer(q, &q->readers, q->reader_lock, result);
}

// Makes room for a write that does not fit, by the queue's option. The
// number of items flushed through `flushed`.
int make_room(ThreadSafeQueue *q, std::int64_t items, int timeout_ms, std::uint64_t deadline, std::size_t *flushed) {
    auto needed = [q, items] { return items - (q->size_bytes - q->bytes_in_queue) / q->item_size; };
    if (needed() <= 0) return 0;
    if ((q->options & TSQ_OPT_GROW) != 0) {
        const std::int64_t steps = (needed() + q->grow_items - 1) / q->grow_items;
        return resize_locked(q, capacity_items(q) + steps * q->grow_items);
    }
    if ((q->options & (TSQ_OPT_FLUSH_ALL_WHEN_FULL | TSQ_OPT_FLUSH_EXACT_WHEN_FULL)) == 0) return 0;
    // Flushing needs the reader lock, which comes before the main lock, so
    // it is tried and the main lock let go between tries. A reader that holds
    // it copies out (room comes) or waits for data (the queue is empty, the
    // room is there): either way the hold is short, and only a held read
    // pointer, which keeps the lock until its release, lets the caller's
    // time-out run out.
    while (!os::cs_try_enter(q->reader_lock)) {
        if (q->read_holder != 0 && time_left(timeout_ms, deadline) == 0) return -14906;
        wait_for_space(q, 1);
        if (!is_live(q)) return -14901;
        if (needed() <= 0) return 0;
    }
    int result = 0;
    if ((q->refusal.load() & kAccessFlush) != 0) {
        result = -14918;
    } else {
        const int n = FlushDataFromQueue(q, (q->options & TSQ_OPT_FLUSH_ALL_WHEN_FULL) != 0 ? -1 : needed());
        if (flushed != nullptr) *flushed = static_cast<std::size_t>(n);
    }
    os::cs_leave(q->reader_lock);
    return result;
}

int write_data(KmtTSQHandle handle, const void *buffer, std::size_t items, int timeout_ms, std::size_t *flushed) {
    // As for a read: the time-out bounds the wait for space only.
    ThreadSafeQueue *q = nullptr;
    int result = open_queue(handle, kAccessWrite, -1, &q);
    if (result != 0) return result;
    if (flushed != nullptr) *flushed = 0;
    if (buffer == nullptr || timeout_ms < -1 || items > 0x7FFFFFFFu) {
        close_queue(q);
        return -14902;
    }
    if ((q->options & (TSQ_OPT_FLUSH_ALL_WHEN_FULL | TSQ_OPT_FLUSH_EXACT_WHEN_FULL)) != 0 &&
        items > static_cast<std::size_t>(capacity_items(q))) {
        close_queue(q);
        return -14917;
    }
    if (q->writers != 0) {
        close_queue(q);
        return -14912;
    }
    q->writers = 1;
    const std::uint64_t deadline = deadline_after(timeout_ms);
    take_with_main_released(q, q->writer_lock);
    if ((q->refusal.load() & kAccessWrite) != 0) return finish_transfer(q, &q->writers, q->writer_lock, -14918);
    result = make_room(q, static_cast<std::int64_t>(items), timeout_ms, deadline, flushed);
    if (result == -14906) return finish_transfer(q, &q->writers, q->writer_lock, 0);
    if (result != 0) return finish_transfer(q, &q->writers, q->writer_lock, result);
    const std::int64_t bytes = static_cast<std::int64_t>(items) * q->item_size;
    const char *from = static_cast<const char *>(buffer);
    std::int64_t done = 0;
    int error = 0;
    while (done < bytes) {
        if (!is_live(q)) {
            error = -14901;
            break;
        }
        if ((q->refusal.load() & kAccessWrite) != 0) {
            error = -14918;
            break;
        }
        const std::int64_t free_bytes = q->size_bytes - q->bytes_in_queue;
        if (free_bytes == 0) {
            const std::uint32_t left = time_left(timeout_ms, deadline);
            if (left == 0) {
                error = -14906;
                break;
            }
            wait_for_space(q, left);
            continue;
        }
        const std::int64_t chunk = bytes - done < free_bytes ? bytes - done : free_bytes;
        char *ring = q->buffer;
        const int ring_size = q->size_bytes;
        const int index = q->write_index;
        os::cs_leave(q->main_lock);
        copy_in(ring, ring_size, index, from + done, chunk);
        os::cs_enter(q->main_lock);
        q->bytes_in_queue += static_cast<int>(chunk);
        q->write_index = static_cast<int>((q->write_index + chunk) % q->size_bytes);
        done += chunk;
        data_added(q);
        CheckEvent(q, EVENT_TSQ_ITEMS_IN_QUEUE);
    }
    result = error != 0 && error != -14906 ? error : static_cast<int>(done / q->item_size);
    return finish_transfer(q, &q->writers, q->writer_lock, result);
}

}  // namespace

int open_queue(KmtTSQHandle handle, unsigned access, int lock_timeout_ms, ThreadSafeQueue **out) {
    if (handle == nullptr) return -14901;
    auto *q = static_cast<ThreadSafeQueue *>(g_queues.pin(handle));
    if (q == nullptr) return -14901;
    if (lock_timeout_ms < 0) {
        os::cs_enter(q->main_lock);
    } else {
        const std::uint64_t deadline = os::tick_count_ms() + static_cast<std::uint64_t>(lock_timeout_ms);
        while (!os::cs_try_enter(q->main_lock)) {
            const std::uint64_t now = os::tick_count_ms();
            if (now >= deadline) {
                unpin_queue(q);
                return -14906;
            }
            os::sleep_ms(deadline - now < 11 ? static_cast<std::uint32_t>(deadline - now) : 10);
        }
    }
    int result = 0;
    if (!is_live(q))
        result = -14901;
    else if ((q->refusal.load() & access) != 0)
        result = -14918;
    if (result != 0) {
        close_queue(q);
        return result;
    }
    *out = q;
    return 0;
}

void close_queue(ThreadSafeQueue *q) {
    os::cs_leave(q->main_lock);
    unpin_queue(q);
}

void unpin_queue(ThreadSafeQueue *q) {
    if (!g_queues.unpin(q)) return;
    destroy_queue(q);
    g_queues.recycle(q);
}

ThreadSafeQueue *find_queue(KmtTSQHandle handle) { return static_cast<ThreadSafeQueue *>(g_queues.find(handle)); }

void free_retired(ThreadSafeQueue *q) {
    std::free(q->retired);
    q->retired = nullptr;
    q->reading_ring = nullptr;
}

int resize_locked(ThreadSafeQueue *q, std::int64_t new_items) {
    std::int64_t new_bytes = new_items * q->item_size;
    if (new_items < 1 || new_items > kMaxQueueBytes || new_bytes > kMaxQueueBytes) return -14905;
    if (new_bytes < q->bytes_in_queue) new_bytes = q->bytes_in_queue;
    auto *ring = static_cast<char *>(std::malloc(static_cast<std::size_t>(new_bytes)));
    if (ring == nullptr) return -14905;
    copy_out(q->buffer, q->size_bytes, q->read_index, ring, q->bytes_in_queue);
    // The ring a reader is copying from (or a read pointer points into) is
    // kept until the reader is done; any other ring goes now.
    if (q->reading_ring == q->buffer) {
        std::free(q->retired);
        q->retired = q->buffer;
    } else {
        std::free(q->buffer);
    }
    q->buffer = ring;
    q->size_bytes = static_cast<int>(new_bytes);
    q->read_index = 0;
    q->write_index = q->bytes_in_queue < q->size_bytes ? q->bytes_in_queue : 0;
    space_freed(q);
    CheckEvent(q, EVENT_TSQ_QUEUE_SIZE);
    return 0;
}

int FlushDataFromQueue(ThreadSafeQueue *q, std::int64_t items) {
    std::int64_t bytes = items < 0 ? q->bytes_in_queue : items * q->item_size;
    if (bytes >= q->bytes_in_queue) {
        bytes = q->bytes_in_queue;
        q->read_index = q->write_index = 0;
    } else {
        q->read_index = static_cast<int>((q->read_index + bytes) % q->size_bytes);
    }
    q->bytes_in_queue -= static_cast<int>(bytes);
    space_freed(q);
    return static_cast<int>(bytes / q->item_size);
}

int TsqInit() { return 0; }

void TsqUninit() { g_queues.destroy_all(destroy_at_unload); }

}  // namespace kez::mt

using namespace kez::mt;

extern "C" int KmtNewTSQ(int numItems, int itemSize, unsigned int options, KmtTSQHandle *queueHandle) {
    return KMT_RESULT(new_queue(numItems, itemSize, options, queueHandle));
}

extern "C" int KmtDiscardTSQ(KmtTSQHandle queueHandle) { return KMT_RESULT(discard_queue(queueHandle)); }

extern "C" int KmtWriteTSQData(KmtTSQHandle queueHandle, const void *buffer, size_t numItems, int timeout,
                               size_t *numItemsFlushed) {
    return KMT_RESULT(write_data(queueHandle, buffer, numItems, timeout, numItemsFlushed));
}

extern "C" int KmtReadTSQData(KmtTSQHandle queueHandle, void *buffer, size_t numItems, int timeout,
                              unsigned int readOptions) {
    return KMT_RESULT(read_data(queueHandle, buffer, numItems, timeout, readOptions));
}
