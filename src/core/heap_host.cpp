// Host memory for the user heap, the host-memory lock, the user-memory
// critical section and the two start-up steps that create them.
#include <atomic>
#include <cstdint>

#include "core/heap.h"
#include "core/time_base.h"
#include "core/thread_var.h"
#include "kez/runtime.h"
#include "os/fault.h"
#include "os/os.h"
#include "log/log.h"

namespace kez::core {
namespace {

os::Mutex *g_host_lock = nullptr;
std::size_t g_host_requests = 0;  // under the host lock

// Compacting the host heap costs the host a system call for each free
// stretch it holds, and the next block taken from the pages given back
// faults every page in again: a program that takes and frees a large block
// in a loop paid for that each time. The heap is therefore compacted after
// every kCompactEvery-th block given back; in between the host keeps to its
// own policy (glibc returns a large freed block, and the top of its heap
// past a threshold, by itself).
constexpr int kCompactEvery = 16;
int g_given_back = 0;  // since the last compaction, under the host lock

os::Mutex *g_user_mem_section = nullptr;
int g_section_flag_slot = 0;
std::atomic<os::ThreadId> g_section_owner{0};

// Tokens of BeginUserMemCriticalSection.
constexpr int kAlreadyHeld = 0;
constexpr int kEnteredWithFlag = 1;
// Entered, but the thread's flag could not be stored (no memory for the
// thread's block): the token alone says that this call must leave.
constexpr int kEnteredWithoutFlag = 2;

void *const kFlagSet = reinterpret_cast<void *>(static_cast<std::uintptr_t>(1));

// Regions rely on the host's 16-byte alignment; a block without it is an
// assertion failure.
bool aligned_for_regions(const void *block) {
    const bool aligned = (reinterpret_cast<std::uintptr_t>(block) & (kGranule - 1)) == 0;
    KEZ_ASSERT_MSG(aligned, "Host memory not aligned on 16 byte boundary");
    return aligned;
}

void *attempt(std::size_t size) {
    ++g_host_requests;
    void *block = os::host_alloc(size);
    if (block != nullptr && !aligned_for_regions(block)) {
        // Refused like a failed request.
        os::host_free(block);
        return nullptr;
    }
    return block;
}

}  // namespace

int TryToMallocFromHost(std::size_t preferred, std::size_t minimum, std::size_t step, std::size_t reserve,
                        void **block, std::size_t *size) {
    *block = nullptr;
    *size = 0;
    if (minimum > preferred) preferred = minimum;
    os::mutex_lock(g_host_lock);
    std::size_t want = preferred;
    bool tried_minimum = false;
    int result = 0;
    for (;;) {
        void *b = attempt(want);
        if (b != nullptr && reserve != 0) {
            // Make sure the host keeps that much more for its own use.
            void *spare = fault::hit("TryToMallocFromHost.reserve") ? nullptr : attempt(reserve);
            if (spare != nullptr) {
                os::host_free(spare);
                os::host_heap_compact();
            } else {
                os::host_free(b);
                os::host_heap_compact();
                b = nullptr;
            }
        }
        if (b != nullptr) {
            *block = b;
            *size = want;
            result = 1;
            break;
        }
        if (want == minimum) tried_minimum = true;
        if (tried_minimum) break;
        // Fall back in steps while the next size stays above minimum + step
        // (no wrap: want > minimum here), then once at the minimum.
        if (want - minimum > 2 * step && step != 0)
            want -= step;
        else
            want = minimum;
    }
    os::mutex_unlock(g_host_lock);
    return result;
}

void FreeToHost(void *block) {
    os::mutex_lock(g_host_lock);
    os::host_free(block);
    if (++g_given_back == kCompactEvery) {
        os::host_heap_compact();
        g_given_back = 0;
    }
    os::mutex_unlock(g_host_lock);
}

void *ReallocFromHost(void *block, std::size_t size) {
    os::mutex_lock(g_host_lock);
    ++g_host_requests;
    void *moved = os::host_realloc(block, size);
    os::mutex_unlock(g_host_lock);
    // A moved block cannot be refused (the old one is gone); both hosts
    // align every block anyway.
    aligned_for_regions(moved);
    return moved;
}

std::size_t host_requests() {
    os::mutex_lock(g_host_lock);
    const std::size_t n = g_host_requests;
    os::mutex_unlock(g_host_lock);
    return n;
}

// The per-thread flag says whether the thread holds the section. The owner's
// thread id backs it up: a thread whose flag cannot be stored (no memory for
// its thread block, or the slot was released under the engine) still knows
// that it holds the section and never enters it twice or leaves it wrongly.
// The flag is looked up once per call and then read and written in place.
int BeginUserMemCriticalSection() {
    const os::ThreadId me = os::current_thread_id();
    std::atomic<void *> *flag = thread_var_cell(g_section_flag_slot);
    if ((flag != nullptr && flag->load(std::memory_order_relaxed) != nullptr) ||
        g_section_owner.load(std::memory_order_relaxed) == me)
        return kAlreadyHeld;
    os::mutex_lock(g_user_mem_section);
    g_section_owner.store(me, std::memory_order_relaxed);
    if (flag == nullptr) return kEnteredWithoutFlag;
    flag->store(kFlagSet, std::memory_order_relaxed);
    return kEnteredWithFlag;
}

void EndUserMemCriticalSection(int token) {
    if (token == kAlreadyHeld) return;
    if (token == kEnteredWithFlag) {
        std::atomic<void *> *flag = thread_var_cell(g_section_flag_slot);
        if (flag == nullptr || flag->load(std::memory_order_relaxed) == nullptr)
            KEZ_ASSERT_MSG(false, "EndUserMemCriticalSection without the user memory critical section");
        else
            flag->store(nullptr, std::memory_order_relaxed);
    }
    // This call entered the section, so it leaves it in every case.
    g_section_owner.store(0, std::memory_order_relaxed);
    os::mutex_unlock(g_user_mem_section);
}

bool holds_user_mem_section() {
    if (g_user_mem_section == nullptr) return false;
    return g_section_owner.load(std::memory_order_relaxed) == os::current_thread_id() ||
           GetKezThreadVarValue(g_section_flag_slot) != nullptr;
}

bool user_mem_ready() { return g_user_mem_section != nullptr; }

int SetUpMemory() {
    g_host_lock = os::mutex_create();
    if (g_host_lock == nullptr) return 91;
    g_host_requests = 0;
    g_given_back = 0;
    return 0;
}

// Blocks that the program never freed go back to the host with their regions.
void CleanUpMemory() {
    release_all_regions();
    if (g_host_lock != nullptr) os::mutex_destroy(g_host_lock);
    g_host_lock = nullptr;
}

// The timing part's clock lock, then the user-memory section and its flag.
int InitAsyncAndMTProtection() {
    if (CreateTimerClockLock() != 0) return 91;
    g_user_mem_section = os::mutex_create();
    if (g_user_mem_section == nullptr || !alloc_thread_var_slot(&g_section_flag_slot, nullptr)) {
        if (g_user_mem_section != nullptr) os::mutex_destroy(g_user_mem_section);
        g_user_mem_section = nullptr;
        DestroyTimerClockLock();
        return 91;
    }
    return 0;
}

void UninitAsyncAndMTProtection() {
    forget_resource_disposer();
    if (g_section_flag_slot != 0) UninitializeKezThreadVar(g_section_flag_slot);
    g_section_flag_slot = 0;
    if (g_user_mem_section != nullptr) os::mutex_destroy(g_user_mem_section);
    g_user_mem_section = nullptr;
    DestroyTimerClockLock();
}

}  // namespace kez::core
