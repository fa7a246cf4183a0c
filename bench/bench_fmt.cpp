// Fmt, Scan and FmtFile against glibc's snprintf, sscanf and snprintf +
// write(2) on the same inputs and the same text, and against the engine's
// own printf family where it does the same job:
//   fmt_d         Fmt "%s<%d" of an int            / snprintf "%d"
//   fmt_8f        Fmt "%s<%8f[p6j1]," of 8 doubles / snprintf "%.6f," x 8
//   fmt_s64       Fmt "%s<%s" of a 64-byte string  / snprintf "%s"
//   scan_8d       Scan "%s>%8d" of 8 ints          / sscanf "%d" x 8
//   scan_8f       Scan "%s>%8f" of 8 doubles       / sscanf "%lf" x 8
//   fmtfile_line  FmtFile "%s<%d,%f[p6]\n" into a binary file / snprintf
//                 "%d,%.6f\n" + write(2)
//   threads       Fmt of doubles in 2 threads / in 1: throughput (also
//                 glibc's snprintf, for what the machine gives two threads)
// Each workload runs as <workload>/kez (the call measured), /glibc and, where
// the engine's printf family does the same job, /printf. Before the runs
// every workload's outputs are compared: a workload whose texts or values
// differ between the call and its anchor would measure different work, and
// the program stops. After the runs a table gives each ratio and its goal.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kez/formatio.h"

// The engine's C library on Linux: the kez_ link names.
extern "C" {
int kez_snprintf(char *buffer, std::size_t limit, const char *format, ...);
int kez_sscanf(const char *text, const char *format, ...);
int kez_write(int handle, const void *buffer, unsigned int count);
long kez_lseek(int handle, long offset, int origin);
}

// glibc's write(2) for the file anchor (the benchmarks include no system
// header; <cstdio> gives ssize_t).
extern "C" ssize_t write(int fd, const void *buffer, std::size_t count);

namespace {

constexpr std::size_t kInputs = 4096;
constexpr std::size_t kOut = 2048;
constexpr int kReals = 8;

// Integers of every length, the sign random: the digit count uniform in 1..10.
std::vector<int> make_ints(unsigned seed) {
    std::mt19937_64 rng(seed);
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

// Readings: -10^5 .. 10^5 with many digits.
std::vector<double> make_readings(unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> v;
    for (std::size_t i = 0; i < kInputs; ++i) v.push_back((static_cast<double>(rng() >> 11) * 0x1p-53 - 0.5) * 2e5);
    return v;
}

std::vector<std::string> make_strings(std::size_t size) {
    std::mt19937 rng(26);
    std::vector<std::string> v;
    for (std::size_t i = 0; i < 64; ++i) {
        std::string s(size, ' ');
        for (auto &ch : s) ch = static_cast<char>('a' + rng() % 26);
        v.push_back(std::move(s));
    }
    return v;
}

struct Eight {
    double d[kReals];
};

std::vector<Eight> make_rows(const std::vector<double> &readings) {
    std::vector<Eight> rows(kInputs);
    for (std::size_t i = 0; i < kInputs; ++i)
        for (int k = 0; k < kReals; ++k) rows[i].d[k] = readings[(i * kReals + static_cast<std::size_t>(k)) % kInputs];
    return rows;
}

// Lines of 8 numbers separated by spaces, as a program reads measurements.
std::vector<std::string> int_lines(const std::vector<int> &ints) {
    std::vector<std::string> v;
    char buf[256];
    for (std::size_t i = 0; i < kInputs; ++i) {
        int n = 0;
        for (std::size_t k = 0; k < 8; ++k)
            n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), "%s%d", k ? " " : "", ints[(i * 8 + k) % kInputs]);
        v.emplace_back(buf);
    }
    return v;
}

std::vector<std::string> real_lines(const std::vector<double> &reals) {
    std::vector<std::string> v;
    char buf[512];
    for (std::size_t i = 0; i < kInputs; ++i) {
        int n = 0;
        for (std::size_t k = 0; k < 8; ++k)
            n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), "%s%.6f", k ? " " : "", reals[(i * 8 + k) % kInputs]);
        v.emplace_back(buf);
    }
    return v;
}

