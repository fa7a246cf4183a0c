// double_to_decimal (the short way first) against its exact big-integer way
// and glibc's snprintf, on random finite doubles: 17 and 6 significant
// digits ("%.16e" and "%.5e" print as many; "%.17e" and "%.6e", one digit
// more, as usually written), and 2 digits after the point for values in
// [0, 10^6) ("%.2f").
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "clib/double_to_decimal.h"

namespace {

using kez::clib::DecimalDigits;
using kez::clib::DigitMode;

std::vector<double> random_doubles() {
    std::mt19937_64 rng(11);
    std::vector<double> v;
    while (v.size() < 4096) {
        const std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (d != d || d - d != 0) continue;  // no NaN, no infinity
        v.push_back(d);
    }
    return v;
}

std::vector<double> amounts() {
    std::mt19937_64 rng(12);
    std::vector<double> v;
    for (int i = 0; i < 4096; ++i) v.push_back(static_cast<double>(rng() >> 11) * 0x1p-53 * 1e6);
    return v;
}

const std::vector<double> kRandom = random_doubles();
const std::vector<double> kAmounts = amounts();

template <class Convert>
void run(benchmark::State &state, const std::vector<double> &inputs, Convert convert) {
    std::size_t i = 0;
    char buf[400];
    for (auto _ : state) {
        benchmark::DoNotOptimize(convert(inputs[i], buf));
        benchmark::ClobberMemory();
        if (++i == inputs.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

template <DigitMode mode, int precision>
int engine(double v, char *buf) {
    return kez::clib::double_to_decimal(v, mode, precision, buf, 400).count;
}
template <DigitMode mode, int precision>
int exact(double v, char *buf) {
    return kez::clib::double_to_decimal_exact(v, mode, precision, buf, 400).count;
}
int glibc_17(double v, char *buf) { return std::snprintf(buf, 400, "%.16e", v); }
int glibc_6(double v, char *buf) { return std::snprintf(buf, 400, "%.5e", v); }
int glibc_e17(double v, char *buf) { return std::snprintf(buf, 400, "%.17e", v); }
int glibc_e6(double v, char *buf) { return std::snprintf(buf, 400, "%.6e", v); }
int glibc_fixed_2(double v, char *buf) { return std::snprintf(buf, 400, "%.2f", v); }

constexpr DigitMode kSig = DigitMode::significant, kFix = DigitMode::after_point;

}  // namespace

BENCHMARK_CAPTURE(run, sig17_engine, kRandom, engine<kSig, 17>);
BENCHMARK_CAPTURE(run, sig17_exact, kRandom, exact<kSig, 17>);
BENCHMARK_CAPTURE(run, sig17_glibc, kRandom, glibc_17);
BENCHMARK_CAPTURE(run, sig18_glibc_e17, kRandom, glibc_e17);
BENCHMARK_CAPTURE(run, sig6_engine, kRandom, engine<kSig, 6>);
BENCHMARK_CAPTURE(run, sig6_exact, kRandom, exact<kSig, 6>);
BENCHMARK_CAPTURE(run, sig6_glibc, kRandom, glibc_6);
BENCHMARK_CAPTURE(run, sig7_glibc_e6, kRandom, glibc_e6);
BENCHMARK_CAPTURE(run, fixed2_engine, kAmounts, engine<kFix, 2>);
BENCHMARK_CAPTURE(run, fixed2_exact, kAmounts, exact<kFix, 2>);
BENCHMARK_CAPTURE(run, fixed2_glibc, kAmounts, glibc_fixed_2);
