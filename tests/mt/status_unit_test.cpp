// Translation of internal results into the library's status codes.
#include <gtest/gtest.h>

#include <utility>

#include "mt/thread_util.h"

namespace {

// An unexpected code stays a failure, never a value a caller would take for success.
TEST(KezErrToKmtErr, KeepsSuccessAndLibraryCodesAndTranslatesTheRest) {
    const std::pair<int, int> cases[] = {{0, 0},         {42, 42},      {-14901, -14901}, {-14933, -14933},
                                         {-102, -14905}, {-1, -14933},  {-14900, -14933}, {-14934, -14933},
                                         {-103, -14933}, {-260, -14933}};
    for (const auto &[code, result] : cases) EXPECT_EQ(kez::mt::KezErrToKmtErr(code), result) << code;
}

}  // namespace
