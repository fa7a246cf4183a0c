// The printf family against glibc's snprintf and fprintf and {fmt}'s
// format_to, on the same inputs: integers (%d, %lld, %08x), reals (%g and
// %.17g of random doubles, %.3f of readings, %f of 1e15..1e300), strings
// (%s of 16 bytes and 1 KiB), a log line of four conversions into memory
// and into a file (a text stream with the default buffers, and a binary
// one with 4 KiB buffers). Each workload runs as <workload>/engine, /glibc and
// /fmt; after the runs a table gives the engine's CPU time over each anchor's.
// The scanf family's workloads join from bench_scanf.cpp when it is built.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#if defined(KEZ_BENCH_FMT)
#include <fmt/format.h>
#endif

#include "bench_printf.h"

// The engine's C library on Linux: the kez_ link names.
struct KezFile;
extern "C" {
int kez_snprintf(char *buffer, std::size_t limit, const char *format, ...);
int kez_fprintf(KezFile *stream, const char *format, ...);
KezFile *kez_fopen(const char *path, const char *mode);
int kez_fclose(KezFile *stream);
void kez_rewind(KezFile *stream);
int kez_setvbuf(KezFile *stream, char *buffer, int mode, std::size_t size);
}

namespace kez::bench {

std::vector<double> random_doubles(unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> v;
    while (v.size() < kInputs) {
        const std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (d != d || d - d != 0) continue;  // no NaN, no infinity
        v.push_back(d);
    }
    return v;
}

}  // namespace kez::bench