const std::vector<int> kInts = make_ints(21);
const std::vector<double> kReadings = make_readings(24);
const std::vector<Eight> kRows = make_rows(kReadings);
const std::vector<std::string> kStrings64 = make_strings(64);
const std::vector<std::string> kIntLines = int_lines(make_ints(41));
const std::vector<std::string> kRealLines = real_lines(make_readings(42));

#define KEZ_8(x) x x x x x x x x
#define KEZ_ROW(r) (r).d[0], (r).d[1], (r).d[2], (r).d[3], (r).d[4], (r).d[5], (r).d[6], (r).d[7]
#define KEZ_TARGETS(t) &(t)[0], &(t)[1], &(t)[2], &(t)[3], &(t)[4], &(t)[5], &(t)[6], &(t)[7]

// ---- the calls, each returning the bytes it wrote or the values it read ----

int fmt_d_kez(char *out, int v) { return Fmt(out, "%s<%d", v); }
int fmt_d_glibc(char *out, int v) { return std::snprintf(out, kOut, "%d", v); }
int fmt_d_printf(char *out, int v) { return kez_snprintf(out, kOut, "%d", v); }

int fmt_8f_kez(char *out, const Eight &r) { return Fmt(out, "%s<%8f[p6j1],", r.d); }
int fmt_8f_glibc(char *out, const Eight &r) { return std::snprintf(out, kOut, KEZ_8("%.6f,"), KEZ_ROW(r)); }
int fmt_8f_printf(char *out, const Eight &r) { return kez_snprintf(out, kOut, KEZ_8("%.6f,"), KEZ_ROW(r)); }

int fmt_s64_kez(char *out, const char *s) { return Fmt(out, "%s<%s", s); }
int fmt_s64_glibc(char *out, const char *s) { return std::snprintf(out, kOut, "%s", s); }
int fmt_s64_printf(char *out, const char *s) { return kez_snprintf(out, kOut, "%s", s); }

// Scan counts the array as one target.
int scan_8d_kez(const char *text, int *v) { return Scan(text, "%s>%8d", v) == 1 ? 8 : 0; }
int scan_8d_glibc(const char *text, int *v) { return std::sscanf(text, KEZ_8("%d"), KEZ_TARGETS(v)); }
int scan_8d_printf(const char *text, int *v) { return kez_sscanf(text, KEZ_8("%d"), KEZ_TARGETS(v)); }

int scan_8f_kez(const char *text, double *v) { return Scan(text, "%s>%8f", v) == 1 ? 8 : 0; }
int scan_8f_glibc(const char *text, double *v) { return std::sscanf(text, KEZ_8("%lf"), KEZ_TARGETS(v)); }
int scan_8f_printf(const char *text, double *v) { return kez_sscanf(text, KEZ_8("%lf"), KEZ_TARGETS(v)); }

// ---- memory workloads --------------------------------------------------------

