// The C library's strtod against glibc's strtod and std::from_chars, on the
// same inputs: 17-digit doubles, short readings like "12.345", and long
// inputs that sit next to a midpoint between two doubles.
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

// The decimal expansion of the midpoint above a double in [1, 2), cut after
// 60 digits and followed by a nonzero digit far away: every digit matters.
std::vector<std::string> hard() {
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
const std::vector<std::string> kHard = hard();

}  // namespace

BENCHMARK_CAPTURE(run, seventeen_engine, kSeventeen, engine);
BENCHMARK_CAPTURE(run, seventeen_glibc, kSeventeen, glibc);
BENCHMARK_CAPTURE(run, seventeen_from_chars, kSeventeen, from_chars);
BENCHMARK_CAPTURE(run, readings_engine, kReadings, engine);
BENCHMARK_CAPTURE(run, readings_glibc, kReadings, glibc);
BENCHMARK_CAPTURE(run, readings_from_chars, kReadings, from_chars);
BENCHMARK_CAPTURE(run, hard_engine, kHard, engine);
BENCHMARK_CAPTURE(run, hard_glibc, kHard, glibc);
BENCHMARK_CAPTURE(run, hard_from_chars, kHard, from_chars);
