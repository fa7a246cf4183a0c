// The scanf family's fuzz check: sscanf over a text and fscanf over a file
// that holds the same text read the same.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <string>

#include "clib/clib_exports.h"
#include "fuzz/fuzz_checks.h"

namespace kez::fuzz {
namespace {

constexpr std::size_t kMaxFormat = 100;
constexpr std::size_t kMaxText = 300;
// Each conversion takes at most one pointer; 64 are passed.
constexpr int kMaxPercents = 60;
// Target i is at 64 * i in a zeroed buffer with room after the last one for
// the longest store: the whole text as wide characters and a NUL.
constexpr std::size_t kSlot = 64;
constexpr std::size_t kTargets = 64 * kSlot + 4 * (kMaxText + 1) + 64;

struct Targets {
    alignas(16) unsigned char bytes[kTargets];
};

#define KEZ_T8(t, i) \
    t + (i) * kSlot, t + ((i) + 1) * kSlot, t + ((i) + 2) * kSlot, t + ((i) + 3) * kSlot, t + ((i) + 4) * kSlot, \
        t + ((i) + 5) * kSlot, t + ((i) + 6) * kSlot, t + ((i) + 7) * kSlot
#define KEZ_T64(t) \
    KEZ_T8(t, 0), KEZ_T8(t, 8), KEZ_T8(t, 16), KEZ_T8(t, 24), KEZ_T8(t, 32), KEZ_T8(t, 40), KEZ_T8(t, 48), KEZ_T8(t, 56)

// A file in the temporary directory under a name of this process's own,
// removed at exit.
struct ScratchFile {
    std::string path;
    ScratchFile() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path = (std::filesystem::temp_directory_path() / ("kez_fuzz_scanf_" + std::to_string(stamp))).string();
    }
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

}  // namespace

std::string check_scanf(const std::uint8_t *data, std::size_t size) {
    const char *begin = reinterpret_cast<const char *>(data);
    const void *nul = std::memchr(begin, 0, size);
    const std::size_t format_size = nul != nullptr ? static_cast<std::size_t>(static_cast<const char *>(nul) - begin) : size;
    std::string format(begin, format_size < kMaxFormat ? format_size : kMaxFormat);
    std::string text;
    if (format_size < size) text.assign(begin + format_size + 1, size - format_size - 1);
    text = text.c_str();
    if (text.size() > kMaxText) text.resize(kMaxText);
    int percents = 0;
    for (const char ch : format) percents += ch == '%';
    if (percents > kMaxPercents) return {};

    static Targets from_string, from_file;
    std::memset(from_string.bytes, 0, sizeof from_string.bytes);
    std::memset(from_file.bytes, 0, sizeof from_file.bytes);
    unsigned char *s = from_string.bytes;
    unsigned char *f = from_file.bytes;
    const int string_result = kez_sscanf(text.c_str(), format.c_str(), KEZ_T64(s));

    // One file for the whole run, truncated by each opening: a new
    // temporary file for every input would cost more than the scan.
    static const ScratchFile scratch;
    KezFile *file = kez_fopen(scratch.path.c_str(), "w+b");
    if (file == nullptr) return "cannot open " + scratch.path + " for fscanf";
    if (kez_fwrite(text.data(), 1, text.size(), file) != text.size()) {
        kez_fclose(file);
        return "the temporary file took not the whole text";
    }
    kez_rewind(file);
    const int file_result = kez_fscanf(file, format.c_str(), KEZ_T64(f));
    kez_fclose(file);

    const std::string where = "format \"" + shown(format) + "\" over \"" + shown(text) + "\": ";
    if (string_result != file_result)
        return where + "sscanf gave " + std::to_string(string_result) + ", fscanf " + std::to_string(file_result);
    for (std::size_t i = 0; i < sizeof from_string.bytes; ++i)
        if (from_string.bytes[i] != from_file.bytes[i])
            return where + "the stores differ at target " + std::to_string(i / kSlot) + " byte " +
                   std::to_string(i % kSlot);
    return {};
}

#undef KEZ_T64
#undef KEZ_T8

}  // namespace kez::fuzz