namespace {

using kez::bench::kInputs;

constexpr std::size_t kOut = 2048;

// Integers of every length, the sign random: int's digit count uniform in
// 1..10, long long's bit length in 1..63.
std::vector<int> ints() {
    std::mt19937_64 rng(21);
    std::vector<int> v;
    for (std::size_t i = 0; i < kInputs; ++i) {
        const int digits = static_cast<int>(rng() % 10) + 1;
        long long low = 1;
        for (int d = 1; d < digits; ++d) low *= 10;
        const long long high = digits == 10 ? 2147483647 : low * 10 - 1;
        const long long x = low + static_cast<long long>(rng() % static_cast<std::uint64_t>(high - low + 1));
        v.push_back(static_cast<int>(rng() & 1 ? -x : x));
    }
    return v;
}

std::vector<long long> long_longs() {
    std::mt19937_64 rng(22);
    std::vector<long long> v;
    for (std::size_t i = 0; i < kInputs; ++i) {
        const unsigned shift = 1 + static_cast<unsigned>(rng() % 63);
        const auto x = static_cast<long long>(rng() >> shift);
        v.push_back(rng() & 1 ? -x : x);
    }
    return v;
}

std::vector<unsigned> hexes() {
    std::mt19937 rng(23);
    std::vector<unsigned> v;
    for (std::size_t i = 0; i < kInputs; ++i) v.push_back(rng() >> (rng() % 32));
    return v;
}

// Readings: -10^5 .. 10^5 with many digits.
std::vector<double> readings() {
    std::mt19937_64 rng(24);
    std::vector<double> v;
    for (std::size_t i = 0; i < kInputs; ++i) v.push_back((static_cast<double>(rng() >> 11) * 0x1p-53 - 0.5) * 2e5);
    return v;
}

// 1e15 .. 1e300, log-uniform: %f prints all their integer digits.
std::vector<double> large() {
    std::mt19937_64 rng(25);
    std::vector<double> v;
    for (std::size_t i = 0; i < kInputs; ++i) v.push_back(std::pow(10.0, 15.0 + static_cast<double>(rng() >> 11) * 0x1p-53 * 285.0));
    return v;
}

std::vector<std::string> strings(std::size_t size) {
    std::mt19937 rng(26);
    std::vector<std::string> v;
    for (std::size_t i = 0; i < 64; ++i) {
        std::string s(size, ' ');
        for (auto &ch : s) ch = static_cast<char>('a' + rng() % 26);
        v.push_back(std::move(s));
    }
    return v;
}

const std::vector<int> kInts = ints();
const std::vector<long long> kLongLongs = long_longs();
const std::vector<unsigned> kHexes = hexes();
const std::vector<double> kRandom = kez::bench::random_doubles(27);
const std::vector<double> kReadings = readings();
const std::vector<double> kLarge = large();
const std::vector<std::string> kStrings16 = strings(16);
const std::vector<std::string> kStrings1k = strings(1024);

// One conversion a call, over the inputs in turn.
template <class T, class Print>
void run(benchmark::State &state, const std::vector<T> &inputs, Print print) {
    std::size_t i = 0;
    char out[kOut];
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const int n = print(out, inputs[i]);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
        bytes += n;
        if (++i == inputs.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}

// The log line's fields: a name, a count, a reading, flags.
struct LogFields {
    const char *name;
    int count;
    double reading;
    unsigned flags;
};

std::vector<LogFields> log_fields() {
    static const char *const kNames[] = {"pump", "valve_3", "inlet-temperature", "motor", "pressure_sensor_12"};
    std::vector<LogFields> v;
    for (std::size_t i = 0; i < kInputs; ++i)
        v.push_back({kNames[i % 5], kInts[i], kReadings[i], kHexes[i]});
    return v;
}

const std::vector<LogFields> kLog = log_fields();

#define KEZ_PRINTF_WORKLOAD(name, inputs, format, fmt_format)                                                   \
    BENCHMARK_CAPTURE(run, name##_engine, inputs,                                                              \
                      [](char *out, const auto &v) { return kez_snprintf(out, kOut, format, v); })             \
        ->Name(#name "/engine");                                                                              \
    BENCHMARK_CAPTURE(run, name##_glibc, inputs,                                                               \
                      [](char *out, const auto &v) { return std::snprintf(out, kOut, format, v); })            \
        ->Name(#name "/glibc");                                                                               \
    KEZ_FMT_WORKLOAD(name, inputs, fmt_format)

#if defined(KEZ_BENCH_FMT)
#define KEZ_FMT_WORKLOAD(name, inputs, fmt_format)                                                             \
    BENCHMARK_CAPTURE(run, name##_fmt, inputs,                                                                 \
                      [](char *out, const auto &v) {                                                          \
                          return static_cast<int>(fmt::format_to(out, fmt_format, v) - out);                   \
                      })                                                                                      \
        ->Name(#name "/fmt");
#else
#define KEZ_FMT_WORKLOAD(name, inputs, fmt_format)
#endif

}  // namespace

KEZ_PRINTF_WORKLOAD(int_d, kInts, "%d", "{}")
KEZ_PRINTF_WORKLOAD(int_lld, kLongLongs, "%lld", "{}")
KEZ_PRINTF_WORKLOAD(hex_08x, kHexes, "%08x", "{:08x}")
KEZ_PRINTF_WORKLOAD(real_g, kRandom, "%g", "{:g}")
KEZ_PRINTF_WORKLOAD(real_17g, kRandom, "%.17g", "{:.17g}")
KEZ_PRINTF_WORKLOAD(real_3f, kReadings, "%.3f", "{:.3f}")
KEZ_PRINTF_WORKLOAD(real_f_large, kLarge, "%f", "{:f}")

// Strings: the same pointer types for all three.
namespace {
template <class Print>
void run_strings(benchmark::State &state, const std::vector<std::string> &inputs, Print print) {
    std::vector<const char *> pointers;
    for (const auto &s : inputs) pointers.push_back(s.c_str());
    run(state, pointers, print);
}
}  // namespace

#define KEZ_STRING_WORKLOAD(name, inputs)                                                                      \
    BENCHMARK_CAPTURE(run_strings, name##_engine, inputs,                                                      \
                      [](char *out, const char *s) { return kez_snprintf(out, kOut, "%s", s); })              \
        ->Name(#name "/engine");                                                                              \
    BENCHMARK_CAPTURE(run_strings, name##_glibc, inputs,                                                       \
                      [](char *out, const char *s) { return std::snprintf(out, kOut, "%s", s); })             \
        ->Name(#name "/glibc");                                                                               \
    KEZ_FMT_STRING_WORKLOAD(name, inputs)

#if defined(KEZ_BENCH_FMT)
#define KEZ_FMT_STRING_WORKLOAD(name, inputs)                                                                  \
    BENCHMARK_CAPTURE(run_strings, name##_fmt, inputs,                                                         \
                      [](char *out, const char *s) { return static_cast<int>(fmt::format_to(out, "{}", s) - out); }) \
        ->Name(#name "/fmt");
#else
#define KEZ_FMT_STRING_WORKLOAD(name, inputs)
#endif

KEZ_STRING_WORKLOAD(string_16, kStrings16)
KEZ_STRING_WORKLOAD(string_1k, kStrings1k)

// The log line into memory.
#define KEZ_LOG_FORMAT "%s %d %.3f %08x"
BENCHMARK_CAPTURE(run, log_line_engine, kLog, [](char *out, const LogFields &f) {
    return kez_snprintf(out, kOut, KEZ_LOG_FORMAT, f.name, f.count, f.reading, f.flags);
})->Name("log_line/engine");
BENCHMARK_CAPTURE(run, log_line_glibc, kLog, [](char *out, const LogFields &f) {
    return std::snprintf(out, kOut, KEZ_LOG_FORMAT, f.name, f.count, f.reading, f.flags);
})->Name("log_line/glibc");
#if defined(KEZ_BENCH_FMT)
BENCHMARK_CAPTURE(run, log_line_fmt, kLog, [](char *out, const LogFields &f) {
    return static_cast<int>(fmt::format_to(out, "{} {} {:.3f} {:08x}", f.name, f.count, f.reading, f.flags) - out);
})->Name("log_line/fmt");
#endif

// The log line into a file: a line a call, the file rewound every 4096
// lines so it stays small. Two ways: a text stream with each library's
// default buffer, as programs open a log, and a binary stream with a 4 KiB
// buffer for both, which leaves the formatting and the stream's copy.
namespace {

std::string temp_path(const char *who) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return (std::filesystem::temp_directory_path() / ("kez_bench_printf_" + std::to_string(stamp) + "_" + who)).string();
}

template <class Open, class Print, class Rewind, class Close>
void run_file(benchmark::State &state, const char *who, Open open, Print print, Rewind rewind, Close close) {
    const std::string path = temp_path(who);
    auto *file = open(path.c_str());
    if (file == nullptr) {
        state.SkipWithError("cannot open a temporary file");
        return;
    }
    std::size_t i = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const LogFields &f = kLog[i];
        bytes += print(file, f);
        if (++i == kLog.size()) {
            i = 0;
            rewind(file);
        }
    }
    close(file);
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}

constexpr int kEngineFullBuffering = 2;  // _IOFBF of the engine's stdio.h (glibc's is 0)
constexpr std::size_t kFileBuffer = 4096;

int engine_line(KezFile *file, const LogFields &f) {
    return kez_fprintf(file, KEZ_LOG_FORMAT "\n", f.name, f.count, f.reading, f.flags);
}
int glibc_line(std::FILE *file, const LogFields &f) {
    return std::fprintf(file, KEZ_LOG_FORMAT "\n", f.name, f.count, f.reading, f.flags);
}

void log_file_engine(benchmark::State &state) {
    run_file(state, "engine", [](const char *path) { return kez_fopen(path, "w"); }, engine_line, kez_rewind,
             kez_fclose);
}
void log_file_glibc(benchmark::State &state) {
    run_file(state, "glibc", [](const char *path) { return std::fopen(path, "w"); }, glibc_line, std::rewind,
             std::fclose);
}
void log_file_4k_engine(benchmark::State &state) {
    const auto open = [](const char *path) {
        KezFile *file = kez_fopen(path, "wb");
        if (file != nullptr) kez_setvbuf(file, nullptr, kEngineFullBuffering, kFileBuffer);
        return file;
    };
    run_file(state, "engine_4k", open, engine_line, kez_rewind, kez_fclose);
}
void log_file_4k_glibc(benchmark::State &state) {
    const auto open = [](const char *path) {
        std::FILE *file = std::fopen(path, "wb");
        if (file != nullptr) std::setvbuf(file, nullptr, _IOFBF, kFileBuffer);
        return file;
    };
    run_file(state, "glibc_4k", open, glibc_line, std::rewind, std::fclose);
}

}  // namespace

BENCHMARK(log_file_engine)->Name("log_file/engine");
BENCHMARK(log_file_glibc)->Name("log_file/glibc");
BENCHMARK(log_file_4k_engine)->Name("log_file_4k/engine");
BENCHMARK(log_file_4k_glibc)->Name("log_file_4k/glibc");

// ---- the ratio table -----------------------------------------------------------------

namespace {

// Prints the usual console report, then for each workload the engine's
// time a call over each anchor's: CPU time, which other work on a shared
// machine disturbs less than wall time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            // With repetitions the median stands for the workload.
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const std::string name = run.run_name.function_name;
            const auto slash = name.rfind('/');
            if (slash == std::string::npos) continue;
            times_[name.substr(0, slash)][name.substr(slash + 1)] = run.GetAdjustedCPUTime();
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-16s %12s %12s %12s %14s %12s\n", "workload", "engine ns", "glibc ns", "fmt ns",
                    "engine/glibc", "engine/fmt");
        for (const auto &[workload, times] : times_) {
            const auto at = [&times](const char *who) {
                const auto it = times.find(who);
                return it == times.end() ? -1.0 : it->second;
            };
            const double engine = at("engine"), glibc = at("glibc"), fmt = at("fmt");
            if (engine < 0) continue;
            std::printf("%-16s %12.1f", workload.c_str(), engine);
            for (const double anchor : {glibc, fmt}) {
                if (anchor > 0) std::printf(" %12.1f", anchor);
                else std::printf(" %12s", "-");
            }
            for (const double anchor : {glibc, fmt}) {
                if (anchor > 0) std::printf(" %13.2fx", engine / anchor);
                else std::printf(" %13s", "-");
            }
            std::printf("\n");
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> times_;
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
