// The C library's strtod against glibc's strtod and std::from_chars, on the
// same inputs: 17-digit doubles, short readings like "12.345", long inputs,
// and long inputs just above a midpoint between two doubles.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" double kez_strtod(const char *text, char **end);  // the engine's strtod on Linux

namespace {

std::vector<std::string> seventeen_digits() {
    std::mt19937_64 rng(1);
    std::vector<std::string> v;
    char buf[64];
    while (v.size() < 4096) {
        const std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (d != d || d - d != 0) continue;  // no NaN, no infinity
        std::snprintf(buf, sizeof buf, "%.17g", d);
        v.emplace_back(buf);
    }
    return v;
}

std::vector<std::string> readings() {
    std::mt19937 rng(2);
    std::vector<std::string> v;
    char buf[32];
    for (int i = 0; i < 4096; ++i) {
        std::snprintf(buf, sizeof buf, "%u.%03u", static_cast<unsigned>(rng() % 1000), static_cast<unsigned>(rng() % 1000));
        v.emplace_back(buf);
    }
    return v;
}

// Long inputs: 60 decimals of a double in [1, 2) a little above it, and a
// nonzero digit far away.
std::vector<std::string> long_inputs() {
    std::mt19937_64 rng(3);
    std::vector<std::string> v;
    char buf[128];
    while (v.size() < 1024) {
        const double d = 1.0 + static_cast<double>(rng() >> 11) / 9007199254740992.0;
        std::snprintf(buf, sizeof buf, "%.60f", d + 1.1102230246251565e-16);
        v.emplace_back(std::string(buf) + "000000000000000000000000000000001");
    }
    return v;
}

template <class Parse>
void run(benchmark::State &state, const std::vector<std::string> &inputs, Parse parse) {
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parse(inputs[i]));
        if (++i == inputs.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

double engine(const std::string &s) { return kez_strtod(s.c_str(), nullptr); }
double glibc(const std::string &s) { return std::strtod(s.c_str(), nullptr); }
double from_chars(const std::string &s) {
    double d = 0;
    std::from_chars(s.data(), s.data() + s.size(), d);
    return d;
}

const std::vector<std::string> kSeventeen = seventeen_digits();
const std::vector<std::string> kReadings = readings();
// The hardest: the exact decimal expansion of the midpoint between two
// doubles in [1, 2) (a long double holds it exactly; glibc prints it
// exactly), then a nonzero digit far away, so every digit decides.
std::vector<std::string> midpoints() {
    std::mt19937_64 rng(4);
    std::vector<std::string> v;
    char buf[160];
    while (v.size() < 1024) {
        const double d = 1.0 + static_cast<double>(rng() >> 11) / 9007199254740992.0;
        const long double mid = static_cast<long double>(d) + 0x1p-53L;
        std::snprintf(buf, sizeof buf, "%.60Lf", mid);
        v.emplace_back(std::string(buf) + "00000000001");
    }
    return v;
}

const std::vector<std::string> kLong = long_inputs();
const std::vector<std::string> kMidpoints = midpoints();

}  // namespace

BENCHMARK_CAPTURE(run, seventeen_engine, kSeventeen, engine);
BENCHMARK_CAPTURE(run, seventeen_glibc, kSeventeen, glibc);
BENCHMARK_CAPTURE(run, seventeen_from_chars, kSeventeen, from_chars);
BENCHMARK_CAPTURE(run, readings_engine, kReadings, engine);
BENCHMARK_CAPTURE(run, readings_glibc, kReadings, glibc);
BENCHMARK_CAPTURE(run, readings_from_chars, kReadings, from_chars);
BENCHMARK_CAPTURE(run, long_engine, kLong, engine);
BENCHMARK_CAPTURE(run, long_glibc, kLong, glibc);
BENCHMARK_CAPTURE(run, long_from_chars, kLong, from_chars);
BENCHMARK_CAPTURE(run, midpoint_engine, kMidpoints, engine);
BENCHMARK_CAPTURE(run, midpoint_glibc, kMidpoints, glibc);
BENCHMARK_CAPTURE(run, midpoint_from_chars, kMidpoints, from_chars);
