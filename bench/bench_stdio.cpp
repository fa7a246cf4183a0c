// The engine's streams against glibc's stdio, in the same run, on files in
// a RAM file system (/dev/shm, else the temporary directory): 64 KiB blocks
// through fwrite/fread, 40-byte lines through fputs/fgets, single bytes
// through fputc/fgetc, text-mode writes against binary ones, and ReadLine
// against fgets. "Equal" runs give both the same 4096-byte buffer; the
// others keep each library's default (the engine's is 512 bytes).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <random>
#include <vector>

extern "C" {
void *kez_fopen(const char *, const char *);
int kez_fclose(void *);
std::size_t kez_fread(void *, std::size_t, std::size_t, void *);
std::size_t kez_fwrite(const void *, std::size_t, std::size_t, void *);
int kez_fputs(const char *, void *);
char *kez_fgets(char *, int, void *);
int kez_fputc(int, void *);
int kez_fgetc(void *);
int kez_fseek(void *, long, int);
int kez_setvbuf(void *, char *, int, std::size_t);
int Kez_OpenFile(const char *, int, int, int);
int Kez_CloseFile(int);
int ReadLine(int, char *, int);
long long SetFilePtr(int, long long, int);
}

namespace {

struct Api {
    void *(*open)(const char *, const char *);
    int (*close)(void *);
    std::size_t (*read)(void *, std::size_t, std::size_t, void *);
    std::size_t (*write)(const void *, std::size_t, std::size_t, void *);
    int (*puts)(const char *, void *);
    char *(*gets)(char *, int, void *);
    int (*putc)(int, void *);
    int (*getc)(void *);
    int (*seek)(void *, long, int);
    int (*setvbuf)(void *, char *, int, std::size_t);
};

const Api kEngine = {kez_fopen, kez_fclose, kez_fread, kez_fwrite, kez_fputs,
                     kez_fgets, kez_fputc,  kez_fgetc, kez_fseek,  kez_setvbuf};

FILE *host(void *f) { return static_cast<FILE *>(f); }
const Api kGlibc = {
    [](const char *p, const char *m) -> void * { return std::fopen(p, m); },
    [](void *f) { return std::fclose(host(f)); },
    [](void *b, std::size_t s, std::size_t n, void *f) { return std::fread(b, s, n, host(f)); },
    [](const void *b, std::size_t s, std::size_t n, void *f) { return std::fwrite(b, s, n, host(f)); },
    [](const char *t, void *f) { return std::fputs(t, host(f)); },
    [](char *b, int n, void *f) { return std::fgets(b, n, host(f)); },
    [](int c, void *f) { return std::fputc(c, host(f)); },
    [](void *f) { return std::fgetc(host(f)); },
    [](void *f, long o, int w) { return std::fseek(host(f), o, w); },
    // The engine's buffering modes (0 none, 1 line, 2 full) in glibc's values.
    [](void *f, char *b, int m, std::size_t n) {
        return std::setvbuf(host(f), b, m == 2 ? _IOFBF : m == 1 ? _IOLBF : _IONBF, n);
    },
};

std::string bench_file(const char *name) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm", ec)
                                          ? std::filesystem::path("/dev/shm")
                                          : std::filesystem::temp_directory_path();
    static const unsigned run = std::random_device{}();
    return (dir / ("kez-bench-" + std::to_string(run) + "-" + name)).string();
}

constexpr long kFileLimit = 64L << 20;  // writers start over at this size
constexpr std::size_t kEqualBuffer = 4096;
constexpr int kFullyBuffered = 2;  // the engine's value; glibc's setvbuf above translates

// A file of `size` bytes of 40-byte lines (39 characters and LF).
std::string make_input(const char *name, long size) {
    const std::string path = bench_file(name);
    FILE *f = std::fopen(path.c_str(), "wb");
    const std::string line = std::string(39, 'x') + "\n";
    for (long at = 0; at < size; at += 40) std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
    return path;
}

// "Equal": a 4096-byte buffer of the caller's, fully buffered, for both.
// (glibc takes a null buffer in setvbuf as "keep the default".)
void *open_with(const Api &api, const std::string &path, const char *mode, bool equal) {
    static char buffers[2][kEqualBuffer];
    void *f = api.open(path.c_str(), mode);
    if (f != nullptr && equal) api.setvbuf(f, buffers[&api == &kEngine ? 0 : 1], kFullyBuffered, kEqualBuffer);
    return f;
}

void Write64K(benchmark::State &state, const Api *api, bool equal, const char *mode) {
    const std::string path = bench_file("w64k");
    void *f = open_with(*api, path, mode, equal);
    std::vector<char> block(64 << 10, 'a');
    for (std::size_t i = 0; i < block.size(); i += 40) block[i] = '\n';
    long written = 0;
    for (auto _ : state) {
        if (written >= kFileLimit) {
            api->seek(f, 0, 0);
            written = 0;
        }
        benchmark::DoNotOptimize(api->write(block.data(), 1, block.size(), f));
        written += static_cast<long>(block.size());
    }
    api->close(f);
    std::filesystem::remove(path);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}

