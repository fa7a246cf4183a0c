// The guarded callback call: a long jump out of a user callback lands back
// in the library, with the thread's previous jump target in place again.
#include <gtest/gtest.h>

#include "core/deferred_calls.h"
#include "core/frame.h"
#include "kez/runtime.h"

namespace {

using kez::core::execution_slot;
using kez::core::guarded_call;
using kez::core::JumpTarget;
using kez::core::long_jump_to_execution_target;

JumpTarget *slot_target() { return static_cast<JumpTarget *>(GetKezThreadVarValue(execution_slot())); }

int g_calls = 0;
JumpTarget *g_seen_inside = nullptr;

int returns_sum(unsigned int a, int b, int c, void *d) {
    ++g_calls;
    g_seen_inside = slot_target();
    return static_cast<int>(a) + b + c + (d != nullptr ? 1000 : 0);
}

int jumps_out(unsigned int, int, int, void *) {
    ++g_calls;
    long_jump_to_execution_target();
    ADD_FAILURE() << "the long jump returned";
    return 99;
}

// A guarded call inside a guarded call: the inner jump must end only the
// inner callback.
int nests(unsigned int, int, int, void *) {
    ++g_calls;
    const int inner = guarded_call(jumps_out, 0, 0, 0, nullptr);
    return inner == 0 ? 42 : -1;
}

int three_args(int a, int b, void *) {
    ++g_calls;
    return a * b;
}

class GuardedCall : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(execution_slot(), 0) << "the start-up chain takes the execution slot";
        SetKezThreadVarValue(execution_slot(), &outer_);
        g_calls = 0;
        g_seen_inside = nullptr;
    }
    void TearDown() override { SetKezThreadVarValue(execution_slot(), nullptr); }
    JumpTarget outer_{};
};

// A callback that returns gives its result, under a target of its own; one
// that jumps out gives 0; either way the slot holds the outer target again.
TEST_F(GuardedCall, ReturnsAndLongJumpsRestoreTheSlot) {
    EXPECT_EQ(guarded_call(returns_sum, 1, 2, 3, &g_calls), 1006);
    EXPECT_NE(g_seen_inside, nullptr);
    EXPECT_NE(g_seen_inside, &outer_);
    EXPECT_EQ(slot_target(), &outer_);
    EXPECT_EQ(guarded_call(jumps_out, 1, 2, 3, nullptr), 0);
    EXPECT_EQ(slot_target(), &outer_);
    EXPECT_EQ(guarded_call(nests, 0, 0, 0, nullptr), 42);
    EXPECT_EQ(g_calls, 4);
    EXPECT_EQ(slot_target(), &outer_);
}

TEST_F(GuardedCall, NullCallbacksShutDownAndAMissingTargetCallNothing) {
    EXPECT_EQ(guarded_call(static_cast<kez::core::GuardedCallback4>(nullptr), 1, 2, 3, nullptr), 0);
    EXPECT_EQ(guarded_call(three_args, 6, 7, nullptr), 42);
    kez::core::engine().shutting_down.store(true);
    EXPECT_EQ(guarded_call(three_args, 6, 7, nullptr), 0);
    kez::core::engine().shutting_down.store(false);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(slot_target(), &outer_);
    SetKezThreadVarValue(execution_slot(), nullptr);
    EXPECT_FALSE(long_jump_to_execution_target());  // without a target there is no jump
}

}  // namespace
