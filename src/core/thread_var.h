// Thread-variable slots: eight numbered slots over one thread-local-storage
// index, one pointer per thread each. Every library takes its slot in its
// init-once step and releases it in its clean-up.
#pragma once

#include <atomic>
#include <cstddef>

namespace kez::core {

constexpr int kThreadVarSlots = 8;

// Destroys one thread's value of a slot (the thread's per-library record).
using SlotValueDestructor = void (*)(void *value);

// Takes the next slot. `destroy` (may be null) frees a thread's value when
// the thread ends, and every thread's value when the slot is released.
// False when no index can be had or all eight slots are taken.
bool alloc_thread_var_slot(int *slot, SlotValueDestructor destroy);

// The calling thread's value of `slot`: a zero-filled record of `size`
// bytes, created and stored on first use (freed by the slot's destructor,
// which must therefore be free()). Null when no memory or no per-thread
// block can be had. `created` (may be null) tells whether it is new.
void *thread_record(int slot, std::size_t size, bool *created);

// The calling thread's value of `slot` as a cell to read and write in
// place (the thread's block is made on first use, as by
// GetKezThreadVarValue): one look-up for several accesses. Null when no
// block can be had, or (logged) for a bogus slot. Valid while the thread's
// block lives.
std::atomic<void *> *thread_var_cell(int slot);

// The cross-library slot: the thread's error-string buffer.
bool AllocCrossLibraryThreadVarSlots();
void FreeCrossLibraryThreadVarSlots();

// Whether the index exists and the calling thread has a block.
bool has_thread_block();

// Frees the calling thread's block and the values in it (thread end).
void free_calling_thread_block();

// Number of slots taken and not released.
int thread_var_slots_in_use();

// Number of per-thread blocks alive (leak checks in tests).
int live_thread_blocks();

}  // namespace kez::core
