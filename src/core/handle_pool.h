// The registry of a library's live objects, and the memory they live in.
//
// A user handle is the address of its object's record. Records live in
// chunks that the pool owns for the life of the engine and never gives back
// to the host until unload, so checking a handle never reads memory that is
// not the library's: a handle outside every chunk, or not at the start of a
// slot, is refused without being read, and a slot whose object was discarded
// is only ever reused for an object of the same kind.
//
// Each slot carries a state word beside the record: whether the slot is
// allocated, whether its object is live (findable through its handle), and
// how many calls are using it right now (pins). A call pins the object for
// as long as it touches it, also while it waits on the object's lock.
// Discard retires the object (no new pins) and whoever drops the last pin
// destroys it, so a waiter never wakes on freed memory.
//
// Freed slots are reused oldest first, which keeps a just-discarded handle
// invalid for as long as possible.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kez::core {

class HandlePool {
public:
    // record_size: bytes of one record (the slot adds its state word). Each
    // allocation zero-fills the first `zeroed` bytes of the record; the rest
    // belongs to the slot and keeps its value from one object to the next.
    explicit constexpr HandlePool(std::size_t record_size, std::size_t zeroed = ~std::size_t{0})
        : record_size_(round_up(record_size)),
          slot_size_(power_of_two(round_up(record_size) + 16)),
          zeroed_(zeroed < record_size ? zeroed : record_size) {}
    HandlePool(const HandlePool &) = delete;
    HandlePool &operator=(const HandlePool &) = delete;

    // A record, zero-filled as far as asked, not yet findable; null without
    // memory.
    void *allocate();
    // Makes an allocated record findable through its address.
    void publish(void *record);
    // Gives back a record that was never published.
    void free_unpublished(void *record);

    // The live record at `handle`, pinned; null for anything else.
    void *pin(const void *handle);
    // The slot at `handle` without pinning it, live or not; null when
    // `handle` is not the start of one of the pool's slots. Only what stays
    // valid across objects may be used without a pin.
    void *find(const void *handle) const {
        // Most programs' objects fit the first chunk: checked inline.
        const auto address = reinterpret_cast<std::uintptr_t>(handle);
        const auto base = reinterpret_cast<std::uintptr_t>(chunks_[0].load(std::memory_order_acquire));
        if (address - base < kFirstChunkSlots * slot_size_)
            return ((address - base) & (slot_size_ - 1)) == 0 && base != 0 ? const_cast<void *>(handle) : nullptr;
        return find_slot(handle);
    }
    // True when the caller dropped the last pin of a retired record: it must
    // then destroy the object and call recycle().
    bool unpin(void *record);
    // Stops new pins. The caller holds a pin. True for the one caller that
    // retired the record.
    bool retire(void *record);
    // Returns a destroyed record's slot for reuse.
    void recycle(void *record);

    // Calls fn for every slot ever handed out, telling whether it holds an
    // object (live or retired), then frees all memory. Only for unload, when
    // no other thread calls into the pool.
    void destroy_all(void (*fn)(void *record, bool allocated));
    // Called from destroy_all's fn: the pool's memory is not freed but kept
    // for the rest of the process, as a thread may still sleep on a word in
    // a record (a lock held at unload).
    void keep_memory() { keep_memory_ = true; }

    std::size_t live_count() const { return live_.load(std::memory_order_relaxed); }

private:
    static constexpr std::size_t round_up(std::size_t n) { return (n + 15) / 16 * 16; }
    static constexpr std::size_t power_of_two(std::size_t n) {
        std::size_t p = 16;
        while (p < n) p *= 2;
        return p;
    }
    static constexpr int kMaxChunks = 40;
    static constexpr std::size_t kFirstChunkSlots = 64;

    struct SlotState;
    SlotState *state_of(void *record) const;
    void *find_slot(const void *handle) const;
    std::size_t slot_size() const { return slot_size_; }
    bool add_chunk();
    void lock();
    void unlock();

    const std::size_t record_size_;
    const std::size_t slot_size_;  // a power of two, so that a handle is checked with a mask
    const std::size_t zeroed_;
    std::atomic<char *> chunks_[kMaxChunks] = {};
    std::atomic<int> chunk_count_{0};
    // Guarded by the pool's spin lock:
    std::size_t bump_used_ = 0;  // slots handed out of the newest chunk
    void *free_head_ = nullptr;
    void *free_tail_ = nullptr;
    std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
    std::atomic<std::size_t> live_{0};
    bool keep_memory_ = false;  // during destroy_all
};

}  // namespace kez::core
