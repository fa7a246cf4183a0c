// Deferred calls: per-thread first-in first-out queues of calls that a
// thread runs when it processes events, and the guarded callback call the
// communication libraries use.
#pragma once

#include <cstdint>

#include "kez/runtime.h"

namespace kez::core {

// Queues fn(data) for `thread_id`. False when no memory could be had (the
// call is then dropped and logged). `drop`, when given, frees the data of a
// call that is dropped without running (its thread ended, or the engine
// unloads): the engine's own posts own their data; a user's data is never
// touched.
bool post_deferred_call(DeferredCallbackPtr fn, void *data, std::uint32_t thread_id,
                        void (*drop)(void *data) = nullptr);

// Runs the calling thread's queued calls (those queued before this call
// started). 0.
int run_deferred_calls();

// Thread end: drops the calling thread's queue without calling anything.
void DropDeferredCalls();

// Process detach: frees every queue and the table.
void deferred_calls_shutdown();

// The thread PostDeferredCall posts to: the one the debugger link named, or
// 0 for "not named yet" (the engine's main thread is used then).
void set_default_deferred_call_thread(std::uint32_t thread_id);

// Number of calls queued for a thread (tests).
int deferred_calls_queued(std::uint32_t thread_id);

// ---- the execution slot and guarded callback calls -----------------------

// A jump target: the execution slot holds the innermost one of the thread.
struct JumpTarget {
    void *buffer[5];
};

// The execution slot's number (taken at start-up); 0 before.
int execution_slot();
void set_execution_slot(int slot);

// Calls cb with its arguments, with a new jump target in the execution slot
// for the duration of the call. A long jump to it (long_jump_to_execution_
// target) ends the call early: the previous target is put back and the
// result is what the callback had returned so far, 0. The four-argument
// form returns 0 for a null callback; the three-argument form calls nothing
// while the engine is shutting down.
using GuardedCallback4 = int (*)(unsigned int, int, int, void *);
using GuardedCallback3 = int (*)(int, int, void *);
int guarded_call(GuardedCallback4 cb, unsigned int a, int b, int c, void *d);
int guarded_call(GuardedCallback3 cb, int a, int b, void *c);

// Jumps to the calling thread's execution jump target; returns false when
// it has none.
bool long_jump_to_execution_target();

}  // namespace kez::core
