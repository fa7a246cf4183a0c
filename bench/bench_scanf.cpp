// The scanf family against glibc's sscanf on the same texts: integers
// ("%d"), doubles of 17 significant digits ("%lf"), a log line
// ("%s %d %lf") and a CSV field ("%[^,],%lf"). Built with bench_printf.cpp,
// whose table gives the engine's time over glibc's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_printf.h"

// The engine's C library on Linux: the kez_ link names.
extern "C" int kez_sscanf(const char *text, const char *format, ...);

namespace {

using kez::bench::kInputs;

std::vector<std::string> texts(const char *kind) {
    std::mt19937_64 rng(31);
    const std::vector<double> reals = kez::bench::random_doubles(32);
    static const char *const kNames[] = {"pump", "valve_3", "inlet-temperature", "motor", "pressure_sensor_12"};
    std::vector<std::string> v;
    char buf[128];
    for (std::size_t i = 0; i < kInputs; ++i) {
        const auto n = static_cast<int>(rng() >> (33 + rng() % 31)) * (rng() & 1 ? -1 : 1);
        const double reading = (static_cast<double>(rng() >> 11) * 0x1p-53 - 0.5) * 2e5;
        const std::string k = kind;
        if (k == "d") std::snprintf(buf, sizeof buf, "%d", n);
        else if (k == "lf") std::snprintf(buf, sizeof buf, "%.17g", reals[i]);
        else if (k == "line") std::snprintf(buf, sizeof buf, "%s %d %.3f", kNames[i % 5], n, reading);
        else std::snprintf(buf, sizeof buf, "%s,%.6f", kNames[i % 5], reading);
        v.emplace_back(buf);
    }
    return v;
}

const std::vector<std::string> kIntTexts = texts("d");
const std::vector<std::string> kRealTexts = texts("lf");
const std::vector<std::string> kLineTexts = texts("line");
const std::vector<std::string> kCsvTexts = texts("csv");

template <class Scan>
void run_scan(benchmark::State &state, const std::vector<std::string> &inputs, Scan scan) {
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(scan(inputs[i].c_str()));
        benchmark::ClobberMemory();
        if (++i == inputs.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// Each reads into the same targets for both functions.
template <class SScanf>
int scan_d(SScanf f, const char *text) {
    int x;
    return f(text, "%d", &x) + x;
}
template <class SScanf>
double scan_lf(SScanf f, const char *text) {
    double x = 0;
    f(text, "%lf", &x);
    return x;
}
template <class SScanf>
double scan_line(SScanf f, const char *text) {
    char name[64];
    int n = 0;
    double x = 0;
    return f(text, "%63s %d %lf", name, &n, &x) + n + x + name[0];
}
template <class SScanf>
double scan_csv(SScanf f, const char *text) {
    char name[64];
    double x = 0;
    return f(text, "%63[^,],%lf", name, &x) + x + name[0];
}

constexpr auto kEngine = [](const char *text, const char *format, auto... targets) {
    return kez_sscanf(text, format, targets...);
};
constexpr auto kGlibc = [](const char *text, const char *format, auto... targets) {
    return std::sscanf(text, format, targets...);
};

}  // namespace

BENCHMARK_CAPTURE(run_scan, scanf_d_engine, kIntTexts, [](const char *t) { return scan_d(kEngine, t); })
    ->Name("scanf_d/engine");
BENCHMARK_CAPTURE(run_scan, scanf_d_glibc, kIntTexts, [](const char *t) { return scan_d(kGlibc, t); })
    ->Name("scanf_d/glibc");
BENCHMARK_CAPTURE(run_scan, scanf_lf_engine, kRealTexts, [](const char *t) { return scan_lf(kEngine, t); })
    ->Name("scanf_lf17/engine");
BENCHMARK_CAPTURE(run_scan, scanf_lf_glibc, kRealTexts, [](const char *t) { return scan_lf(kGlibc, t); })
    ->Name("scanf_lf17/glibc");
BENCHMARK_CAPTURE(run_scan, scanf_line_engine, kLineTexts, [](const char *t) { return scan_line(kEngine, t); })
    ->Name("scanf_line/engine");
BENCHMARK_CAPTURE(run_scan, scanf_line_glibc, kLineTexts, [](const char *t) { return scan_line(kGlibc, t); })
    ->Name("scanf_line/glibc");
BENCHMARK_CAPTURE(run_scan, scanf_csv_engine, kCsvTexts, [](const char *t) { return scan_csv(kEngine, t); })
    ->Name("scanf_csv/engine");
BENCHMARK_CAPTURE(run_scan, scanf_csv_glibc, kCsvTexts, [](const char *t) { return scan_csv(kGlibc, t); })
    ->Name("scanf_csv/glibc");
