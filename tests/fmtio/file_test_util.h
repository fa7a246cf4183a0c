// Helpers of the file tests: raw file contents through the host's streams
// (support/temp_dir.h), the system error codes the fault points report, and the last library
// error of the _UP_ twins.
#pragma once

#include <cerrno>
#include <string>

#include "core/test_hooks.h"
#include "support/engine_clib.h"
#include "support/temp_dir.h"

// `call` gives -1 and sets the thread's file I/O error to `code`.
#define EXPECT_FMTIO_FAIL(call, code)                \
    do {                                             \
        EXPECT_EQ((call), -1) << #call;              \
        EXPECT_EQ(GetFmtIOError(), (code)) << #call; \
    } while (0)
// `call` gives -1 and sets errno to `err`.
#define EXPECT_ERRNO(call, err)                                     \
    do {                                                            \
        kez::test::clib().set_errno(0);                             \
        EXPECT_EQ((call), -1) << #call;                             \
        EXPECT_EQ(kez::test::clib().errno_value(), (err)) << #call; \
    } while (0)

namespace kez::test {

// System error codes for KezTest_ArmFaultEx: errno values on Linux, Win32
// codes on Windows.
#if defined(_WIN32)
constexpr unsigned kSysNotFound = 2, kSysAccess = 5, kSysTooMany = 4, kSysNameTooLong = 206, kSysIo = 31,
                   kSysDiskFull = 112;
#else
constexpr unsigned kSysNotFound = 2, kSysAccess = 13, kSysTooMany = 24, kSysNameTooLong = 36, kSysIo = 5,
                   kSysDiskFull = 28;
#endif

// Disarms a fault point (a count of 0).
inline void disarm(const char *point) { KezTest_ArmFaultEx(point, 0, 0, 0); }

// The last library error reported by a twin: "code function: message".
inline std::string last_library_error() {
    char function[128] = {}, message[512] = {};
    const int code = KezTest_LastLibraryError(function, sizeof function, message, sizeof message);
    return std::to_string(code) + " " + function + ": " + message;
}

}  // namespace kez::test
