// User locks and thread-local variables against the standard library's
// recursive mutex and thread_local: a lock's get/release pair and a
// thread-local read are on the hot path of every multithreaded program.
#include <benchmark/benchmark.h>

#include <mutex>
#include <vector>

#include "kez/multithreading.h"

namespace {

std::recursive_mutex g_anchor_mutex;
long g_anchor_counter = 0;

void BM_RecursiveMutexAnchor(benchmark::State &state) {
    for (auto _ : state) {
        g_anchor_mutex.lock();
        ++g_anchor_counter;
        g_anchor_mutex.unlock();
    }
}
BENCHMARK(BM_RecursiveMutexAnchor)->Threads(1)->Threads(8)->UseRealTime();

// One lock per options value, shared by the benchmark's threads.
KmtLockHandle g_locks[3];
long g_counter = 0;

void BM_KmtLock(benchmark::State &state) {
    const auto kind = static_cast<int>(state.range(0));
    if (state.thread_index() == 0) {
        const unsigned options[3] = {0, OPT_TL_SUPPORT_TIMEOUT, 0};
        if (KmtNewLock(kind == 2 ? "kez-bench-lock" : nullptr, options[kind], &g_locks[kind]) != 0)
            state.SkipWithError("KmtNewLock failed");
    }
    for (auto _ : state) {
        KmtGetLock(g_locks[kind]);
        ++g_counter;
        KmtReleaseLock(g_locks[kind]);
    }
    if (state.thread_index() == 0) {
        KmtDiscardLock(g_locks[kind]);
        state.SetLabel(kind == 0 ? "critical section" : kind == 1 ? "mutex" : "named mutex");
    }
}
BENCHMARK(BM_KmtLock)->Arg(0)->Arg(1)->Arg(2)->Threads(1)->Threads(8)->UseRealTime();

// Threads taking turns on one lock with some work inside it and some
// outside, so that holds overlap and waiters go to sleep and are woken: the
// contended path of a critical-section lock against the standard mutex.
long g_shared[8] = {};

void work_inside() {
    for (long &v : g_shared) benchmark::DoNotOptimize(++v);
}

void work_outside() {
    for (int i = 0; i < 64; ++i) benchmark::DoNotOptimize(i);
}

void BM_RecursiveMutexContendedAnchor(benchmark::State &state) {
    for (auto _ : state) {
        g_anchor_mutex.lock();
        work_inside();
        g_anchor_mutex.unlock();
        work_outside();
    }
}
BENCHMARK(BM_RecursiveMutexContendedAnchor)->Threads(2)->Threads(8)->UseRealTime();

KmtLockHandle g_contended = nullptr;

void BM_KmtLockContended(benchmark::State &state) {
    if (state.thread_index() == 0 && KmtNewLock(nullptr, 0, &g_contended) != 0)
        state.SkipWithError("KmtNewLock failed");
    for (auto _ : state) {
        KmtGetLock(g_contended);
        work_inside();
        KmtReleaseLock(g_contended);
        work_outside();
    }
    if (state.thread_index() == 0) KmtDiscardLock(g_contended);
}
BENCHMARK(BM_KmtLockContended)->Threads(2)->Threads(8)->UseRealTime();

// Creating and discarding many locks: the cost of the lock table.
void BM_KmtLockCreateDiscard(benchmark::State &state) {
    std::vector<KmtLockHandle> locks(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        for (auto &h : locks) KmtNewLock(nullptr, 0, &h);
        for (auto &h : locks) KmtDiscardLock(h);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_KmtLockCreateDiscard)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_RecursiveMutexCreateDestroyAnchor(benchmark::State &state) {
    std::vector<std::recursive_mutex *> locks(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        for (auto &m : locks) m = new std::recursive_mutex;
        for (auto &m : locks) delete m;
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RecursiveMutexCreateDestroyAnchor)->Arg(100000)->Unit(benchmark::kMillisecond);

thread_local int g_anchor_tlv = 0;

void BM_ThreadLocalVarAnchor(benchmark::State &state) {
    for (auto _ : state) {
        int *p = &g_anchor_tlv;
        benchmark::DoNotOptimize(p);
        ++*p;
    }
}
BENCHMARK(BM_ThreadLocalVarAnchor)->Threads(1)->Threads(8)->UseRealTime();

KmtTLVHandle g_tlv = 0;

void BM_KmtGetThreadLocalVar(benchmark::State &state) {
    if (state.thread_index() == 0 && KmtNewThreadLocalVar(sizeof(int), nullptr, nullptr, nullptr, &g_tlv) != 0)
        state.SkipWithError("KmtNewThreadLocalVar failed");
    for (auto _ : state) {
        int *p = nullptr;
        KmtGetThreadLocalVar(g_tlv, &p);
        benchmark::DoNotOptimize(p);
        ++*p;
    }
    if (state.thread_index() == 0) KmtDiscardThreadLocalVar(g_tlv);
}
BENCHMARK(BM_KmtGetThreadLocalVar)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace
