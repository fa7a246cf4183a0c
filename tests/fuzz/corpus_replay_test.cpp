// The printf family's fuzz corpora through the fuzzers' own checks, so that
// every leg (the Windows build under Wine too) sees the inputs the fuzzers
// keep.
#include "fuzz/corpus_replay.h"
#include "fuzz/fuzz_checks.h"

namespace {

using kez::fuzz::replay_corpus;

TEST(FuzzCorpus, PrintfFormats) {
    EXPECT_GE(replay_corpus("printf_format", kez::fuzz::check_printf_format), 20);
}

TEST(FuzzCorpus, PrintfConversionsAgainstTheHost) {
    EXPECT_GE(replay_corpus("printf_conversion", kez::fuzz::check_printf_conversion), 20);
}

TEST(FuzzCorpus, PrintfRoundTrips) {
    EXPECT_GE(replay_corpus("printf_round_trip", kez::fuzz::check_printf_round_trip), 20);
}

}  // namespace
