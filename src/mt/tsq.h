// Thread-safe queues: the record and the pieces shared by the queue's files.
//
// Lock order: writer lock, reader lock, main lock, then the deferred-call
// table. The counters, indices and buffers change only under the main lock;
// bytes are copied into and out of the ring without it, one reader and one
// writer at a time (the reader and writer locks). Waiting readers and
// writers sleep on the queue's data and space events, which every change of
// the contents, of the access-refusal flags and the discard signals.
//
// Sizes are computed in 64 bits and a queue never holds more than a 32-bit
// signed count of bytes.
#pragma once

#include <atomic>
#include <cstdint>

#include "kez/multithreading.h"
#include "os/os.h"

namespace kez::mt {

constexpr std::uint32_t kTsqMarker = 0x0BADF011;
constexpr std::int64_t kMaxQueueBytes = 0x7FFFFFFF;

enum TsqAccess : unsigned { kAccessNone = 0, kAccessRead = 1, kAccessWrite = 2, kAccessFlush = 4 };

struct TsqCallback {
    KmtTSQHandle queue;
    unsigned int event;
    int threshold;
    std::uint32_t callback_thread;
    KmtTSQCallbackPtr callback;
    void *callback_data;
    TsqCallback *id;  // its own address, the callback ID
    std::uint64_t serial;  // tells installations at one address apart
    bool pending;
};

struct ThreadSafeQueue {
    std::atomic<std::uint32_t> marker;
    os::CriticalSection *main_lock;
    os::CriticalSection *reader_lock;
    os::CriticalSection *writer_lock;
    int readers;
    int writers;
    int item_size;
    int size_bytes;
    int bytes_in_queue;
    unsigned int options;
    std::atomic<unsigned int> refusal;
    int grow_items;
    int read_index;
    int write_index;
    std::uint32_t write_holder;
    std::uint32_t read_holder;
    int read_handed;   // items
    int write_handed;  // items
    void *pointer_records[2];
    char *buffer;
    char *retired;       // replaced by a resize while a reader copied from it
    char *reading_ring;  // the ring a reader copies from or a read pointer points into
    TsqCallback *callbacks[3];  // items in queue, space free, queue size: one each
    os::Event *data_event;
    os::Event *space_event;
    int data_waiters;   // threads waiting on data_event
    int space_waiters;  // threads waiting on space_event
};

inline int capacity_items(const ThreadSafeQueue *q) { return q->size_bytes / q->item_size; }
inline int items_in_queue(const ThreadSafeQueue *q) { return q->bytes_in_queue / q->item_size; }
inline int free_items(const ThreadSafeQueue *q) { return (q->size_bytes - q->bytes_in_queue) / q->item_size; }
inline bool is_live(const ThreadSafeQueue *q) { return q->marker.load(std::memory_order_acquire) == kTsqMarker; }

// Waits for the other side with the main lock let go; called and returns
// with it held.
inline void wait_for(ThreadSafeQueue *q, os::Event *event, int *waiters, std::uint32_t timeout_ms) {
    ++*waiters;
    os::cs_leave(q->main_lock);
    os::event_wait(event, timeout_ms);
    os::cs_enter(q->main_lock);
    --*waiters;
}
inline void wait_for_data(ThreadSafeQueue *q, std::uint32_t ms) { wait_for(q, q->data_event, &q->data_waiters, ms); }
inline void wait_for_space(ThreadSafeQueue *q, std::uint32_t ms) { wait_for(q, q->space_event, &q->space_waiters, ms); }
// Under the main lock: wakes the other side only when it waits, so a busy
// queue makes no system calls to signal.
inline void data_added(ThreadSafeQueue *q) {
    if (q->data_waiters > 0) os::event_set(q->data_event);
}
inline void space_freed(ThreadSafeQueue *q) {
    if (q->space_waiters > 0) os::event_set(q->space_event);
}

// GetStructFromUserHandleEx: pins the queue and takes its main lock;
// -14918 when `access` is refused. The main lock guards short updates only
// and every call waits for it (lock_timeout_ms -1), except the attribute
// query whose documented purpose is a bounded wait for it (-14906).
int open_queue(KmtTSQHandle handle, unsigned access, int lock_timeout_ms, ThreadSafeQueue **out);
// Releases the main lock and the pin.
void close_queue(ThreadSafeQueue *q);
// Ends a pin without the lock.
void unpin_queue(ThreadSafeQueue *q);
// The record at a handle without pinning it (for the holder of a pointer,
// whose hold keeps the record).
ThreadSafeQueue *find_queue(KmtTSQHandle handle);

// Under the main lock: posts the event's callback when the value reached
// its threshold and it is not pending already.
void CheckEvent(ThreadSafeQueue *q, unsigned int event);
// Under the main lock, with the writer lock held: a new capacity of at
// least the bytes held. -14905 without memory.
int resize_locked(ThreadSafeQueue *q, std::int64_t new_items);
// Under the main lock, with the reader and writer locks held: discards up
// to `items` of the oldest items (-1 all); the number discarded.
int FlushDataFromQueue(ThreadSafeQueue *q, std::int64_t items);
// The reader is done with the ring it copied from: a ring a resize retired
// meanwhile is freed.
void free_retired(ThreadSafeQueue *q);


}  // namespace kez::mt
