// The list container against what a user would otherwise pick, in the same
// run: std::vector for appends and front inserts, std::sort for sorting ints
// and 24-byte records, std::lower_bound for binary search. The list calls its
// compare function through a pointer on every comparison, which is most of
// the gap in sorting and searching; "std::sort, compare by pointer" shows
// std::sort paying the same.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/list.h"
#include "os/os.h"

namespace {

using namespace kez::core;

// KEZ_BENCH_SMOKE shrinks every size: the test run only checks that the
// benchmarks work.
std::size_t g_divisor = 1;
int scaled(int n) { return std::max(n / static_cast<int>(g_divisor), 16); }

int compare_ints(const void *a, const void *b) {
    const int x = *static_cast<const int *>(a);
    const int y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}

// The comparison the way the list makes it: through a pointer the compiler
// cannot see through.
int (*volatile g_compare_ints)(const void *, const void *) = compare_ints;

struct Record {
    std::uint64_t key;
    std::uint64_t a;
    std::uint64_t b;
};
static_assert(sizeof(Record) == 24);

int compare_records(const void *a, const void *b) {
    const std::uint64_t x = static_cast<const Record *>(a)->key;
    const std::uint64_t y = static_cast<const Record *>(b)->key;
    return (x > y) - (x < y);
}

std::vector<int> random_ints(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<int> v(static_cast<std::size_t>(n));
    for (int &x : v) x = static_cast<int>(rng());
    return v;
}

std::vector<Record> random_records(int n) {
    std::mt19937_64 rng(7);
    std::vector<Record> v(static_cast<std::size_t>(n));
    for (Record &r : v) r = {rng(), rng(), rng()};
    return v;
}

// A list holding a copy of `items`.
template <typename T>
ListHandle list_of(const std::vector<T> &items) {
    ListHandle list = LCreate(sizeof(T), 0);
    LPreAllocateItems(list, static_cast<int>(items.size()));
    for (const T &item : items) LInsertItem(list, &item, kEndOfList);
    return list;
}

// ---- appends and front inserts ----------------------------------------------

void append_list(benchmark::State &state) {
    const int n = scaled(1'000'000);
    for (auto _ : state) {
        ListHandle list = LCreate(sizeof(int), 0);
        for (int i = 0; i < n; ++i) LInsertItem(list, &i, kEndOfList);
        benchmark::DoNotOptimize(list->block);
        LDiscard(list);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void append_vector(benchmark::State &state) {
    const int n = scaled(1'000'000);
    for (auto _ : state) {
        std::vector<int> v;
        for (int i = 0; i < n; ++i) v.push_back(i);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The same with the room made first: the cost of each call alone, without
// the block moves (whose page faults dominate the figures above on some
// machines).
void append_reserved_list(benchmark::State &state) {
    const int n = scaled(1'000'000);
    for (auto _ : state) {
        ListHandle list = LCreate(sizeof(int), 0);
        LPreAllocateItems(list, n);
        for (int i = 0; i < n; ++i) LInsertItem(list, &i, kEndOfList);
        benchmark::DoNotOptimize(list->block);
        LDiscard(list);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void append_reserved_vector(benchmark::State &state) {
    const int n = scaled(1'000'000);
    for (auto _ : state) {
        std::vector<int> v;
        v.reserve(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) v.push_back(i);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void front_insert_list(benchmark::State &state) {
    const int n = scaled(100'000);
    for (auto _ : state) {
        ListHandle list = LCreate(sizeof(int), 0);
        for (int i = 0; i < n; ++i) LInsertItem(list, &i, kFrontOfList);
        benchmark::DoNotOptimize(list->block);
        LDiscard(list);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void front_insert_vector(benchmark::State &state) {
    const int n = scaled(100'000);
    for (auto _ : state) {
        std::vector<int> v;
        for (int i = 0; i < n; ++i) v.insert(v.begin(), i);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// ---- sorting ----------------------------------------------------------------

template <typename T>
void sort_list(benchmark::State &state, const std::vector<T> &input, ListCompareFn compare) {
    ListHandle list = list_of(input);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(list_items(list), input.data(), input.size() * sizeof(T));
        state.ResumeTiming();
        LQuickSort(list, compare);
        benchmark::DoNotOptimize(list->block);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
    LDiscard(list);
}

template <typename T, typename Less>
void sort_std(benchmark::State &state, const std::vector<T> &input, Less less) {
    std::vector<T> v(input);
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(input.begin(), input.end(), v.begin());
        state.ResumeTiming();
        std::sort(v.begin(), v.end(), less);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}

const std::vector<int> &sort_ints_input() {
    static const std::vector<int> v = random_ints(scaled(1'000'000), 1);
    return v;
}

const std::vector<Record> &sort_records_input() {
    static const std::vector<Record> v = random_records(scaled(100'000));
    return v;
}

void sort_ints_list(benchmark::State &state) { sort_list(state, sort_ints_input(), compare_ints); }
void sort_ints_std(benchmark::State &state) { sort_std(state, sort_ints_input(), std::less<int>()); }
void sort_ints_std_pointer(benchmark::State &state) {
    sort_std(state, sort_ints_input(), [](const int &a, const int &b) { return g_compare_ints(&a, &b) < 0; });
}
void sort_records_list(benchmark::State &state) { sort_list(state, sort_records_input(), compare_records); }
void sort_records_std(benchmark::State &state) {
    sort_std(state, sort_records_input(), [](const Record &a, const Record &b) { return a.key < b.key; });
}

// ---- binary search ------------------------------------------------------------

struct SearchSet {
    std::vector<int> items;  // even numbers, sorted
    std::vector<int> keys;   // half of them present
};

const SearchSet &search_set() {
    static const SearchSet set = [] {
        SearchSet s;
        const int n = scaled(1'000'000);
        for (int i = 0; i < n; ++i) s.items.push_back(2 * i);
        std::mt19937 rng(3);
        for (int i = 0; i < 1 << 16; ++i) s.keys.push_back(static_cast<int>(rng() % (2u * static_cast<unsigned>(n))));
        return s;
    }();
    return set;
}

void bin_search_list(benchmark::State &state) {
    const SearchSet &set = search_set();
    ListHandle list = list_of(set.items);
    const int searches = scaled(10'000'000);
    for (auto _ : state) {
        long hits = 0;
        for (int i = 0; i < searches; ++i)
            hits += LBinSearch(list, &set.keys[static_cast<std::size_t>(i) & 0xFFFF], compare_ints) != 0;
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations() * searches);
    LDiscard(list);
}

void bin_search_std(benchmark::State &state) {
    const SearchSet &set = search_set();
    const int searches = scaled(10'000'000);
    for (auto _ : state) {
        long hits = 0;
        for (int i = 0; i < searches; ++i) {
            const int key = set.keys[static_cast<std::size_t>(i) & 0xFFFF];
            const auto it = std::lower_bound(set.items.begin(), set.items.end(), key);
            hits += it != set.items.end() && *it == key;
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations() * searches);
}

// ---- the ratios -----------------------------------------------------------------

struct Pair {
    const char *task;
    const char *engine;
    const char *anchor;
};
const Pair kPairs[] = {
    {"10^6 appends", "append/list", "append/std::vector"},
    {"10^6 appends, room made first", "append_reserved/list", "append_reserved/std::vector"},
    {"10^5 front inserts", "front_insert/list", "front_insert/std::vector"},
    {"sort 10^6 ints", "sort_ints/LQuickSort", "sort_ints/std::sort"},
    {"sort 10^6 ints, both by pointer", "sort_ints/LQuickSort", "sort_ints/std::sort, compare by pointer"},
    {"sort 10^5 24-byte records", "sort_records/LQuickSort", "sort_records/std::sort"},
    {"10^7 binary searches", "bin_search/LBinSearch", "bin_search/std::lower_bound"},
};

// Prints what the console reporter prints, then each engine/anchor ratio of
// real time (of the medians, with --benchmark_repetitions).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && run.iterations > 0))
                times_[run.run_name.str()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nratio, list container / anchor (real time; below 1 is faster):\n");
        for (const Pair &p : kPairs) {
            const auto e = times_.find(std::string(p.engine) + "/real_time");
            const auto a = times_.find(std::string(p.anchor) + "/real_time");
            if (e == times_.end() || a == times_.end() || a->second <= 0) continue;
            std::printf("  %-34s %8.2f\n", p.task, e->second / a->second);
        }
    }

  private:
    std::map<std::string, double> times_;
};

void register_all() {
    struct Entry {
        const char *name;
        void (*fn)(benchmark::State &);
    };
    const Entry entries[] = {
        {"append/list", append_list},
        {"append/std::vector", append_vector},
        {"append_reserved/list", append_reserved_list},
        {"append_reserved/std::vector", append_reserved_vector},
        {"front_insert/list", front_insert_list},
        {"front_insert/std::vector", front_insert_vector},
        {"sort_ints/LQuickSort", sort_ints_list},
        {"sort_ints/std::sort", sort_ints_std},
        {"sort_ints/std::sort, compare by pointer", sort_ints_std_pointer},
        {"sort_records/LQuickSort", sort_records_list},
        {"sort_records/std::sort", sort_records_std},
        {"bin_search/LBinSearch", bin_search_list},
        {"bin_search/std::lower_bound", bin_search_std},
    };
    for (const Entry &e : entries)
        benchmark::RegisterBenchmark(e.name, e.fn)->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

int main(int argc, char **argv) {
    if (const char *smoke = std::getenv("KEZ_BENCH_SMOKE"); smoke != nullptr && *smoke != '\0') g_divisor = 1000;
    // The engine linked statically: its start-up chain installs the list's
    // memory functions, as loading the library would.
    if (!kez::core::on_process_attach(kez::os::module_main())) {
        std::fprintf(stderr, "the engine's start-up chain failed\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    register_all();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    kez::core::on_process_detach();
    return 0;
}
