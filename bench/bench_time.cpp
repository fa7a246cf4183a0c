// localtime, gmtime, mktime and strftime against glibc's localtime_r,
// gmtime_r, mktime and strftime on the same instants, in 1 and 8 threads.
// Both sides use the zone TZ names (the same zone file). Before the runs the
// fields of every instant are compared, so that both do the same work;
// after them a table gives each ratio (goal: within 2x).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

// The engine's time.h on Linux: the kez_ link names.
extern "C" {
struct tm *kez_localtime(const std::uint64_t *t);
struct tm *kez_gmtime(const std::uint64_t *t);
std::uint64_t kez_mktime(struct tm *tm);
std::size_t kez_strftime(char *s, std::size_t max, const char *format, const struct tm *tm);
}

namespace {

constexpr std::uint64_t kEpoch = 2208988800u;  // 1900 -> 1970
constexpr const char *kFormat = "%Y-%m-%d %H:%M:%S %a %b %j";

// Instants 2000-2037, in engine seconds.
const std::vector<std::uint64_t> &instants() {
    static const std::vector<std::uint64_t> v = [] {
        std::mt19937_64 rng(17);
        std::vector<std::uint64_t> out(4096);
        for (auto &t : out) t = kEpoch + 946684800 + rng() % 1200000000u;
        return out;
    }();
    return v;
}

bool same_fields(const struct tm &a, const struct tm &b) {
    return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday &&
           a.tm_mon == b.tm_mon && a.tm_year == b.tm_year && a.tm_wday == b.tm_wday && a.tm_yday == b.tm_yday &&
           a.tm_isdst == b.tm_isdst;
}

bool outputs_agree() {
    for (std::uint64_t t : instants()) {
        const std::time_t host = static_cast<std::time_t>(t - kEpoch);
        struct tm h, g;
        localtime_r(&host, &h);
        gmtime_r(&host, &g);
        const struct tm e = *kez_localtime(&t);
        if (!same_fields(e, h) || !same_fields(*kez_gmtime(&t), g)) {
            std::fprintf(stderr, "fields differ at %llu: is TZ a zone with its current rule since 2000?\n",
                         static_cast<unsigned long long>(t));
            return false;
        }
    }
    return true;
}

template <bool Engine>
void BM_localtime(benchmark::State &state) {
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
    int sink = 0;
    for (auto _ : state) {
        const std::uint64_t t = instants()[i++ % instants().size()];
        if constexpr (Engine) {
            sink += kez_localtime(&t)->tm_hour;
        } else {
            const std::time_t host = static_cast<std::time_t>(t - kEpoch);
            struct tm r;
            sink += localtime_r(&host, &r)->tm_hour;
        }
    }
    benchmark::DoNotOptimize(sink);
}

template <bool Engine>
void BM_gmtime(benchmark::State &state) {
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
    int sink = 0;
    for (auto _ : state) {
        const std::uint64_t t = instants()[i++ % instants().size()];
        if constexpr (Engine) {
            sink += kez_gmtime(&t)->tm_hour;
        } else {
            const std::time_t host = static_cast<std::time_t>(t - kEpoch);
            struct tm r;
            sink += gmtime_r(&host, &r)->tm_hour;
        }
    }
    benchmark::DoNotOptimize(sink);
}

template <bool Engine>
void BM_mktime(benchmark::State &state) {
    std::vector<struct tm> fields;
    for (std::uint64_t t : instants()) fields.push_back(*kez_localtime(&t));
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
    std::uint64_t sink = 0;
    for (auto _ : state) {
        struct tm f = fields[i++ % fields.size()];
        if constexpr (Engine) {
            sink += kez_mktime(&f);
        } else {
            f.tm_isdst = -1;
            sink += static_cast<std::uint64_t>(mktime(&f));
        }
    }
    benchmark::DoNotOptimize(sink);
}

template <bool Engine>
void BM_strftime(benchmark::State &state) {
    std::vector<struct tm> fields;
    for (std::uint64_t t : instants()) fields.push_back(*kez_localtime(&t));
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
    char text[64];
    std::size_t sink = 0;
    for (auto _ : state) {
        const struct tm &f = fields[i++ % fields.size()];
        sink += Engine ? kez_strftime(text, sizeof text, kFormat, &f) : strftime(text, sizeof text, kFormat, &f);
    }
    benchmark::DoNotOptimize(sink);
}

#define KEZ_TIME_BENCH(fn)                                                   \
    BENCHMARK(BM_##fn<true>)->Name(#fn "/kez")->Threads(1)->Threads(8);      \
    BENCHMARK(BM_##fn<false>)->Name(#fn "/glibc")->Threads(1)->Threads(8);
KEZ_TIME_BENCH(localtime)
KEZ_TIME_BENCH(gmtime)
KEZ_TIME_BENCH(mktime)
KEZ_TIME_BENCH(strftime)

// The console lines, then each call's engine/glibc ratio of CPU time per call.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            std::string name = r.benchmark_name();
            const std::size_t who = name.find('/');
            const std::size_t threads = name.find("/threads:");
            const std::string key = name.substr(0, who) + name.substr(threads);
            const bool engine = name.compare(who + 1, 3, "kez") == 0;
            // Per call, per thread: the total CPU time over all calls.
            const double per_call = r.GetAdjustedCPUTime() / static_cast<double>(r.threads);
            (engine ? kez_[key] : glibc_[key]) = per_call;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-24s %12s %12s %10s\n", "call", "kez ns", "glibc ns", "kez/glibc");
        for (const auto &[key, kez] : kez_) {
            const auto g = glibc_.find(key);
            if (g == glibc_.end()) continue;
            std::printf("%-24s %12.1f %12.1f %9.2fx %s\n", key.c_str(), kez, g->second, kez / g->second,
                        kez <= 2 * g->second ? "met" : "MISSED");
        }
    }

private:
    std::map<std::string, double> kez_, glibc_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    tzset();
    if (!outputs_agree()) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
