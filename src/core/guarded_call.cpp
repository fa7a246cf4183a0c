// The execution slot and the guarded callback call.
//
// The slot holds the thread's innermost jump target. A guarded call puts a
// new target there for the duration of a user callback, so that a long jump
// made during the callback (a run-time error that abandons the callback)
// lands back in the library that called it, which then carries on. The
// jump buffers are the compiler's own (__builtin_setjmp), the same on both
// platforms and free of the C library's unwinding.
#include <atomic>

#include "core/deferred_calls.h"
#include "core/frame.h"

namespace kez::core {
namespace {

std::atomic<int> g_execution_slot{0};

JumpTarget *current_target() {
    const int slot = g_execution_slot.load(std::memory_order_relaxed);
    return slot != 0 ? static_cast<JumpTarget *>(GetKezThreadVarValue(slot)) : nullptr;
}

void set_current_target(JumpTarget *target) {
    const int slot = g_execution_slot.load(std::memory_order_relaxed);
    if (slot != 0) SetKezThreadVarValue(slot, target);
}

}  // namespace

int execution_slot() { return g_execution_slot.load(); }
void set_execution_slot(int slot) { g_execution_slot.store(slot); }

// Not inlined: the jump buffer must belong to this frame.
__attribute__((noinline)) int guarded_call(GuardedCallback4 cb, unsigned int a, int b, int c, void *d) {
    if (cb == nullptr) return 0;
    JumpTarget *const previous = current_target();
    JumpTarget target;
    volatile int result = 0;
    if (__builtin_setjmp(target.buffer) == 0) {
        set_current_target(&target);
        result = cb(a, b, c, d);
    }
    set_current_target(previous);
    return result;
}

__attribute__((noinline)) int guarded_call(GuardedCallback3 cb, int a, int b, void *c) {
    if (engine().shutting_down.load()) return 0;
    JumpTarget *const previous = current_target();
    JumpTarget target;
    volatile int result = 0;
    if (__builtin_setjmp(target.buffer) == 0) {
        set_current_target(&target);
        result = cb(a, b, c);
    }
    set_current_target(previous);
    return result;
}

bool long_jump_to_execution_target() {
    JumpTarget *target = current_target();
    if (target == nullptr) return false;
    __builtin_longjmp(target->buffer, 1);
}

}  // namespace kez::core
