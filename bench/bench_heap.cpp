// The engine's user heap against glibc malloc and mimalloc, in one run:
// churn of random sizes (16 B to 4 KiB) with 10^5 live blocks on 1 and 8
// threads (one free and one malloc per iteration), a realloc append loop up
// to 16 MiB, realloc growing and shrinking live blocks, and the bytes each
// heap holds from below at its peak. The engine runs its start-up chain
// first, as its load would.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "bench_heap.h"
#include "os/os.h"

namespace {

constexpr int kLiveBlocks = 100000;

void churn(benchmark::State &state, const HeapUnderTest *heap) {
    const int live = kLiveBlocks / state.threads();
    std::mt19937_64 rng(12345 + static_cast<unsigned>(state.thread_index()));
    std::vector<void *> blocks(static_cast<std::size_t>(live));
    for (auto &b : blocks) {
        b = heap->allocate(16 + rng() % 4081);
        static_cast<char *>(b)[0] = 1;
    }
    // Random slots and sizes drawn before timing.
    constexpr std::size_t kPlan = 1 << 16;
    std::vector<std::uint32_t> slots(kPlan), sizes(kPlan);
    for (std::size_t i = 0; i < kPlan; ++i) {
        slots[i] = static_cast<std::uint32_t>(rng() % static_cast<unsigned>(live));
        sizes[i] = static_cast<std::uint32_t>(16 + rng() % 4081);
    }
    std::size_t i = 0;
    std::size_t held = 0;
    for (auto _ : state) {
        void *&b = blocks[slots[i & (kPlan - 1)]];
        heap->release(b);
        b = heap->allocate(sizes[i & (kPlan - 1)]);
        static_cast<char *>(b)[0] = 1;
        ++i;
    }
    if (state.thread_index() == 0) held = heap->host_bytes();
    for (void *b : blocks) heap->release(b);
    if (state.thread_index() == 0) {
        state.counters["held_MiB"] = static_cast<double>(held) / (1 << 20);
        if (const std::size_t peak = heap->host_bytes_peak())
            state.counters["peak_MiB"] = static_cast<double>(peak) / (1 << 20);
    }
}

void realloc_append(benchmark::State &state, const HeapUnderTest *heap) {
    const std::size_t step = static_cast<std::size_t>(state.range(0));
    std::vector<char> chunk(step, 'x');
    for (auto _ : state) {
        char *p = nullptr;
        std::size_t n = 0;
        while (n < (std::size_t{16} << 20)) {
            p = static_cast<char *>(heap->reallocate(p, n + step));
            std::memcpy(p + n, chunk.data(), step);
            n += step;
        }
        benchmark::DoNotOptimize(p);
        heap->release(p);
    }
}

// 10^4 live blocks; each iteration grows or shrinks one of them by a factor
// of up to 1.5 either way, within 16 B to 64 KiB, as a program resizing its
// buffers does (a free block after it or the end of a region may give the
// room).
void realloc_mix(benchmark::State &state, const HeapUnderTest *heap) {
    constexpr int kLive = 10000;
    std::mt19937_64 rng(777);
    std::vector<void *> blocks(kLive);
    std::vector<std::size_t> held(kLive);
    for (int i = 0; i < kLive; ++i) {
        held[i] = 16 + rng() % 4081;
        blocks[i] = heap->allocate(held[i]);
        static_cast<char *>(blocks[i])[0] = 1;
    }
    constexpr std::size_t kPlan = 1 << 16;
    std::vector<std::uint32_t> slots(kPlan), scale(kPlan);  // scale in thousandths
    std::uniform_real_distribution<double> exponent(-std::log(1.5), std::log(1.5));
    for (std::size_t i = 0; i < kPlan; ++i) {
        slots[i] = static_cast<std::uint32_t>(rng() % kLive);
        scale[i] = static_cast<std::uint32_t>(std::lround(1000 * std::exp(exponent(rng))));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const std::uint32_t slot = slots[i & (kPlan - 1)];
        const std::size_t n = std::clamp<std::size_t>(held[slot] * scale[i & (kPlan - 1)] / 1000, 16, 64 << 10);
        auto *p = static_cast<char *>(heap->reallocate(blocks[slot], n));
        p[n - 1] = 1;
        blocks[slot] = p;
        held[slot] = n;
        ++i;
    }
    for (void *b : blocks) heap->release(b);
}

void register_all() {
    for (const HeapUnderTest *heap : {&kEngineHeap, &kGlibcHeap, &kMimallocHeap}) {
        std::string name = std::string("churn/") + heap->name;
        benchmark::RegisterBenchmark(name.c_str(), churn, heap)->Threads(1)->Threads(8)->UseRealTime();
        name = std::string("realloc_append_16MiB/") + heap->name;
        benchmark::RegisterBenchmark(name.c_str(), realloc_append, heap)->Arg(64 << 10)->Unit(
            benchmark::kMillisecond);
        name = std::string("realloc_mix/") + heap->name;
        benchmark::RegisterBenchmark(name.c_str(), realloc_mix, heap);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (!kez::core::on_process_attach(kez::os::module_main())) {
        std::fprintf(stderr, "the engine's start-up chain failed\n");
        return 1;
    }
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kez::core::on_process_detach();
    return 0;
}
