// The start-up chain as unit-test programs see it: run by engine_main.cpp.
#include <gtest/gtest.h>

#include "core/frame.h"
#include "core/thread_var.h"

namespace {

TEST(StaticEngine, StartUpChainRanInThisProgram) {
    EXPECT_EQ(kez::core::engine().load_state.load(), kez::core::LoadState::initialised);
    int slot = 0;
    ASSERT_TRUE(kez::core::alloc_thread_var_slot(&slot, nullptr));
    EXPECT_EQ(slot, 4);  // after the cross-library, user-memory section flag and execution slots
}

}  // namespace