void Read64K(benchmark::State &state, const Api *api, bool equal) {
    const std::string path = make_input("r64k", 16L << 20);
    void *f = open_with(*api, path, "rb", equal);
    std::vector<char> block(64 << 10);
    for (auto _ : state) {
        if (api->read(block.data(), 1, block.size(), f) < block.size()) api->seek(f, 0, 0);
        benchmark::DoNotOptimize(block.data());
    }
    api->close(f);
    std::filesystem::remove(path);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}

void PutsLines(benchmark::State &state, const Api *api, bool equal, const char *mode) {
    const std::string path = bench_file("puts");
    void *f = open_with(*api, path, mode, equal);
    const std::string line = std::string(39, 'y') + "\n";
    long written = 0;
    for (auto _ : state) {
        if (written >= kFileLimit) {
            api->seek(f, 0, 0);
            written = 0;
        }
        api->puts(line.c_str(), f);
        written += 40;
    }
    api->close(f);
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations());
}

void GetsLines(benchmark::State &state, const Api *api, bool equal) {
    const std::string path = make_input("gets", 16L << 20);
    void *f = open_with(*api, path, "rb", equal);
    char line[128];
    for (auto _ : state) {
        if (api->gets(line, sizeof line, f) == nullptr) api->seek(f, 0, 0);
        benchmark::DoNotOptimize(line);
    }
    api->close(f);
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations());
}

void PutcBytes(benchmark::State &state, const Api *api, bool equal) {
    const std::string path = bench_file("putc");
    void *f = open_with(*api, path, "wb", equal);
    long written = 0;
    for (auto _ : state) {
        if (written >= kFileLimit) {
            api->seek(f, 0, 0);
            written = 0;
        }
        api->putc('z', f);
        ++written;
    }
    api->close(f);
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations());
}

void GetcBytes(benchmark::State &state, const Api *api, bool equal) {
    const std::string path = make_input("getc", 16L << 20);
    void *f = open_with(*api, path, "rb", equal);
    for (auto _ : state) {
        int c = api->getc(f);
        if (c < 0) api->seek(f, 0, 0);
        benchmark::DoNotOptimize(c);
    }
    api->close(f);
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations());
}

// The file function ReadLine (one line per call, its own read-ahead).
void EngineReadLine(benchmark::State &state) {
    const std::string path = make_input("readline", 16L << 20);
    const int h = Kez_OpenFile(path.c_str(), 1, 2, 0);
    char line[128];
    for (auto _ : state) {
        if (ReadLine(h, line, sizeof line - 1) == -2) SetFilePtr(h, 0, 0);
        benchmark::DoNotOptimize(line);
    }
    Kez_CloseFile(h);
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(Write64K, engine_equal, &kEngine, true, "wb");
BENCHMARK_CAPTURE(Write64K, glibc_equal, &kGlibc, true, "wb");
BENCHMARK_CAPTURE(Write64K, engine_default, &kEngine, false, "wb");
BENCHMARK_CAPTURE(Write64K, glibc_default, &kGlibc, false, "wb");
BENCHMARK_CAPTURE(Write64K, engine_text, &kEngine, true, "w");
BENCHMARK_CAPTURE(Read64K, engine_equal, &kEngine, true);
BENCHMARK_CAPTURE(Read64K, glibc_equal, &kGlibc, true);
BENCHMARK_CAPTURE(Read64K, engine_default, &kEngine, false);
BENCHMARK_CAPTURE(Read64K, glibc_default, &kGlibc, false);
BENCHMARK_CAPTURE(PutsLines, engine_equal, &kEngine, true, "wb");
BENCHMARK_CAPTURE(PutsLines, glibc_equal, &kGlibc, true, "wb");
BENCHMARK_CAPTURE(PutsLines, engine_default, &kEngine, false, "wb");
BENCHMARK_CAPTURE(PutsLines, glibc_default, &kGlibc, false, "wb");
BENCHMARK_CAPTURE(PutsLines, engine_text, &kEngine, true, "w");
BENCHMARK_CAPTURE(GetsLines, engine_equal, &kEngine, true);
BENCHMARK_CAPTURE(GetsLines, glibc_equal, &kGlibc, true);
BENCHMARK_CAPTURE(GetsLines, engine_default, &kEngine, false);
BENCHMARK_CAPTURE(GetsLines, glibc_default, &kGlibc, false);
BENCHMARK_CAPTURE(PutcBytes, engine_equal, &kEngine, true);
BENCHMARK_CAPTURE(PutcBytes, glibc_equal, &kGlibc, true);
BENCHMARK_CAPTURE(GetcBytes, engine_equal, &kEngine, true);
BENCHMARK_CAPTURE(GetcBytes, glibc_equal, &kGlibc, true);
BENCHMARK(EngineReadLine);
