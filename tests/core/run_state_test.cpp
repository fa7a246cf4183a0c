// Run-state notifications: order, registration rules, the 32-entry table,
// removal, and silence once the engine is closed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/kez.h"

namespace {

// Every callback appends "<name><state>" to one journal.
std::vector<std::string> g_journal;
using Journal = std::vector<std::string>;

template <char Name>
void named_callback(int state) {
    g_journal.push_back(std::string(1, Name) + std::to_string(state));
}

constexpr auto A = named_callback<'A'>, B = named_callback<'B'>, C = named_callback<'C'>, D = named_callback<'D'>,
               E = named_callback<'E'>;

int m1, m2;  // module handles

int init(void *module, std::vector<KezRunStateCallback> list) {
    list.push_back(nullptr);
    return InitKezRTDll(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, list.data());
}

// 'i': InitKezRTDll(module, list); 'c': CloseKezRTDll(module); 'e': the
// engine registers E. Each step leaves exactly `journal` behind.
struct Step {
    char op;
    int *module;
    Journal journal;
    std::vector<KezRunStateCallback> list = {};
};
// clang-format off
const Step kSteps[] = {
    // Start in table order, stop in reverse; a closed module stays silent.
    {'i', &m1, {"A0", "B0", "A5", "B5"}, {A, B}}, {'c', &m1, {"B6", "A6", "B4", "A4"}}, {'c', &m1, {}},
    // Duplicates for one module add nothing, another module adds an entry; a
    // null module reaches every entry.
    {'i', &m1, {"A0", "A5"}, {A}}, {'i', &m1, {"A0", "A5"}, {A, A}}, {'i', &m2, {"A0", "A5"}, {A}},
    {'c', nullptr, {"A6", "A6", "A4", "A4"}}, {'c', &m1, {"A6", "A4"}}, {'c', &m2, {"A6", "A4"}},
    // Removal fills each hole with the last entry: [A1 B2 C2 D1] becomes [C2 B2].
    {'i', &m1, {"A0", "A5"}, {A}}, {'i', &m2, {"B0", "C0", "B5", "C5"}, {B, C}},
    {'i', &m1, {"A0", "D0", "A5", "D5"}, {D}}, {'c', &m1, {"D6", "A6", "D4", "A4"}},
    {'c', nullptr, {"B6", "C6", "B4", "C4"}}, {'c', &m2, {"B6", "C6", "B4", "C4"}}, {'c', nullptr, {}},
    // A null module removes only the engine's entries.
    {'i', &m1, {"A0", "A5"}, {A}}, {'e', nullptr, {}}, {'c', nullptr, {"E6", "A6", "E4", "A4"}},
    {'c', nullptr, {"A6", "A4"}}, {'c', &m1, {"A6", "A4"}}, {'c', nullptr, {}}};
// clang-format on

TEST(RunState, NotificationOrderRegistrationAndRemoval) {
    g_journal.clear();
    for (std::size_t i = 0; i < std::size(kSteps); ++i) {
        const Step &s = kSteps[i];
        if (s.op == 'i')
            EXPECT_EQ(init(s.module, s.list), 1) << i;
        else if (s.op == 'e')
            EXPECT_EQ(KezTest_RegisterEngineRunStateCallback(E), 1) << i;
        else
            CloseKezRTDll(s.module);
        EXPECT_EQ(std::exchange(g_journal, {}), s.journal) << "step " << i;
    }
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

TEST(RunState, The33rdCallbackIsDroppedAndNeverNotified) {
    init(&m1, counted_list(std::make_index_sequence<33>{}));
    for (int i = 0; i < 32; ++i) EXPECT_EQ(g_hits[i], 2) << i;  // start and enable
    EXPECT_EQ(g_hits[32], 0);
    // The engine's own registrations are refused while the table is full.
    EXPECT_EQ(KezTest_RegisterEngineRunStateCallback(E), 0);
    CloseKezRTDll(&m1);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(g_hits[i], 4) << i;
    EXPECT_EQ(g_hits[32], 0);
    EXPECT_EQ(g_journal, Journal{});
}

TEST(RunStateDeathTest, NothingHappensOnceTheEngineIsClosed) {
    EXPECT_EXIT(
        {
            init(&m1, {A});
            g_journal.clear();
            KezTest_RunCloseRTDll();
            CloseKezRTDll(&m1);
            CloseKezRTDll(nullptr);
            std::exit(g_journal.empty() && init(&m2, {B}) == 0 && g_journal.empty() ? 0 : 1);  // silent, refused
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
