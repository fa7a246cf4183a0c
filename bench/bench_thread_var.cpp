// Per-thread engine state against the language's own thread_local: every
// library reads its per-thread record through a slot on each call, so this
// is a cost on every library call.
#include <benchmark/benchmark.h>

#include "kez/kez.h"

namespace {

thread_local void *g_anchor_value = nullptr;

void BM_ThreadLocalAnchor(benchmark::State &state) {
    int value = 0;
    for (auto _ : state) {
        g_anchor_value = &value;
        benchmark::DoNotOptimize(g_anchor_value);
        void *v = g_anchor_value;
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_ThreadLocalAnchor)->ThreadRange(1, 8);

// Slot 1 is the engine's cross-library slot; reading and writing it back
// unchanged does not disturb the engine.
void BM_KezThreadVar(benchmark::State &state) {
    for (auto _ : state) {
        void *v = GetKezThreadVarValue(1);
        benchmark::DoNotOptimize(v);
        SetKezThreadVarValue(1, v);
    }
}
BENCHMARK(BM_KezThreadVar)->ThreadRange(1, 8);

void BM_ErrorStringBuffer(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(GetThreadLocalErrorStringBuffer());
}
BENCHMARK(BM_ErrorStringBuffer)->ThreadRange(1, 8);

}  // namespace
