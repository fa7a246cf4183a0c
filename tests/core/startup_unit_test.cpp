// The start-up chain as unit-test programs see it: run by engine_main.cpp.
#include <gtest/gtest.h>

#include "core/frame.h"
#include "core/thread_var.h"
#include "kez/runtime.h"

namespace {

TEST(StaticEngine, StartUpChainRanInThisProgram) {
    EXPECT_EQ(kez::core::engine().load_state.load(), kez::core::LoadState::initialised);
    // The engine's libraries took their slots in order; the next is the one after.
    const int held = kez::core::thread_var_slots_in_use();
    ASSERT_GE(held, 2);
    int slot = 0;
    ASSERT_TRUE(kez::core::alloc_thread_var_slot(&slot, nullptr));
    EXPECT_EQ(slot, held + 1);
    UninitializeKezThreadVar(slot);
}

}  // namespace
