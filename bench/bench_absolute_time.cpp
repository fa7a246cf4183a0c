// Reading the clock as a count of nanoseconds since 1970: the engine's
// current absolute time converted to whole nanoseconds, against Abseil's
// absl::Now() and absl::ToUnixNanos (the goal: at most 2x its time). The
// engine asks the system's real-time clock on every call and scales a
// 128-bit fixed-point value exactly; Abseil reads the processor's cycle
// counter and extrapolates from a clock reading it refreshes now and then.
// The standard library's system_clock, which asks the same system clock
// as the engine, shows what that call alone costs.
#include <benchmark/benchmark.h>

#include <absl/time/clock.h>
#include <absl/time/time.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "kez/absolute_time.h"

namespace {

void BM_NowNanos_kez(benchmark::State &state) {
    KezAbsoluteTime now;
    long long ns = 0;
    for (auto _ : state) {
        GetCurrentKezAbsoluteTime(&now);
        KezAbsoluteTimeToTimeUnit(now, KEZ_TIME_EPOCH_1970, KEZ_TIME_UNIT_NANOSECOND, KEZ_TIME_ROUND_DOWN, &ns);
        benchmark::DoNotOptimize(ns);
    }
}
BENCHMARK(BM_NowNanos_kez);

void BM_NowNanos_absl(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(absl::ToUnixNanos(absl::Now()));
}
BENCHMARK(BM_NowNanos_absl);

void BM_NowNanos_system_clock(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}
BENCHMARK(BM_NowNanos_system_clock);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                cpu_[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double kez = cpu_["BM_NowNanos_kez"], absl = cpu_["BM_NowNanos_absl"];
        const double system = cpu_["BM_NowNanos_system_clock"];
        if (kez > 0 && absl > 0 && system > 0)
            std::printf("\nnow in ns: kez %.1f ns, absl %.1f ns, system_clock %.1f ns; kez/absl %.2fx (goal <= 2x) %s, "
                        "kez/system_clock %.2fx\n",
                        kez, absl, system, kez / absl, kez <= 2 * absl ? "met" : "MISSED", kez / system);
    }

private:
    std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
