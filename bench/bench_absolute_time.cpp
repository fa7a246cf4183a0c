// Reading the clock as a count of nanoseconds since 1970: the engine's
// current absolute time converted to whole nanoseconds, against Abseil's
// absl::Now() and absl::ToUnixNanos. Both ask the system's real-time clock;
// the engine then scales a 128-bit fixed-point value exactly. After the
// runs the engine's CPU time a call over the anchor's is printed with its
// goal (at most 2x).
#include <benchmark/benchmark.h>

#include <absl/time/clock.h>
#include <absl/time/time.h>

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
        if (kez > 0 && absl > 0)
            std::printf("\nnow in ns: kez %.1f ns, absl %.1f ns, kez/absl %.2fx (goal <= 2x) %s\n", kez, absl,
                        kez / absl, kez <= 2 * absl ? "met" : "MISSED");
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
