// The fuzz targets' corpora through the fuzzers' own checks, so that every
// leg (the Windows build under Wine too) sees the inputs the fuzzers keep.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzz_checks.h"

namespace {

using Check = std::string (*)(const std::uint8_t *data, std::size_t size);

// Every file of the target's corpus through its check, each failure named
// by its file; the corpus holds at least `at_least` files.
void replay(const char *target, Check check, int at_least) {
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::path(KEZ_FUZZ_CORPUS) / target)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++files;
        EXPECT_EQ(check(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()), "")
            << target << "/" << entry.path().filename().string();
    }
    EXPECT_GE(files, at_least) << target;
}

using namespace kez::fuzz;

TEST(FuzzCorpus, PrintfFormats) { replay("printf_format", check_printf_format, 20); }
TEST(FuzzCorpus, PrintfConversionsAgainstTheHost) { replay("printf_conversion", check_printf_conversion, 20); }
TEST(FuzzCorpus, PrintfRoundTrips) { replay("printf_round_trip", check_printf_round_trip, 20); }
TEST(FuzzCorpus, FmtArgumentTypes) { replay("fmt_arg_types", check_fmt_arg_types, 12); }
TEST(FuzzCorpus, FmtAndScanCalls) { replay("fmt_calls", check_fmt_calls, 12); }
#if defined(KEZ_HAVE_SCANF)
TEST(FuzzCorpus, ScanfFromStringAndFile) { replay("scanf", check_scanf, 20); }
#endif

}  // namespace