template <class T, class Print>
void run_format(benchmark::State &state, const std::vector<T> &inputs, Print print) {
    std::size_t i = 0;
    char out[kOut];
    for (auto _ : state) {
        benchmark::DoNotOptimize(print(out, inputs[i]));
        benchmark::ClobberMemory();
        if (++i == inputs.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

template <class Print>
void run_strings(benchmark::State &state, const std::vector<std::string> &inputs, Print print) {
    std::vector<const char *> pointers;
    for (const auto &s : inputs) pointers.push_back(s.c_str());
    run_format(state, pointers, print);
}

template <class V>
void run_scan(benchmark::State &state, const std::vector<std::string> &inputs, int (*scan)(const char *, V *)) {
    std::size_t i = 0;
    V values[8] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(scan(inputs[i].c_str(), values));
        benchmark::ClobberMemory();
        if (++i == inputs.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

#define KEZ_FORMAT_WORKLOAD(name, runner, inputs)                                              \
    BENCHMARK_CAPTURE(runner, name##_kez, inputs, name##_kez)->Name(#name "/kez");             \
    BENCHMARK_CAPTURE(runner, name##_glibc, inputs, name##_glibc)->Name(#name "/glibc");       \
    BENCHMARK_CAPTURE(runner, name##_printf, inputs, name##_printf)->Name(#name "/printf");

#define KEZ_SCAN_WORKLOAD(name, inputs) KEZ_FORMAT_WORKLOAD(name, run_scan, inputs)

}  // namespace

KEZ_FORMAT_WORKLOAD(fmt_d, run_format, kInts)
KEZ_FORMAT_WORKLOAD(fmt_8f, run_format, kRows)
KEZ_FORMAT_WORKLOAD(fmt_s64, run_strings, kStrings64)
KEZ_SCAN_WORKLOAD(scan_8d, kIntLines)
KEZ_SCAN_WORKLOAD(scan_8f, kRealLines)

// ---- a line into a file --------------------------------------------------------
// One line a call into a binary file in memory-backed storage when there is
// some (/dev/shm), else the temporary directory; the file is rewound every
// 4096 lines so it stays small. FmtFile writes each call's text with one
// write of the file's handle, as the anchors do.
namespace {

std::string temp_path(const char *who) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::error_code error;
    std::filesystem::path dir = "/dev/shm";
    if (!std::filesystem::is_directory(dir, error)) dir = std::filesystem::temp_directory_path();
    return (dir / ("kez_bench_fmt_" + std::to_string(stamp) + "_" + who)).string();
}

#define KEZ_LINE_FORMAT "%d,%.6f\n"

template <class Open, class Line, class Rewind, class Close>
void run_file(benchmark::State &state, const char *who, Open open, Line line, Rewind rewind, Close close) {
    const std::string path = temp_path(who);
    const int handle = open(path.c_str());
    if (handle < 0) {
        state.SkipWithError("cannot open a file");
        return;
    }
    std::size_t i = 0;
    bool failed = false;
    for (auto _ : state) {
        failed |= line(handle, kInts[i], kReadings[i]) <= 0;
        if (++i == kInputs) {
            i = 0;
            rewind(handle);
        }
    }
    close(handle);
    std::filesystem::remove(path);
    if (failed) state.SkipWithError("a line was not written");
    state.SetItemsProcessed(state.iterations());
}

int line_kez(int handle, int n, double d) { return FmtFile(handle, "%s<%d,%f[p6]\n", n, d) == 2 ? 1 : -1; }
int line_glibc(int fd, int n, double d) {
    char buf[256];
    const int size = std::snprintf(buf, sizeof buf, KEZ_LINE_FORMAT, n, d);
    return static_cast<int>(write(fd, buf, static_cast<std::size_t>(size)));
}
int line_printf(int handle, int n, double d) {
    char buf[256];
    const int size = kez_snprintf(buf, sizeof buf, KEZ_LINE_FORMAT, n, d);
    return kez_write(handle, buf, static_cast<unsigned>(size));
}

// Kez_OpenFile's handles are the engine's POSIX-style handles too; glibc's
// descriptor is taken from a stream that writes nothing itself.
void fmtfile_line_kez(benchmark::State &state) {
    run_file(
        state, "kez", [](const char *p) { return Kez_OpenFile(p, KEZ_FILE_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_BINARY); },
        line_kez, [](int h) { SetFilePtr(h, 0, 0); }, [](int h) { Kez_CloseFile(h); });
}
void fmtfile_line_printf(benchmark::State &state) {
    run_file(
        state, "printf", [](const char *p) { return Kez_OpenFile(p, KEZ_FILE_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_BINARY); },
        line_printf, [](int h) { kez_lseek(h, 0, 0); }, [](int h) { Kez_CloseFile(h); });
}
std::FILE *g_glibc_stream = nullptr;
void fmtfile_line_glibc(benchmark::State &state) {
    run_file(
        state, "glibc",
        [](const char *p) {
            g_glibc_stream = std::fopen(p, "wb");
            return g_glibc_stream != nullptr ? fileno(g_glibc_stream) : -1;
        },
        line_glibc, [](int) { std::fseek(g_glibc_stream, 0, SEEK_SET); }, [](int) { std::fclose(g_glibc_stream); });
}

}  // namespace

BENCHMARK(fmtfile_line_kez)->Name("fmtfile_line/kez");
BENCHMARK(fmtfile_line_glibc)->Name("fmtfile_line/glibc");
BENCHMARK(fmtfile_line_printf)->Name("fmtfile_line/printf");

// ---- threads ---------------------------------------------------------------------
// Each iteration starts `threads` threads that each format a block of
// doubles; the time is the wall time from the start to the last join, and
// the throughput is doubles formatted a second in all threads together.
// The process's CPU time a double (cpu_ns) tells what the threads cost
// apart from the wait for a core: on a machine that other work shares, two
// threads' throughput falls short of twice one's, while a cost that
// sharing adds inside the calls (a lock, a contended cache line) raises
// cpu_ns.
namespace {

// Doubles a thread formats an iteration; the smoke test (KEZ_BENCH_SMOKE)
// takes fewer.
std::size_t g_block = 200000;

template <class Print>
void run_threads(benchmark::State &state, Print print) {
    const auto threads = static_cast<std::size_t>(state.range(0));
    std::atomic<std::int64_t> written{0};
    const std::clock_t cpu_start = std::clock();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (std::size_t t = 0; t < threads; ++t)
            pool.emplace_back([&written, &print, t] {
                char out[kOut];
                std::int64_t n = 0;
                for (std::size_t i = 0; i < g_block; ++i) n += print(out, kReadings[(i + t * 977) % kInputs]) > 0;
                written += n;
            });
        for (auto &thread : pool) thread.join();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const auto items = state.iterations() * static_cast<std::int64_t>(threads * g_block);
    state.SetItemsProcessed(items);
    if (written.load() != items) state.SkipWithError("a double was not formatted");
    state.counters["cpu_ns"] = items > 0 ? cpu * 1e9 / static_cast<double>(items) : 0;
}

int real_kez(char *out, double d) { return Fmt(out, "%s<%f[p6]", d); }
int real_glibc(char *out, double d) { return std::snprintf(out, kOut, "%.6f", d); }

void threads_kez(benchmark::State &state) { run_threads(state, real_kez); }
void threads_glibc(benchmark::State &state) { run_threads(state, real_glibc); }

}  // namespace

BENCHMARK(threads_kez)->Name("threads/kez")->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(threads_glibc)->Name("threads/glibc")->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- the outputs agree -------------------------------------------------------------

namespace {

// `a` returns the engine's item count and leaves its bytes to NumFmtdBytes
// (`a_counts_items`), or returns its bytes as the anchor `b` does.
template <class T, class A, class B>
bool same_texts(const char *name, const std::vector<T> &inputs, A a, B b, bool a_counts_items) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        char x[kOut], y[kOut];
        std::memset(x, 0, sizeof x);
        std::memset(y, 0, sizeof y);
        int n = a(x, inputs[i]);
        if (a_counts_items) n = n > 0 ? NumFmtdBytes() : -1;
        const int m = b(y, inputs[i]);
        if (n != m || std::strcmp(x, y) != 0) {
            std::fprintf(stderr, "%s: input %zu gives \"%s\" (%d bytes), the anchor \"%s\" (%d bytes)\n", name, i, x, n,
                         y, m);
            return false;
        }
    }
    return true;
}

template <class V, class A, class B>
bool same_values(const char *name, const std::vector<std::string> &inputs, A a, B b) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        V x[8] = {}, y[8] = {};
        const int n = a(inputs[i].c_str(), x), m = b(inputs[i].c_str(), y);
        if (n != 8 || m != 8 || std::memcmp(x, y, sizeof x) != 0) {
            std::fprintf(stderr, "%s: \"%s\" reads %d values, the anchor %d, or other values\n", name, inputs[i].c_str(),
                         n, m);
            return false;
        }
    }
    return true;
}

bool outputs_agree() {
    std::vector<const char *> strings;
    for (const auto &s : kStrings64) strings.push_back(s.c_str());
    bool ok = true;
    ok &= same_texts("fmt_d", kInts, fmt_d_kez, fmt_d_glibc, true);
    ok &= same_texts("fmt_d printf", kInts, fmt_d_printf, fmt_d_glibc, false);
    ok &= same_texts("fmt_8f", kRows, fmt_8f_kez, fmt_8f_glibc, true);
    ok &= same_texts("fmt_8f printf", kRows, fmt_8f_printf, fmt_8f_glibc, false);
    ok &= same_texts("fmt_s64", strings, fmt_s64_kez, fmt_s64_glibc, true);
    ok &= same_texts("fmt_s64 printf", strings, fmt_s64_printf, fmt_s64_glibc, false);
    ok &= same_texts("threads", kReadings, real_kez, real_glibc, true);
    // FmtFile's text, formatted by Fmt with the same items.
    ok &= same_texts(
        "fmtfile_line", kInts,
        [](char *out, const int &n) {
            return Fmt(out, "%s<%d,%f[p6]\n", n, kReadings[static_cast<std::size_t>(&n - kInts.data())]);
        },
        [](char *out, const int &n) {
            return std::snprintf(out, kOut, KEZ_LINE_FORMAT, n, kReadings[static_cast<std::size_t>(&n - kInts.data())]);
        },
        true);
    ok &= same_values<int>("scan_8d", kIntLines, scan_8d_kez, scan_8d_glibc);
    ok &= same_values<int>("scan_8d sscanf", kIntLines, scan_8d_printf, scan_8d_glibc);
    ok &= same_values<double>("scan_8f", kRealLines, scan_8f_kez, scan_8f_glibc);
    ok &= same_values<double>("scan_8f sscanf", kRealLines, scan_8f_printf, scan_8f_glibc);
    return ok;
}

// ---- the ratio table ---------------------------------------------------------------

struct Goal {
    const char *workload;
    double limit;
    const char *text;
};

// Time over the anchor's (lower is better), but for threads, where the
// goal is the throughput of two threads over one.
constexpr Goal kGoals[] = {
    {"fmt_d", 2.5, "<= 2.5x"},   {"fmt_8f", 1.5, "<= 1.5x"},  {"fmt_s64", 3.0, "<= 3x"},
    {"scan_8d", 1.5, "<= 1.5x"}, {"scan_8f", 1.5, "<= 1.5x"}, {"fmtfile_line", 1.3, "<= 1.3x"},
};

// Prints the usual console report, then each workload's time a call over
// each anchor's: CPU time for the calls in one thread, which other work on a
// shared machine disturbs less than wall time; wall time for the threads
// and for the file, whose writes the system does partly outside the calling
// thread's CPU time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            std::string name = run.run_name.function_name;
            const auto slash = name.rfind('/');
            if (slash == std::string::npos) continue;
            const std::string workload = name.substr(0, slash), who = name.substr(slash + 1);
            if (workload == "threads") {
                const auto items = run.counters.find("items_per_second");
                const auto cpu = run.counters.find("cpu_ns");
                if (items != run.counters.end() && cpu != run.counters.end())
                    threads_[who + "/" + run.run_name.args] = {items->second.value, cpu->second.value};
                continue;
            }
            times_[workload][who] = workload == "fmtfile_line" ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-14s %10s %10s %10s %12s %12s %10s %s\n", "workload", "kez ns", "glibc ns", "printf ns",
                    "kez/glibc", "kez/printf", "goal", "");
        for (const Goal &g : kGoals) {
            const auto it = times_.find(g.workload);
            if (it == times_.end()) continue;
            const auto at = [&it](const char *who) {
                const auto found = it->second.find(who);
                return found == it->second.end() ? -1.0 : found->second;
            };
            const double kez = at("kez"), glibc = at("glibc"), printf = at("printf");
            if (kez < 0 || glibc <= 0) continue;
            const double ratio = kez / glibc;
            std::printf("%-14s %10.1f %10.1f", g.workload, kez, glibc);
            if (printf > 0) std::printf(" %10.1f", printf);
            else std::printf(" %10s", "-");
            std::printf(" %11.2fx", ratio);
            if (printf > 0) std::printf(" %11.2fx", kez / printf);
            else std::printf(" %12s", "-");
            std::printf(" %10s %s\n", g.text, ratio <= g.limit ? "met" : "MISSED");
        }
        const auto at = [this](const std::string &key) {
            const auto it = threads_.find(key);
            return it == threads_.end() ? ThreadRun{} : it->second;
        };
        for (const char *who : {"kez", "glibc"}) {
            const ThreadRun one = at(std::string(who) + "/1"), two = at(std::string(who) + "/2");
            if (one.per_second <= 0 || two.per_second <= 0) continue;
            const double ratio = two.per_second / one.per_second;
            std::printf("threads/%-6s %.3g/s in 1 thread, %.3g/s in 2: %.2fx; CPU a double %.0f ns and %.0f ns", who,
                        one.per_second, two.per_second, ratio, one.cpu_ns, two.cpu_ns);
            if (std::strcmp(who, "kez") == 0) std::printf("   goal >= 1.7x %s", ratio >= 1.7 ? "met" : "MISSED");
            std::printf("\n");
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> times_;
    struct ThreadRun {
        double per_second = -1;
        double cpu_ns = -1;
    };
    std::map<std::string, ThreadRun> threads_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (std::getenv("KEZ_BENCH_SMOKE") != nullptr) g_block = 2000;
    if (!outputs_agree()) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
