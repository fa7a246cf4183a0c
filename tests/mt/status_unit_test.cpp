// Translation of internal results into the library's status codes.
#include <gtest/gtest.h>

#include "mt/thread_util.h"

namespace {

TEST(KezErrToKmtErr, KeepsSuccessAndLibraryCodesAndTranslatesOutOfMemory) {
    using kez::mt::KezErrToKmtErr;
    EXPECT_EQ(KezErrToKmtErr(0), 0);
    EXPECT_EQ(KezErrToKmtErr(42), 42);
    EXPECT_EQ(KezErrToKmtErr(-14901), -14901);
    EXPECT_EQ(KezErrToKmtErr(-14933), -14933);
    EXPECT_EQ(KezErrToKmtErr(-102), -14905);
}

TEST(KezErrToKmtErr, UnexpectedCodesStayFailures) {
    // Never a positive value a caller would take for success.
    for (int code : {-1, -14900, -14934, -103, -260})
        EXPECT_EQ(kez::mt::KezErrToKmtErr(code), -14933) << code;
}

}  // namespace
