// Fmt and Scan's fuzz corpora through the fuzzers' own checks, in every
// leg.
#include "fuzz/corpus_replay.h"
#include "fuzz/fuzz_checks.h"

namespace {

TEST(FuzzCorpus, FmtArgumentTypes) {
    EXPECT_GE(kez::fuzz::replay_corpus("fmt_arg_types", kez::fuzz::check_fmt_arg_types), 12);
}

TEST(FuzzCorpus, FmtAndScanCalls) {
    EXPECT_GE(kez::fuzz::replay_corpus("fmt_calls", kez::fuzz::check_fmt_calls), 12);
}

}  // namespace
