// The scanf family's fuzz corpus through the fuzzer's own check, in every
// leg.
#include "fuzz/corpus_replay.h"
#include "fuzz/fuzz_checks.h"

namespace {

TEST(FuzzCorpus, ScanfFromStringAndFile) {
    EXPECT_GE(kez::fuzz::replay_corpus("scanf", kez::fuzz::check_scanf), 20);
}

}  // namespace
