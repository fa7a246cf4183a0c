// Run-state notifications: order, registration rules, the 32-entry table,
// removal, and silence once the engine is closed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/kez.h"

namespace {

// Every callback appends "<name><state>" to one journal.
std::vector<std::string> g_journal;

template <char Name>
void named_callback(int state) {
    g_journal.push_back(std::string(1, Name) + std::to_string(state));
}

constexpr auto A = named_callback<'A'>;
constexpr auto B = named_callback<'B'>;
constexpr auto C = named_callback<'C'>;
constexpr auto D = named_callback<'D'>;
constexpr auto E = named_callback<'E'>;

int m1, m2;  // module handles

int init(void *module, std::vector<KezRunStateCallback> list) {
    list.push_back(nullptr);
    return InitKezRTDll(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, list.data());
}

std::vector<std::string> take_journal() { return std::exchange(g_journal, {}); }

using Journal = std::vector<std::string>;

class RunState : public testing::Test {
protected:
    void SetUp() override { g_journal.clear(); }
    void TearDown() override {
        // Leave no module entries behind for the next test.
        CloseKezRTDll(&m1);
        CloseKezRTDll(&m2);
        g_journal.clear();
    }
};

TEST_F(RunState, StartsInTableOrderAndStopsInReverse) {
    EXPECT_EQ(init(&m1, {A, B}), 1);
    EXPECT_EQ(take_journal(), (Journal{"A0", "B0", "A5", "B5"}));
    CloseKezRTDll(&m1);
    EXPECT_EQ(take_journal(), (Journal{"B6", "A6", "B4", "A4"}));
    CloseKezRTDll(&m1);
    EXPECT_EQ(take_journal(), Journal{});
}

TEST_F(RunState, DuplicatesForOneModuleAddNothingAnotherModuleAddsAnEntry) {
    init(&m1, {A});
    init(&m1, {A, A});
    EXPECT_EQ(take_journal(), (Journal{"A0", "A5", "A0", "A5"}));
    init(&m2, {A});
    take_journal();
    CloseKezRTDll(nullptr);  // reaches both entries
    EXPECT_EQ(take_journal(), (Journal{"A6", "A6", "A4", "A4"}));
    CloseKezRTDll(&m1);
    EXPECT_EQ(take_journal(), (Journal{"A6", "A4"}));
}

TEST_F(RunState, RemovalFillsHolesWithTheLastEntry) {
    init(&m1, {A});
    init(&m2, {B});
    init(&m1, {C, D});
    take_journal();
    CloseKezRTDll(&m1);
    take_journal();
    // Only B is left: a null module reaches every entry.
    CloseKezRTDll(nullptr);
    EXPECT_EQ(take_journal(), (Journal{"B6", "B4"}));
    CloseKezRTDll(&m2);
    EXPECT_EQ(take_journal(), (Journal{"B6", "B4"}));
    CloseKezRTDll(nullptr);
    EXPECT_EQ(take_journal(), Journal{});
}

TEST_F(RunState, NullModuleNotifiesAllButRemovesOnlyEngineEntries) {
    init(&m1, {A});
    ASSERT_EQ(KezTest_RegisterEngineRunStateCallback(E), 1);
    take_journal();
    CloseKezRTDll(nullptr);
    EXPECT_EQ(take_journal(), (Journal{"E6", "A6", "E4", "A4"}));
    CloseKezRTDll(nullptr);  // E is gone, A stays
    EXPECT_EQ(take_journal(), (Journal{"A6", "A4"}));
    CloseKezRTDll(&m1);
    EXPECT_EQ(take_journal(), (Journal{"A6", "A4"}));
}

// 33 distinct callbacks.
std::vector<int> g_hits(33);
template <std::size_t I>
void counted(int) {
    ++g_hits[I];
}
template <std::size_t... I>
std::vector<KezRunStateCallback> counted_list(std::index_sequence<I...>) {
    return {counted<I>...};
}

TEST_F(RunState, The33rdCallbackIsDroppedAndNeverNotified) {
    init(&m1, counted_list(std::make_index_sequence<33>{}));
    for (int i = 0; i < 32; ++i) EXPECT_EQ(g_hits[i], 2) << i;  // start and enable
    EXPECT_EQ(g_hits[32], 0);
    // The engine's own registrations are refused while the table is full.
    EXPECT_EQ(KezTest_RegisterEngineRunStateCallback(E), 0);
    CloseKezRTDll(&m1);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(g_hits[i], 4) << i;
    EXPECT_EQ(g_hits[32], 0);
    EXPECT_EQ(take_journal(), Journal{});
}

TEST(RunStateDeathTest, NothingHappensOnceTheEngineIsClosed) {
    EXPECT_EXIT(
        {
            init(&m1, {A});
            g_journal.clear();
            KezTest_RunCloseRTDll();
            CloseKezRTDll(&m1);
            CloseKezRTDll(nullptr);
            const bool silent = g_journal.empty();
            const bool refused = init(&m2, {B}) == 0 && g_journal.empty();
            std::exit(silent && refused ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
