#include "core/handle_pool.h"

#include <cstdlib>
#include <cstring>
#include <thread>

namespace kez::core {
namespace {

constexpr std::uint32_t kAllocated = 1u << 31;
constexpr std::uint32_t kLive = 1u << 30;
constexpr std::uint32_t kPinMask = kLive - 1;

// Chunks kept at unload for the rest of the process (keep_memory), still
// referenced so that leak checks do not count them.
struct KeptChunk {
    char *memory;
    KeptChunk *next;
};
std::atomic<KeptChunk *> g_kept_chunks{nullptr};

void keep_for_process(char *memory) {
    auto *kept = static_cast<KeptChunk *>(std::malloc(sizeof(KeptChunk)));
    if (kept == nullptr) return;  // then merely unreferenced, and still not freed
    kept->memory = memory;
    kept->next = g_kept_chunks.load(std::memory_order_relaxed);
    while (!g_kept_chunks.compare_exchange_weak(kept->next, kept)) {
    }
}

}  // namespace

struct HandlePool::SlotState {
    std::atomic<std::uint32_t> word;
    std::uint32_t unused;
    void *next_free;
};

HandlePool::SlotState *HandlePool::state_of(void *record) const {
    static_assert(sizeof(SlotState) == 16, "the slot adds 16 bytes to its record");
    return reinterpret_cast<SlotState *>(static_cast<char *>(record) + record_size_);
}

void HandlePool::lock() {
    while (busy_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

void HandlePool::unlock() { busy_.clear(std::memory_order_release); }

bool HandlePool::add_chunk() {
    const int n = chunk_count_.load(std::memory_order_relaxed);
    if (n == kMaxChunks) return false;
    const std::size_t slots = kFirstChunkSlots << n;
    auto *chunk = static_cast<char *>(std::calloc(slots, slot_size()));
    if (chunk == nullptr) return false;
    chunks_[n].store(chunk, std::memory_order_relaxed);
    chunk_count_.store(n + 1, std::memory_order_release);
    bump_used_ = 0;
    return true;
}

void *HandlePool::allocate() {
    lock();
    void *record = free_head_;
    if (record != nullptr) {
        free_head_ = state_of(record)->next_free;
        if (free_head_ == nullptr) free_tail_ = nullptr;
    } else {
        const int n = chunk_count_.load(std::memory_order_relaxed);
        if (n == 0 || bump_used_ == (kFirstChunkSlots << (n - 1))) {
            if (!add_chunk()) {
                unlock();
                return nullptr;
            }
        }
        const int last = chunk_count_.load(std::memory_order_relaxed) - 1;
        record = chunks_[last].load(std::memory_order_relaxed) + bump_used_++ * slot_size();
    }
    unlock();
    std::memset(record, 0, zeroed_);
    state_of(record)->next_free = nullptr;
    state_of(record)->word.store(kAllocated, std::memory_order_relaxed);
    return record;
}

void HandlePool::publish(void *record) {
    live_.fetch_add(1, std::memory_order_relaxed);
    state_of(record)->word.store(kAllocated | kLive, std::memory_order_release);
}

void HandlePool::free_unpublished(void *record) { recycle(record); }

void *HandlePool::find_slot(const void *handle) const {
    const auto address = reinterpret_cast<std::uintptr_t>(handle);
    const int n = chunk_count_.load(std::memory_order_acquire);
    const std::size_t size = slot_size();
    for (int i = 0; i < n; ++i) {
        const auto base = reinterpret_cast<std::uintptr_t>(chunks_[i].load(std::memory_order_relaxed));
        const std::uintptr_t span = (kFirstChunkSlots << i) * size;
        if (address < base || address - base >= span) continue;
        if (((address - base) & (size - 1)) != 0) return nullptr;
        return reinterpret_cast<void *>(address);
    }
    return nullptr;
}

void *HandlePool::pin(const void *handle) {
    void *record = find_slot(handle);
    if (record == nullptr) return nullptr;
    std::atomic<std::uint32_t> &word = state_of(record)->word;
    std::uint32_t seen = word.load(std::memory_order_relaxed);
    do {
        if ((seen & kLive) == 0 || (seen & kPinMask) == kPinMask) return nullptr;
    } while (!word.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return record;
}

bool HandlePool::unpin(void *record) {
    const std::uint32_t before = state_of(record)->word.fetch_sub(1, std::memory_order_acq_rel);
    return before == (kAllocated | 1);
}

bool HandlePool::retire(void *record) {
    const std::uint32_t before = state_of(record)->word.fetch_and(~kLive, std::memory_order_acq_rel);
    if ((before & kLive) == 0) return false;
    live_.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

void HandlePool::recycle(void *record) {
    SlotState *state = state_of(record);
    state->word.store(0, std::memory_order_release);
    state->next_free = nullptr;
    lock();
    if (free_tail_ != nullptr)
        state_of(free_tail_)->next_free = record;
    else
        free_head_ = record;
    free_tail_ = record;
    unlock();
}

void HandlePool::destroy_all(void (*fn)(void *record, bool allocated)) {
    lock();
    const int n = chunk_count_.load(std::memory_order_relaxed);
    for (int i = 0; i < n; ++i) {
        char *chunk = chunks_[i].load(std::memory_order_relaxed);
        const std::size_t used = i == n - 1 ? bump_used_ : kFirstChunkSlots << i;
        for (std::size_t s = 0; s < used; ++s) {
            void *record = chunk + s * slot_size();
            if (fn != nullptr) fn(record, (state_of(record)->word.load(std::memory_order_acquire) & kAllocated) != 0);
        }
    }
    chunk_count_.store(0, std::memory_order_release);
    for (int i = 0; i < n; ++i) {
        if (keep_memory_)
            keep_for_process(chunks_[i].load(std::memory_order_relaxed));
        else
            std::free(chunks_[i].load(std::memory_order_relaxed));
        chunks_[i].store(nullptr, std::memory_order_relaxed);
    }
    keep_memory_ = false;
    bump_used_ = 0;
    free_head_ = free_tail_ = nullptr;
    live_.store(0, std::memory_order_relaxed);
    unlock();
}

}  // namespace kez::core
